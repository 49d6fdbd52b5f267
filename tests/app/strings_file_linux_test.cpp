// The build step that turns the strings file into the program's tables, run on faulty files.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <utility>

#include "app/run/strings.h"
#include "test_support.h"

namespace mox3 {
namespace {
// The build step that compiles the strings file, run on faulty files.
class StringsFileCheck : public testing::Test {
  protected:
    void SetUp() override {
        if (std::system("cmake --version > /dev/null 2>&1") != 0) GTEST_SKIP() << "no cmake";
    }

    // The lines of a valid file with one language.
    static std::vector<std::string> ValidLines() {
        std::vector<std::string> lines = {"# one language", "[0x0409]"};
        for (int id : StringIds()) lines.push_back(std::to_string(id) + " = \"text\"");
        for (const char* key :
             {"title", "exit", "start", "current_firmware", "new_firmware", "caution"}) {
            lines.push_back(std::string(key) + " = \"text\"");
        }
        return lines;
    }

    // Runs the build step; its exit status and everything it printed.
    std::pair<int, std::string> Run(const std::vector<std::string>& lines) {
        std::ofstream(dir_ / "bad.txt") << [&] {
            std::string text;
            for (const std::string& line : lines) text += line + "\n";
            return text;
        }();
        return test::RunCMakeScript(
            "-DINPUT=" + (dir_ / "bad.txt").string() + " -DOUTPUT=" + (dir_ / "out.cpp").string(),
            "../src/resources/embed_strings.cmake", dir_ / "log");
    }

    // Expects the step to fail with `message` about line `line`.
    void ExpectFailure(const std::vector<std::string>& lines, int line,
                       const std::string& message) {
        const auto [status, log] = Run(lines);
        EXPECT_NE(status, 0) << log;
        // The message may be wrapped; compare without line breaks and indentation.
        std::string flat;
        for (char c : log) {
            if (c == '\n') continue;
            if (c == ' ' && !flat.empty() && flat.back() == ' ') continue;
            flat.push_back(c);
        }
        EXPECT_NE(flat.find("bad.txt:" + std::to_string(line) + ": " + message), std::string::npos)
            << log;
    }

    test::TempDir dir_;
};

TEST_F(StringsFileCheck, AcceptsAValidFileAndResolvesEscapes) {
    auto lines = ValidLines();
    lines[2] = "102 = \"a\\\\b\\\"c\\r\\n \xC3\xA9 \"  ";
    lines.insert(lines.begin() + 2, "  # indented comment");
    const auto [status, log] = Run(lines);
    ASSERT_EQ(status, 0) << log;
    std::stringstream out;
    out << std::ifstream(dir_ / "out.cpp").rdbuf();
    EXPECT_NE(
        out.str().find(R"({0x0409, "102", u8"\x61\x5c\x62\x22\x63\x0d\x0a\x20\xc3\xa9\x20"})"),
        std::string::npos)
        << out.str();
}

TEST_F(StringsFileCheck, RejectsFaultyFiles) {
    auto lines = ValidLines();  // line n of the file is lines[n - 1]
    {
        auto bad = lines;
        bad.pop_back();
        ExpectFailure(bad, 2, "language 0x0409 lacks caution");
    }
    {
        auto bad = lines;
        bad[3] = "103 = \"a\\tb\"";
        ExpectFailure(bad, 4, "unknown escape '\\t'");
    }
    {
        auto bad = lines;
        bad[3] = "103 = \"ends with \\\"";
        ExpectFailure(bad, 4, "the text must stand between double quotes");
    }
    {
        auto bad = lines;
        bad[3] = "103 = Error";
        ExpectFailure(bad, 4, "the text must stand between double quotes");
    }
    {
        auto bad = lines;
        bad[3] = "103 = \"\"";
        ExpectFailure(bad, 4, "the text of 103 is empty");
    }
    {
        auto bad = lines;
        bad[4] = "102 = \"again\"";
        ExpectFailure(bad, 5, "102 is given twice for language 0x0409");
    }
    {
        auto bad = lines;
        bad[4] = "110 = \"text\"";
        ExpectFailure(bad, 5, "unknown key '110'");
    }
    {
        auto bad = lines;
        bad[5] = "105 = \"\xED\xA0\x80\"";  // a surrogate
        ExpectFailure(bad, 6, "the text is not valid UTF-8");
    }
    {
        auto bad = lines;
        bad.insert(bad.begin() + 1, "102 = \"text\"");
        ExpectFailure(bad, 2, "text before the first language block");
    }
    {
        auto bad = lines;
        bad.push_back("[0x409]");
        ExpectFailure(bad, static_cast<int>(bad.size()), "expected a language block");
        bad.back() = "[0x0409]";
        ExpectFailure(bad, static_cast<int>(bad.size()), "language 0x0409 has a block already");
    }
}

}  // namespace
}  // namespace mox3
