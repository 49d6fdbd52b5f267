// The bridge's command set as a host sends it: a whole programming session, the header rules,
// flash programming semantics, the sector setting and the capacity answers.
#include "base/bytes.h"
#include "emulator/emulator_fixture.h"

namespace mox3::test {
namespace {

using EmulatorCommands = EmulatorTest;
using Bytes = std::vector<std::uint8_t>;

Bytes Page(const Bytes& bytes, std::size_t at) {
    Bytes page(bytes.begin() + at, bytes.begin() + std::min(bytes.size(), at + 1024));
    page.resize(1024);
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
    EXPECT_FALSE(Send(*normal, kStatus, 12).delivered) << "a stale handle";
    EXPECT_EQ(View(drive).usb.productId, 0x2026);

    ASSERT_TRUE(SendHeaded(*loader, BeginCdb()).good());
    EXPECT_EQ(View(drive).flash, Bytes(kSecondGenerationFlashSize, 0xFF));
    EXPECT_EQ(SendHeaded(*loader, WriteFlashCdb(0), 0, Page(next.block, 0)).senseKey(),
              kSenseNotReady)
        << "writes wait for the erase";
    int busyReads = 0;
    while (StatusByte0(*loader) & 0x80) ++busyReads;
    EXPECT_EQ(busyReads, 3);

    ASSERT_TRUE(Send(*loader, VendorCdb(0x3B, 0x24), 0, {1, 2, 3, 4, 5, 6, 7, 8}).good());
    std::vector<std::pair<std::uint32_t, Bytes>> pages;  // the block's, then the firmware's
    for (std::uint32_t k = 0; k < 4; ++k) pages.emplace_back(1024 * k, Page(next.block, 1024 * k));
    for (std::uint32_t k = 0; k < next.firmwareLength; k += 1024) {
        pages.emplace_back(next.firmwareAddress + k, Page(next.image, k));
    }
    for (const auto& [at, page] : pages) {
        ASSERT_TRUE(SendHeaded(*loader, WriteFlashCdb(at), 0, page).good()) << at;
    }
    for (const auto& [at, page] : pages) {
        EXPECT_EQ(SendHeaded(*loader, ReadFlashCdb(at), 1024).data, page) << at;
    }
    EXPECT_EQ(View(drive).flashParameters,
              (std::optional<std::array<std::uint8_t, 8>>({1, 2, 3, 4, 5, 6, 7, 8})));

    ASSERT_TRUE(Send(*loader, VendorCdb(0x3B, 0x50)).good());
    clock_->Advance(kRestartDelay);
    ASSERT_NE(Open(drive), nullptr);
    EmulatedDriveView v = View(drive);
    // The parameters are forgotten at the restart.
    EXPECT_EQ(std::tuple(v.loader, Utf16ToUtf8(v.usb.product), Utf16ToUtf8(v.usb.serialNumber),
                         v.firmwareVersion, v.flashParameters.has_value()),
              std::tuple(false, "ZR-MOXE3", "NEWSERIAL0000002", "V02L05R07-1", false));
}

TEST_F(EmulatorCommands, HeaderRulesAndAFlashThatOnlyClearsBitsUntilErased) {
    auto loader = RestartIntoLoader(MakeProgrammedDrive(2, "010203", "SERIAL0001"));
    ASSERT_NE(loader, nullptr);
    const Cdb read = ReadFlashCdb(0x1000);
    ASSERT_TRUE(SendHeaded(*loader, read, 1024).good());
    Cdb wrongSum = HeaderCdb(read), wrongSignature = HeaderCdb(read);
    wrongSum[4] ^= 0x01;
    wrongSignature[7] = 'X';
    EXPECT_TRUE(Send(*loader, wrongSum).good()) << "the checksum is checked on the next command";
    Answer a = Send(*loader, read, 1024);
    EXPECT_EQ(a.reply.status, kScsiStatusCheckCondition);
    EXPECT_EQ(a.senseKey(), kSenseIllegalRequest);
    EXPECT_EQ(Send(*loader, wrongSignature).reply.status, kScsiStatusCheckCondition);
    EXPECT_EQ(Send(*loader, HeaderCdb(VendorCdb(0x3B, 0x24))).reply.status,
              kScsiStatusCheckCondition);
    EXPECT_TRUE(Send(*loader, HeaderCdb(WriteFlashCdb(0x1000))).good()) << "a write's header";
    EXPECT_FALSE(Send(*loader, read, 1024).good()) << "does not let a read through";
    EXPECT_FALSE(Send(*loader, read, 1024).good()) << "no header";
    ASSERT_TRUE(Send(*loader, HeaderCdb(read)).good());
    ASSERT_TRUE(Send(*loader, kStatus, 12).good());
    EXPECT_FALSE(Send(*loader, read, 1024).good()) << "header used up";
    EXPECT_EQ(SendHeaded(*loader, ReadFlashCdb(kSecondGenerationFlashSize - 512), 1024).senseKey(),
              kSenseIllegalRequest);

    // Programming only clears bits: 0xF0 then 0x0F leave 0x00, and only an erase undoes it.
    for (const Bytes& values : {Bytes{0xF0, 0x0F, 0x00}, Bytes{0x0F, 0x0F}}) {
        EraseFlash(*loader);
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
    EXPECT_FALSE(Send(*device, VendorCdb(0x3B, 0x8A, 0, 2)).good());
    ASSERT_TRUE(Send(*device, VendorCdb(0x3B, 0x50)).good());
    clock_->Advance(kRestartDelay);
    device = Open(drive);
    const std::uint64_t last = 5860533168ull / 8 - 1;
    EXPECT_EQ(capacities(), (std::vector<std::uint64_t>{last, 4096, last, 4096}));
    EXPECT_FALSE(View(drive).loader) << "the setting lies outside the block's digest";

    EXPECT_EQ(Send(*device, VendorCdb(0x3C, 0x77), 8).senseKey(), kSenseIllegalRequest);
}

}  // namespace
}  // namespace mox3::test
