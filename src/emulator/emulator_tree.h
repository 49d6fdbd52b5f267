// The host's device tree over an emulator folder, so that drive discovery runs against
// emulated devices with the same code as against the platform's tree.
//
// Every folder of the root that holds an emulated device (a bridge drive or a plain disk) is
// one device, walked in name order; each sits on one emulated USB 3.0 root hub. A device is
// in the tree while it is plugged in and on the bus: a drive that restarts, whose cable was
// pulled or that never came back is absent. Interface paths are the device's folder (its
// disk interface) and the folder followed by "#cdrom" (its CD-ROM interface), as the emulator
// backend opens them.
//
// What discovery asks of the tree it answers from the device's settings, as the platform's
// walk would find a device placed so: the USB device is 1, 2 or 3 nodes above the interfaces,
// and found at 3 only when the node below it is its USB interface node; the disk interface is
// logical unit 0, the CD-ROM interface unit 1.
//
// For the emulator's own listing (`emulator devices`) each node also has a parent and an id in
// the manner of the platform's device-installation tree, for a device presenting USB vendor
// id V and product id P (the identity it presents now: a bridge in its loader shows the
// bare-bridge identity) and instance text I (its USB serial number, or the folder's name when
// it has none; characters an id cannot hold become '_'):
//   the root hub                  USB\ROOT_HUB30\EMULATED
//   the USB device                USB\VID_VVVV&PID_PPPP\I
//   its USB interface node        USB\VID_VVVV&PID_PPPP&MI_00\7&<USB device node, 8 hex>&0&0000
//   a node in between             EMULATED\LINK\<its node, 8 hex>
//   the disk interface (unit 0)   USBSTOR\DISK&VEN_<vendor>&PROD_<product>&REV_<revision>\I&0
//   the CD-ROM interface (unit 1) USBSTOR\CDROM&VEN_<vendor>&PROD_<product>&REV_<revision>\I&1
// with the INQUIRY texts the device presents now, blanks made '_'. The interfaces' parent is
// the USB device (1 level), its interface node (2) or a node in between below that (3); a
// device that is not composite has nodes in between only.
//
// Node numbers are (i + 1) << 20 | (s mod 65536) << 4 | role for the device's position i and
// its bus session s; the root hub is node 1. They hold as long as the root's folders and the
// device's session do; a device that leaves the bus and comes back (a bridge restarting into
// its loader, say) has new nodes, as a real re-enumeration gives.
//
// Storage queries on an interface: the disk interface's device number is the device's
// position among all devices of the root, the CD-ROM interface's its position among the
// devices with a CD-ROM interface; the disk length is the logical blocks times the block
// length (a CD-ROM interface holds no disc: no length); the bus type comes from the device's
// settings (7, USB, unless changed).
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <vector>

#include "discovery/device_tree.h"
#include "emulator/emulator_backend.h"

namespace mox3 {

inline constexpr DevNode kEmulatedRootHubNode = 1;
// The install state of a node that is set up, and the storage adapter's bus type USB.
inline constexpr std::uint32_t kInstallStateInstalled = 0;
inline constexpr std::uint8_t kBusTypeUsb = 7;

// The tree, with what the emulator's listing shows beyond what discovery asks.
class EmulatorDeviceTree : public DeviceTree {
  public:
    virtual bool Parent(DevNode node, DevNode& parent) = 0;
    virtual bool DeviceId(DevNode node, std::u16string& id) = 0;
    // 0 when set up; 3 while the device's settings keep its set-up pending.
    virtual std::optional<std::uint32_t> InstallState(DevNode node) = 0;
    // The bus type the device's settings give (7: USB).
    virtual std::optional<std::uint8_t> StorageBusType(std::u16string_view path) = 0;
};

// The tree over the devices in `root`. Nothing for PresentInterfaces when `root` is no folder.
std::shared_ptr<EmulatorDeviceTree> MakeEmulatorDeviceTree(std::filesystem::path root,
                                                           std::shared_ptr<EmulatorClock> clock);

// The device folders of `root` in the tree's order, present or not.
std::vector<std::filesystem::path> EmulatedDeviceFolders(const std::filesystem::path& root);

}  // namespace mox3
