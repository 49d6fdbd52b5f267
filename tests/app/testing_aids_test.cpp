// The testing aids stay with emulated drives: a drive without the emulator's mark takes them
// away before it is sent anything that changes it.
#include <gtest/gtest.h>

#include "app/session/session.h"
#include "base/clock.h"
#include "bridge/vendor_commands.h"
#include "transport/emulator_mark.h"
#include "transport/fake_device.h"

namespace mox3 {
namespace {

ScsiRequest Request(std::uint8_t opcode) {
    ScsiRequest r;
    r.cdb[0] = opcode;
    r.cdbLength = 10;
    return r;
}

TEST(TestingAids, OnlyEmulatedDrivesKeepThem) {
    auto aids = std::make_shared<TestingAids>();
    auto fake = std::make_shared<test::FakeBackend>();
    auto guarded = GuardTestingAids(fake, aids);
    std::vector<std::uint8_t> mark = {0, kEmulatorMarkPage, 0, kEmulatorMarkText.size()};
    mark.insert(mark.end(), kEmulatorMarkText.begin(), kEmulatorMarkText.end());
    const auto opcodes = [&] {
        std::vector<std::uint8_t> sent;
        for (const test::Recorded& r : fake->state->requests) sent.push_back(r.cdb[0]);
        fake->state->requests.clear();
        return sent;
    };
    ScsiReply reply;

    // Reading a drive asks nothing; changing a marked one keeps the aids.
    auto marked = guarded->Open(u"/dev/sdb", nullptr);
    ASSERT_TRUE(marked);
    fake->state->replies = {{}, {true, kScsiStatusGood, {}, mark}};
    marked->Send(Request(kOpReadCapacity10), reply);
    marked->Send(Request(kOpWriteBuffer), reply);
    marked->Send(Request(kOpWriteBuffer), reply);
    EXPECT_FALSE(aids->Revoked());
    EXPECT_EQ(opcodes(), (std::vector<std::uint8_t>{kOpReadCapacity10, kOpInquiry, kOpWriteBuffer,
                                                    kOpWriteBuffer}));

    // A drive without the mark: the aids are gone before its first change arrives.
    auto real = guarded->Open(u"/dev/sdc", nullptr);
    fake->state->replies = {{}, {true, kScsiStatusCheckCondition, {}, {}}};
    real->Send(Request(kOpReadCapacity10), reply);
    EXPECT_FALSE(aids->Revoked());
    real->Send(Request(kOpWriteBuffer), reply);
    EXPECT_TRUE(aids->Revoked());
}

}  // namespace
}  // namespace mox3
