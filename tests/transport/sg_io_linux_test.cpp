// The SCSI generic request and how its results are judged.
#include "transport/sg_io_linux.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <fstream>
#include <tuple>

#include "base/text.h"
#include "test_support.h"

namespace mox3 {
namespace {

TEST(SgIo, RequestTranslationAndResultRules) {
    std::array<std::uint8_t, kSgSenseBufferSize> sense{};
    std::uint8_t data[12];
    ScsiRequest r;
    r.cdb[0] = 0x9E;
    r.cdb[1] = 0x10;
    r.cdbLength = 16;
    r.direction = DataDirection::In;
    r.data = data;
    r.length = 12;
    r.timeoutSeconds = 2;
    sg_io_hdr_t h = BuildSgIoHeader(r, sense);
    EXPECT_EQ(h.interface_id, 'S');
    EXPECT_EQ(h.dxfer_direction, SG_DXFER_FROM_DEV);
    EXPECT_EQ(h.cmd_len, 16);
    EXPECT_EQ(h.dxfer_len, 12u);
    EXPECT_EQ(h.timeout, 2000u);
    EXPECT_EQ(h.mx_sb_len, kSgSenseBufferSize);
    r.direction = DataDirection::Out;
    EXPECT_EQ(BuildSgIoHeader(r, sense).dxfer_direction, SG_DXFER_TO_DEV);
    r.length = 0;
    EXPECT_EQ(BuildSgIoHeader(r, sense).dxfer_direction, SG_DXFER_NONE);

    ScsiReply reply;
    std::string why;
    h.status = kScsiStatusCheckCondition;
    h.driver_status = 0x08;  // sense available
    h.sb_len_wr = 18;
    h.resid = 4;
    sense[0] = 0x70;
    sense[12] = 0x20;
    ASSERT_TRUE(InterpretSgIoResult(h, 0, 0, sense, reply, &why));
    EXPECT_EQ(reply.status, kScsiStatusCheckCondition);
    EXPECT_EQ(reply.sense.size(), 18u);
    EXPECT_EQ(reply.sense[12], 0x20);
    EXPECT_EQ(reply.transferred, 8u);

    EXPECT_FALSE(InterpretSgIoResult(h, -1, EIO, sense, reply, &why));
    EXPECT_NE(why.find("SG_IO failed"), std::string::npos);
    h.host_status = 0x03;  // timed out
    EXPECT_FALSE(InterpretSgIoResult(h, 0, 0, sense, reply, &why));
    h.host_status = 0;
    h.driver_status = 0x06;  // timeout
    EXPECT_FALSE(InterpretSgIoResult(h, 0, 0, sense, reply, &why));

    std::string error;
    EXPECT_EQ(MakeSgIoBackend()->Open(u"/nonexistent/sdz", &error), nullptr);
    EXPECT_NE(error.find("/nonexistent/sdz"), std::string::npos);
    // A file that opens but takes no pass-through request.
    test::TempDir dir;
    std::ofstream(dir / "plain") << "x";
    EXPECT_EQ(MakeSgIoBackend()->Open(Utf8ToUtf16((dir / "plain").string()), &error), nullptr);
    EXPECT_NE(error.find("regular file"), std::string::npos);
    EXPECT_NE(SgRefusedText("/x/sdz", S_IFCHR).find("pass-through"), std::string::npos);
}

TEST(SgIo, OnlyARefusalToAUserOtherThanRootSuggestsRunningAsRoot) {
    const std::tuple<int, bool, const char*, bool> cases[] = {
        {EACCES, false, "Permission denied", true},
        {EPERM, false, "not permitted", true},
        {EACCES, true, "refused even to root", false},
        {EPERM, true, "refused even to root", false},
        {EISDIR, true, "it is a folder", false},
        {ENXIO, true, "No such device or address", false},
    };
    for (const auto& [error, root, says, suggestsRoot] : cases) {
        const std::string text = SgOpenFailureText("/x/sdz", error, root);
        EXPECT_EQ(text.rfind("cannot open /x/sdz: ", 0), 0u) << text;
        EXPECT_NE(text.find(says), std::string::npos) << text;
        EXPECT_EQ(text.find("run as root") != std::string::npos, suggestsRoot) << text;
    }
}

}  // namespace
}  // namespace mox3
