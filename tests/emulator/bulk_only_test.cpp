// The USB front of the emulated drive without a socket: the Bulk-Only Transport over the
// emulator's pass-through device, and the descriptors a drive's flash gives.
#include "emulator/bulk_only.h"

#include "base/bytes.h"
#include "config/block_bytes.h"
#include "emulator/emulator_fixture.h"
#include "emulator/usb_descriptors.h"

namespace mox3::test {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Csw = std::tuple<std::uint32_t, std::uint32_t, int>;  // tag, residue, status

Csw ReadCsw(BulkOnlyTransport& bot) {
    auto r = bot.In(512);
    EXPECT_FALSE(r.stall);
    if (r.stall || r.data.size() != kCswSize) return {0, 0, -1};
    EXPECT_EQ(ReadLe32(r.data, 0), kCswSignature);
    return {ReadLe32(r.data, 4), ReadLe32(r.data, 8), r.data[12]};
}

const Cdb kRequestSense = {0x03, 0, 0, 0, 18, 0};
const Cdb kRead2At9 = {0x28, 0, 0, 0, 0, 9, 0, 0, 2, 0};

class BulkOnlyTest : public EmulatorTest {
  protected:
    std::filesystem::path drive_ = MakeProgrammedDrive(2, "0102030000010000", "ABCDEF0123456789");
    std::unique_ptr<PassThroughDevice> device_ = Open(drive_);
    BulkOnlyTransport bot_{device_.get()};
};

TEST_F(BulkOnlyTest, CommandsFollowTheWrapperLength) {
    // INQUIRY into a larger transfer: a short packet ends the data, the residue tells.
    ASSERT_TRUE(bot_.Out(Cbw(7, 96, true, kInquiry)));
    const auto inquiry = View(drive_).inquiry;
    EXPECT_EQ(bot_.In(96).data, Bytes(inquiry.begin(), inquiry.end()));
    EXPECT_EQ(ReadCsw(bot_), Csw(7, 60, kCswPassed));
    // The vendor status read carries allocation length 0: the wrapper's 12 bytes count.
    ASSERT_TRUE(bot_.Out(Cbw(9, 12, true, kStatus)));
    const Bytes status = bot_.In(512).data;
    ASSERT_EQ(status.size(), 12u);
    EXPECT_EQ(status[0] & 0x01, 0);  // normal firmware, not the loader
    EXPECT_EQ(ReadCsw(bot_), Csw(9, 0, kCswPassed));
    // Data out: the flash parameters arrive in the data phase.
    ASSERT_TRUE(bot_.Out(Cbw(10, 8, false, VendorCdb(0x3B, 0x24))));
    ASSERT_TRUE(bot_.Out(Bytes{1, 2, 3, 4, 5, 6, 7, 8}));
    EXPECT_EQ(ReadCsw(bot_), Csw(10, 0, kCswPassed));
    EXPECT_EQ(View(drive_).flashParameters,
              (std::optional<std::array<std::uint8_t, 8>>({1, 2, 3, 4, 5, 6, 7, 8})));
}

TEST_F(BulkOnlyTest, FailedCommandsKeepSenseAndStallMissingData) {
    ASSERT_TRUE(bot_.Out(Cbw(1, 0, false, {0x1B, 0, 0, 0, 1, 0})));  // START STOP UNIT: unknown
    EXPECT_EQ(ReadCsw(bot_), Csw(1, 0, kCswFailed));
    ASSERT_TRUE(bot_.Out(Cbw(2, 18, true, kRequestSense)));
    const Bytes sense = bot_.In(512).data;
    ASSERT_EQ(sense.size(), 18u);
    EXPECT_EQ(sense[2] & 0x0F, kSenseIllegalRequest);
    EXPECT_EQ(sense[12], kAscInvalidOpcode);
    EXPECT_EQ(ReadCsw(bot_), Csw(2, 0, kCswPassed));
    ASSERT_TRUE(bot_.Out(Cbw(3, 18, true, kRequestSense)));
    EXPECT_EQ(bot_.In(512).data[2] & 0x0F, 0) << "sense is read once";
    ReadCsw(bot_);

    // A failing command that announced data: the IN endpoint stalls, then the status comes.
    ASSERT_TRUE(bot_.Out(Cbw(4, 36, true, {0x12, 0x01, 0x80, 0, 36, 0})));
    EXPECT_TRUE(bot_.In(512).stall);
    EXPECT_TRUE(bot_.In(512).stall);  // still halted
    bot_.ClearHalt(true);
    EXPECT_EQ(ReadCsw(bot_), Csw(4, 36, kCswFailed));
}

TEST_F(BulkOnlyTest, PacketsLargerThanTheHostsBufferBabble) {
    Bytes blocks(1024);  // two 512-byte blocks, read back in 512-byte transfers
    for (std::size_t i = 0; i < blocks.size(); ++i) blocks[i] = static_cast<std::uint8_t>(i / 3);
    ASSERT_TRUE(bot_.Out(Cbw(1, 1024, false, {0x2A, 0, 0, 0, 0, 9, 0, 0, 2, 0})));
    ASSERT_TRUE(bot_.Out(blocks));
    EXPECT_EQ(ReadCsw(bot_), Csw(1, 0, kCswPassed));
    ASSERT_TRUE(bot_.Out(Cbw(2, 1024, true, kRead2At9)));
    auto first = bot_.In(512), second = bot_.In(512);
    EXPECT_FALSE(first.babble || second.babble);
    first.data.insert(first.data.end(), second.data.begin(), second.data.end());
    EXPECT_EQ(first.data, blocks);
    EXPECT_EQ(ReadCsw(bot_), Csw(2, 0, kCswPassed));

    // A transfer that ends inside a packet: the host gets what fits and an error, and the
    // packet comes again (so with the status: over usbredir).
    ASSERT_TRUE(bot_.Out(Cbw(3, 1024, true, kRead2At9)));
    auto cut = bot_.In(700);
    EXPECT_TRUE(cut.babble);
    EXPECT_EQ(cut.data, Bytes(blocks.begin(), blocks.begin() + 700));
    auto rest = bot_.In(512);
    EXPECT_FALSE(rest.babble);
    EXPECT_EQ(rest.data, Bytes(blocks.begin() + 512, blocks.end()));
    EXPECT_EQ(ReadCsw(bot_), Csw(3, 0, kCswPassed));
}

TEST_F(BulkOnlyTest, InvalidWrapperNeedsResetAndLostDriveIsPhaseError) {
    auto bad = Cbw(1, 36, true, kInquiry);
    bad[0] ^= 0xFF;
    EXPECT_FALSE(bot_.Out(bad));
    EXPECT_FALSE(bot_.Out(Cbw(2, 36, true, kInquiry)));
    bot_.ClearHalt(true);
    bot_.ClearHalt(false);
    EXPECT_TRUE(bot_.Halted(true));  // clearing alone does not help: a reset is due
    bot_.Reset();
    EXPECT_TRUE(bot_.Halted(false));
    bot_.ClearHalt(true);
    bot_.ClearHalt(false);
    ASSERT_TRUE(bot_.Out(Cbw(3, 36, true, kInquiry)));
    EXPECT_EQ(bot_.In(36).data.size(), 36u);
    EXPECT_EQ(ReadCsw(bot_), Csw(3, 0, kCswPassed));
    EXPECT_FALSE(bot_.Out(Bytes(kCbwSize + 1, 0))) << "a CBW of the wrong size is no wrapper";

    BulkOnlyTransport gone(nullptr);
    ASSERT_TRUE(gone.Out(Cbw(5, 0, false, {0x00, 0, 0, 0, 0, 0})));
    EXPECT_EQ(std::get<2>(ReadCsw(gone)), kCswPhaseError);
}

Bytes Utf16Descriptor(const std::u16string& text) {
    Bytes out(2 + 2 * text.size());
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
        auto string = [&](std::uint8_t index) {
            return set.Get(kUsbDescriptorString, index, kUsbLanguageEnglishUs);
        };
        EXPECT_TRUE(set.fromFlash);
        ASSERT_EQ(set.device.size(), 18u);
        EXPECT_EQ(set.device[2], 0x10);  // bcdUSB 2.10 as the flash holds it
        EXPECT_EQ(set.ProductId(), view.usb.productId);
        // Only the bulk-only setting: 9 + 9 + 7 + 7 bytes.
        ASSERT_EQ(set.configuration.size(), 32u);
        EXPECT_EQ(set.configuration[2], 32);
        EXPECT_EQ(set.Get(kUsbDescriptorQualifier, 0, 0)->size(), 10u);
        EXPECT_EQ(string(3), Utf16Descriptor(u"DISK-7"));
        EXPECT_EQ(string(2), Utf16Descriptor(view.usb.product));
        EXPECT_EQ(string(4), std::nullopt);
        EXPECT_EQ(set.Get(kUsbDescriptorConfiguration, 1, 0), std::nullopt);

        auto loader = RestartIntoLoader(drive);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(
                      Send(*loader, VendorCdb(0x3C, 0x55, 0x01), 72).data.data())),
                  setup.chipName);
        set = MakeUsbDescriptors(View(drive));
        EXPECT_FALSE(set.fromFlash);
        EXPECT_EQ(set.ProductId(),
                  generation == 1 ? kFirstGenerationBareProductId : kSecondGenerationBareProductId);
        EXPECT_EQ(set.device[16], 0);  // the loader has no serial number
        EXPECT_EQ(string(3), std::nullopt);
        EXPECT_EQ(string(2), Utf16Descriptor(Utf8ToUtf16(setup.chipName)));
    }
}

}  // namespace
}  // namespace mox3::test
