// What the emulated bridge presents after it checks its flash at power-on.
#include <algorithm>
#include <string_view>
#include <tuple>

#include "config/block_bytes.h"
#include "emulator/emulator_fixture.h"

namespace mox3::test {
namespace {

using EmulatorStart = EmulatorTest;

TEST_F(EmulatorStart, AnythingElseStartsTheLoaderWithTheBareBridgeIdentity) {
    struct Case {
        int generation;
        std::uint32_t offset;  // flash byte changed before the power cycle
        bool loader;
    };
    // Block digest range, the second generation's INQUIRY entries (not covered by the digest),
    // image body; an erased flash: the tree and folder tests.
    for (Case c : {Case{2, 100, true}, Case{2, 3590, false}, Case{1, 8192 + 40, true}}) {
        std::string name = std::to_string(c.generation);  // (+= keeps GCC 12's -Wrestrict quiet)
        name += '-';
        name += std::to_string(c.offset);
        SCOPED_TRACE(name);
        auto drive = MakeProgrammedDrive(c.generation, c.generation == 1 ? "01020300" : "010203",
                                         "SER0001", {}, name);
        // The flash is changed behind the bridge's back, as a programmer clip would.
        EmulatedDriveSetup setup;
        setup.generation = c.generation;
        setup.flash = View(drive).flash;
        setup.flash[c.offset] ^= 0x01;
        auto changed = MakeDrive(setup, name + "-changed");
        EmulatedDriveView v = View(changed);
        EXPECT_EQ(v.loader, c.loader);
        if (!c.loader) continue;
        EXPECT_EQ(Presented(v).substr(0, 20),
                  c.generation == 1 ? "loader 0x04C5:0x201D" : "loader 0x04C5:0x2026");
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
    // Manufacturer, product and serial strings at `offset`, 50 bytes apart.
    void PutStrings(std::uint32_t offset, std::initializer_list<std::u16string_view> texts) {
        for (std::u16string_view text : texts)
            test::PutString(flash_, at_ + offset, text), offset += 50;
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
    second.PutStrings(1908, {u"Mk", u"Box", u"S-42"});
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
    EXPECT_EQ(Presented(v).substr(0, 32), "0x1234:0x5678 0x0210 Mk|Box|S-42");
    EXPECT_EQ(InquiryText(v.inquiry), "0080 VENDOR2 PRODUCT-TWO     0002") << "a removable unit";

    // First generation, block at 4096: identity at 1024, strings at 1082, 1132 and 1182, the
    // list at 112 with the 100-byte control record (byte 16: removable) before the INQUIRY one.
    HandMadeFlash first(kFirstGenerationFlashSize, 4096);
    first.Put(1024 + 8, {0xCD, 0xAB, 0x01, 0xEF, 0x00, 0x01});
    first.PutStrings(1082, {u"One", u"Two", u""});
    first.Put(112, {0x05, 100});
    first.Put(112 + 2 + 16, {0x01});
    first.Put(214, {0x04, 29, 0x05});
    first.PutText(217, "VEND1   PRODUCT-ONE     0001");
    setup.generation = 1;
    setup.flash = first.Sealed();
    v = View(MakeDrive(setup, "hand-made-1"));
    EXPECT_EQ(Presented(v).substr(0, 29), "0xABCD:0xEF01 0x0100 One|Two|");
    EXPECT_EQ(InquiryText(v.inquiry), "0580 VEND1   PRODUCT-ONE     0001");
}

}  // namespace
}  // namespace mox3::test
