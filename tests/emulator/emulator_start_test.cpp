// What the emulated bridge presents after it checks its flash at power-on.
#include <cstring>

#include "emulator/emulator_fixture.h"

namespace mox3::test {
namespace {

using EmulatorStart = EmulatorTest;

std::string Text(const std::vector<std::uint8_t>& bytes, std::size_t from, std::size_t size) {
    return std::string(bytes.begin() + static_cast<std::ptrdiff_t>(from),
                       bytes.begin() + static_cast<std::ptrdiff_t>(from + size));
}

TEST_F(EmulatorStart, SealedBlockAndIntactImageStartTheNormalFirmware) {
    auto second = MakeProgrammedDrive(2, "0102030407020000", "0123456789ABCDEF");
    EmulatedDriveView v = View(second);
    EXPECT_FALSE(v.loader);
    EXPECT_EQ(v.usb.vendorId, 0x5E3B);
    EXPECT_EQ(v.usb.productId, 0x7C34);
    EXPECT_EQ(v.usb.bcdDevice, 0x0001);
    EXPECT_EQ(Utf16ToUtf8(v.usb.manufacturer), "KAVELIN");
    EXPECT_EQ(Utf16ToUtf8(v.usb.product), "ZR-MOX3");
    EXPECT_EQ(Utf16ToUtf8(v.usb.serialNumber), "0123456789ABCDEF");

    auto device = Open(second);
    ASSERT_NE(device, nullptr);
    // Version digits V L R beta minor major: 01 02 03 04 07 02.
    Answer version = Send(*device, VendorCdb(0x3C, 0x52), 8);
    ASSERT_TRUE(version.good());
    EXPECT_EQ(version.data, (std::vector<std::uint8_t>{7, 2, 1, 0, 2, 0, 3, 4}));
    EXPECT_EQ(v.firmwareVersion, "V01L02R03-2:7 Beta4");
    EXPECT_EQ(StatusByte0(*device) & 0x01, 0);

    Answer inquiry = Send(*device, {0x12, 0, 0, 0, 36, 0}, 36);
    ASSERT_TRUE(inquiry.good());
    EXPECT_EQ(Text(inquiry.data, 8, 28), "KAVELIN External HDD    0001");
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
    // the digest), and a flash left erased.
    for (Case c : {Case{2, 100, true}, Case{2, 8192 + 500, true}, Case{2, 3590, false},
                   Case{1, 4096 + 1040, true}, Case{1, 8192 + 40, true}}) {
        SCOPED_TRACE(testing::Message() << "generation " << c.generation << " offset " << c.offset);
        std::string name = "d" + std::to_string(c.generation) + "-" + std::to_string(c.offset);
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
        Answer version = Send(*device, VendorCdb(0x3C, 0x52), 8);
        EXPECT_EQ(version.data, std::vector<std::uint8_t>(8, 0));
    }
    EmulatedDriveSetup erased;
    erased.generation = 2;
    EmulatedDriveView v = View(MakeDrive(erased, "erased"));
    EXPECT_TRUE(v.loader);
    EXPECT_EQ(v.usb.productId, 0x2026);
}

TEST_F(EmulatorStart, SerialFormOneTakesTheDisksSerialAndChipNameIsSet) {
    EmulatedDriveSetup setup;
    setup.diskSerial = "  WD-WCC4E1234567    ";
    setup.chipName = "MB86E501A";
    auto drive = MakeProgrammedDrive(2, "010203", "1", setup);
    EmulatedDriveView v = View(drive);
    EXPECT_FALSE(v.loader);
    EXPECT_EQ(Utf16ToUtf8(v.usb.serialNumber), "WD-WCC4E1234567");
    auto device = Open(drive);
    Answer chip = Send(*device, VendorCdb(0x3C, 0x55, 0x01), 72);
    EXPECT_STREQ(reinterpret_cast<const char*>(chip.data.data()), "MB86E501A");
}

}  // namespace
}  // namespace mox3::test
