// The pass-through request: layout, setup, success rule, sense codes; the trace.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <sstream>

#include "base/text.h"
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
    ASSERT_TRUE(spti.Open(fake.backend(), u"/dev/fake"));

    std::uint8_t buffer[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    fake.Queue({true, 0, {}, {0xAA, 0xBB}});
    spti.Setup(DataDirection::In, 10, buffer, 8, 120);
    spti.cdb[0] = 0x3C;
    spti.cdb[9] = 0x99;
    EXPECT_TRUE(spti.Execute());
    EXPECT_EQ(HexString(buffer), "AABB000000000000");  // cleared before sending
    const auto& sent = fake.state().requests.back();
    EXPECT_EQ(std::pair(HexString(sent.cdb), sent.timeoutSeconds),
              std::pair(std::string("3C000000000000000099"), 120u));

    // CHECK CONDITION with sense: false, and the sense codes are readable.
    fake.Queue({true, kScsiStatusCheckCondition, FixedSense(kSenseIllegalRequest, 0x24, 0x01), {}});
    spti.Setup(DataDirection::None, 6, nullptr, 0, 120);
    EXPECT_FALSE(spti.Execute());
    // Each setup starts from a cleared request.
    const auto& cleared = fake.state().requests.back();
    EXPECT_EQ(std::tuple(HexString(cleared.cdb), cleared.direction, cleared.length),
              std::tuple(std::string("000000000000"), DataDirection::None, 0u));
    EXPECT_EQ(HexString(std::vector{spti.GetAsc(), spti.GetAscq()}), "2401");
    // Condition met (status 1) without sense counts as success; sense with GOOD or a request
    // not delivered does not.
    for (const auto& [answer, ok] : {std::pair<Scripted, bool>{{true, 1, {}, {}}, true},
                                     {{true, 0, FixedSense(kSenseNotReady, 4, 0), {}}, false},
                                     {{false, 0, {}, {}}, false}}) {
        fake.Queue(answer);
        spti.Setup(DataDirection::None, 10, nullptr, 0, 120);
        EXPECT_EQ(spti.Execute(), ok);
    }
}

// A malformed request never reaches the device: no command block, one too long, data without a
// buffer.
TEST(CNtDevCtrl, MalformedRequestsAreNotSent) {
    FakeBackendScope fake;
    CSpti spti;
    ASSERT_TRUE(spti.Open(fake.backend(), u"x"));
    ScsiRequest request;
    ScsiReply reply;
    EXPECT_FALSE(spti.Send(request, reply));
    request.cdbLength = 17;
    EXPECT_FALSE(spti.Send(request, reply));
    request.cdbLength = 10;
    request.length = 8;
    EXPECT_FALSE(spti.Send(request, reply));
    EXPECT_TRUE(fake.state().requests.empty());
}

std::vector<nlohmann::json> JsonLines(const std::string& text) {
    std::vector<nlohmann::json> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(nlohmann::json::parse(line));
    return lines;
}

TEST(Trace, OneJsonLinePerRequestWithItsTimeAndWhyItFailed) {
    auto fake = std::make_shared<test::FakeBackend>();
    auto clock = std::make_shared<ManualClock>(5000);
    auto out = std::make_shared<std::ostringstream>();
    fake->state->onSend = [clock] { clock->SleepMs(7); };  // each request takes 7 ms
    fake->state->lastError = "Input/output error";
    auto record = std::make_shared<TraceRecord>();
    auto traced = MakeTracingBackend(fake, out, record, clock);
    auto device = traced->Open(u"drive\"1", nullptr);
    ASSERT_NE(device, nullptr);
    std::uint8_t data[4] = {9, 8, 7, 6};
    ScsiRequest r;
    r.cdb = {0x3B, 0x01, 0x24};
    r.cdbLength = 10;
    r.direction = DataDirection::Out;
    r.data = data;
    r.length = 4;
    ScsiReply reply;
    fake->state->replies.push_back({true, 2, FixedSense(5, 0x20, 0), {}});
    EXPECT_TRUE(device->Send(r, reply));
    fake->state->replies.push_back({false, 0, {}, {}});
    EXPECT_FALSE(device->Send(r, reply));
    // A request that succeeds leaves the last failure as it was.
    EXPECT_TRUE(device->Send(r, reply));

    const std::vector<nlohmann::json> lines = JsonLines(out->str());
    ASSERT_EQ(lines.size(), 3u) << out->str();
    EXPECT_EQ(lines[0], nlohmann::json::parse(R"({"device": "fake", "cdb": "3b012400000000000000",
        "direction": "out", "length": 4, "delivered": true, "status": 2, "data": "09080706",
        "sense": "700005000000000a00000000200000000000", "timeMs": 5000, "durationMs": 7,
        "why": "status 0x02 (CHECK CONDITION), sense key 0x5, ASC 0x20, ASCQ 0x00"})"));
    EXPECT_EQ(std::pair(lines[1]["delivered"], lines[1]["why"]),
              std::pair(nlohmann::json(false), nlohmann::json("Input/output error")));
    std::optional<FailedRequest> last = record->LastFailedRequest();
    ASSERT_TRUE(last.has_value());
    EXPECT_EQ(std::tuple(last->delivered, last->cdb, last->why),
              std::tuple(false, "3b012400000000000000", "Input/output error"));
}

TEST(Trace, StatusAndSenseInWords) {
    // Descriptor-format sense keeps key and codes in bytes 1 to 3; unknown formats are shown raw.
    EXPECT_EQ(DescribeScsiStatus(2, {0x72, 0x03, 0x11, 0x01, 0, 0, 0, 0}),
              "status 0x02 (CHECK CONDITION), sense key 0x3, ASC 0x11, ASCQ 0x01");
    EXPECT_EQ(DescribeScsiStatus(0x18, {0x01, 0x02}), "status 0x18, sense 0102");
    // Fixed-format sense shorter than its codes says only what it holds.
    EXPECT_EQ(DescribeScsiStatus(2, {0x70, 0, 5}), "status 0x02 (CHECK CONDITION), sense 700005");
}

}  // namespace
}  // namespace mox3
