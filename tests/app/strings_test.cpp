#include "app/run/strings.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>

namespace mox3 {
namespace {

// The line-break characters of a text, in order.
std::u16string Breaks(std::u16string_view text) {
    std::u16string breaks;
    std::copy_if(text.begin(), text.end(), std::back_inserter(breaks),
                 [](char16_t c) { return c == u'\r' || c == u'\n'; });
    return breaks;
}

// The placeholders of a text ("%" and the character after it), sorted: the program fills them
// in, so a translation carries the same ones as the English text, in whatever order.
std::vector<std::u16string> Placeholders(std::u16string_view text) {
    std::vector<std::u16string> found;
    for (std::size_t i = text.find(u'%'); i != std::u16string_view::npos;
         i = text.find(u'%', i + 1)) {
        found.emplace_back(text.substr(i, 2));
    }
    std::sort(found.begin(), found.end());
    return found;
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
            EXPECT_TRUE(lang == kLanguageEnglishUs || Breaks(text) == Breaks(reference));
            EXPECT_EQ(Placeholders(text), Placeholders(reference));
            // Short words such as "Error" may coincide; the sentences must be translated.
            EXPECT_TRUE(english || Breaks(reference).empty() || text != reference);
        }
        EXPECT_NE(LoadTableString(114, lang).find(u"WindowsXP SP2 / Windows Vista SP2 / Windows7"),
                  std::u16string::npos);
        for (DialogText item : kAllDialogTexts) {
            const std::u16string text = LoadDialogText(item, lang);
            ASSERT_FALSE(text.empty()) << static_cast<int>(item);
            EXPECT_TRUE(Breaks(text).empty()) << static_cast<int>(item);
        }
        EXPECT_NE(LoadDialogText(DialogText::kTitle, lang).find(u"ZR-MOX3"), std::u16string::npos);
        if (!english) {
            EXPECT_NE(LoadDialogText(DialogText::kCaution, lang),
                      LoadDialogText(DialogText::kCaution, kLanguageNeutral));
        }
    }
}

TEST(StringTable, KnownLanguagesForTheCommandLine) {
    for (const char* known : {"ja", "ja_JP.UTF-8", "de-AT", "en_GB", "zh_TW", "C", "POSIX",
                              "0x0411", "0x0C07"}) {
        EXPECT_TRUE(IsKnownLanguage(known)) << known;
    }
    for (const char* unknown : {"xx", "klingon", "0x0009", "0x0C04", "he_IL"}) {
        EXPECT_FALSE(IsKnownLanguage(unknown)) << unknown;
    }
    for (int id : {0, -1, 101, 110, 111, 125, 1001}) EXPECT_TRUE(LoadTableString(id, 1).empty());
    for (LanguageId lang : std::initializer_list<LanguageId>{0x0000, 0x0009, 0x0809, 0x0C04}) {
        EXPECT_TRUE(LoadTableString(102, lang).empty());
        EXPECT_TRUE(LoadDialogText(DialogText::kTitle, lang).empty());
        EXPECT_FALSE(HasLanguage(lang));
    }
}

TEST(LanguageChoice, LocaleNames) {
    // clang-format off
    const std::pair<const char*, LanguageId> cases[] = {
        // Region, encoding and modifier are ignored; some languages have several codes.
        {"de_DE.UTF-8", 0x0007}, {"nl_BE@euro", 0x0013}, {"nn_NO", 0x0014}, {"no", 0x0014},
        {"pt_PT.UTF-8", 0x0016}, {"ar", 0x0401},
        // Chinese goes by script or region.
        {"zh_TW.UTF-8", 0x0404}, {"zh_HK", 0x0404}, {"zh-Hant-TW", 0x0404},
        {"zh_CN.GB18030", 0x0804}, {"zh_SG", 0x0804}, {"zh", 0x0804},
        // American English has a table of its own.
        {"en_US.UTF-8", 0x0409}, {"en_us", 0x0409}, {"en-US", 0x0409}, {"en_GB.UTF-8", 0x0001},
        // Anything else is the neutral language.
        {"C.UTF-8", 0x0001}, {"POSIX", 0x0001}, {"", 0x0001}, {"tr_TR.UTF-8", 0x0001},
        {"deu", 0x0001}, {"_DE", 0x0001},
    };
    // clang-format on
    for (const auto& [locale, id] : cases) {
        EXPECT_EQ(LanguageFromLocale(locale), id) << '"' << locale << '"';
        EXPECT_TRUE(HasLanguage(LanguageFromLocale(locale))) << locale;
    }
}

TEST(LanguageChoice, OverrideBeforeLcAllBeforeLcMessagesBeforeLang) {
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
        {{}, {{"LANG", "fr_FR.UTF-8"}}, 0x000C},
        {{}, {{"LC_ALL", ""}, {"LC_MESSAGES", ""}, {"LANG", "ru_RU.UTF-8"}}, 0x0419},  // empty: unset
        {{}, {{"LC_ALL", "C"}, {"LANG", "ko_KR.UTF-8"}}, 0x0001},  // set decides, table or not
        {{}, {}, 0x0001}, {"0x0411", {}, 0x0411}, {"0X041e", ja, 0x041E}, {"0x1", ja, 0x0001},
        {"0x0409", ja, 0x0409}, {"pt_BR.UTF-8", ja, 0x0016}, {"sv", ja, 0x001D}, {"C", ja, 0x0001},
        // Ids without a table: their primary language, else the neutral language.
        {"0x0807", ja, 0x0007}, {"0x0C0A", ja, 0x000A}, {"0x0809", ja, 0x0001}, {"0x9999", ja, 0x0001},
        // Not a hex id: read as a locale name, which knows no such language.
        {"0x04111", ja, 0x0001}, {"0x", ja, 0x0001}, {"0xg411", ja, 0x0001},
        {"", ja, 0x0411}, {{}, ja, 0x0411},  // an empty override leaves it to the environment
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
