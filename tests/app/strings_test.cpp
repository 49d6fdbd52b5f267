#include "app/run/strings.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>

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

}  // namespace
}  // namespace mox3
