// A device tree and bridges made up in the test: nodes with parents and ids, interfaces, hub
// ports, and devices that answer the bridge's commands as set.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "discovery/device_access.h"
#include "discovery/device_tree.h"
#include "transport/passthrough.h"

namespace mox3::test {

// As made, a second-generation bridge in its normal firmware.
struct FakeBridgeAnswers {
    // nothing: the command is rejected
    std::optional<std::array<std::uint8_t, 8>> version = std::array<std::uint8_t, 8>{0, 0, 1, 0,
                                                                                    0, 0, 5, 0};
    std::optional<std::uint8_t> status0 = 0;
    std::optional<std::array<std::uint8_t, 7>> info = std::array<std::uint8_t, 7>{1, 2, 3, 4,
                                                                                  5, 6, 7};
    std::string chipName = "MB86C311A";  // empty: rejected
    bool answersInquiry = true;
    int infoReads = 0;  // counted
    int chipReads = 0;
    std::optional<std::uint64_t> nodeIdentity;  // what an opened handle says of its node
};

// Each interface node belongs to the USB device `usbDevices` gives; a USB device has the ids
// `ids` gives and, reachable through its hub, the identity `identities` gives.
class FakeTree : public DeviceTree {
  public:
    std::vector<DeviceInterface> cdroms, disks;
    bool listsFail = false;
    std::map<DevNode, DevNode> usbDevices;  // by interface node
    std::map<DevNode, UsbIds> ids;          // by USB node
    std::map<DevNode, UsbPortIdentity> identities;
    std::map<DevNode, std::u16string> ports;  // by USB node; "port-<node>" otherwise
    std::map<DevNode, std::int32_t> luns;     // by interface node
    std::map<DevNode, int> busyLooks;         // by interface node: looks that find it not ready
    std::map<std::u16string, std::uint32_t> deviceNumbers;  // by path, as the rest
    std::map<std::u16string, std::int64_t> lengths;
    std::map<std::u16string, bool> onUsb;
    std::map<std::u16string, std::uint64_t> nodeIdentities;

    std::optional<std::vector<DeviceInterface>> PresentInterfaces(InterfaceClass cls) override;
    std::optional<DevNode> UsbDeviceOf(DevNode node) override { return Find(usbDevices, node); }
    std::optional<UsbIds> UsbDeviceIds(DevNode usb) override { return Find(ids, usb); }
    std::optional<UsbPortIdentity> UsbIdentity(DevNode usb) override {
        return Find(identities, usb);
    }
    std::optional<std::u16string> UsbPort(DevNode usb) override;
    std::optional<std::int32_t> LogicalUnit(DevNode node) override { return Find(luns, node); }
    std::optional<bool> Ready(DevNode node) override;
    std::optional<std::uint32_t> StorageDeviceNumber(std::u16string_view path) override {
        return Find(deviceNumbers, std::u16string(path));
    }
    std::optional<std::int64_t> DiskLength(std::u16string_view path) override {
        return Find(lengths, std::u16string(path));
    }
    std::optional<bool> OnUsbBus(std::u16string_view path) override {
        return Find(onUsb, std::u16string(path));
    }
    std::optional<std::uint64_t> NodeIdentity(std::u16string_view path) override {
        return Find(nodeIdentities, std::u16string(path));
    }

  private:
    template <typename K, typename V>
    static std::optional<V> Find(const std::map<K, V>& map, const K& key) {
        auto it = map.find(key);
        if (it == map.end()) return std::nullopt;
        return it->second;
    }
};

// Devices by path answering as their FakeBridgeAnswers say; unknown paths do not open.
class FakeBridges : public PassThroughBackend {
  public:
    std::map<std::u16string, FakeBridgeAnswers> devices;
    std::unique_ptr<PassThroughDevice> Open(std::u16string_view path, std::string* error) override;
};

// A tree and bridges, and typical drives built in them.
class FakeWorld {
  public:
    FakeWorld();
    DeviceAccess devices() const { return {bridges, tree}; }
    std::shared_ptr<FakeTree> tree = std::make_shared<FakeTree>();
    std::shared_ptr<FakeBridges> bridges = std::make_shared<FakeBridges>();

    // A drive: a USB device with a disk interface at `path` (and a CD-ROM interface at
    // `path`#cdrom), answering as a bridge in normal firmware. Returns the USB device's node.
    DevNode AddDrive(const std::u16string& path, std::uint16_t vid, std::uint16_t pid,
                     const std::u16string& serial, bool cdrom = false);
    // Another interface of USB device `usb` at `path`, answering as the bridge at `like`.
    DevNode AddInterface(DevNode usb, const std::u16string& path, const std::u16string& like,
                         std::int32_t lun, bool cdrom = false);

  private:
    DevNode next_ = 100;
};

}  // namespace mox3::test
