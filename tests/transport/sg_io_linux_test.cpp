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

// The requests themselves go through a real kernel's SG_IO in the QEMU scenarios.
TEST(SgIo, ResultRulesAndOpenFailures) {
    std::array<std::uint8_t, kSgSenseBufferSize> sense{};
    sg_io_hdr_t h{};
    h.dxfer_len = 12;
    ScsiReply reply;
    std::string why;
    h.status = kScsiStatusCheckCondition;
    h.driver_status = 0x08;  // sense available
    h.sb_len_wr = 18;
    h.resid = 4;
    sense[0] = 0x70;
    sense[12] = 0x20;
    ASSERT_TRUE(InterpretSgIoResult(h, 0, 0, sense, reply, &why));
    EXPECT_EQ(std::tuple(reply.status, HexString(reply.sense), reply.transferred),
              std::tuple(kScsiStatusCheckCondition, "700000000000000000000000200000000000", 8u));

    EXPECT_FALSE(InterpretSgIoResult(h, -1, EIO, sense, reply, &why));
    EXPECT_NE(why.find("SG_IO failed"), std::string::npos);
    h.host_status = 0x03;  // timed out
    EXPECT_FALSE(InterpretSgIoResult(h, 0, 0, sense, reply, &why));
    h.host_status = 0;
    h.driver_status = 0x06;  // timeout
    EXPECT_FALSE(InterpretSgIoResult(h, 0, 0, sense, reply, &why));

    // A missing file; a file that opens but takes no pass-through request.
    test::TempDir dir;
    std::ofstream(dir / "plain") << "x";
    const std::string plain = (dir / "plain").string();
    for (const auto& [path, says] :
         {std::pair<std::string, std::string>("/nonexistent/sdz", "/nonexistent/sdz"),
          {plain, "regular file"}}) {
        std::string error;
        EXPECT_EQ(MakeSgIoBackend()->Open(Utf8ToUtf16(path), &error), nullptr);
        EXPECT_NE(error.find(says), std::string::npos) << error;
    }
    EXPECT_NE(SgRefusedText("/x/sdz", S_IFCHR).find("pass-through"), std::string::npos);
}

TEST(SgIo, OnlyARefusalToAUserOtherThanRootSuggestsRunningAsRoot) {
    const std::tuple<int, bool, const char*, bool> cases[] = {
        {EPERM, false, "not permitted", true},
        {EACCES, true, "refused even to root", false},
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
