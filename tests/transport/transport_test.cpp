// The pass-through request: layout, setup, success rule, sense codes; the trace.
#include <gtest/gtest.h>

#include <sstream>

#include "transport/fake_device.h"
#include "transport/nt_dev_ctrl.h"
#include "transport/trace.h"

namespace mox3 {
namespace {

using test::FakeBackendScope;
using test::Scripted;

TEST(CSpti, ExecuteJudgesStatusAndSense) {
    FakeBackendScope fake;
    CSpti spti;
    ASSERT_TRUE(spti.Open(u"/dev/fake"));
    EXPECT_EQ(spti.path(), u"/dev/fake");

    std::uint8_t buffer[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    fake.Queue({true, 0, {}, {0xAA, 0xBB}});
    spti.Setup(DataDirection::In, 10, buffer, 8, 120);
    spti.cdb[0] = 0x3C;
    spti.cdb[9] = 0x99;
    EXPECT_TRUE(spti.Execute());
    EXPECT_EQ(buffer[0], 0xAA);
    EXPECT_EQ(buffer[2], 0);  // cleared before sending
    const auto& sent = fake.state().requests.back();
    EXPECT_EQ(sent.cdb.size(), 10u);
    EXPECT_EQ(sent.cdb[9], 0x99);
    EXPECT_EQ(sent.timeoutSeconds, 120u);
    EXPECT_EQ(spti.area().request.Length, sizeof(ScsiPassThroughDirect));
    EXPECT_EQ(spti.area().request.SenseInfoOffset, kSenseAreaOffset);

    // CHECK CONDITION with sense: false, and the sense codes are readable.
    fake.Queue({true, kScsiStatusCheckCondition, FixedSense(kSenseIllegalRequest, 0x24, 0x01), {}});
    spti.Setup(DataDirection::None, 10, nullptr, 0, 120);
    EXPECT_FALSE(spti.Execute());
    EXPECT_EQ(spti.GetAsc(), 0x24);
    EXPECT_EQ(spti.GetAscq(), 0x01);
    // Condition met (status 1) without sense counts as success; sense with GOOD does not.
    fake.Queue({true, 1, {}, {}});
    spti.Setup(DataDirection::None, 10, nullptr, 0, 120);
    EXPECT_TRUE(spti.Execute());
    EXPECT_EQ(spti.GetAsc(), 0);
    fake.Queue({true, 0, FixedSense(kSenseNotReady, 4, 0), {}});
    spti.Setup(DataDirection::None, 10, nullptr, 0, 120);
    EXPECT_FALSE(spti.Execute());
    fake.Queue({false, 0, {}, {}});
    spti.Setup(DataDirection::None, 10, nullptr, 0, 120);
    EXPECT_FALSE(spti.Execute());
}

TEST(CSpti, EachSetupStartsFromAClearedRequest) {
    FakeBackendScope fake;
    CSpti spti;
    ASSERT_TRUE(spti.Open(u"x"));
    spti.Setup(DataDirection::None, 10, nullptr, 0, 120);
    for (int i = 0; i < 16; ++i) spti.cdb[i] = 0xEE;
    spti.Execute();
    spti.Setup(DataDirection::None, 6, nullptr, 0, 2);
    spti.cdb[0] = 0x12;
    spti.Execute();
    const auto& second = fake.state().requests.back();
    EXPECT_EQ(second.cdb, (std::vector<std::uint8_t>{0x12, 0, 0, 0, 0, 0}));
    EXPECT_EQ(second.direction, DataDirection::None);
    EXPECT_EQ(second.length, 0u);
}

TEST(CNtDevCtrl, OpenFailureLeavesNoHandle) {
    FakeBackendScope fake;
    fake.state().opens = false;
    CSpti spti;
    EXPECT_FALSE(spti.Open(u"/dev/missing"));
    EXPECT_FALSE(spti.IsOpen());
    EXPECT_EQ(spti.openError(), "no such device");
    spti.Setup(DataDirection::None, 10, nullptr, 0, 120);
    EXPECT_FALSE(spti.Execute());
    EXPECT_TRUE(fake.state().requests.empty());
    // Codes other than the pass-through are refused.
    fake.state().opens = true;
    ASSERT_TRUE(spti.Open(u"x"));
    std::uint8_t raw[64] = {};
    EXPECT_FALSE(spti.Control(0x2D1080, raw, 64, raw, 64));
}

TEST(Trace, OneJsonLinePerRequest) {
    auto fake = std::make_shared<test::FakeBackend>();
    auto out = std::make_shared<std::ostringstream>();
    auto traced = MakeTracingBackend(fake, out);
    auto device = traced->Open(u"drive\"1", nullptr);
    ASSERT_NE(device, nullptr);
    fake->state->replies.push_back({true, 2, FixedSense(5, 0x20, 0), {}});
    std::uint8_t data[4] = {9, 8, 7, 6};
    ScsiRequest r;
    r.cdb = {0x3B, 0x01, 0x24};
    r.cdbLength = 10;
    r.direction = DataDirection::Out;
    r.data = data;
    r.length = 4;
    ScsiReply reply;
    EXPECT_TRUE(device->Send(r, reply));
    fake->state->replies.push_back({false, 0, {}, {}});
    EXPECT_FALSE(device->Send(r, reply));
    EXPECT_EQ(out->str(),
              "{\"device\":\"fake\",\"cdb\":\"3b012400000000000000\",\"direction\":\"out\","
              "\"length\":4,\"delivered\":true,\"status\":2,\"sense\":"
              "\"700005000000000a00000000200000000000\",\"data\":\"09080706\"}\n"
              "{\"device\":\"fake\",\"cdb\":\"3b012400000000000000\",\"direction\":\"out\","
              "\"length\":4,\"delivered\":false,\"data\":\"09080706\"}\n");
}

}  // namespace
}  // namespace mox3
