// The compile and image subcommands as other tools call them.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <sstream>
#ifndef _WIN32
#include <sys/stat.h>
#endif

#include "app/cli/commands.h"
#include "test_support.h"

namespace mox3 {
namespace {

struct CommandRun {
    int code;
    std::string out;
    std::string err;
};

template <typename Command>
CommandRun Call(Command command, std::vector<std::string> args) {
    std::ostringstream out, err;
    int code = command(Args(args), out, err);
    return {code, out.str(), err.str()};
}

TEST(CompileCommand, WritesTheBlockOrNamesWhatFailed) {
    test::TempDir dir;
    auto p = [&](const char* n) { return (dir / n).string(); };
    ASSERT_EQ(Call(RunImageCommand, {"make", "--generation", "2", "--version", "01000700", "--size",
                                     "100000", "-o", p("img.bin")})
                  .code,
              0);
    CommandRun r =
        Call(RunCompileCommand, {"--resource", "117", "--image", p("img.bin"), "--serial",
                                 "0123456789ABCDEF", "-o", p("block.bin"), "--json"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(test::ReadBytes(p("block.bin")).size(), 4096u);
    const auto compiled = nlohmann::json::parse(r.out);
    EXPECT_EQ(compiled["ok"], true);
    EXPECT_EQ(compiled["firmwareAddress"], 8192);
    EXPECT_EQ(compiled["flashParameters"], "0000000000000000");
    EXPECT_EQ(compiled["firmwareLength"], 102400);
    EXPECT_EQ(compiled["itemTable"]["items"], 254);

    test::WriteUtf16Ini(p("bad.ini"),
                        "[Config]\nVersion=2\n[USB Device Descriptor]\nVID=0x5E3B\nPID=0x12345\n");
    r = Call(RunCompileCommand,
             {"--config", p("bad.ini"), "--image", p("img.bin"), "-o", p("bad.bin")});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("[USB Device Descriptor] PID = \"0x12345\": out of range"),
              std::string::npos)
        << r.err;
    EXPECT_FALSE(std::filesystem::exists(p("bad.bin")));

    test::WriteUtf16Ini(p("v0.ini"), "[Config]\nVersion=0\n");
    r = Call(RunCompileCommand,
             {"--config", p("v0.ini"), "--image", p("img.bin"), "-o", p("x.bin")});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("Version"), std::string::npos);

    // UTF-16 saved without its byte-order mark is named as such, not read as a wrong version.
    test::WriteUtf16Ini(p("v2.ini"), "[Config]\nVersion=2\n");
    auto unmarked = test::ReadBytes(p("v2.ini"));
    unmarked.erase(unmarked.begin(), unmarked.begin() + 2);
    test::WriteBytes(p("nobom.ini"), unmarked);
    r = Call(RunCompileCommand,
             {"--config", p("nobom.ini"), "--image", p("img.bin"), "-o", p("x.bin")});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("without its byte-order mark"), std::string::npos) << r.err;

    r = Call(RunCompileCommand, {"--resource", "999", "--image", p("img.bin"), "-o", p("x.bin")});
    EXPECT_EQ(r.code, 1);
    r = Call(RunCompileCommand, {"--resource", "104", "--image", p("img.bin"), "-o", p("x.bin")});
    EXPECT_EQ(r.code, 1);  // a first-generation file against a second-generation image
    EXPECT_EQ(Call(RunCompileCommand, {"--image", p("img.bin"), "-o", p("x.bin")}).code, 2);
    EXPECT_EQ(
        Call(RunCompileCommand, {"--config", "a", "--resource", "104", "--image", "i", "-o", "x"})
            .code,
        2);
}

TEST(ImageCommand, InfoReportsVersionsAndDamage) {
    test::TempDir dir;
    auto p = [&](const char* n) { return (dir / n).string(); };
    ASSERT_EQ(Call(RunImageCommand, {"make", "--generation", "1", "--version", "01020305", "--size",
                                     "4105", "-o", p("g1.bin")})
                  .code,
              0);
    CommandRun r = Call(RunImageCommand, {"info", p("g1.bin"), "--json"});
    ASSERT_EQ(r.code, 0) << r.err;
    const auto info = nlohmann::json::parse(r.out);
    EXPECT_EQ(info["command"], "image info");
    EXPECT_EQ(info["firmwareLength"], 8192);
    EXPECT_EQ(info["loaderVersion"], "V01L02R03-5");
    EXPECT_EQ(info["trailerVersion"], "V01L02R03-05");
    EXPECT_EQ(info["digestHolds"], true);

    auto bytes = test::ReadBytes(p("g1.bin"));
    bytes[40] ^= 1;
    test::WriteBytes(p("bad.bin"), bytes);
    r = Call(RunImageCommand, {"info", p("bad.bin")});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("digest"), std::string::npos);
    EXPECT_NE(r.out.find("digest holds:    no"), std::string::npos);

    EXPECT_EQ(Call(RunImageCommand, {"make", "--generation", "3", "--version", "010203", "--size",
                                     "5000", "-o", p("x.bin")})
                  .code,
              2);
    EXPECT_EQ(Call(RunImageCommand, {"make", "--generation", "1", "--version", "01020A", "--size",
                                     "5000", "-o", p("x.bin")})
                  .code,
              2);
    EXPECT_EQ(Call(RunImageCommand, {"make", "--generation", "2", "--version", "010203", "--size",
                                     "65", "-o", p("x.bin")})
                  .code,
              2);
    EXPECT_EQ(Call(RunImageCommand, {"info"}).code, 2);
    EXPECT_EQ(Call(RunImageCommand, {"info", p("missing.bin")}).code, 1);
}

#ifndef _WIN32
TEST(Commands, InputsThatAreNoPlainFileAndOutputsWithoutAFolder) {
    test::TempDir dir;
    auto p = [&](const char* n) { return (dir / n).string(); };
    ASSERT_EQ(::mkfifo(p("fifo").c_str(), 0600), 0);
    // A FIFO would block the reader for ever; a folder is no file to read.
    CommandRun r = Call(RunDecodeCommand, {p("fifo")});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("not a regular file"), std::string::npos) << r.err;
    r = Call(RunImageCommand, {"info", p("fifo")});
    EXPECT_EQ(r.code, 1);
    r = Call(RunImageCommand, {"info", dir.path().string()});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("not a regular file"), std::string::npos) << r.err;
    // A truncated image names its fault instead of showing a made-up version.
    test::WriteBytes(p("short.bin"), {'0', '1', '0', '2'});
    r = Call(RunImageCommand, {"info", p("short.bin"), "--json"});
    EXPECT_EQ(r.code, 1);
    const auto shortImage = nlohmann::json::parse(r.out);
    EXPECT_EQ(shortImage["ok"], false);
    EXPECT_EQ(shortImage["fault"], "size");
    EXPECT_EQ(shortImage["error"]["code"], "image-damaged");
    EXPECT_EQ(shortImage.value("trailerVersion", ""), "");
    // An output in a folder that does not exist is named as the user gave it.
    r = Call(RunImageCommand, {"make", "--generation", "1", "--version", "01000300", "--size",
                               "5000", "-o", p("missing/out.bin")});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find(p("missing/out.bin")), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find(".tmp"), std::string::npos) << r.err;
}
#endif

}  // namespace
}  // namespace mox3
