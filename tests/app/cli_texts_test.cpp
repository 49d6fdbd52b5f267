// The command line's catalogue: complete in every language the program speaks, with the
// placeholders of the English texts, and answers to the question read the way each language
// writes yes.
#include <gtest/gtest.h>

#include <map>
#include <vector>

#include "app/cli/cli_texts.h"
#include "app/cli/finding_texts.h"
#include "base/text.h"

namespace mox3 {
namespace {

// How often each placeholder "{n}" stands in a text; -1 under key 10 counts stray braces.
std::map<int, int> Placeholders(const std::string& text) {
    std::map<int, int> found;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '{' && text[i] != '}') continue;
        if (text[i] == '{' && i + 2 < text.size() && text[i + 1] >= '0' && text[i + 1] <= '9' &&
            text[i + 2] == '}') {
            ++found[text[i + 1] - '0'];
            i += 2;
        } else {
            --found[10];
        }
    }
    return found;
}

TEST(CliTexts, EveryLanguageCarriesEveryKeyWithTheEnglishPlaceholders) {
    const std::vector<LanguageId> catalogue(CliLanguages().begin(), CliLanguages().end());
    EXPECT_EQ(catalogue, AllLanguages()) << "the catalogue speaks other languages than the dialog";
    for (LanguageId lang : catalogue) {
        for (int k = 0; k < kCliTextCount; ++k) {
            const auto key = static_cast<CliText>(k);
            const std::string where =
                std::string(CliTextName(key)) + " in language " + std::to_string(lang);
            EXPECT_FALSE(CliTextName(key).empty()) << k;
            ASSERT_EQ(CliTextOccurrences(key, lang), 1) << where;
            const std::string text = CliString(key, lang);
            EXPECT_FALSE(text.empty()) << where;
            EXPECT_EQ(Utf16ToUtf8(Utf8ToUtf16(text)), text) << where << " is not UTF-8";
            EXPECT_EQ(text.find_first_of("\n\r\t"), std::string::npos) << where;
            EXPECT_EQ(Placeholders(text), Placeholders(CliString(key, kLanguageNeutral))) << where;
        }
    }
}

// What the run, the image reader and the disk checks find is told in every language too.
TEST(CliTexts, EveryLanguageWordsEveryFindingWithTheEnglishPlaceholders) {
    for (LanguageId lang : CliLanguages()) {
        const bool english = lang == kLanguageNeutral || lang == 0x0409;
        EXPECT_EQ(FindingsTranslated(lang), !english) << lang;
        for (int f = 0; f < kFindingCount; ++f) {
            const auto what = static_cast<Finding>(f);
            const std::string text(FindingPattern(what, lang));
            const std::string where = "finding " + std::to_string(f) + " in language " + std::to_string(lang);
            EXPECT_FALSE(text.empty()) << where;
            EXPECT_EQ(Utf16ToUtf8(Utf8ToUtf16(text)), text) << where << " is not UTF-8";
            EXPECT_EQ(text.find_first_of("\n\r\t"), std::string::npos) << where;
            EXPECT_EQ(Placeholders(text), Placeholders(std::string(EnglishPattern(what)))) << where;
        }
    }
    // A finding within a finding is worded in the same language.
    const Told damaged = Tell(Finding::kPlaceDamaged, {}, {Tell(Finding::kImageDigest)});
    EXPECT_EQ(InEnglish(damaged), "damaged: the image's digest header does not match its contents");
    const std::string german = Said(damaged, 0x0007);
    EXPECT_EQ(german.find("digest"), std::string::npos) << german;
    EXPECT_EQ(InEnglish(Tell(Finding::kBridgeSays, {"(81 02)"}, {Tell(Finding::kFlashFailed)})),
              "writing or reading back the flash failed (bridge: (81 02))");
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
        for (const char* no : {"", "   ", "n", "no", "nein", "yess", "y y", "\xff"}) {
            EXPECT_FALSE(IsYesAnswer(no, lang)) << lang << ": " << no;
        }
    }
}

TEST(CliTexts, YesWordsOfEachScript) {
    constexpr LanguageId kGerman = 0x0007, kSpanish = 0x000A, kFrench = 0x000C,
                         kFinnish = 0x040B, kJapanese = 0x0411, kRussian = 0x0419;
    EXPECT_TRUE(IsYesAnswer("ja", kGerman));
    EXPECT_TRUE(IsYesAnswer("\tJA ", kGerman));
    EXPECT_FALSE(IsYesAnswer("ja", kFrench));  // one language's yes is not another's
    EXPECT_FALSE(IsYesAnswer("jaa", kGerman));
    EXPECT_TRUE(IsYesAnswer("OUI", kFrench));
    // Precomposed, decomposed and without the accent; capitals outside ASCII.
    EXPECT_TRUE(IsYesAnswer("s\xc3\xad", kSpanish));   // sí
    EXPECT_TRUE(IsYesAnswer("S\xc3\x8d", kSpanish));   // SÍ
    EXPECT_TRUE(IsYesAnswer("si\xcc\x81", kSpanish));  // s, i, combining acute
    EXPECT_TRUE(IsYesAnswer("si", kSpanish));
    EXPECT_TRUE(IsYesAnswer("KYLL\xc3\x84", kFinnish));  // KYLLÄ
    EXPECT_TRUE(IsYesAnswer("\xd0\x94\xd0\xb0", kRussian));  // Да
    EXPECT_TRUE(IsYesAnswer("\xd0\x94", kRussian));          // Д
    EXPECT_FALSE(IsYesAnswer("\xd0\xbd\xd0\xb5\xd1\x82", kRussian));  // нет
    // Japanese as typed through an input method: full-width space and letters.
    EXPECT_TRUE(IsYesAnswer("\xe3\x81\xaf\xe3\x81\x84\xe3\x80\x80", kJapanese));  // はい + U+3000
    EXPECT_TRUE(IsYesAnswer("\xef\xbd\x99", kJapanese));                          // full-width y
    EXPECT_FALSE(IsYesAnswer("\xe3\x81\x84\xe3\x81\x84\xe3\x81\x88", kJapanese));  // いいえ
    // A language without a catalogue falls back to English.
    EXPECT_TRUE(IsYesAnswer("yes", 0x0405));
    EXPECT_FALSE(IsYesAnswer("ja", 0x0405));
}

TEST(CliTexts, FormatAndColumns) {
    EXPECT_EQ(FormatCliText("{1} before {0}", {"a", "b"}), "b before a");
    EXPECT_EQ(FormatCliText("{0}{0} {2} {x} {", {"ab", "-"}), "abab {2} {x} {");
    EXPECT_EQ(FormatCliText("{0}", {"{1}", "no second pass"}), "{1}");
    EXPECT_EQ(TerminalColumns("Firmware"), 8u);
    EXPECT_EQ(TerminalColumns("\xe7\x8f\xbe\xe5\x9c\xa8"), 4u);  // two ideographs
    EXPECT_EQ(TerminalColumns("a\xcc\x81"), 1u);                // a with a combining acute
    EXPECT_EQ(TerminalColumns("\xe0\xb9\x83\xe0\xb8\x8a\xe0\xb9\x88"), 2u);  // Thai with a tone mark
    EXPECT_EQ(TerminalColumns("\xc3"), 1u);  // a broken sequence is one character
}

}  // namespace
}  // namespace mox3
