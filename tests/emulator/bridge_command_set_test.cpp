// The bridge's command set as a host sends it: a whole programming session, the header rules,
// flash programming semantics, the sector setting and the capacity answers.
#include "base/bytes.h"
#include "emulator/emulator_fixture.h"

namespace mox3::test {
namespace {

using EmulatorCommands = EmulatorTest;

std::vector<std::uint8_t> Page(const std::vector<std::uint8_t>& bytes, std::size_t offset) {
    std::vector<std::uint8_t> page(1024, 0);
    for (std::size_t i = 0; i < 1024 && offset + i < bytes.size(); ++i) page[i] = bytes[offset + i];
    return page;
}

TEST_F(EmulatorCommands, WholeProgrammingSessionByRawRequests) {
    auto drive = MakeProgrammedDrive(2, "010203", "OLDSERIAL0000001");
    FactoryParts next = CompileParts(dir_, 2, "0205070001000000", "NEWSERIAL0000002", 118);

    auto normal = Open(drive);
    EXPECT_FALSE(SendHeaded(*normal, BeginCdb()).good()) << "flash commands need the loader";
    ASSERT_TRUE(Send(*normal, VendorCdb(0x3B, 0x53)).good());
    EXPECT_EQ(StatusByte0(*normal) & 0x20, 0x20);
    ASSERT_TRUE(Send(*normal, VendorCdb(0x3B, 0x50)).good());
    std::string why;
    EXPECT_EQ(Open(drive, &why), nullptr);
    EXPECT_NE(why.find("off the bus"), std::string::npos) << why;
    clock_->Advance(kRestartDelay - 1);
    EXPECT_EQ(Open(drive), nullptr);
    clock_->Advance(1);
    auto loader = Open(drive);
    ASSERT_NE(loader, nullptr);
    EXPECT_FALSE(Send(*normal, VendorCdb(0x3C, 0x51), 12).delivered) << "a stale handle";
    EXPECT_EQ(View(drive).usb.productId, 0x2026);

    ASSERT_TRUE(SendHeaded(*loader, BeginCdb()).good());
    EXPECT_EQ(View(drive).flash, std::vector<std::uint8_t>(kSecondGenerationFlashSize, 0xFF));
    Answer early = SendHeaded(*loader, WriteFlashCdb(0), 0, Page(next.block, 0));
    EXPECT_EQ(early.senseKey(), kSenseNotReady) << "writes wait for the erase";
    int busyReads = 0;
    while (StatusByte0(*loader) & 0x80) ++busyReads;
    EXPECT_EQ(busyReads, 3);

    ASSERT_TRUE(Send(*loader, VendorCdb(0x3B, 0x24), 0, {1, 2, 3, 4, 5, 6, 7, 8}).good());
    for (std::uint32_t k = 0; k < 4; ++k) {
        ASSERT_TRUE(
            SendHeaded(*loader, WriteFlashCdb(1024 * k), 0, Page(next.block, 1024 * k)).good());
    }
    for (std::uint32_t k = 0; k < next.firmwareLength / 1024; ++k) {
        ASSERT_TRUE(SendHeaded(*loader, WriteFlashCdb(next.firmwareAddress + 1024 * k), 0,
                               Page(next.image, 1024 * k))
                        .good());
    }
    for (std::uint32_t k = 0; k < 4; ++k) {
        Answer back = SendHeaded(*loader, ReadFlashCdb(1024 * k), 1024);
        ASSERT_TRUE(back.good());
        EXPECT_EQ(back.data, Page(next.block, 1024 * k));
    }
    Answer last =
        SendHeaded(*loader, ReadFlashCdb(next.firmwareAddress + next.firmwareLength - 1024), 1024);
    EXPECT_EQ(last.data, Page(next.image, next.firmwareLength - 1024));
    EXPECT_EQ(View(drive).flashParameters,
              (std::optional<std::array<std::uint8_t, 8>>({1, 2, 3, 4, 5, 6, 7, 8})));

    ASSERT_TRUE(Send(*loader, VendorCdb(0x3B, 0x50)).good());
    clock_->Advance(kRestartDelay);
    auto updated = Open(drive);
    ASSERT_NE(updated, nullptr);
    EmulatedDriveView v = View(drive);
    EXPECT_FALSE(v.loader);
    EXPECT_EQ(Utf16ToUtf8(v.usb.product), "ZR-MOXE3");
    EXPECT_EQ(Utf16ToUtf8(v.usb.serialNumber), "NEWSERIAL0000002");
    EXPECT_EQ(v.firmwareVersion, "V02L05R07-1");
    EXPECT_FALSE(v.flashParameters.has_value()) << "forgotten at the restart";
}

TEST_F(EmulatorCommands, HeaderRulesAndAFlashThatOnlyClearsBitsUntilErased) {
    auto loader = RestartIntoLoader(MakeProgrammedDrive(2, "010203", "SERIAL0001"));
    ASSERT_NE(loader, nullptr);
    ASSERT_TRUE(SendHeaded(*loader, ReadFlashCdb(0x1000), 1024).good());

    Cdb wrongSum = HeaderCdb(ReadFlashCdb(0x1000));
    wrongSum[4] ^= 0x01;
    EXPECT_TRUE(Send(*loader, wrongSum).good()) << "the checksum is checked on the next command";
    Answer read = Send(*loader, ReadFlashCdb(0x1000), 1024);
    EXPECT_EQ(read.reply.status, kScsiStatusCheckCondition);
    EXPECT_EQ(read.senseKey(), kSenseIllegalRequest);

    Cdb wrongSignature = HeaderCdb(ReadFlashCdb(0x1000));
    wrongSignature[7] = 'X';
    EXPECT_EQ(Send(*loader, wrongSignature).reply.status, kScsiStatusCheckCondition);
    Cdb wrongFunction = HeaderCdb(VendorCdb(0x3B, 0x24));
    EXPECT_EQ(Send(*loader, wrongFunction).reply.status, kScsiStatusCheckCondition);
    Cdb otherFunction = HeaderCdb(WriteFlashCdb(0x1000));  // header of a write before a read
    EXPECT_TRUE(Send(*loader, otherFunction).good());
    EXPECT_FALSE(Send(*loader, ReadFlashCdb(0x1000), 1024).good());

    EXPECT_FALSE(Send(*loader, ReadFlashCdb(0x1000), 1024).good()) << "no header";
    ASSERT_TRUE(Send(*loader, HeaderCdb(ReadFlashCdb(0x1000))).good());
    ASSERT_TRUE(Send(*loader, VendorCdb(0x3C, 0x51), 12).good());
    EXPECT_FALSE(Send(*loader, ReadFlashCdb(0x1000), 1024).good()) << "header used up";
    Answer beyond = SendHeaded(*loader, ReadFlashCdb(kSecondGenerationFlashSize - 512), 1024);
    EXPECT_EQ(beyond.senseKey(), kSenseIllegalRequest);

    // Programming only clears bits.
    EraseFlash(*loader);
    ASSERT_TRUE(
        SendHeaded(*loader, WriteFlashCdb(4096), 0, std::vector<std::uint8_t>(1024, 0xF0)).good());
    ASSERT_TRUE(
        SendHeaded(*loader, WriteFlashCdb(4096), 0, std::vector<std::uint8_t>(1024, 0x0F)).good());
    Answer back = SendHeaded(*loader, ReadFlashCdb(4096), 1024);
    EXPECT_EQ(back.data, std::vector<std::uint8_t>(1024, 0x00));
    EraseFlash(*loader);
    ASSERT_TRUE(
        SendHeaded(*loader, WriteFlashCdb(4096), 0, std::vector<std::uint8_t>(1024, 0x0F)).good());
    EXPECT_EQ(SendHeaded(*loader, ReadFlashCdb(4096), 1024).data,
              std::vector<std::uint8_t>(1024, 0x0F));
}

TEST_F(EmulatorCommands, SectorSettingTakesEffectAtTheNextStartAndSetsTheCapacity) {
    EmulatedDriveSetup setup;
    setup.diskBlocks = 5860533168ull;  // 3 TB: more 512-byte blocks than READ CAPACITY(10) holds
    auto drive = MakeProgrammedDrive(1, "01020300", "SERIAL0001", setup);
    auto device = Open(drive);
    Answer c16 = Send(*device, kReadCapacity16, 12);
    ASSERT_TRUE(c16.good());
    EXPECT_EQ(ReadBe(c16.data, 0, 8), 5860533167ull);
    EXPECT_EQ(ReadBe(c16.data, 8, 4), 512u);
    Answer c10 = Send(*device, kReadCapacity10, 8);
    EXPECT_EQ(ReadBe(c10.data, 0, 4), 0xFFFFFFFFull);

    ASSERT_TRUE(Send(*device, VendorCdb(0x3B, 0x8A, 0, 1)).good());
    EXPECT_EQ(ReadBe(Send(*device, kReadCapacity16, 12).data, 8, 4), 512u)
        << "not before the restart";
    EXPECT_EQ(StatusByte0(*device) & 0x10, 0x10);
    EXPECT_FALSE(Send(*device, VendorCdb(0x3B, 0x8A, 0, 2)).good());
    ASSERT_TRUE(Send(*device, VendorCdb(0x3B, 0x50)).good());
    clock_->Advance(kRestartDelay);
    device = Open(drive);
    c16 = Send(*device, kReadCapacity16, 12);
    EXPECT_EQ(ReadBe(c16.data, 0, 8), 5860533168ull / 8 - 1);
    EXPECT_EQ(ReadBe(c16.data, 8, 4), 4096u);
    c10 = Send(*device, kReadCapacity10, 8);
    EXPECT_EQ(ReadBe(c10.data, 0, 4), 5860533168ull / 8 - 1);
    EXPECT_EQ(ReadBe(c10.data, 4, 4), 4096u);
    EXPECT_FALSE(View(drive).loader) << "the setting lies outside the block's digest";

    Answer unknown = Send(*device, {0x08, 0, 0, 0, 1, 0}, 512);  // READ(6)
    EXPECT_EQ(unknown.reply.status, kScsiStatusCheckCondition);
    EXPECT_EQ(unknown.senseKey(), kSenseIllegalRequest);
    EXPECT_EQ(unknown.asc(), kAscInvalidOpcode);
    EXPECT_EQ(Send(*device, VendorCdb(0x3C, 0x77), 8).senseKey(), kSenseIllegalRequest);
}

}  // namespace
}  // namespace mox3::test
