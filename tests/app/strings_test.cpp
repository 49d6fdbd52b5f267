// The program's texts: the dialog's string table and the command line's catalogue in every
// language the program speaks, the language chosen, findings worded in one language, and answers
// to the question read the way each language writes yes.
#include "app/run/strings.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <tuple>
#include <vector>

#include "app/cli/cli_texts.h"
#include "app/cli/finding_texts.h"
#include "base/text.h"

namespace mox3 {
namespace {

// What a translation keeps of the English text: its line breaks in order (unless `breaks` is
// false), then its placeholders ("%" and the character after it) sorted, as the program fills
// them in whatever order they stand.
std::u16string Shape(std::u16string_view text, bool breaks = true) {
    std::u16string shape;
    std::vector<std::u16string> places;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (breaks && (text[i] == u'\r' || text[i] == u'\n')) shape += text[i];
        if (text[i] == u'%') places.emplace_back(text.substr(i, 2));
    }
    std::sort(places.begin(), places.end());
    for (const std::u16string& place : places) shape += place;
    return shape;
}

TEST(StringTable, EveryLanguageCarriesEveryText) {
    for (LanguageId lang : AllLanguages()) {
        SCOPED_TRACE(testing::Message() << "language 0x" << std::hex << lang);
        const bool english = lang == kLanguageNeutral || lang == kLanguageEnglishUs;
        for (int id : StringIds()) {
            SCOPED_TRACE(testing::Message() << "string " << std::dec << id);
            const std::u16string text = LoadTableString(id, lang);
            const std::u16string reference = LoadTableString(id, kLanguageNeutral);
            ASSERT_FALSE(text.empty());
            EXPECT_EQ(text.find(u'\uFFFD'), std::u16string::npos);
            const bool breaks = lang != kLanguageEnglishUs;
            EXPECT_EQ(Shape(text, breaks), Shape(reference, breaks));
            // Short words such as "Error" may coincide; the sentences must be translated.
            EXPECT_TRUE(english || Shape(reference) == Shape(reference, false) ||
                        text != reference);
        }
        EXPECT_NE(LoadTableString(114, lang).find(u"WindowsXP SP2 / Windows Vista SP2 / Windows7"),
                  std::u16string::npos);
        for (DialogText item : kAllDialogTexts) {
            const std::u16string text = LoadDialogText(item, lang);
            EXPECT_TRUE(!text.empty() && Shape(text) == Shape(text, false)) << int(item);
        }
        EXPECT_NE(LoadDialogText(DialogText::kTitle, lang).find(u"ZR-MOX3"), std::u16string::npos);
        EXPECT_TRUE(english || LoadDialogText(DialogText::kCaution, lang) !=
                                   LoadDialogText(DialogText::kCaution, kLanguageNeutral));
    }
}

TEST(StringTable, KnownLanguagesForTheCommandLine) {
    for (const char* known : {"ja_JP.UTF-8", "en_GB", "zh_TW", "POSIX", "0x0411", "0x0C07"}) {
        EXPECT_TRUE(IsKnownLanguage(known)) << known;
    }
    for (const char* unknown : {"klingon", "0x0009", "0x0C04"}) {
        EXPECT_FALSE(IsKnownLanguage(unknown)) << unknown;
    }
}

TEST(LanguageChoice, OverrideBeforeLcAllBeforeLcMessagesBeforeLangEachALocaleName) {
    const std::map<std::string, std::string> ja = {{"LC_ALL", "ja_JP.UTF-8"},
                                                   {"LANG", "de_DE.UTF-8"}};
    struct Case {
        std::optional<std::string> override;
        std::map<std::string, std::string> env;
        LanguageId expected;
    };
    // clang-format off
    const Case cases[] = {
        {{}, {{"LC_ALL", "ja_JP.UTF-8"}, {"LC_MESSAGES", "de_DE.UTF-8"}, {"LANG", "fr_FR.UTF-8"}}, 0x0411},
        {{}, {{"LC_MESSAGES", "de_DE.UTF-8"}, {"LANG", "fr_FR.UTF-8"}}, 0x0007},
        {{}, {{"LC_ALL", ""}, {"LC_MESSAGES", ""}, {"LANG", "ru_RU.UTF-8"}}, 0x0419},  // empty: unset
        {{}, {{"LC_ALL", "C"}, {"LANG", "ko_KR.UTF-8"}}, 0x0001},  // set decides, table or not
        {{}, {}, 0x0001}, {"0X041e", ja, 0x041E}, {"0x0409", ja, 0x0409}, {"C", ja, 0x0001},
        // Ids without a table: their primary language, else the neutral language.
        {"0x0807", ja, 0x0007}, {"0x0809", ja, 0x0001},
        // Not a hex id: read as a locale name, which knows no such language.
        {"0x04111", ja, 0x0001}, {"", ja, 0x0411},  // an empty override leaves it to the environment
        // Region, encoding and modifier are ignored; Chinese goes by script or region; American
        // English has a table of its own.
        {"nl_BE@euro", ja, 0x0013}, {"zh-Hant-TW", ja, 0x0404}, {"zh_CN.GB18030", ja, 0x0804},
        {"en-us", ja, 0x0409}, {"en_GB.UTF-8", ja, 0x0001}, {"tr_TR.UTF-8", ja, 0x0001},
    };
    // clang-format on
    for (const Case& c : cases) {
        const auto env = [&](const char* name) -> std::optional<std::string> {
            const auto it = c.env.find(name);
            return it == c.env.end() ? std::nullopt : std::optional(it->second);
        };
        EXPECT_EQ(CurrentLanguage(c.override, env), c.expected) << c.override.value_or("none");
    }
}

TEST(ForTerminal, LineEndsBecomeLineFeeds) {
    EXPECT_EQ(ForTerminal(u"a\r\nb|a\r\r\nb\n\rc|a\rb\r"), "a\nb|a\n\nb\n\nc|a\nb\n");
    EXPECT_EQ(ForTerminal(u"\u00e9\u65e5\U0001F600"), "\xC3\xA9\xE6\x97\xA5\xF0\x9F\x98\x80");
}

// The build checks each catalogue on its own (tests/app/text_tables_linux_test.cpp); here,
// the catalogue as a whole.
TEST(CliTexts, TheCatalogueSpeaksTheDialogsLanguages) {
    const std::vector<LanguageId> catalogue(CliLanguages().begin(), CliLanguages().end());
    EXPECT_EQ(catalogue, AllLanguages()) << "the catalogue speaks other languages than the dialog";
    for (LanguageId lang : catalogue) {
        const bool english = lang == kLanguageNeutral || lang == 0x0409;
        EXPECT_EQ(FindingsTranslated(lang), !english) << lang;
        EXPECT_EQ(CliString(CliText::kPhaseChecking, lang) == "checking the drive", english)
            << lang;
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
              "das Schreiben oder Zur\xc3\xbc"
              "cklesen des Flash-Speichers ist fehlgeschlagen "
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
    for (const auto& [answer, lang, yes] : cases)
        EXPECT_EQ(IsYesAnswer(answer, lang), yes) << answer;
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
