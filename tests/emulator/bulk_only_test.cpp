// The USB front of the emulated drive without a socket: the Bulk-Only Transport over the
// emulator's pass-through device, and the descriptors a drive's flash gives.
#include "emulator/bulk_only.h"

#include "base/bytes.h"
#include "config/block_bytes.h"
#include "emulator/emulator_fixture.h"
#include "emulator/usb_descriptors.h"

namespace mox3::test {
namespace {

struct Csw {
    std::uint32_t tag = 0;
    std::uint32_t residue = 0;
    int status = -1;
};

Csw ReadCsw(BulkOnlyTransport& bot) {
    auto r = bot.In(512);
    Csw csw;
    EXPECT_FALSE(r.stall);
    if (r.stall || r.data.size() != kCswSize) return csw;
    EXPECT_EQ(ReadLe32(r.data, 0), kCswSignature);
    csw.tag = ReadLe32(r.data, 4);
    csw.residue = ReadLe32(r.data, 8);
    csw.status = r.data[12];
    return csw;
}

const Cdb kRequestSense = {0x03, 0, 0, 0, 18, 0};

class BulkOnlyTest : public EmulatorTest {
  protected:
    void SetUp() override {
        drive_ = MakeProgrammedDrive(2, "0102030000010000", "ABCDEF0123456789");
        device_ = Open(drive_);
        ASSERT_NE(device_, nullptr);
    }
    std::filesystem::path drive_;
    std::unique_ptr<PassThroughDevice> device_;
};

TEST_F(BulkOnlyTest, CommandsFollowTheWrapperLength) {
    BulkOnlyTransport bot(device_.get());
    // INQUIRY into a larger transfer: a short packet ends the data, the residue tells.
    ASSERT_TRUE(bot.Out(Cbw(7, 96, true, kInquiry)));
    auto data = bot.In(96);
    ASSERT_FALSE(data.stall);
    const auto inquiry = View(drive_).inquiry;
    EXPECT_EQ(data.data, std::vector<std::uint8_t>(inquiry.begin(), inquiry.end()));
    Csw csw = ReadCsw(bot);
    EXPECT_EQ(csw.tag, 7u);
    EXPECT_EQ(csw.residue, 60u);
    EXPECT_EQ(csw.status, kCswPassed);

    // The vendor status read carries allocation length 0: the wrapper's 12 bytes count.
    ASSERT_TRUE(bot.Out(Cbw(9, 12, true, VendorCdb(0x3C, 0x51))));
    data = bot.In(512);
    ASSERT_EQ(data.data.size(), 12u);
    EXPECT_EQ(data.data[0] & 0x01, 0);  // normal firmware, not the loader
    csw = ReadCsw(bot);
    EXPECT_EQ(csw.status, kCswPassed);
    EXPECT_EQ(csw.residue, 0u);

    // Data out: the flash parameters arrive in the data phase.
    const std::vector<std::uint8_t> parameters = {1, 2, 3, 4, 5, 6, 7, 8};
    ASSERT_TRUE(bot.Out(Cbw(10, 8, false, VendorCdb(0x3B, 0x24))));
    ASSERT_TRUE(bot.Out(parameters));
    EXPECT_EQ(ReadCsw(bot).status, kCswPassed);
    auto stored = View(drive_).flashParameters;
    ASSERT_TRUE(stored.has_value());
    EXPECT_EQ(std::vector<std::uint8_t>(stored->begin(), stored->end()), parameters);
}

TEST_F(BulkOnlyTest, FailedCommandsKeepSenseAndStallMissingData) {
    BulkOnlyTransport bot(device_.get());
    // START STOP UNIT is no command the bridge knows.
    ASSERT_TRUE(bot.Out(Cbw(1, 0, false, {0x1B, 0, 0, 0, 1, 0})));
    EXPECT_EQ(ReadCsw(bot).status, kCswFailed);
    ASSERT_TRUE(bot.Out(Cbw(2, 18, true, kRequestSense)));
    auto sense = bot.In(512).data;
    ASSERT_EQ(sense.size(), 18u);
    EXPECT_EQ(sense[2] & 0x0F, kSenseIllegalRequest);
    EXPECT_EQ(sense[12], kAscInvalidOpcode);
    EXPECT_EQ(ReadCsw(bot).status, kCswPassed);
    // Read once: the next REQUEST SENSE reports nothing.
    ASSERT_TRUE(bot.Out(Cbw(3, 18, true, kRequestSense)));
    EXPECT_EQ(bot.In(512).data[2] & 0x0F, 0);
    ReadCsw(bot);

    // A failing command that announced data: the IN endpoint stalls, then the status comes.
    ASSERT_TRUE(bot.Out(Cbw(4, 36, true, {0x12, 0x01, 0x80, 0, 36, 0})));
    EXPECT_TRUE(bot.In(512).stall);
    EXPECT_TRUE(bot.In(512).stall);  // still halted
    bot.ClearHalt(true);
    Csw csw = ReadCsw(bot);
    EXPECT_EQ(csw.status, kCswFailed);
    EXPECT_EQ(csw.residue, 36u);
}

TEST_F(BulkOnlyTest, PacketsLargerThanTheHostsBufferBabble) {
    // Two 512-byte blocks written, then read back in 512-byte transfers.
    std::vector<std::uint8_t> blocks(1024);
    for (std::size_t i = 0; i < blocks.size(); ++i) blocks[i] = static_cast<std::uint8_t>(i / 3);
    BulkOnlyTransport bot(device_.get());
    ASSERT_TRUE(bot.Out(Cbw(1, 1024, false, {0x2A, 0, 0, 0, 0, 9, 0, 0, 2, 0})));
    ASSERT_TRUE(bot.Out(blocks));
    EXPECT_EQ(ReadCsw(bot).status, kCswPassed);
    ASSERT_TRUE(bot.Out(Cbw(2, 1024, true, {0x28, 0, 0, 0, 0, 9, 0, 0, 2, 0})));
    auto first = bot.In(512);
    auto second = bot.In(512);
    EXPECT_FALSE(first.babble || second.babble);
    first.data.insert(first.data.end(), second.data.begin(), second.data.end());
    EXPECT_EQ(first.data, blocks);
    EXPECT_EQ(ReadCsw(bot).residue, 0u);

    // A transfer that ends inside a packet: the host gets what fits and an error, and the
    // packet comes again.
    ASSERT_TRUE(bot.Out(Cbw(3, 1024, true, {0x28, 0, 0, 0, 0, 9, 0, 0, 2, 0})));
    auto cut = bot.In(700);
    EXPECT_TRUE(cut.babble);
    EXPECT_EQ(cut.data, std::vector<std::uint8_t>(blocks.begin(), blocks.begin() + 700));
    auto rest = bot.In(512);
    EXPECT_FALSE(rest.babble);
    EXPECT_EQ(rest.data, std::vector<std::uint8_t>(blocks.begin() + 512, blocks.end()));
    // (So with the status: over usbredir.)
    Csw csw = ReadCsw(bot);
    EXPECT_EQ(csw.tag, 3u);
    EXPECT_EQ(csw.status, kCswPassed);
}

TEST_F(BulkOnlyTest, InvalidWrapperNeedsResetAndLostDriveIsPhaseError) {
    BulkOnlyTransport bot(device_.get());
    auto bad = Cbw(1, 36, true, kInquiry);
    bad[0] ^= 0xFF;
    EXPECT_FALSE(bot.Out(bad));
    EXPECT_FALSE(bot.Out(Cbw(2, 36, true, kInquiry)));
    bot.ClearHalt(true);
    bot.ClearHalt(false);
    EXPECT_TRUE(bot.Halted(true));  // clearing alone does not help: a reset is due
    bot.Reset();
    EXPECT_TRUE(bot.Halted(false));
    bot.ClearHalt(true);
    bot.ClearHalt(false);
    ASSERT_TRUE(bot.Out(Cbw(3, 36, true, kInquiry)));
    EXPECT_EQ(bot.In(36).data.size(), 36u);
    EXPECT_EQ(ReadCsw(bot).tag, 3u);
    // A CBW of the wrong size is no wrapper either.
    EXPECT_FALSE(bot.Out(std::vector<std::uint8_t>(kCbwSize + 1, 0)));

    BulkOnlyTransport gone(nullptr);
    ASSERT_TRUE(gone.Out(Cbw(5, 0, false, {0x00, 0, 0, 0, 0, 0})));
    EXPECT_EQ(ReadCsw(gone).status, kCswPhaseError);
}

std::vector<std::uint8_t> Utf16Descriptor(const std::u16string& text) {
    std::vector<std::uint8_t> out(2 + 2 * text.size());
    PutString(out, 0, text);
    return out;
}

// The serial "1" takes the disk's serial without its blanks; the loader presents the chip's
// name as its product. Ids, interface and endpoints are checked over usbredir.
TEST_F(EmulatorTest, UsbDescriptorsFromTheFlashAndInTheLoader) {
    for (int generation : {1, 2}) {
        SCOPED_TRACE(generation);
        EmulatedDriveSetup setup;
        setup.diskSerial = "  DISK-7  ";
        setup.chipName = generation == 1 ? "MB86C30A" : "MB86E501A";
        auto drive =
            MakeProgrammedDrive(generation, generation == 1 ? "04050600" : "0102030000010000", "1",
                                setup, "g" + std::to_string(generation));
        EmulatedDriveView view = View(drive);
        UsbDescriptorSet set = MakeUsbDescriptors(view);
        EXPECT_TRUE(set.fromFlash);
        ASSERT_EQ(set.device.size(), 18u);
        EXPECT_EQ(set.device[2], 0x10);  // bcdUSB 2.10 as the flash holds it
        EXPECT_EQ(set.ProductId(), view.usb.productId);
        // Only the bulk-only setting: 9 + 9 + 7 + 7 bytes.
        ASSERT_EQ(set.configuration.size(), 32u);
        EXPECT_EQ(set.configuration[2], 32);
        EXPECT_EQ(set.Get(kUsbDescriptorQualifier, 0, 0)->size(), 10u);
        EXPECT_EQ(*set.Get(kUsbDescriptorString, 3, kUsbLanguageEnglishUs),
                  Utf16Descriptor(u"DISK-7"));
        EXPECT_EQ(*set.Get(kUsbDescriptorString, 2, kUsbLanguageEnglishUs),
                  Utf16Descriptor(view.usb.product));
        EXPECT_FALSE(set.Get(kUsbDescriptorString, 4, kUsbLanguageEnglishUs).has_value());
        EXPECT_FALSE(set.Get(kUsbDescriptorConfiguration, 1, 0).has_value());

        auto loader = RestartIntoLoader(drive);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(
                      Send(*loader, VendorCdb(0x3C, 0x55, 0x01), 72).data.data())),
                  setup.chipName);
        set = MakeUsbDescriptors(View(drive));
        EXPECT_FALSE(set.fromFlash);
        EXPECT_EQ(set.ProductId(),
                  generation == 1 ? kFirstGenerationBareProductId : kSecondGenerationBareProductId);
        EXPECT_EQ(set.device[16], 0);  // the loader has no serial number
        EXPECT_FALSE(set.Get(kUsbDescriptorString, 3, kUsbLanguageEnglishUs).has_value());
        EXPECT_EQ(*set.Get(kUsbDescriptorString, 2, kUsbLanguageEnglishUs),
                  Utf16Descriptor(Utf8ToUtf16(setup.chipName)));
    }
}

}  // namespace
}  // namespace mox3::test
