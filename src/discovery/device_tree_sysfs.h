// The device tree of Linux, read directly from sysfs: the SCSI disks (sd) and CD-ROMs (sr) and
// the USB devices, USB interfaces and hubs above them, in the shape drive discovery walks.
//
// Nodes are numbered per canonical sysfs directory (/sys/devices/...) in the order the tree
// first meets them; a number stays with its directory for the tree's lifetime.
//
// A disk's USB device is the USB device above it, directly or through the USB interface the
// disk hangs on; SCSI hosts, targets and devices between them are passed over. Its port is the
// USB device's sysfs name, its logical unit the L of its SCSI address H:C:T:L.
#pragma once

#include <filesystem>
#include <memory>

#include "discovery/device_tree.h"

namespace mox3 {

// A tree over `sysfsRoot` (normally /sys). Interface paths are `devRoot`/<name>, the device
// nodes the SCSI generic pass-through opens (normally /dev/sdb, /dev/sr0).
std::shared_ptr<DeviceTree> MakeSysfsDeviceTree(std::filesystem::path sysfsRoot,
                                                std::filesystem::path devRoot);

}  // namespace mox3
