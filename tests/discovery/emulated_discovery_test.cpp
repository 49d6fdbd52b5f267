// Discovery against emulated drives: the census, the enumeration and chip identification run
// over the emulator's device tree, through the emulator's pass-through.
#include <sstream>

#include <nlohmann/json.hpp>

#include "app/cli/commands.h"
#include "app/session/session.h"
#include "bridge/vendor_commands.h"
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
    void Settings(const std::filesystem::path& device,
                  const std::function<void(EmulatedTreeSettings&)>& edit) {
        std::string why;
        ASSERT_TRUE(ChangeEmulatedTreeSettings(device, edit, *clock_, &why)) << why;
    }
    std::filesystem::path Disk(const std::string& name, std::uint16_t vid, std::uint16_t pid) {
        EmulatedDiskSetup setup;
        setup.vendorId = vid;
        setup.productId = pid;
        setup.serialNumber = u"DISK" + Utf8ToUtf16(name);
        std::string why;
        EXPECT_TRUE(CreateEmulatedDisk(dir_ / name, setup, *clock_, &why)) << why;
        return dir_ / name;
    }

    nlohmann::json ListJson() {
        std::ostringstream out, err;
        std::vector<std::string> args = {"--json"};
        EXPECT_EQ(RunListCommand(Session{devices_, "", clock_, {}}, args, out, err), 0) << err.str();
        return nlohmann::json::parse(out.str());
    }

    CBridgeMgr mgr_;
};

TEST_F(EmulatedDiscovery, ADriveWithTwoInterfacesBesideOtherDisks) {
    EXPECT_EQ(CountKnownDrives(devices_), kCensusNone);
    auto drive = MakeProgrammedDrive(2, "01000500", "4A3F0012B7C4D9E1", {}, "a-drive");
    Settings(drive, [](EmulatedTreeSettings& s) { s.cdrom = true; });
    Disk("b-other", 0x1234, 0x5678);
    EXPECT_EQ(CountKnownDrives(devices_), kCensusOne);

    ASSERT_EQ(mgr_.EnumerateDevices(ALL_DEVICES), 1);  // the plain disk is no bridge
    const DeviceRecord& r = mgr_.deviceTable[0];
    ASSERT_EQ(r.pathCount, 2u);
    EXPECT_EQ(Utf16ToUtf8(r.interfacePath[0]), (drive.string() + "#cdrom"));
    EXPECT_EQ(Utf16ToUtf8(r.interfacePath[1]), drive.string());
    EXPECT_EQ(r.lun[0], 1);
    EXPECT_EQ(r.lun[1], 0);
    EXPECT_EQ(r.vendorIdText, u"0x5E3B");
    EXPECT_EQ(r.productIdText, u"0x7C34");
    EXPECT_EQ(r.serialNumber, u"4A3F0012B7C4D9E1");
    EXPECT_EQ(r.firmwareVersion, u"V01L00R05");
    EXPECT_EQ(r.normalMode, 1);
    EXPECT_EQ(mgr_.IdentifyChip(0), 2);
    const auto listed = ListJson();
    ASSERT_EQ(listed["drives"].size(), 1u);
    EXPECT_EQ(listed["drives"][0]["productId"], "0x7C34");
    EXPECT_EQ(listed["drives"][0]["firmwareVersion"], "V01L00R05");
    EXPECT_EQ(listed["drives"][0]["normalMode"], true);
    EXPECT_EQ(listed["drives"][0]["chipKind"], 2);

    Disk("c-no-update", 0x5E3B, 0x7C39);
    EXPECT_EQ(CountKnownDrives(devices_), kCensusMany);
    std::string why;
    ASSERT_TRUE(ChangeEmulatedTreeSettings(
        drive, [](EmulatedTreeSettings& s) { s.attached = false; }, *clock_, &why));
    EXPECT_EQ(CountKnownDrives(devices_), kCensusNoUpdate);
}

TEST_F(EmulatedDiscovery, IdentityLevelsAndFirstGeneration) {
    auto drive = MakeProgrammedDrive(1, "01020300", "SERIAL-ONE", {}, "gen1");
    ASSERT_EQ(mgr_.EnumerateDevices(ALL_DEVICES), 1);
    EXPECT_EQ(mgr_.IdentifyChip(0), 1);
    EXPECT_EQ(mgr_.deviceTable[0].productIdText, u"0x7C31");

    Settings(drive, [](EmulatedTreeSettings& s) {
        s.usbLevels = 2;
        s.composite = false;
    });
    EXPECT_EQ(CountKnownDrives(devices_), kCensusOne);
    EXPECT_EQ(mgr_.EnumerateDevices(ALL_DEVICES), 1);
    Settings(drive, [](EmulatedTreeSettings& s) { s.usbLevels = 3; });
    EXPECT_EQ(CountKnownDrives(devices_), kCensusNone);
    EXPECT_EQ(mgr_.EnumerateDevices(ALL_DEVICES), 0);
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
    EXPECT_EQ(r.vendorIdText, u"0x04C5");
    EXPECT_EQ(r.productIdText, u"0x2026");
    EXPECT_EQ(r.normalMode, 0);
    EXPECT_EQ(r.bridgeInfo[0], 0xFF);
    EXPECT_EQ(mgr_.IdentifyChip(0), 2);

    // What the list command shows of it.
    const auto listed = ListJson();
    EXPECT_EQ(listed["census"], 1);
    ASSERT_EQ(listed["drives"].size(), 1u);
    const auto& listedDrive = listed["drives"][0];
    EXPECT_EQ(listedDrive["vendorId"], "0x04C5");
    EXPECT_EQ(listedDrive["productId"], "0x2026");
    EXPECT_EQ(listedDrive["normalMode"], false);
    EXPECT_EQ(listedDrive["chipKind"], 2);
}

}  // namespace
}  // namespace mox3::test
