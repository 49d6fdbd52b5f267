// The disk behind the emulated bridge: what a host's disk driver sends in either logical-block
// length, what the update loader answers instead, the disk's digest, and the time the latency
// model lets pass.
#include "base/bytes.h"
#include "base/text.h"
#include "emulator/emulator_fixture.h"

namespace mox3::test {
namespace {

namespace fs = std::filesystem;

constexpr std::uint64_t kBlocks512 = 8192;  // a 4 MiB disk

// READ, WRITE or SYNCHRONIZE CACHE of 10 or 16 bytes: the address at 2, the count after it.
Cdb Rw(std::size_t size, std::uint8_t opcode, std::uint64_t lba, std::uint32_t count) {
    Cdb cdb(size, 0);
    cdb[0] = opcode;
    WriteBe(cdb, 2, lba, size == 10 ? 4 : 8);
    WriteBe(cdb, size == 10 ? 7 : 10, count, size == 10 ? 2 : 4);
    return cdb;
}

std::vector<std::uint8_t> Pattern(std::size_t size, std::uint8_t seed) {
    std::vector<std::uint8_t> bytes(size);
    std::uint32_t x = seed * 2654435761u + 1;
    for (auto& b : bytes) {
        x = x * 1103515245u + 12345u;
        b = static_cast<std::uint8_t>(x >> 16);
    }
    return bytes;
}

// Sense key, ASC and ASCQ as hex digits: "52000" for an illegal request without codes.
std::string Sense(const Answer& a) {
    const auto& s = a.reply.sense;
    return s.size() > 13 ? HexString(std::vector<std::uint8_t>{s[2], s[12], s[13]}).substr(1) : "-";
}

// Sends a READ with 1024 bytes to receive, a WRITE with 512 to send, anything else without data.
Answer SendRw(PassThroughDevice& device, const Cdb& cdb) {
    const bool read = cdb[0] == 0x28 || cdb[0] == 0x88, write = cdb[0] == 0x2A || cdb[0] == 0x8A;
    return Send(device, cdb, read ? 1024 : 0, std::vector<std::uint8_t>(write ? 512 : 0));
}

class MediumTest : public EmulatorTest {
  protected:
    fs::path Drive(const std::string& name = "drive") {
        EmulatedDriveSetup setup;
        setup.diskBlocks = kBlocks512;
        return MakeProgrammedDrive(2, "0102030000010000", "ABCDEF0123456789", setup, name);
    }
};

TEST_F(MediumTest, TheSameBytesReadAsEitherBlockLength) {
    auto drive = Drive();
    auto device = Open(drive);
    const auto data = Pattern(8 * 512, 1);
    ASSERT_TRUE(Send(*device, Rw(10, 0x2A, 16, 8), 0, data).good());
    Answer back = Send(*device, Rw(16, 0x88, 16, 8), 8 * 512);
    ASSERT_TRUE(back.good());
    EXPECT_EQ(back.data, data);
    EXPECT_TRUE(Send(*device, Rw(10, 0x35, 0, 0)).good()) << "SYNCHRONIZE CACHE to the end";

    // 512-byte blocks 16 to 23 are the 4096-byte block 2.
    SwitchTo4096ByteBlocks(drive);
    device = Open(drive);
    back = Send(*device, Rw(10, 0x28, 2, 1), 4096);
    ASSERT_TRUE(back.good());
    EXPECT_EQ(back.data, data);
    const auto more = Pattern(2 * 4096, 2);
    ASSERT_TRUE(Send(*device, Rw(16, 0x8A, kBlocks512 / 8 - 2, 2), 0, more).good());
    std::vector<std::uint8_t> tail(2 * 4096);
    std::string why;
    ASSERT_TRUE(ExportEmulatedMedium(drive, dir_ / "tail.bin", kBlocks512 * 512 - tail.size(),
                                     std::nullopt, &why))
        << why;
    EXPECT_EQ(ReadBytes(dir_ / "tail.bin"), more);
}

TEST_F(MediumTest, RequestsOutsideTheDiskOrItsBufferAreRefused) {
    auto drive = Drive();
    auto device = Open(drive);
    const std::uint32_t last = kBlocks512 - 1;
    EXPECT_TRUE(Send(*device, Rw(10, 0x28, last, 1), 512).good());
    // Beyond the disk: logical block address out of range.
    for (const Cdb& cdb : {Rw(10, 0x28, last, 2), Rw(16, 0x8A, ~0ull, 1)}) {
        EXPECT_EQ(Sense(SendRw(*device, cdb)), "52100") << int(cdb[0]);
    }
    // A write needs all of its data; unknown commands.
    EXPECT_EQ(Send(*device, Rw(10, 0x2A, 0, 2), 0, std::vector<std::uint8_t>(512)).asc(),
              kAscInvalidFieldInCdb);
    EXPECT_EQ(Send(*device, {0x08, 0, 0, 0, 1, 0}, 512).asc(), kAscInvalidOpcode);
}

TEST_F(MediumTest, TheLoaderIsNotReadyButStillTellsItsCapacity) {
    auto drive = Drive();
    auto loader = RestartIntoLoader(drive);
    ASSERT_TRUE(View(drive).loader);
    for (const Cdb& cdb :
         {Cdb{0x00, 0, 0, 0, 0, 0}, Rw(10, 0x28, 0, 1), Rw(16, 0x8A, 0, 1), Rw(10, 0x35, 0, 0)}) {
        EXPECT_EQ(Sense(SendRw(*loader, cdb)), "20403") << int(cdb[0]);
    }
    // 8191: the last 512-byte block.
    EXPECT_EQ(HexString(Send(*loader, kReadCapacity10, 8).data), "00001FFF00000200");
    EXPECT_TRUE(Send(*loader, kInquiry, 36).good());
}

TEST_F(MediumTest, TheDigestFollowsTheBytesAndWhereTheyAre) {
    auto a = Drive("a");
    auto b = Drive("b");
    std::string why;
    auto digest = [&](const fs::path& drive) {
        return EmulatedMediumDigest(drive, &why).value_or(why);
    };
    const auto data = Pattern(200000, 4);
    WriteBytes(dir_ / "in.bin", data);
    ASSERT_TRUE(ImportEmulatedMedium(a, dir_ / "in.bin", 70000, &why)) << why;
    // Not how they were written: zeros written out whole count for nothing.
    std::vector<std::uint8_t> all(kBlocks512 * 512, 0);
    std::copy(data.begin(), data.end(), all.begin() + 70000);
    WriteBytes(dir_ / "all.bin", all);
    ASSERT_TRUE(ImportEmulatedMedium(b, dir_ / "all.bin", 0, &why)) << why;
    EXPECT_EQ(digest(b), digest(a));
    ASSERT_TRUE(ImportEmulatedMedium(b, dir_ / "in.bin", 70001, &why)) << why;
    EXPECT_NE(digest(b), digest(a));
}

TEST_F(MediumTest, TheLatencyModelPassesOnTheDrivesClock) {
    auto drive = Drive();
    std::string why;
    // A millisecond a request, then a millisecond per KiB, then per 256-byte page programmed.
    ASSERT_TRUE(SetEmulatedDriveLatency(drive, {1000, 0, 0}, &why)) << why;
    auto device = Open(drive);
    std::uint64_t before = clock_->sleptMs();
    for (int i = 0; i < 5; ++i) StatusByte0(*device);
    EXPECT_EQ(clock_->sleptMs() - before, 5u);

    ASSERT_TRUE(SetEmulatedDriveLatency(drive, {0, 1000, 0}, &why)) << why;
    before = clock_->sleptMs();
    ASSERT_TRUE(Send(*device, Rw(10, 0x28, 0, 8), 4096).good());
    EXPECT_EQ(clock_->sleptMs() - before, 4u);

    auto loader = RestartIntoLoader(drive);
    ASSERT_TRUE(SetEmulatedDriveLatency(drive, {0, 0, 1000}, &why)) << why;
    before = clock_->sleptMs();
    ASSERT_TRUE(
        SendHeaded(*loader, WriteFlashCdb(0), 0, std::vector<std::uint8_t>(1024, 0)).good());
    EXPECT_EQ(clock_->sleptMs() - before, 4u);
}

}  // namespace
}  // namespace mox3::test
