// Discovery against emulated drives: the census, the enumeration and chip identification run
// over the emulator's device tree, through the emulator's pass-through.
#include <nlohmann/json.hpp>
#include <sstream>

#include "app/cli/commands.h"
#include "app/session/session.h"
#include "discovery/bridge_manager.h"
#include "discovery/census.h"
#include "emulator/emulator_fixture.h"
#include "emulator/emulator_tree.h"

namespace mox3::test {
namespace {

class EmulatedDiscovery : public EmulatedHostTest {
  protected:
    void SetUp() override {
        EmulatedHostTest::SetUp();
        mgr_.devices = devices_;
        mgr_.clock = clock_;
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
    std::ostringstream out, err;
    std::vector<std::string> args = {"--json"};
    ASSERT_EQ(RunListCommand(Session{devices_, "", clock_, {}}, args, out, err), 0) << err.str();
    const nlohmann::json listed = nlohmann::json::parse(out.str())["drives"][0];
    nlohmann::json shown;
    for (const char* key :
         {"vendorId", "productId", "serialNumber", "firmwareVersion", "normalMode", "chipKind"})
        shown[key] = listed[key];
    EXPECT_EQ(shown, nlohmann::json::parse(R"({"vendorId": "0x5E3B", "productId": "0x7C34",
        "serialNumber": "4A3F0012B7C4D9E1", "firmwareVersion": "V01L00R05", "normalMode": true,
        "chipKind": 2})"));

    MakeDisk("c-no-update", 0x5E3B, 0x7C39, u"C");
    EXPECT_EQ(CountKnownDrives(devices_), kCensusMany);
    SetTree(drive, [](EmulatedTreeSettings& s) { s.attached = false; });
    EXPECT_EQ(CountKnownDrives(devices_), kCensusNoUpdate);
}

TEST_F(EmulatedDiscovery, TheUsbDeviceUpToTwoLevelsAbove) {
    auto drive = MakeProgrammedDrive(1, "01020300", "SERIAL-ONE", {}, "gen1");
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
    EXPECT_NE(r.bridgeInfo[0], 0xFF);  // V 2 in normal firmware: read
    // A slot refreshed does not take a drive a lower slot holds.
    EXPECT_EQ(mgr_.EnumerateDevices(1), 0);

    // A failed status read counts as normal firmware; a failed version read as no bridge.
    SetFault(drive, {EmulatedFault::Kind::FailKind, 1, 0x51, 0, 0});
    ASSERT_EQ(mgr_.EnumerateDevices(ALL_DEVICES), 1);
    EXPECT_EQ(mgr_.deviceTable[0].normalMode, 1);
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

TEST_F(EmulatedDiscovery, TheCensusCountsOnlyAnsweringUsbDevices) {
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
}

}  // namespace
}  // namespace mox3::test
