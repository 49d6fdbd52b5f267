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
    std::u16string WriteImage(const std::string& digits, std::size_t size = 20000) {
        std::string why;
        auto image = MakeSampleImage({2, digits, size, 9}, &why);
        WriteBytes(dir_ / "image.bin", image);
        return Utf8ToUtf16((dir_ / "image.bin").string());
    }
    // A second-generation drive of firmware 1.05, listed; `prepared`: switched into the loader.
    std::filesystem::path Drive(const std::string& serial, bool prepared) {
        auto drive = MakeProgrammedDrive(2, "01000500", serial);
        EXPECT_EQ(mgr_.EnumerateDevices(ALL_DEVICES), 1);
        EXPECT_TRUE(!prepared || PrepareDevice(mgr_, 0) == 1);
        return drive;
    }
    std::u16string WriteConfig(int id) {
        const EmbeddedResource* r = FindConfigResource(id);
        WriteBytes(dir_ / "config.ini",
                   std::vector<std::uint8_t>(r->bytes.begin(), r->bytes.end()));
        return Utf8ToUtf16((dir_ / "config.ini").string());
    }

    CBridgeMgr mgr_;
};

TEST_F(Programming, PrepareSwitchesIntoTheLoaderOnlyWhenNeeded) {
    auto drive = Drive("4A3F0012B7C4D9E1", false);
    EXPECT_EQ(PrepareDevice(mgr_, 1), 0);
    ASSERT_EQ(PrepareDevice(mgr_, 0), 1);
    EXPECT_EQ(std::tuple(mgr_.deviceTable[0].modeSwitched, mgr_.deviceTable[0].normalMode,
                         View(drive).loader),
              std::tuple(1, 0, true));
    EXPECT_GE(clock_->sleptMs(), 15000u);

    // Already in the loader: nothing is sent.
    std::uint64_t before = Commands(drive);
    EXPECT_EQ(PrepareDevice(mgr_, 0), 1);
    EXPECT_EQ(Commands(drive), before);
}

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

    // A drive that never comes back after the switch.
    ClearFaults(b);
    SetFault(b, {EmulatedFault::Kind::NoReturn, 1, 0, 0});
    mgr_.pollLimit = 20;
    EXPECT_EQ(PrepareDevice(mgr_, 0), 0);
}

TEST_F(Programming, ProgramsVerifiesAndRestarts) {
    auto drive = Drive("4A3F0012B7C4D9E1", false);
    const std::u16string image = WriteImage("01000700");
    const std::u16string config = WriteConfig(117);

    // The wrong chip kind, or an image too short, sends nothing.
    std::uint64_t before = Commands(drive);
    EXPECT_EQ(ProgramDevice(image, mgr_, 0, 1, config, u"4A3F0012B7C4D9E1"), 0);
    WriteBytes(dir_ / "tiny.bin", {0x41});
    EXPECT_EQ(ProgramDevice(Utf8ToUtf16((dir_ / "tiny.bin").string()), mgr_, 0, 2, config, u"X"),
              0);
    EXPECT_EQ(ProgramDevice(image, mgr_, 5, 2, config, u"X"), 0);
    EXPECT_EQ(Commands(drive), before);

    ASSERT_EQ(PrepareDevice(mgr_, 0), 1);
    // A command failing half-way through: the pass repeats from the start and the next holds.
    SetFault(drive, {EmulatedFault::Kind::FailCommand, 30, 0, 0});
    ASSERT_NE(ProgramDevice(image, mgr_, 0, 2, config, u"4A3F0012B7C4D9E1"), 0);
    EXPECT_EQ(mgr_.deviceTable[0].prepareState, 1);
    clock_->SleepMs(5000);
    EXPECT_EQ(Presented(View(drive)),
              "0x5E3B:0x7C34 0x0001 KAVELIN|ZR-MOX3|4A3F0012B7C4D9E1 V01L00R07");
}

TEST_F(Programming, ABridgeThatStaysBusyFailsEveryPass) {
    auto drive = Drive("SERIAL-S", true);
    SetFault(drive, {EmulatedFault::Kind::StayBusy, 1, 0, 0});
    mgr_.pollLimit = 4;
    mgr_.attemptLimit = 3;
    const std::uint64_t slept = clock_->sleptMs();
    EXPECT_EQ(ProgramDevice(WriteImage("01000700"), mgr_, 0, 2, WriteConfig(117), u"SERIAL-S"), 0);
    EXPECT_EQ(clock_->sleptMs() - slept, 3u * 4u * 500u);
}

// Pages of nothing but 0xFF are left as the erase left them when asked, yet read back and
// compared all the same.
TEST_F(Programming, RegionsMaySkipErasedPagesButVerifyThemAll) {
    auto drive = Drive("SERIAL-S", true);
    mgr_.restartAfterProgramming = 0;
    mgr_.attemptLimit = 2;
    std::vector<std::uint8_t> bytes(4 * kFlashPageSize, 0xFF);
    bytes[kFlashPageSize + 7] = 0x42;
    const FlashRegion region[] = {{0x8000, bytes}};
    std::uint64_t sent[2] = {};
    for (const bool skip : {false, true}) {
        const std::uint64_t before = Commands(drive);
        ASSERT_EQ(ProgramRegions(mgr_, 0, region, skip), 1);
        sent[skip] = Commands(drive) - before;
        const std::vector<std::uint8_t> flash = View(drive).flash;
        EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), flash.begin() + 0x8000));
    }
    EXPECT_EQ(sent[0] - sent[1], 3u * 2u);  // the three erased pages, each a header and a write
    SetFault(drive, {EmulatedFault::Kind::CorruptRead, 1, 0, 0x8000 + 3 * kFlashPageSize});
    EXPECT_EQ(ProgramRegions(mgr_, 0, region, true), 0);
}

TEST_F(Programming, LogicalBlockLength) {
    auto drive = Drive("SERIAL-S", false);
    using Size = std::pair<std::int64_t, std::uint32_t>;  // blocks, block length
    auto size = [&](int index) {
        std::uint32_t length = 99;
        const std::int64_t blocks = ReadSectorSize(mgr_, index, &length);
        return Size(blocks, length);
    };
    EXPECT_EQ(size(0), Size(3907029168, 512));
    EXPECT_EQ(ReadSectorSize(mgr_, 0, nullptr), 3907029168);
    EXPECT_EQ(size(1), Size(-1, 0));
    EXPECT_EQ(WriteSectorSize(mgr_, 1, 4096), 0);
    std::uint64_t before = Commands(drive);
    EXPECT_EQ(WriteSectorSize(mgr_, 0, 1024), 0);
    EXPECT_EQ(Commands(drive), before);
    EXPECT_EQ(WriteSectorSize(mgr_, 0, 4096), 1);
    EXPECT_EQ(RestartDevice(mgr_, 0), 1);
    EXPECT_EQ(RestartDevice(mgr_, 1), 0);
    clock_->SleepMs(5000);
    ASSERT_EQ(mgr_.EnumerateDevices(ALL_DEVICES), 1);
    EXPECT_EQ(size(0), Size(3907029168 / 8, 4096));
}

// A backup reads the flash size the block stores, rounded up as the firmware room is; a size
// the block cannot hold reads the largest flash.
TEST(FlashBackup, SizeFollowsTheStoredFlashSize) {
    const std::pair<std::uint32_t, std::uint32_t> rows[] = {
        {40000, 65536},   {65536, 65536}, {65537, 131072},  {131072, 131072},     {131073, 262144},
        {262144, 262144}, {0, 262144},    {262145, 262144}, {0xFFFFFFFF, 262144},
    };
    for (const auto& [stored, read] : rows) {
        std::vector<std::uint8_t> block(4096, 0);
        for (int i = 0; i < 4; ++i) block[76 + i] = static_cast<std::uint8_t>(stored >> (8 * i));
        EXPECT_EQ(BackupFlashSize(2, block), read) << stored;
        EXPECT_EQ(BackupFlashSize(1, block), 65536u) << stored;
    }
}

}  // namespace
}  // namespace mox3::test
