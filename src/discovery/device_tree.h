// The platform's device tree as drive discovery sees it: present disk and CD-ROM interfaces
// with their paths and device nodes, a node's parent and device id, the install state, storage
// queries on an interface, and the USB identity of a USB device read through its hub's port.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace mox3 {

// A device node; 0 is none.
using DevNode = std::uint32_t;
inline constexpr DevNode kNoNode = 0;

enum class InterfaceClass { CdRom, Disk, UsbHub };

struct DeviceInterface {
    std::u16string path;  // opens through the pass-through backend
    DevNode node = kNoNode;
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

inline constexpr std::uint32_t kInstallStateInstalled = 0;
inline constexpr std::uint8_t kBusTypeUsb = 7;

class DeviceTree {
  public:
    virtual ~DeviceTree() = default;

    // The present interfaces of a class, in the platform's order; nothing when the platform
    // gives no list at all.
    virtual std::optional<std::vector<DeviceInterface>> PresentInterfaces(InterfaceClass cls) = 0;
    virtual bool Parent(DevNode node, DevNode& parent) = 0;
    // The node's device id, for example "USB\VID_5E3B&PID_7C34\4A3F0012B7C4D9E1".
    virtual bool DeviceId(DevNode node, std::u16string& id) = 0;
    // The node of a device id.
    virtual bool Locate(std::u16string_view deviceId, DevNode& node) = 0;
    // 0 when the device is installed; nothing when the state cannot be read.
    virtual std::optional<std::uint32_t> InstallState(DevNode node) = 0;

    // Storage queries on an interface: its storage device number, the disk's length in bytes,
    // and the bus type of its adapter (7: USB). Nothing when the query fails.
    virtual std::optional<std::uint32_t> StorageDeviceNumber(std::u16string_view path) = 0;
    virtual std::optional<std::int64_t> DiskLength(std::u16string_view path) = 0;
    virtual std::optional<std::uint8_t> StorageBusType(std::u16string_view path) = 0;

    // The identity of the USB device `usbNode` (device id `usbDeviceId`) as reported by the port
    // of hub `hubNode` it is attached to; nothing when that hub or port cannot be found.
    virtual std::optional<UsbPortIdentity> UsbIdentity(DevNode hubNode, DevNode usbNode,
                                                       std::u16string_view usbDeviceId) = 0;

    // Where the USB device `usbNode` is plugged in: a text that stays the same while the
    // device leaves the bus and comes back at the same port, and that no other device present
    // has (Linux: the USB device's sysfs name, bus number and port chain such as "2-1.3";
    // Windows: the hub's instance id and the connection index). Nothing when unknown.
    virtual std::optional<std::u16string> UsbPort(DevNode usbNode) = 0;
    // The identity of the device node behind an interface path, as listed now (Linux: the
    // block device's number, major << 32 | minor; Windows: the storage device type << 32 |
    // device number). A handle opened on the path tells its own (PassThroughDevice::
    // NodeIdentity); the two must agree. Nothing when unknown.
    virtual std::optional<std::uint64_t> NodeIdentity(std::u16string_view path) = 0;
};

// The start of a USB device's device id, "USB\\VID_1234&PID_ABCD".
std::u16string UsbIdPrefix(std::uint16_t vendorId, std::uint16_t productId);

// The platform's own tree.
std::shared_ptr<DeviceTree> PlatformDeviceTree();

}  // namespace mox3
