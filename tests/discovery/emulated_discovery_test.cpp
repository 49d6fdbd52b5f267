// Discovery against emulated drives: the census, the enumeration and chip identification run
// over the emulator's device tree, through the emulator's pass-through.
#include <nlohmann/json.hpp>
#include <sstream>

#include "app/cli/commands.h"
#include "app/session/session.h"
#include "bridge/vendor_commands.h"
#include "discovery/bridge_manager.h"
#include "discovery/census.h"
#include "emulator/emulator_fixture.h"
#include "emulator/emulator_tree.h"

namespace mox3::test {
namespace {

// The emulator's tree, but listing the CD-ROM interfaces among the disks, as a device with
// two disk units shows, and with a product name longer than a record holds.
class DoubledTree : public DeviceTree {
  public:
    explicit DoubledTree(std::shared_ptr<DeviceTree> inner) : in_(std::move(inner)) {}
    std::optional<std::vector<DeviceInterface>> PresentInterfaces(InterfaceClass cls) override {
        auto list = in_->PresentInterfaces(cls);
        auto cdroms = in_->PresentInterfaces(InterfaceClass::CdRom);
        if (list && cdroms && cls == InterfaceClass::Disk) {
            list->insert(list->end(), cdroms->begin(), cdroms->end());
        }
        return list;
    }
    std::optional<UsbPortIdentity> UsbIdentity(DevNode usb) override {
        auto identity = in_->UsbIdentity(usb);
        if (identity) identity->product = std::u16string(80, u'P');
        return identity;
    }
    std::optional<DevNode> UsbDeviceOf(DevNode n) override { return in_->UsbDeviceOf(n); }
    std::optional<UsbIds> UsbDeviceIds(DevNode n) override { return in_->UsbDeviceIds(n); }
    std::optional<std::u16string> UsbPort(DevNode n) override { return in_->UsbPort(n); }
    std::optional<std::int32_t> LogicalUnit(DevNode n) override { return in_->LogicalUnit(n); }
    std::optional<bool> Ready(DevNode n) override { return in_->Ready(n); }
    std::optional<std::uint32_t> StorageDeviceNumber(std::u16string_view p) override {
        return in_->StorageDeviceNumber(p);
    }
    std::optional<std::int64_t> DiskLength(std::u16string_view p) override {
        return in_->DiskLength(p);
    }
    std::optional<bool> OnUsbBus(std::u16string_view p) override { return in_->OnUsbBus(p); }
    std::optional<std::uint64_t> NodeIdentity(std::u16string_view p) override {
        return in_->NodeIdentity(p);
    }

  private:
    std::shared_ptr<DeviceTree> in_;
};

class EmulatedDiscovery : public EmulatedHostTest {
  protected:
    void SetUp() override {
        EmulatedHostTest::SetUp();
        mgr_.devices = devices_;
        mgr_.clock = clock_;
    }
    // What the list command shows of the one drive.
    nlohmann::json ListedDrive() {
        std::ostringstream out, err;
        std::vector<std::string> args = {"--json"};
        EXPECT_EQ(RunListCommand(Session{devices_, "", clock_, {}}, args, out, err), 0)
            << err.str();
        auto listed = nlohmann::json::parse(out.str());
        EXPECT_EQ(listed["census"], 1);
        EXPECT_EQ(listed["drives"].size(), 1u);
        nlohmann::json shown;
        for (const char* key :
             {"vendorId", "productId", "firmwareVersion", "normalMode", "chipKind"})
            shown[key] = listed["drives"][0][key];
        return shown;
    }
    // Slot 0's identity in one line: ids, serial, firmware version, normal mode, chip.
    std::string Identity() {
        const DeviceRecord& r = mgr_.deviceTable[0];
        return Utf16ToUtf8(r.vendorIdText + u" " + r.productIdText + u" " + r.serialNumber + u" " +
                           r.firmwareVersion) +
               " " + std::to_string(r.normalMode) + " " + std::to_string(mgr_.IdentifyChip(0));
    }

    CBridgeMgr mgr_;
};

TEST_F(EmulatedDiscovery, ADriveWithTwoInterfacesBesideOtherDisks) {
    EXPECT_EQ(CountKnownDrives(devices_), kCensusNone);
    auto drive = MakeProgrammedDrive(2, "01000500", "4A3F0012B7C4D9E1", {}, "a-drive");
    SetTree(drive, [](EmulatedTreeSettings& s) { s.cdrom = true; });
    MakeDisk("b-other", 0x1234, 0x5678, u"B");
    EXPECT_EQ(CountKnownDrives(devices_), kCensusOne);

    ASSERT_EQ(mgr_.EnumerateDevices(ALL_DEVICES), 1);  // the plain disk is no bridge
    const DeviceRecord& r = mgr_.deviceTable[0];
    ASSERT_EQ(r.pathCount, 2u);
    EXPECT_EQ(Utf16ToUtf8(r.interfacePath[0] + u" " + r.interfacePath[1]),
              drive.string() + "#cdrom " + drive.string());
    EXPECT_EQ(r.lun[0], 1);
    EXPECT_EQ(r.lun[1], 0);
    EXPECT_EQ(Identity(), "0x5E3B 0x7C34 4A3F0012B7C4D9E1 V01L00R05 1 2");
    EXPECT_EQ(ListedDrive(), nlohmann::json::parse(R"({"vendorId": "0x5E3B", "productId": "0x7C34",
        "firmwareVersion": "V01L00R05", "normalMode": true, "chipKind": 2})"));

    MakeDisk("c-no-update", 0x5E3B, 0x7C39, u"C");
    EXPECT_EQ(CountKnownDrives(devices_), kCensusMany);
    SetTree(drive, [](EmulatedTreeSettings& s) { s.attached = false; });
    EXPECT_EQ(CountKnownDrives(devices_), kCensusNoUpdate);
}

TEST_F(EmulatedDiscovery, IdentityLevelsAndFirstGeneration) {
    auto drive = MakeProgrammedDrive(1, "01020300", "SERIAL-ONE", {}, "gen1");
    ASSERT_EQ(mgr_.EnumerateDevices(ALL_DEVICES), 1);
    EXPECT_EQ(mgr_.IdentifyChip(0), 1);
    EXPECT_EQ(mgr_.deviceTable[0].productIdText, u"0x7C31");

    SetTree(drive, [](EmulatedTreeSettings& s) {
        s.usbLevels = 2;
        s.composite = false;
    });
    EXPECT_EQ(CountKnownDrives(devices_), kCensusOne);
    EXPECT_EQ(mgr_.EnumerateDevices(ALL_DEVICES), 1);
    SetTree(drive, [](EmulatedTreeSettings& s) { s.usbLevels = 3; });
    EXPECT_EQ(CountKnownDrives(devices_), kCensusNone);
    EXPECT_EQ(mgr_.EnumerateDevices(ALL_DEVICES), 0);
}

TEST_F(EmulatedDiscovery, StatusVersionAndIdentityRules) {
    auto drive = MakeProgrammedDrive(2, "02000100", "S1");
    SetTree(drive, [](EmulatedTreeSettings& s) { s.installPending = 3; });
    ASSERT_EQ(mgr_.EnumerateDevices(ALL_DEVICES), 1);
    EXPECT_EQ(clock_->sleptMs(), 300u);  // three looks at an interface not yet set up
    const DeviceRecord& r = mgr_.deviceTable[0];
    EXPECT_EQ(r.firmwareVersion, u"V02L00R01");
    EXPECT_EQ(r.statusMaskClear, 1);
    EXPECT_NE(r.bridgeInfo[0], 0xFF);  // V 2 in normal firmware: read
    EXPECT_EQ(r.diskLength[0], View(drive).logicalBlocks * View(drive).logicalBlockLength);
    // A slot refreshed does not take a drive a lower slot holds; slots beyond the table are none.
    EXPECT_EQ(mgr_.EnumerateDevices(1), 0);
    EXPECT_EQ(mgr_.deviceTable[1].pathCount, 0u);
    EXPECT_EQ(mgr_.IdentifyChip(99), -1);
    EXPECT_EQ(mgr_.IdentifyChip(-1), -1);

    {  // a sector-mode switch pending sets status bit 4
        CSpti request;
        ASSERT_TRUE(request.Open(*backend_, Utf8ToUtf16(drive.string())));
        ASSERT_TRUE(SetSectorMode(request, 1));
    }
    ASSERT_EQ(mgr_.EnumerateDevices(ALL_DEVICES), 1);
    EXPECT_EQ(mgr_.deviceTable[0].statusMaskClear, 0);
    PowerCycle(drive);

    // A failed status read counts as normal firmware; a failed version read as no bridge.
    SetFault(drive, {EmulatedFault::Kind::FailKind, 1, 0x51, 0, 0});
    ASSERT_EQ(mgr_.EnumerateDevices(ALL_DEVICES), 1);
    EXPECT_EQ(mgr_.deviceTable[0].normalMode, 1);
    EXPECT_EQ(mgr_.deviceTable[0].statusMaskClear, 0);
    ClearFaults(drive);
    SetFault(drive, {EmulatedFault::Kind::FailKind, 1, 0x52, 0, 0});
    EXPECT_EQ(mgr_.EnumerateDevices(ALL_DEVICES), 0);
    ClearFaults(drive);

    // No identity at the hub's port: empty texts, no chip.
    SetTree(drive, [](EmulatedTreeSettings& s) { s.portIdentity = EmulatedPortIdentity::None; });
    ASSERT_EQ(mgr_.EnumerateDevices(ALL_DEVICES), 1);
    EXPECT_TRUE(mgr_.deviceTable[0].vendorIdText.empty());
    EXPECT_EQ(mgr_.IdentifyChip(0), -1);
}

TEST_F(EmulatedDiscovery, TheCensusCountsAnsweringUsbDevicesOnce) {
    auto drive = MakeProgrammedDrive(2, "01000500", "S1");
    SetFault(drive, {EmulatedFault::Kind::FailKind, 1, 0x12, 0, 0});
    EXPECT_EQ(CountKnownDrives(devices_), kCensusNone);
    ClearFaults(drive);
    SetTree(drive, [](EmulatedTreeSettings& s) { s.busType = 3; });
    EXPECT_EQ(CountKnownDrives(devices_), kCensusNone);
    SetTree(drive, [](EmulatedTreeSettings& s) {
        s.busType = kBusTypeUsb;
        s.cdrom = true;
    });
    EXPECT_EQ(CountKnownDrives(devices_), kCensusOne);

    // Two disks of one USB device are one drive; texts longer than a record's are cut.
    const DeviceAccess doubled{backend_, std::make_shared<DoubledTree>(devices_.tree)};
    int devices = 0;
    EXPECT_EQ(CountKnownDrives(doubled, &devices), kCensusOne);
    EXPECT_EQ(devices, 1);
    mgr_.devices = doubled;
    ASSERT_EQ(mgr_.EnumerateDevices(ALL_DEVICES), 1);
    EXPECT_EQ(mgr_.deviceTable[0].product.size(), 64u);
}

TEST_F(EmulatedDiscovery, AnInterruptedUpdateShowsTheBareBridge) {
    auto drive = MakeProgrammedDrive(2, "01000500", "4A3F0012B7C4D9E1");
    ASSERT_EQ(mgr_.EnumerateDevices(ALL_DEVICES), 1);
    const DevNode before = mgr_.deviceTable[0].usbNode;
    {
        CSpti request;
        ASSERT_TRUE(request.Open(*backend_, mgr_.deviceTable[0].interfacePath[0]));
        ASSERT_TRUE(SelectUpdateMode(request));
        ASSERT_TRUE(RestartBridge(request));
    }
    // Away from the bus: a refresh finds nothing.
    EXPECT_EQ(mgr_.EnumerateDevices(0), 0);
    clock_->SleepMs(15000);
    // Back in the loader: erase the flash and pull the cable, as a broken update would.
    {
        CNtDevCtrl handle;
        ASSERT_TRUE(handle.Open(*backend_, Utf8ToUtf16(drive.string())));
        ASSERT_TRUE(BeginFlashUpdate(mgr_, handle));
    }
    SetFault(drive, {EmulatedFault::Kind::PullCable, 1, 0, 0});
    {
        CNtDevCtrl handle;
        ASSERT_TRUE(handle.Open(*backend_, Utf8ToUtf16(drive.string())));
        std::uint8_t status[kStatusBlockSize];
        EXPECT_FALSE(ReadBridgeStatus(status, handle));
    }
    EXPECT_EQ(mgr_.EnumerateDevices(ALL_DEVICES), 0);
    PowerCycle(drive);

    EXPECT_EQ(CountKnownDrives(devices_), kCensusOne);
    ASSERT_EQ(mgr_.EnumerateDevices(0), 1);
    const DeviceRecord& r = mgr_.deviceTable[0];
    EXPECT_NE(r.usbNode, before);
    EXPECT_EQ(Identity(), "0x04C5 0x2026  V00L00R00 0 2");
    EXPECT_EQ(r.diskLength[0], 0);  // no length asked in the loader
    EXPECT_EQ(r.bridgeInfo[0], 0xFF);
    EXPECT_EQ(ListedDrive(), nlohmann::json::parse(R"({"vendorId": "0x04C5", "productId": "0x2026",
        "firmwareVersion": "V00L00R00", "normalMode": false, "chipKind": 2})"));
}

}  // namespace
}  // namespace mox3::test
