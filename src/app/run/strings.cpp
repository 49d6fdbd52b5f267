#include "app/run/strings.h"

#include <algorithm>
#include <cstdlib>
#include <utility>

#include "base/text.h"
#include "resources/string_resources.h"

namespace mox3 {

namespace {

constexpr int kStringIds[] = {102, 103, 104, 105, 106, 107, 108, 109, 112, 113, 114,
                              115, 116, 117, 118, 119, 120, 121, 122, 123, 124};

// The keys of the dialog texts in the strings file.
std::string_view DialogKey(DialogText item) {
    switch (item) {
        case DialogText::kTitle:
            return "title";
        case DialogText::kExit:
            return "exit";
        case DialogText::kStart:
            return "start";
        case DialogText::kCurrentFirmware:
            return "current_firmware";
        case DialogText::kNewFirmware:
            return "new_firmware";
        case DialogText::kCaution:
            return "caution";
    }
    return {};
}

std::u16string Lookup(std::string_view key, LanguageId lang) {
    for (const EmbeddedText& entry : EmbeddedTexts()) {
        if (entry.language == lang && entry.key == key) {
            return Utf8ToUtf16(std::string_view(reinterpret_cast<const char*>(entry.text.data()),
                                                entry.text.size()));
        }
    }
    return {};
}

char Lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool SameIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [](char x, char y) { return Lower(x) == Lower(y); });
}

// Whether one of the "_" or "-" separated parts of `tags` is `tag`.
bool HasSubtag(std::string_view tags, std::string_view tag) {
    while (!tags.empty()) {
        const std::size_t end = tags.find_first_of("_-");
        if (SameIgnoringCase(tags.substr(0, end), tag)) return true;
        if (end == std::string_view::npos) break;
        tags.remove_prefix(end + 1);
    }
    return false;
}

struct LanguageName {
    std::string_view name;  // ISO 639-1 code
    LanguageId id;
};

// Languages whose id does not depend on the territory.
constexpr LanguageName kLanguageNames[] = {
    {"de", 0x0007}, {"es", 0x000A}, {"fr", 0x000C}, {"it", 0x0010}, {"nl", 0x0013}, {"nb", 0x0014},
    {"nn", 0x0014}, {"no", 0x0014}, {"pt", 0x0016}, {"sv", 0x001D}, {"ar", 0x0401}, {"da", 0x0406},
    {"fi", 0x040B}, {"ja", 0x0411}, {"ko", 0x0412}, {"ru", 0x0419}, {"th", 0x041E},
};

// "0x" followed by one to four hex digits.
std::optional<LanguageId> ParseHexId(std::string_view text) {
    if (text.size() < 3 || text.size() > 6 || text[0] != '0' || Lower(text[1]) != 'x') {
        return std::nullopt;
    }
    unsigned value = 0;
    for (char c : text.substr(2)) {
        char l = Lower(c);
        unsigned digit = 0;
        if (l >= '0' && l <= '9') {
            digit = static_cast<unsigned>(l - '0');
        } else if (l >= 'a' && l <= 'f') {
            digit = static_cast<unsigned>(l - 'a' + 10);
        } else {
            return std::nullopt;
        }
        value = value * 16 + digit;
    }
    return static_cast<LanguageId>(value);
}

}  // namespace

std::span<const int> StringIds() {
    return kStringIds;
}

std::u16string LoadTableString(int id, LanguageId lang) {
    if (std::find(std::begin(kStringIds), std::end(kStringIds), id) == std::end(kStringIds)) {
        return {};
    }
    return Lookup(std::to_string(id), lang);
}

std::u16string LoadDialogText(DialogText item, LanguageId lang) {
    return Lookup(DialogKey(item), lang);
}

std::vector<LanguageId> AllLanguages() {
    std::vector<LanguageId> languages;
    for (const EmbeddedText& entry : EmbeddedTexts()) {
        if (std::find(languages.begin(), languages.end(), entry.language) == languages.end()) {
            languages.push_back(entry.language);
        }
    }
    std::sort(languages.begin(), languages.end());
    return languages;
}

bool HasLanguage(LanguageId lang) {
    const auto texts = EmbeddedTexts();
    return std::any_of(texts.begin(), texts.end(),
                       [lang](const EmbeddedText& entry) { return entry.language == lang; });
}

LanguageId LanguageFromLocale(std::string_view locale) {
    // language[_territory][.codeset][@modifier]
    locale = locale.substr(0, locale.find_first_of(".@"));
    const std::size_t split = locale.find_first_of("_-");
    const std::string_view language = locale.substr(0, split);
    const std::string_view rest =
        split == std::string_view::npos ? std::string_view() : locale.substr(split + 1);

    if (SameIgnoringCase(language, "en")) {
        return HasSubtag(rest, "US") ? kLanguageEnglishUs : kLanguageNeutral;
    }
    if (SameIgnoringCase(language, "zh")) {
        // Traditional characters in Taiwan, Hong Kong and Macau, simplified elsewhere.
        for (std::string_view traditional : {"TW", "HK", "MO", "Hant"}) {
            if (HasSubtag(rest, traditional)) return 0x0404;
        }
        return 0x0804;
    }
    for (const LanguageName& known : kLanguageNames) {
        if (SameIgnoringCase(language, known.name)) return known.id;
    }
    return kLanguageNeutral;
}

LanguageId CurrentLanguage(std::optional<std::string> override,
                           const EnvironmentLookup& environment) {
    if (override && !override->empty()) {
        if (std::optional<LanguageId> id = ParseHexId(*override)) {
            if (HasLanguage(*id)) return *id;
            // The primary language is the low ten bits; its neutral id carries no sublanguage.
            const auto primary = static_cast<LanguageId>(*id & 0x03FF);
            return HasLanguage(primary) ? primary : kLanguageNeutral;
        }
        return LanguageFromLocale(*override);
    }
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        std::optional<std::string> value = environment(name);
        if (value && !value->empty()) return LanguageFromLocale(*value);
    }
    return kLanguageNeutral;
}

bool IsKnownLanguage(std::string_view override) {
    if (std::optional<LanguageId> id = ParseHexId(std::string(override))) {
        return HasLanguage(*id) || HasLanguage(static_cast<LanguageId>(*id & 0x03FF));
    }
    const std::string_view language = override.substr(0, override.find_first_of("_-.@"));
    if (SameIgnoringCase(override, "C") || SameIgnoringCase(override, "POSIX") ||
        SameIgnoringCase(language, "en") || SameIgnoringCase(language, "zh")) {
        return true;
    }
    for (const LanguageName& known : kLanguageNames) {
        if (SameIgnoringCase(language, known.name)) return true;
    }
    return false;
}

std::string KnownLanguagesText() {
    std::string text = "en, en_US, zh_CN, zh_TW";
    for (const LanguageName& known : kLanguageNames) {
        text += ", ";
        text += known.name;
    }
    text += ", or a language id such as 0x0411";
    return text;
}

LanguageId CurrentLanguage(std::optional<std::string> override) {
    return CurrentLanguage(std::move(override), [](const char* name) -> std::optional<std::string> {
        const char* value = std::getenv(name);
        if (value == nullptr) return std::nullopt;
        return std::string(value);
    });
}

std::string ForTerminal(std::u16string_view text) {
    std::u16string lines;
    lines.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != u'\r') {
            lines.push_back(text[i]);
        } else if (i + 1 >= text.size() || text[i + 1] != u'\n') {
            lines.push_back(u'\n');  // a lone carriage return; "\r\n" keeps its line feed
        }
    }
    // The dialog's texts end some lines with a blank; a terminal line does not.
    std::u16string trimmed;
    trimmed.reserve(lines.size());
    for (char16_t c : lines) {
        if (c == u'\n') {
            while (!trimmed.empty() && trimmed.back() == u' ') trimmed.pop_back();
        }
        trimmed.push_back(c);
    }
    while (!trimmed.empty() && trimmed.back() == u' ') trimmed.pop_back();
    return Utf16ToUtf8(trimmed);
}

}  // namespace mox3
