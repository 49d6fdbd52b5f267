// The command line's catalogue: every language the program speaks, findings worded in one
// language, and answers to the question read the way each language writes yes.
#include <gtest/gtest.h>

#include <tuple>
#include <vector>

#include "app/cli/cli_texts.h"
#include "app/cli/finding_texts.h"
#include "base/text.h"

namespace mox3 {
namespace {

// The build checks each catalogue on its own (tests/app/cli_catalogue_linux_test.cpp); here,
// the catalogue as a whole.
TEST(CliTexts, TheCatalogueSpeaksTheDialogsLanguages) {
    const std::vector<LanguageId> catalogue(CliLanguages().begin(), CliLanguages().end());
    EXPECT_EQ(catalogue, AllLanguages()) << "the catalogue speaks other languages than the dialog";
    for (LanguageId lang : catalogue) {
        const bool english = lang == kLanguageNeutral || lang == 0x0409;
        EXPECT_EQ(FindingsTranslated(lang), !english) << lang;
        EXPECT_EQ(CliString(CliText::kPhaseChecking, lang) == "checking the drive", english) << lang;
    }
    EXPECT_EQ(CliString(CliText::kPhaseDone, 0x0405), "done");  // no catalogue: English
    EXPECT_EQ(FindingPattern(Finding::kPlaceFolder, 0x0405), "a folder");
}

TEST(CliTexts, FindingsWithinFindingsAreWordedInTheSameLanguage) {
    const Told damaged = Tell(Finding::kPlaceDamaged, {}, {Tell(Finding::kImageDigest)});
    EXPECT_EQ(InEnglish(damaged), "damaged: the image's digest header does not match its contents");
    const std::string german = Said(damaged, 0x0007);
    EXPECT_EQ(german.find("digest"), std::string::npos) << german;
    // The inner finding is the last value and comes first in the text, the bridge's words after.
    const Told says = Tell(Finding::kBridgeSays, {"(81 02)"}, {Tell(Finding::kFlashFailed)});
    EXPECT_EQ(InEnglish(says), "writing or reading back the flash failed (bridge: (81 02))");
    EXPECT_EQ(Said(says, 0x0007),
              "das Schreiben oder Zur\xc3\xbc" "cklesen des Flash-Speichers ist fehlgeschlagen "
              "(Bridge-Chip: (81 02))");
}

TEST(CliTexts, TheAnswerLettersShownAreTheOnesRead) {
    for (LanguageId lang : CliLanguages()) {
        const std::string letters = CliString(CliText::kYesNo, lang);
        const std::size_t slash = letters.find('/');
        ASSERT_TRUE(letters.size() > 2 && letters.front() == '[' && letters.back() == ']' &&
                    slash != std::string::npos)
            << letters;
        EXPECT_TRUE(IsYesAnswer(letters.substr(1, slash - 1), lang)) << letters;
        EXPECT_FALSE(IsYesAnswer(letters.substr(slash + 1, letters.size() - slash - 2), lang))
            << letters;
        // English keeps working whatever the language; silence and "no" never start an update.
        for (const char* yes : {"y", "YES", " Yes \r"}) EXPECT_TRUE(IsYesAnswer(yes, lang)) << yes;
        for (const char* no : {"   ", "no", "yess", "y y", "\xff"}) {
            EXPECT_FALSE(IsYesAnswer(no, lang)) << lang << ": " << no;
        }
    }
}

TEST(CliTexts, YesWordsOfEachScript) {
    // clang-format off
    const std::tuple<const char*, LanguageId, bool> cases[] = {
        {"\tJA ", 0x0007, true}, {"jaa", 0x0007, false},
        {"ja", 0x000C, false},  // one language's yes is not another's
        // Decomposed and without the accent; capitals outside ASCII.
        {"S\xc3\x8d", 0x000A, true}, {"si\xcc\x81", 0x000A, true}, {"si", 0x000A, true},
        {"\xd0\x94", 0x0419, true},
        // Japanese as typed through an input method: full-width space and letters.
        {"\xe3\x81\xaf\xe3\x81\x84\xe3\x80\x80", 0x0411, true}, {"\xef\xbd\x99", 0x0411, true},
        // A language without a catalogue falls back to English.
        {"yes", 0x0405, true}, {"ja", 0x0405, false},
    };
    // clang-format on
    for (const auto& [answer, lang, yes] : cases) EXPECT_EQ(IsYesAnswer(answer, lang), yes) << answer;
}

TEST(CliTexts, FormatAndColumns) {
    EXPECT_EQ(FormatCliText("{1} before {0}", {"a", "b"}), "b before a");
    EXPECT_EQ(FormatCliText("{0}{0} {2} {x} {", {"{1}", "-"}), "{1}{1} {2} {x} {");
    // Two ideographs, an a with a combining acute, Thai with a tone mark, a broken sequence.
    EXPECT_EQ(TerminalColumns("\xe7\x8f\xbe\xe5\x9c\xa8"
                              "a\xcc\x81\xe0\xb9\x83\xe0\xb8\x8a\xe0\xb9\x88\xc3"),
              8u);
}

}  // namespace
}  // namespace mox3
