#include "discovery/device_tree.h"

#include <cstdio>
#include <mutex>
#include <utility>

#include "base/text.h"

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

std::u16string UsbIdPrefix(std::uint16_t vendorId, std::uint16_t productId) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "USB\\VID_%04X&PID_%04X", vendorId, productId);
    return Utf8ToUtf16(buf);
}

}  // namespace mox3
