// What the emulated bridge presents after it checks its flash at power-on.
#include <algorithm>
#include <cstring>
#include <string_view>
#include <tuple>

#include "config/block_bytes.h"
#include "emulator/emulator_fixture.h"

namespace mox3::test {
namespace {

using EmulatorStart = EmulatorTest;

TEST_F(EmulatorStart, SealedBlockAndIntactImageStartTheNormalFirmware) {
    // (The identity read from the block at each offset: the hand-made blocks below.)
    auto second = MakeProgrammedDrive(2, "0102030407020000", "0123456789ABCDEF");
    EmulatedDriveView v = View(second);
    EXPECT_FALSE(v.loader);
    EXPECT_EQ(Utf16ToUtf8(v.usb.serialNumber), "0123456789ABCDEF");

    auto device = Open(second);
    ASSERT_NE(device, nullptr);
    // Version digits V L R beta minor major: 01 02 03 04 07 02.
    Answer version = Send(*device, kVersion, 8);
    ASSERT_TRUE(version.good());
    EXPECT_EQ(version.data, (std::vector<std::uint8_t>{7, 2, 1, 0, 2, 0, 3, 4}));
    EXPECT_EQ(v.firmwareVersion, "V01L02R03-2:7 Beta4");
    EXPECT_EQ(StatusByte0(*device) & 0x01, 0);

    Answer inquiry = Send(*device, kInquiry, 36);
    ASSERT_TRUE(inquiry.good());
    EXPECT_EQ(std::string(inquiry.data.begin() + 8, inquiry.data.end()),
              "KAVELIN External HDD    0001");
    Answer chip = Send(*device, VendorCdb(0x3C, 0x55, 0x01), 72);
    ASSERT_TRUE(chip.good());
    EXPECT_STREQ(reinterpret_cast<const char*>(chip.data.data()), "MB86C311A");
    EXPECT_FALSE(Send(*device, VendorCdb(0x3C, 0x55, 0x02), 72).good());

    auto first = MakeProgrammedDrive(1, "01020305", "FIRSTGEN0001", {}, "first");
    v = View(first);
    EXPECT_FALSE(v.loader);
    EXPECT_EQ(v.usb.productId, 0x7C31);
    EXPECT_EQ(Utf16ToUtf8(v.usb.serialNumber), "FIRSTGEN0001");
    EXPECT_EQ(v.firmwareVersion, "V01L02R03-5");
    // The first generation's INQUIRY record keeps the quoted blank of "KAVELIN ".
    EXPECT_EQ(std::string(v.inquiry.begin() + 8, v.inquiry.begin() + 16), "KAVELIN ");
    device = Open(first);
    chip = Send(*device, VendorCdb(0x3C, 0x55, 0x01), 72);
    EXPECT_EQ(std::memcmp(chip.data.data(), "MB86C30A", 8), 0);
}

TEST_F(EmulatorStart, AnythingElseStartsTheLoaderWithTheBareBridgeIdentity) {
    struct Case {
        int generation;
        std::uint32_t offset;  // flash byte changed before the power cycle
        bool loader;
    };
    // Block digest range, image body, the second generation's INQUIRY entries (not covered by
    // the digest); an erased flash: the tree and folder tests.
    for (Case c : {Case{2, 100, true}, Case{2, 8192 + 500, true}, Case{2, 3590, false},
                   Case{1, 4096 + 1040, true}, Case{1, 8192 + 40, true}}) {
        SCOPED_TRACE(testing::Message() << "generation " << c.generation << " offset " << c.offset);
        std::string name = std::to_string(c.generation);  // (+= keeps GCC 12's -Wrestrict quiet)
        name += '-';
        name += std::to_string(c.offset);
        auto drive = MakeProgrammedDrive(c.generation, c.generation == 1 ? "01020300" : "010203",
                                         "SER0001", {}, name);
        // The flash is changed behind the bridge's back, as a programmer clip would.
        EmulatedDriveView before = View(drive);
        std::vector<std::uint8_t> flash = before.flash;
        flash[c.offset] ^= 0x01;
        EmulatedDriveSetup setup;
        setup.generation = c.generation;
        setup.flash = flash;
        auto changed = MakeDrive(setup, name + "-changed");
        EmulatedDriveView v = View(changed);
        EXPECT_EQ(v.loader, c.loader);
        if (!c.loader) continue;
        EXPECT_EQ(v.usb.vendorId, 0x04C5);
        EXPECT_EQ(v.usb.productId, c.generation == 1 ? 0x201D : 0x2026);
        auto device = Open(changed);
        EXPECT_EQ(StatusByte0(*device) & 0x01, 0x01);
        Answer version = Send(*device, kVersion, 8);
        EXPECT_EQ(version.data, std::vector<std::uint8_t>(8, 0));
    }
}

// A flash written byte by byte at the offsets the bridge reads, without the compilers: the
// emulated bridge shares its layout with them, so only literal offsets catch a wrong one.
class HandMadeFlash {
  public:
    HandMadeFlash(std::uint32_t size, std::uint32_t blockAt) : flash_(size, 0xFF), at_(blockAt) {
        std::fill_n(flash_.begin() + at_, 4096, 0x00);
        Le32(at_ + 32, 3036);
        Le32(at_ + 36, 8192);
        // A firmware image of 16 bytes with its digest header at 8192.
        Le32(8192 + 32, 16);
        std::fill_n(flash_.begin() + 8192 + 36, 16, 0x5A);
        Seal(flash_, 8192);
    }
    void Le32(std::uint32_t at, std::uint32_t v) { Put32(flash_, at, v); }
    // Block offsets from here on.
    void Put(std::uint32_t offset, std::initializer_list<std::uint8_t> bytes) {
        std::copy(bytes.begin(), bytes.end(), flash_.begin() + at_ + offset);
    }
    void PutText(std::uint32_t offset, std::string_view text) {
        std::copy(text.begin(), text.end(), flash_.begin() + at_ + offset);
    }
    void PutString(std::uint32_t offset, std::u16string_view text) {
        test::PutString(flash_, at_ + offset, text);
    }
    std::vector<std::uint8_t> Sealed() {
        Seal(flash_, at_);
        return flash_;
    }

  private:
    std::vector<std::uint8_t> flash_;
    std::uint32_t at_;
};

TEST_F(EmulatorStart, IdentityFromAHandMadeBlockOfEitherGeneration) {
    // Second generation, block at 0: identity of the high-speed set at 1792, strings at 1908,
    // 1958 and 2008, the record list at 128 and the INQUIRY entries at 3584.
    HandMadeFlash second(kSecondGenerationFlashSize, 0);
    second.Put(1792 + 8, {0x34, 0x12, 0x78, 0x56, 0x10, 0x02});
    second.PutString(1908, u"Mk");
    second.PutString(1958, u"Box");
    second.PutString(2008, u"S-42");
    for (std::uint32_t i = 0; i < 5; ++i) second.PutText(3584 + 28 * i, std::string(28, ' '));
    second.PutText(3584 + 28 * 2, "VENDOR2 PRODUCT-TWO     0002");
    // RAID default: mode 2 (bit 0x04). A table for the normal mode comes first and must be
    // passed over; the RAID-0 table's removable unit names INQUIRY entry 2 (offset 3640).
    std::uint32_t at = 128;
    second.Put(at, {0x05, 0x01, 0x02});
    at += 3;
    for (auto [mode, type, inquiry] :
         {std::tuple{0x01, 0x00, 3584u}, std::tuple{0x04, 0x01, 3640u}}) {
        second.Put(at, {0x10, 28, 0x01, static_cast<std::uint8_t>(mode), 0x00, 0x00,
                        static_cast<std::uint8_t>(type)});
        second.Le32(at + 2 + 4 + 12, inquiry);
        at += 30;
    }
    EmulatedDriveSetup setup;
    setup.generation = 2;
    setup.flash = second.Sealed();
    EmulatedDriveView v = View(MakeDrive(setup, "hand-made-2"));
    ASSERT_FALSE(v.loader);
    EXPECT_EQ(v.usb.vendorId, 0x1234);
    EXPECT_EQ(v.usb.productId, 0x5678);
    EXPECT_EQ(v.usb.bcdDevice, 0x0210);
    EXPECT_EQ(Utf16ToUtf8(v.usb.manufacturer), "Mk");
    EXPECT_EQ(Utf16ToUtf8(v.usb.product), "Box");
    EXPECT_EQ(Utf16ToUtf8(v.usb.serialNumber), "S-42");
    EXPECT_EQ(v.inquiry[0], 0x00);
    EXPECT_EQ(v.inquiry[1], 0x80) << "a removable unit";
    EXPECT_EQ(std::string(v.inquiry.begin() + 8, v.inquiry.end()), "VENDOR2 PRODUCT-TWO     0002");

    // As the compiler writes them: both tables in one record, the normal mode's first.
    at = 128 + 3;
    second.Put(at, {0x10, 56});
    for (auto [mode, type, inquiry] :
         {std::tuple{0x01, 0x00, 3584u}, std::tuple{0x04, 0x01, 3640u}}) {
        second.Put(at + 2, {0x01, static_cast<std::uint8_t>(mode), 0x00, 0x00,
                            static_cast<std::uint8_t>(type)});
        second.Le32(at + 2 + 4 + 12, inquiry);
        at += 28;
    }
    second.Put(128 + 3 + 2 + 56, {0x00, 0x00});  // the end of the list
    setup.flash = second.Sealed();
    v = View(MakeDrive(setup, "hand-made-2-joined"));
    ASSERT_FALSE(v.loader);
    EXPECT_EQ(v.inquiry[1], 0x80) << "the RAID-0 table's removable unit";
    EXPECT_EQ(std::string(v.inquiry.begin() + 8, v.inquiry.end()), "VENDOR2 PRODUCT-TWO     0002");

    // First generation, block at 4096: identity at 1024, strings at 1082, 1132 and 1182, the
    // list at 112 with the 100-byte control record (byte 16: removable) before the INQUIRY one.
    HandMadeFlash first(kFirstGenerationFlashSize, 4096);
    first.Put(1024 + 8, {0xCD, 0xAB, 0x01, 0xEF, 0x00, 0x01});
    first.PutString(1082, u"One");
    first.PutString(1132, u"Two");
    first.PutString(1182, u"");
    first.Put(112, {0x05, 100});
    first.Put(112 + 2 + 16, {0x01});
    first.Put(214, {0x04, 29, 0x05});
    first.PutText(217, "VEND1   PRODUCT-ONE     0001");
    setup.generation = 1;
    setup.flash = first.Sealed();
    v = View(MakeDrive(setup, "hand-made-1"));
    ASSERT_FALSE(v.loader);
    EXPECT_EQ(v.usb.vendorId, 0xABCD);
    EXPECT_EQ(v.usb.productId, 0xEF01);
    EXPECT_EQ(v.usb.bcdDevice, 0x0100);
    EXPECT_EQ(Utf16ToUtf8(v.usb.manufacturer), "One");
    EXPECT_EQ(Utf16ToUtf8(v.usb.product), "Two");
    EXPECT_EQ(Utf16ToUtf8(v.usb.serialNumber), "");
    EXPECT_EQ(v.inquiry[0], 0x05);
    EXPECT_EQ(v.inquiry[1], 0x80);
    EXPECT_EQ(std::string(v.inquiry.begin() + 8, v.inquiry.end()), "VEND1   PRODUCT-ONE     0001");
}

}  // namespace
}  // namespace mox3::test
