// The build step that turns the strings file into the program's tables, run on faulty files.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <tuple>

#include "app/run/strings.h"
#include "test_support.h"

namespace mox3 {
namespace {

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
        std::ofstream file(dir_ / "bad.txt");
        for (const std::string& line : lines) file << line << "\n";
        file.close();
        return test::RunCMakeScript(
            "-DINPUT=" + (dir_ / "bad.txt").string() + " -DOUTPUT=" + (dir_ / "out.cpp").string(),
            "../src/resources/embed_strings.cmake", dir_ / "log");
    }

    test::TempDir dir_;
};

TEST_F(StringsFileCheck, AcceptsAValidFileAndResolvesEscapes) {
    auto lines = ValidLines();
    lines[2] = "102 = \"a\\\\b\\\"c\\r\\n \xC3\xA9 \"  ";
    lines.insert(lines.begin() + 2, "  # indented comment");
    const auto [status, log] = Run(lines);
    ASSERT_EQ(status, 0) << log;
    const std::string out = test::ReadText(dir_ / "out.cpp");
    EXPECT_NE(out.find(R"({0x0409, "102", u8"\x61\x5c\x62\x22\x63\x0d\x0a\x20\xc3\xa9\x20"})"),
              std::string::npos)
        << out;
}

TEST_F(StringsFileCheck, RejectsFaultyFiles) {
    const std::vector<std::string> valid = ValidLines();  // line n of the file is valid[n - 1]
    const int end = static_cast<int>(valid.size()) + 1;
    // The line replaced (`end`: added at the end) and named in the message, its text, the message.
    const std::tuple<int, std::string, std::string> cases[] = {
        {4, "103 = \"a\\tb\"", "unknown escape '\\t'"},
        {4, "103 = Error", "the text must stand between double quotes"},
        {5, "102 = \"again\"", "102 is given twice for language 0x0409"},
        {5, "110 = \"text\"", "unknown key '110'"},
        {1, "102 = \"text\"", "text before the first language block"},
        {end, "[0x0409]", "language 0x0409 has a block already"},
    };
    for (const auto& [line, text, message] : cases) {
        std::vector<std::string> lines = valid;
        (line == end ? lines.emplace_back() : lines[line - 1]) = text;
        const auto [status, log] = Run(lines);
        EXPECT_NE(status, 0) << log;
        EXPECT_NE(log.find("bad.txt:" + std::to_string(line) + ": " + message), std::string::npos)
            << log;
    }
}

}  // namespace
}  // namespace mox3
