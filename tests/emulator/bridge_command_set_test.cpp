// The bridge's command set as a host sends it: the loader's flash commands and their header
// rules, flash programming semantics, the sector setting and the capacity answers.
#include "base/bytes.h"
#include "emulator/emulator_fixture.h"

namespace mox3::test {
namespace {

using EmulatorCommands = EmulatorTest;
using Bytes = std::vector<std::uint8_t>;

// Per command sent: '+' answered GOOD, the sense key's digit when refused, 'x' not delivered.
std::string Outcomes(PassThroughDevice& device, std::initializer_list<Cdb> cdbs) {
    std::string out;
    for (const Cdb& cdb : cdbs) {
        Answer a = Send(device, cdb, cdb[2] == 0x51 ? 12 : 8);
        out += a.good() ? '+' : a.delivered ? static_cast<char>('0' + a.senseKey()) : 'x';
    }
    return out;
}

// (What each fault does to an update: the run tests and the fault matrix.)
TEST_F(EmulatorCommands, FaultsStrikeTheCommandsTheyCount) {
    using Kind = EmulatedFault::Kind;
    auto drive = MakeProgrammedDrive(2, "010203", "SERIAL0001");
    auto device = Open(drive);
    SetFault(drive, {Kind::FailCommand, 2});
    EXPECT_EQ(Outcomes(*device, {kVersion, kVersion, kVersion}), "+4+") << "a hardware error";
    SetFault(drive, {Kind::FailKind, 2, 0x51});
    SetFault(drive, {Kind::PullCable, 5});
    EXPECT_EQ(Outcomes(*device, {kStatus, kVersion, kStatus, kStatus, kVersion}), "++44x");
    PowerCycle(drive);
    EXPECT_EQ(Outcomes(*Open(drive), {kVersion}), "+") << "the pulled cable struck once";
}

// (A whole update by these commands, page by page: the run tests and the golden transcripts.)
TEST_F(EmulatorCommands, FlashCommandsNeedTheLoaderAValidHeaderAndAnErase) {
    auto drive = MakeProgrammedDrive(2, "010203", "SERIAL0001");
    auto normal = Open(drive);
    EXPECT_FALSE(SendHeaded(*normal, BeginCdb()).good()) << "flash commands need the loader";
    auto loader = RestartIntoLoader(drive);
    ASSERT_NE(loader, nullptr);
    EXPECT_FALSE(Send(*normal, kStatus, 12).delivered) << "a stale handle";
    const Cdb read = ReadFlashCdb(0x1000);
    ASSERT_TRUE(SendHeaded(*loader, read, 1024).good());
    Cdb wrongSum = HeaderCdb(read), wrongSignature = HeaderCdb(read);
    wrongSum[4] ^= 0x01;
    wrongSignature[7] = 'X';
    EXPECT_TRUE(Send(*loader, wrongSum).good()) << "the checksum is checked on the next command";
    EXPECT_EQ(Send(*loader, read, 1024).senseKey(), kSenseIllegalRequest);
    for (const Cdb& header : {wrongSignature, HeaderCdb(VendorCdb(0x3B, 0x24))}) {
        EXPECT_EQ(Send(*loader, header).reply.status, kScsiStatusCheckCondition);
    }
    EXPECT_TRUE(Send(*loader, HeaderCdb(WriteFlashCdb(0x1000))).good()) << "a write's header";
    EXPECT_FALSE(Send(*loader, read, 1024).good()) << "does not let a read through";
    ASSERT_TRUE(Send(*loader, HeaderCdb(read)).good());
    ASSERT_TRUE(Send(*loader, kStatus, 12).good());
    EXPECT_FALSE(Send(*loader, read, 1024).good()) << "header used up";
    EXPECT_EQ(SendHeaded(*loader, ReadFlashCdb(kSecondGenerationFlashSize - 512), 1024).senseKey(),
              kSenseIllegalRequest);

    // Programming only clears bits: 0xF0 then 0x0F leave 0x00, and only an erase undoes it.
    for (const Bytes& values : {Bytes{0xF0, 0x0F, 0x00}, Bytes{0x0F, 0x0F}}) {
        ASSERT_TRUE(SendHeaded(*loader, BeginCdb()).good());
        EXPECT_EQ(SendHeaded(*loader, WriteFlashCdb(4096), 0, Bytes(1024, 0)).senseKey(),
                  kSenseNotReady)
            << "writes wait for the erase";
        int busyReads = 0;
        while (StatusByte0(*loader) & 0x80) ++busyReads;
        EXPECT_EQ(busyReads, 3);
        for (std::size_t i = 0; i + 1 < values.size(); ++i) {
            ASSERT_TRUE(SendHeaded(*loader, WriteFlashCdb(4096), 0, Bytes(1024, values[i])).good());
        }
        EXPECT_EQ(SendHeaded(*loader, ReadFlashCdb(4096), 1024).data, Bytes(1024, values.back()));
    }
}

TEST_F(EmulatorCommands, SectorSettingTakesEffectAtTheNextStartAndSetsTheCapacity) {
    EmulatedDriveSetup setup;
    setup.diskBlocks = 5860533168ull;  // 3 TB: more 512-byte blocks than READ CAPACITY(10) holds
    auto drive = MakeProgrammedDrive(1, "01020300", "SERIAL0001", setup);
    auto device = Open(drive);
    // READ CAPACITY(16) and (10): last block and block length of each.
    auto capacities = [&] {
        Answer c16 = Send(*device, kReadCapacity16, 12), c10 = Send(*device, kReadCapacity10, 8);
        EXPECT_TRUE(c16.good() && c10.good());
        return std::vector<std::uint64_t>{ReadBe(c16.data, 0, 8), ReadBe(c16.data, 8, 4),
                                          ReadBe(c10.data, 0, 4), ReadBe(c10.data, 4, 4)};
    };
    const std::vector<std::uint64_t> at512 = {5860533167ull, 512, 0xFFFFFFFF, 512};
    EXPECT_EQ(capacities(), at512);
    ASSERT_TRUE(Send(*device, VendorCdb(0x3B, 0x8A, 0, 1)).good());
    EXPECT_EQ(capacities(), at512) << "not before the restart";
    ASSERT_TRUE(Send(*device, VendorCdb(0x3B, 0x50)).good());
    clock_->Advance(kRestartDelay);
    device = Open(drive);
    const std::uint64_t last = 5860533168ull / 8 - 1;
    EXPECT_EQ(capacities(), (std::vector<std::uint64_t>{last, 4096, last, 4096}));
    EXPECT_FALSE(View(drive).loader) << "the setting lies outside the block's digest";
}

}  // namespace
}  // namespace mox3::test
