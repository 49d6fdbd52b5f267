// The device tree of the running Linux system.
#include "discovery/device_tree_sysfs.h"

namespace mox3 {

std::shared_ptr<DeviceTree> PlatformDeviceTree() {
    return MakeSysfsDeviceTree("/sys", "/dev");
}

}  // namespace mox3
