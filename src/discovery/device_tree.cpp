#include "discovery/device_tree.h"

#include <mutex>
#include <utility>

namespace mox3 {

namespace {

std::mutex& TreeMutex() {
    static std::mutex m;
    return m;
}

std::shared_ptr<DeviceTree>& TreeSlot() {
    static std::shared_ptr<DeviceTree> tree;
    return tree;
}

}  // namespace

std::shared_ptr<DeviceTree> CurrentDeviceTree() {
    std::lock_guard lock(TreeMutex());
    if (!TreeSlot()) TreeSlot() = PlatformDeviceTree();
    return TreeSlot();
}

void SetDeviceTree(std::shared_ptr<DeviceTree> tree) {
    std::lock_guard lock(TreeMutex());
    TreeSlot() = std::move(tree);
}

}  // namespace mox3
