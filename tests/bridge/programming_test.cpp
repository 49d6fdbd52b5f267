// Preparation, programming and the logical-block length against emulated drives in virtual time.
#include "bridge/programming.h"

#include "bridge/flash_backup.h"
#include "bridge/vendor_commands.h"
#include "discovery/bridge_manager.h"
#include "emulator/emulator_fixture.h"
#include "emulator/emulator_tree.h"

namespace mox3::test {
namespace {

class Programming : public EmulatedHostTest {
  protected:
    void SetUp() override {
        EmulatedHostTest::SetUp();
        mgr_.devices = devices_;
        mgr_.clock = clock_;
    }
    std::uint64_t Commands(const std::filesystem::path& drive) { return View(drive).commandsTotal; }
    // A second-generation drive of firmware 1.05, listed; `prepared`: switched into the loader.
    std::filesystem::path Drive(const std::string& serial, bool prepared) {
        auto drive = MakeProgrammedDrive(2, "01000500", serial);
        EXPECT_EQ(mgr_.EnumerateDevices(ALL_DEVICES), 1);
        EXPECT_TRUE(!prepared || PrepareDevice(mgr_, 0) == 1);
        return drive;
    }
    CBridgeMgr mgr_;
};

TEST_F(Programming, PrepareTrustsAReadyBridgeAndIgnoresARefusedSwitch) {
    EmulatedDriveSetup ready;
    ready.readyWithoutSwitch = true;
    auto a = MakeProgrammedDrive(2, "01000500", "DRIVE-A", ready, "a");
    ASSERT_EQ(mgr_.EnumerateDevices(ALL_DEVICES), 1);
    EXPECT_EQ(PrepareDevice(mgr_, 0), 1);
    EXPECT_FALSE(View(a).loader);  // never switched

    SetTree(a, [](EmulatedTreeSettings& s) { s.attached = false; });
    auto b = MakeProgrammedDrive(2, "01000500", "DRIVE-B", {}, "b");
    SetFault(b, {EmulatedFault::Kind::RefuseUpdateMode, 1, 0, 0});
    ASSERT_EQ(mgr_.EnumerateDevices(ALL_DEVICES), 1);
    const std::uint64_t slept = clock_->sleptMs();
    EXPECT_EQ(PrepareDevice(mgr_, 0), 1);
    EXPECT_EQ(clock_->sleptMs(), slept);  // at once, without waiting
    EXPECT_EQ(mgr_.deviceTable[0].modeSwitched, 0);
}

// Pages of nothing but 0xFF may be left as the erase left them, yet are read back and compared
// all the same; a bridge that stays busy fails every pass after its waits.
TEST_F(Programming, RegionsAreVerifiedWholeAndEveryPassWaits) {
    auto drive = Drive("SERIAL-S", true);
    mgr_.restartAfterProgramming = 0;
    mgr_.attemptLimit = 2;
    std::vector<std::uint8_t> bytes(4 * kFlashPageSize, 0xFF);
    bytes[kFlashPageSize + 7] = 0x42;
    const FlashRegion region[] = {{0x8000, bytes}};
    ASSERT_EQ(ProgramRegions(mgr_, 0, region, true), 1);
    const std::vector<std::uint8_t> flash = View(drive).flash;
    EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), flash.begin() + 0x8000));
    SetFault(drive, {EmulatedFault::Kind::CorruptRead, 1, 0, 0x8000 + 3 * kFlashPageSize});
    EXPECT_EQ(ProgramRegions(mgr_, 0, region, true), 0);

    ClearFaults(drive);
    SetFault(drive, {EmulatedFault::Kind::StayBusy, 1, 0, 0});
    mgr_.pollLimit = 4;
    mgr_.attemptLimit = 3;
    const std::uint64_t slept = clock_->sleptMs();
    EXPECT_EQ(ProgramRegions(mgr_, 0, region, false), 0);
    EXPECT_EQ(clock_->sleptMs() - slept, 3u * 4u * 500u);
}

// (Reading and writing the lengths the bridge takes: the update runs over drives of both.)
TEST_F(Programming, ABlockLengthTheBridgeCannotTakeIsNotSent) {
    auto drive = Drive("SERIAL-S", false);
    const std::uint64_t before = Commands(drive);
    EXPECT_EQ(WriteSectorSize(mgr_, 0, 1024), 0);
    EXPECT_EQ(Commands(drive), before);
}

// A backup reads the flash size the block stores, rounded up as the firmware room is; a size
// the block cannot hold reads the largest flash.
TEST(FlashBackup, SizeFollowsTheStoredFlashSize) {
    const std::pair<std::uint32_t, std::uint32_t> rows[] = {
        {65536, 65536}, {65537, 131072}, {131073, 262144}, {0, 262144}, {0xFFFFFFFF, 262144}};
    for (const auto& [stored, read] : rows) {
        std::vector<std::uint8_t> block(4096, 0);
        for (int i = 0; i < 4; ++i) block[76 + i] = static_cast<std::uint8_t>(stored >> (8 * i));
        EXPECT_EQ(BackupFlashSize(2, block), read) << stored;
        EXPECT_EQ(BackupFlashSize(1, block), 65536u) << stored;
    }
}

}  // namespace
}  // namespace mox3::test
