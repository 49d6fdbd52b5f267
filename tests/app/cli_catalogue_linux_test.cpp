// The build step that turns the command line's catalogues into the program's tables, run on a
// small catalogue of two texts and one finding, and on faulty variants of it.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <tuple>

#include "test_support.h"

namespace mox3 {
namespace {

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

class CliCatalogueCheck : public testing::Test {
  protected:
    void SetUp() override {
        if (std::system("cmake --version > /dev/null 2>&1") != 0) GTEST_SKIP() << "no cmake";
        for (const char* sub : {"src/app/cli", "src/base", "po"}) {
            std::filesystem::create_directories(dir_ / sub);
        }
        std::ofstream(dir_ / "src/base/finding.h") << "enum class Finding {\n    kBridgeSays,\n};\n";
        std::ofstream(dir_ / "po/mox3-updater.pot") << kTemplate;
        WriteTexts("kAskStart,  // {0} what\n    kYesNo,");
    }

    void WriteTexts(const std::string& enumerators) {
        std::ofstream(dir_ / "src/app/cli/cli_texts.h")
            << "enum class CliText {\n    " << enumerators << "\n};\n";
    }

    // Runs the build step on de.po made of `lines`; its exit status and what it printed.
    std::pair<int, std::string> Run(const std::vector<std::string>& lines) {
        std::ofstream file(dir_ / "po/de.po");
        for (const std::string& line : lines) file << line << "\n";
        file.close();
        return test::RunCMakeScript("-DPART=cli -DCATALOGUE=" + (dir_ / "po").string() +
                                        " -DSOURCES=" + (dir_ / "src").string() +
                                        " -DOUTPUT=" + (dir_ / "out.cpp").string(),
                                    "../src/resources/embed_cli_texts.cmake", dir_ / "log");
    }

    test::TempDir dir_;
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
