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

struct FakeNode {
    DevNode parent = kNoNode;
    std::u16string id;
    std::optional<std::uint32_t> installState = 0;
    int installLooksBusy = 0;  // reads that answer "installing" first
};

struct FakeBridgeAnswers {
    std::optional<std::array<std::uint8_t, 8>> version;  // nothing: the command is rejected
    std::optional<std::uint8_t> status0;
    std::optional<std::array<std::uint8_t, 7>> info;
    std::string chipName;  // empty: rejected
    bool answersInquiry = true;
    int infoReads = 0;  // counted
    int chipReads = 0;
    std::optional<std::uint64_t> nodeIdentity;  // what an opened handle says of its node
};

class FakeTree : public DeviceTree {
  public:
    std::map<DevNode, FakeNode> nodes;
    std::vector<DeviceInterface> cdroms, disks;
    bool listsFail = false;
    std::map<std::u16string, std::uint32_t> deviceNumbers;
    std::map<std::u16string, std::int64_t> lengths;
    std::map<std::u16string, std::uint8_t> busTypes;
    std::map<DevNode, UsbPortIdentity> identities;  // by USB node, reachable from its hub
    std::map<DevNode, std::u16string> ports;         // by USB node; "port-<node>" otherwise
    std::map<std::u16string, std::uint64_t> nodeIdentities;  // by path; none otherwise
    int installReads = 0;

    std::optional<std::vector<DeviceInterface>> PresentInterfaces(InterfaceClass cls) override;
    bool Parent(DevNode node, DevNode& parent) override;
    bool DeviceId(DevNode node, std::u16string& id) override;
    bool Locate(std::u16string_view id, DevNode& node) override;
    std::optional<std::uint32_t> InstallState(DevNode node) override;
    std::optional<std::uint32_t> StorageDeviceNumber(std::u16string_view path) override;
    std::optional<std::int64_t> DiskLength(std::u16string_view path) override;
    std::optional<std::uint8_t> StorageBusType(std::u16string_view path) override;
    std::optional<UsbPortIdentity> UsbIdentity(DevNode hub, DevNode usb,
                                               std::u16string_view id) override;
    std::optional<std::u16string> UsbPort(DevNode usb) override;
    std::optional<std::uint64_t> NodeIdentity(std::u16string_view path) override;
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

    // A drive: hub -> USB device -> `levels` - 1 nodes of other buses -> disk node, its disk
    // interface at `path`, answering as a bridge in normal firmware.
    DevNode AddDrive(const std::u16string& path, std::uint16_t vid, std::uint16_t pid,
                     const std::u16string& serial, int levels = 1, bool cdrom = false);

  private:
    DevNode next_ = 100;
};

}  // namespace mox3::test
