// The device tree of Linux, read directly from sysfs: the SCSI disks (sd) and CD-ROMs (sr) and
// the USB devices, USB interfaces and hubs above them, in the shape drive discovery walks.
//
// Nodes are numbered per canonical sysfs directory (/sys/devices/...) in the order the tree
// first meets them; a number stays with its directory for the tree's lifetime.
//
// Parents: a block device's parent skips the SCSI host, target and device levels. It is the USB
// device when that device has a single interface, else the USB interface the disk hangs on
// (whose parent is the USB device); a disk not on USB gets its adapter's node (an ATA port, a
// PCI function). A USB device's parent is its hub; a root hub's parent is its host controller.
//
// Device ids:
//   USB device     USB\VID_5E3B&PID_7C34\<serial, or the sysfs name when it has none>
//   root hub       USB\ROOT_HUB30\usb2  (ROOT_HUB20 at 480 Mbit/s, ROOT_HUB below that)
//   USB interface  USB\VID_5E3B&PID_7C34&MI_00\2-1.3:1.0
//   block device   USBSTOR\DISK&VEN_<vendor>&PROD_<model>&REV_<rev>\<H>_<C>_<T>&<L>
//                  (CDROM for sr devices, SCSI in place of USBSTOR off USB); the id ends in the
//                  logical unit number, one digit for units below 10
//   anything else  <SUBSYSTEM>\<sysfs name>, for example PCI\0000:00:14.0
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
