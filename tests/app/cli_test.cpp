// The compile, image and resource subcommands as other tools call them, and the form of their
// --json objects.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <sstream>

#include "app/cli/commands.h"
#include "app/cli/json_out.h"
#include "app/session/session.h"
#include "config/compile_fixture.h"
#include "resources/resources.h"
#include "test_support.h"

namespace mox3 {
namespace {

struct CommandRun {
    int code;
    std::string out, err;
};

template <typename Command>
CommandRun Call(Command command, std::vector<std::string> args) {
    std::ostringstream out, err;
    int code = command(Args(args), out, err);
    return {code, out.str(), err.str()};
}

// The emulator command in a session of the test's own time.
int Emulator(Args args, std::ostream& out, std::ostream& err) {
    Session session;
    session.clock = std::make_shared<ManualClock>();
    return RunEmulatorCommand(session, args, out, err);
}

class CommandTest : public ::testing::Test {
  protected:
    std::string p(const char* name) const { return (dir_ / name).string(); }
    // `image make` of these values into `name`; its exit code.
    int Make(const char* generation, const char* version, const char* size,
             const char* name = "img.bin") {
        return Call(RunImageCommand, {"make", "--generation", generation, "--version", version, "--size",
                                      size, "-o", p(name)}).code;
    }
    test::TempDir dir_;
};
using CompileCommand = CommandTest;
using ImageCommand = CommandTest;
using ResourceCommand = CommandTest;

TEST_F(CompileCommand, WritesTheBlockOrNamesWhatFailed) {
    ASSERT_EQ(Make("2", "01000700", "100000"), 0);
    CommandRun r = Call(RunCompileCommand, {"--resource", "117", "--image", p("img.bin"), "--serial",
                                            "0123456789ABCDEF", "-o", p("block.bin"), "--json"});
    ASSERT_EQ(r.code, 0) << r.err;
    const auto c = nlohmann::json::parse(r.out);
    EXPECT_EQ(nlohmann::json({c["ok"], c["firmwareAddress"], c["flashParameters"],
                              c["firmwareLength"], c["itemTable"]["items"]}),
              nlohmann::json({true, 8192, "0000000000000000", 102400, 254}));

    test::WriteUtf16Ini(p("bad.ini"),
                        "[Config]\nVersion=2\n[USB Device Descriptor]\nVID=0x5E3B\nPID=0x12345\n");
    r = Call(RunCompileCommand, {"--config", p("bad.ini"), "--image", p("img.bin"), "-o", p("bad.bin")});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("[USB Device Descriptor] PID = \"0x12345\": out of range"),
              std::string::npos) << r.err;
    EXPECT_FALSE(std::filesystem::exists(p("bad.bin")));
    // A first-generation file against a second-generation image; then usage errors.
    const std::vector<std::string> rows[] = {
        {"--resource", "104", "--image", p("img.bin"), "-o", p("x.bin")},
        {"--image", p("img.bin"), "-o", p("x.bin")},
        {"--config", "a", "--resource", "104", "--image", "i", "-o", "x"}};
    for (int i = 0; i < 3; ++i) EXPECT_EQ(Call(RunCompileCommand, rows[i]).code, i == 0 ? 1 : 2) << i;
}

TEST_F(CompileCommand, NamesValuesTakenInPartAndFailsOnThemUnderStrict) {
    ASSERT_EQ(Make("2", "01000700", "100000"), 0);
    test::Ini ini = test::SecondGenerationIni();
    ini.Set("USB Device Descriptor", "VID", "0x5E3Bjunk");
    test::WriteUtf16Ini(p("junk.ini"), ini.Text());
    const std::string taken = "took \"0x5E3B\" as 24123 (0x5E3B), ignored \"junk\"";
    const std::string line = "warning: " + p("junk.ini") +
                             " [USB Device Descriptor] VID=0x5E3Bjunk: " + taken + "\n";
    // Text: the block as the reader took the value, the warning on standard error.
    CommandRun r = Call(RunCompileCommand, {"--config", p("junk.ini"), "--image", p("img.bin"), "-o", p("a.bin")});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.err, line);
    EXPECT_EQ(test::ReadBytes(p("a.bin")).size(), 4096u);
    // JSON: the warnings array, nothing on standard error.
    r = Call(RunCompileCommand,
             {"--config", p("junk.ini"), "--image", p("img.bin"), "-o", p("b.bin"), "--json"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.err, "");
    const nlohmann::json warnings = nlohmann::json::array(
        {{{"file", p("junk.ini")}, {"section", "USB Device Descriptor"}, {"key", "VID"},
          {"value", "0x5E3Bjunk"}, {"taken", taken}}});
    EXPECT_EQ(nlohmann::json::parse(r.out)["warnings"], warnings);
    EXPECT_EQ(test::ReadBytes(p("b.bin")), test::ReadBytes(p("a.bin")));
    // --strict: a failure, and nothing written.
    r = Call(RunCompileCommand, {"--config", p("junk.ini"), "--image", p("img.bin"), "-o",
                                 p("c.bin"), "--strict", "--json"});
    EXPECT_EQ(r.code, 1);
    auto json = nlohmann::json::parse(r.out);
    EXPECT_EQ(json["error"]["code"], "compile-warnings");
    EXPECT_EQ(json["warnings"], warnings);
    EXPECT_FALSE(std::filesystem::exists(p("c.bin")));
    // A clean file passes under --strict, with an empty list.
    r = Call(RunCompileCommand, {"--resource", "117", "--image", p("img.bin"), "-o", p("d.bin"),
                                 "--strict", "--json"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(nlohmann::json::parse(r.out)["warnings"], nlohmann::json::array());

    // The emulator's drive made from the same file says so too.
    r = Call(Emulator, {"create", p("drive"), "--generation", "2", "--serial", "0123456789ABCDEF",
                        "--firmware", p("img.bin"), "--config", p("junk.ini")});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.err, line);
}

TEST_F(ImageCommand, InfoReportsVersionsAndDamage) {
    ASSERT_EQ(Make("1", "01020305", "4105", "g1.bin"), 0);
    CommandRun r = Call(RunImageCommand, {"info", p("g1.bin"), "--json"});
    ASSERT_EQ(r.code, 0) << r.err;
    const auto i = nlohmann::json::parse(r.out);
    EXPECT_EQ(nlohmann::json({i["command"], i["firmwareLength"], i["loaderVersion"],
                              i["trailerVersion"], i["digestHolds"]}),
              nlohmann::json({"image info", 8192, "V01L02R03-5", "V01L02R03-05", true}));

    auto bytes = test::ReadBytes(p("g1.bin"));
    bytes[40] ^= 1;
    test::WriteBytes(p("bad.bin"), bytes);
    EXPECT_NE(Call(RunImageCommand, {"info", p("bad.bin")}).out.find("digest holds:    no"),
              std::string::npos);
    // A truncated image names its fault instead of showing a made-up version.
    test::WriteBytes(p("short.bin"), {'0', '1', '0', '2'});
    const auto shortImage =
        nlohmann::json::parse(Call(RunImageCommand, {"info", p("short.bin"), "--json"}).out);
    EXPECT_EQ(shortImage["fault"], "size");
    EXPECT_EQ(shortImage.value("trailerVersion", ""), "");

    for (const auto& [generation, version, size] : {std::tuple{"3", "010203", "5000"},
                                                    {"1", "01020A", "5000"}, {"2", "010203", "65"}}) {
        EXPECT_EQ(Make(generation, version, size, "x.bin"), 2) << generation << version << size;
    }
    EXPECT_EQ(Call(RunImageCommand, {"info"}).code, 2);
}

TEST_F(ResourceCommand, ExtractWritesTheExactBytesAndReplacesAnOldFile) {
    for (int id : {104, 123}) {
        test::WriteBytes(p("MOX3_config.ini"), std::vector<std::uint8_t>(10000, 0xAA));
        const CommandRun r =
            Call(RunResourceCommand, {"extract", std::to_string(id), "-o", p("MOX3_config.ini")});
        ASSERT_EQ(r.code, kExitOk) << r.err;
        const auto expected = FindConfigResource(id)->bytes;
        EXPECT_EQ(test::ReadBytes(p("MOX3_config.ini")),
                  std::vector<std::uint8_t>(expected.begin(), expected.end()));
    }
    // No temporary file is left beside the result.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_.path()), {}), 1);
}

// The form every command prints its --json object in: scripts and people read it as it is.
TEST(JsonText, KeepsKeyOrderIndentationAndEmptyContainers) {
    Json doc = Json::object();
    doc["z"] = 1;
    doc["a"] = Json::array();
    doc["m"] = Json::object();
    doc["n"] = nullptr;
    doc["list"] = Json::array({true, -5, "x"});
    doc["o"]["k"] = false;
    EXPECT_EQ(JsonText(doc),
              "{\n  \"z\": 1,\n  \"a\": [],\n  \"m\": {},\n  \"n\": null,\n  \"list\": [\n"
              "    true,\n    -5,\n    \"x\"\n  ],\n  \"o\": {\n    \"k\": false\n  }\n}\n");
}

TEST(JsonText, EscapesControlCharactersAndPassesTextThrough) {
    const std::pair<std::string, std::string> cases[] = {
        // the value, and as it is shown
        {"q\"b\\s/", R"(q\"b\\s/)"},
        {"\n\r\t", R"(\n\r\t)"},
        {"\b\f\x01\x1f", R"(\u0008\u000c\u0001\u001f)"},
        {"\\b\\f", R"(\\b\\f)"},  // a backslash before b stays one
        {"\x7f\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80", "\x7f\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80"},
        // A drive's strings may hold bytes that are not UTF-8: they print as U+FFFD.
        {"a\xffz\xc3", "a\xef\xbf\xbdz\xef\xbf\xbd"},
    };
    for (const auto& [value, shown] : cases) {
        // Keys are escaped alike.
        EXPECT_EQ(JsonText(Json{{"s", value}, {value, 0}}),
                  "{\n  \"s\": \"" + shown + "\",\n  \"" + shown + "\": 0\n}\n")
            << shown;
    }
}

}  // namespace
}  // namespace mox3
