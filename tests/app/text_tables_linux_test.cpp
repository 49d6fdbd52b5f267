// The build steps that turn the strings file and the command line's catalogues into the
// program's tables, run on small valid files and on faulty variants of them.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <tuple>

#include "app/run/strings.h"
#include "test_support.h"

namespace mox3 {
namespace {

class BuildStepCheck : public testing::Test {
  protected:
    void SetUp() override {
        if (std::system("cmake --version > /dev/null 2>&1") != 0) GTEST_SKIP() << "no cmake";
    }

    // Writes `lines` to `file` and runs `script` with `definitions`: its exit status and what it
    // printed.
    std::pair<int, std::string> Run(const std::filesystem::path& file,
                                    const std::vector<std::string>& lines,
                                    const std::string& definitions, const char* script) {
        std::ofstream out(file);
        for (const std::string& line : lines) out << line << "\n";
        out.close();
        return test::RunCMakeScript(definitions + " -DOUTPUT=" + (dir_ / "out.cpp").string(),
                                    script, dir_ / "log");
    }

    test::TempDir dir_;
};

class StringsFileCheck : public BuildStepCheck {
  protected:
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

    std::pair<int, std::string> Run(const std::vector<std::string>& lines) {
        return BuildStepCheck::Run(dir_ / "bad.txt", lines,
                                   "-DINPUT=" + (dir_ / "bad.txt").string(),
                                   "../src/resources/embed_strings.cmake");
    }
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

const char* const kTemplate =
    "msgid \"\"\nmsgstr \"\"\n\"Content-Type: text/plain; charset=UTF-8\\n\"\n\n"
    "msgctxt \"ask_start\"\nmsgid \"start {0}?\"\nmsgstr \"\"\n\n"
    "msgctxt \"yes_no\"\nmsgid \"[y/N]\"\nmsgstr \"\"\n\n"
    "msgctxt \"finding.bridge_says\"\nmsgid \"{1} (bridge: {0})\"\nmsgstr \"\"\n";

// de.po, line n is German()[n - 1].
std::vector<std::string> German() {
    std::istringstream text(
        "msgid \"\"\nmsgstr \"\"\n\"Content-Type: text/plain; charset=UTF-8\\n\"\n"
        "\"X-Language-Id: 0x0007\\n\"\n\nmsgctxt \"ask_start\"\nmsgid \"start {0}?\"\n"
        "msgstr \"\\\"{0}\\\" \"\n\"starten?\"\n\nmsgctxt \"yes_no\"\nmsgid \"[y/N]\"\n"
        "msgstr \"[j/N]\"\n\nmsgctxt \"finding.bridge_says\"\nmsgid \"{1} (bridge: {0})\"\n"
        "msgstr \"{1} (Bridge-Chip: {0})\"");
    std::vector<std::string> lines;
    for (std::string line; std::getline(text, line);) lines.push_back(line);
    return lines;
}

class CliCatalogueCheck : public BuildStepCheck {
  protected:
    void SetUp() override {
        BuildStepCheck::SetUp();
        if (IsSkipped()) return;
        for (const char* sub : {"src/app/cli", "src/base", "po"}) {
            std::filesystem::create_directories(dir_ / sub);
        }
        std::ofstream(dir_ / "src/base/finding.h")
            << "enum class Finding {\n    kBridgeSays,\n};\n";
        std::ofstream(dir_ / "po/mox3-updater.pot") << kTemplate;
        WriteTexts("kAskStart,  // {0} what\n    kYesNo,");
    }

    void WriteTexts(const std::string& enumerators) {
        std::ofstream(dir_ / "src/app/cli/cli_texts.h")
            << "enum class CliText {\n    " << enumerators << "\n};\n";
    }

    // Runs the build step on de.po made of `lines`.
    std::pair<int, std::string> Run(const std::vector<std::string>& lines) {
        return BuildStepCheck::Run(dir_ / "po/de.po", lines,
                                   "-DPART=cli -DCATALOGUE=" + (dir_ / "po").string() +
                                       " -DSOURCES=" + (dir_ / "src").string(),
                                   "../src/resources/embed_cli_texts.cmake");
    }
};

TEST_F(CliCatalogueCheck, RefusesAFaultyCatalogue) {
    // The line replaced, its text, and the message.
    const std::tuple<int, const char*, std::string> cases[] = {
        {11, "msgctxt \"yes_or_no\"", "de.po:11: unknown key \"yes_or_no\""},
        {17, "msgstr \"{1} (Bridge-Chip: {2})\"",
         "de.po:15: the translation of finding.bridge_says has the places {1} {2}, the English "
         "text has the places {0} {1}"},
        {13, "msgstr \"[j/N]}\"",
         "de.po:11: the translation of yes_no has no places and 1 stray brace, the English "
         "text has no places"},
        {12, "msgid \"[y/n]\"", "de.po:11: the msgid of yes_no is not the English text"},
        {13, "msgstr \"\"", "de.po:11: yes_no is not translated"},
        {10, "#, fuzzy", "de.po:11: yes_no is marked fuzzy"},
        {13, "msgstr \"[j/N]\\n\"", "de.po:11: the translation of yes_no holds a line break"},
        {13, "msgstr \"\xED\xA0\x80\"", "de.po:11: the translation of yes_no is not valid UTF-8"},
        {4, "\"X-Language-Id: 0x0409\\n\"", "de.po:1: language 0x0409 is not one a translation"},
    };
    for (const auto& [line, text, message] : cases) {
        std::vector<std::string> lines = German();
        lines[line - 1] = text;
        const auto [status, log] = Run(lines);
        EXPECT_NE(status, 0) << message;
        EXPECT_NE(log.find(message), std::string::npos) << log;
    }
    // A missing entry, and a text added to the program but not to the catalogue.
    std::vector<std::string> lines = German();
    lines.resize(13);
    EXPECT_NE(Run(lines).second.find("de.po: lacks the keys finding.bridge_says"),
              std::string::npos);
    WriteTexts("kAskStart,\n    kAskWrite,  // {0} x\n    kYesNo,");
    EXPECT_NE(Run(German()).second.find("mox3-updater.pot: lacks the keys ask_write"),
              std::string::npos);
}

}  // namespace
}  // namespace mox3
