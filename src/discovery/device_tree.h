// The platform's device tree as drive discovery sees it: the present disk and CD-ROM
// interfaces with their paths, the USB device each belongs to, where that device is plugged in
// and what it reports of itself, and the storage queries on an interface. Each platform's tree
// answers these from its own vocabulary; none of it shows here.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace mox3 {

// A node of the tree: an interface or a USB device, opaque to discovery. 0 is none. A node
// names one appearance of a device: a device that leaves the bus and comes back has a new one.
using DevNode = std::uint32_t;
inline constexpr DevNode kNoNode = 0;

enum class InterfaceClass { CdRom, Disk };

struct DeviceInterface {
    std::u16string path;  // opens through the pass-through backend
    DevNode node = kNoNode;
};

// The vendor and product ids of a USB device.
struct UsbIds {
    std::uint16_t vendorId = 0;
    std::uint16_t productId = 0;
};

// What the hub's port reports of the USB device attached to it.
struct UsbPortIdentity {
    std::uint16_t vendorId = 0;
    std::uint16_t productId = 0;
    // Nothing when the string request failed; empty when the descriptor carries no characters.
    std::optional<std::u16string> manufacturer;
    std::optional<std::u16string> product;
    std::optional<std::u16string> serialNumber;
};

class DeviceTree {
  public:
    virtual ~DeviceTree() = default;

    // The present interfaces of a class, in the platform's order; nothing when the platform
    // gives no list at all.
    virtual std::optional<std::vector<DeviceInterface>> PresentInterfaces(InterfaceClass cls) = 0;

    // The USB device an interface node belongs to: one node for every interface of the device,
    // the functions of a composite device included. Nothing when the interface is not on USB or
    // its USB device lies beyond what the platform's walk finds.
    virtual std::optional<DevNode> UsbDeviceOf(DevNode interfaceNode) = 0;
    // The ids the system knows a USB device node by, without asking the device.
    virtual std::optional<UsbIds> UsbDeviceIds(DevNode usbNode) = 0;
    // The identity of a USB device as reported by the hub port it is attached to; nothing when
    // that hub or port cannot be found.
    virtual std::optional<UsbPortIdentity> UsbIdentity(DevNode usbNode) = 0;
    // Where the USB device is plugged in: a text that stays the same while the device leaves
    // the bus and comes back at the same port, and that no other device present has (Linux:
    // the bus number and port chain such as "2-1.3"; Windows: the hub and the port number).
    // Nothing when unknown.
    virtual std::optional<std::u16string> UsbPort(DevNode usbNode) = 0;

    // The logical unit an interface node is on its device; nothing when unknown.
    virtual std::optional<std::int32_t> LogicalUnit(DevNode interfaceNode) = 0;
    // Whether the system has finished setting up an interface node; nothing when it cannot
    // tell.
    virtual std::optional<bool> Ready(DevNode interfaceNode) = 0;

    // Storage queries on an interface: its storage device number, the disk's length in bytes,
    // and whether its adapter is on a USB bus. Nothing when the query fails.
    virtual std::optional<std::uint32_t> StorageDeviceNumber(std::u16string_view path) = 0;
    virtual std::optional<std::int64_t> DiskLength(std::u16string_view path) = 0;
    virtual std::optional<bool> OnUsbBus(std::u16string_view path) = 0;

    // The identity of the device node behind an interface path, as listed now (Linux: the
    // block device's number, major << 32 | minor; Windows: the storage device type << 32 |
    // device number). A handle opened on the path tells its own (PassThroughDevice::
    // NodeIdentity); the two must agree. Nothing when unknown.
    virtual std::optional<std::uint64_t> NodeIdentity(std::u16string_view path) = 0;
};

// The platform's own tree.
std::shared_ptr<DeviceTree> PlatformDeviceTree();

}  // namespace mox3
