// The Bulk-Only Transport over the emulator's pass-through device, without a socket.
#include "emulator/bulk_only.h"

#include "base/bytes.h"
#include "emulator/emulator_fixture.h"

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
    EXPECT_EQ(bot_.In(512).data.size(), 12u);
    EXPECT_EQ(ReadCsw(bot_), Csw(9, 0, kCswPassed));
}

TEST_F(BulkOnlyTest, PacketsLargerThanTheHostsBufferBabble) {
    Bytes blocks(1024);  // two 512-byte blocks, read back in 512-byte transfers
    for (std::size_t i = 0; i < blocks.size(); ++i) blocks[i] = static_cast<std::uint8_t>(i / 3);
    ASSERT_TRUE(bot_.Out(Cbw(1, 1024, false, {0x2A, 0, 0, 0, 0, 9, 0, 0, 2, 0})));
    ASSERT_TRUE(bot_.Out(blocks));
    EXPECT_EQ(ReadCsw(bot_), Csw(1, 0, kCswPassed));

    // A transfer that ends inside a packet: the host gets what fits and an error, and the
    // packet comes again (so with the status: over usbredir).
    ASSERT_TRUE(bot_.Out(Cbw(3, 1024, true, {0x28, 0, 0, 0, 0, 9, 0, 0, 2, 0})));
    auto cut = bot_.In(700);
    EXPECT_TRUE(cut.babble);
    EXPECT_EQ(cut.data, Bytes(blocks.begin(), blocks.begin() + 700));
    auto rest = bot_.In(512);
    EXPECT_FALSE(rest.babble);
    EXPECT_EQ(rest.data, Bytes(blocks.begin() + 512, blocks.end()));
    EXPECT_EQ(ReadCsw(bot_), Csw(3, 0, kCswPassed));
}

}  // namespace
}  // namespace mox3::test
