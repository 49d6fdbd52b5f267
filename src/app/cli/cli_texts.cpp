#include "app/cli/cli_texts.h"

#include "app/cli/cli_catalogue.h"
#include "base/text.h"

namespace mox3 {

namespace {

using K = CliText;

// The texts of `lang`, none where the catalogue lacks the language.
std::span<const char* const> TextsOf(LanguageId lang) {
    for (const CatalogueLanguage& language : Catalogue()) {
        if (language.lang == lang) return language.cli;
    }
    return {};
}

// One character of UTF-8 text, or U+FFFD for a broken sequence; advances `i`.
char32_t NextCodePoint(std::string_view text, std::size_t& i) {
    const auto lead = static_cast<unsigned char>(text[i++]);
    if (lead < 0x80) return lead;
    std::size_t extra = lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : lead >= 0xC0 ? 1 : 0;
    if (extra == 0 || lead > 0xF4) return 0xFFFD;
    char32_t cp = lead & (0x3Fu >> extra);
    for (; extra > 0; --extra) {
        if (i >= text.size() || (static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) {
            return 0xFFFD;
        }
        cp = (cp << 6) | (static_cast<unsigned char>(text[i++]) & 0x3Fu);
    }
    return cp;
}

bool IsCombiningMark(char32_t c) {
    return (c >= 0x0300 && c <= 0x036F) || (c >= 0x0483 && c <= 0x0489) ||
           (c >= 0x064B && c <= 0x065F) || c == 0x0670 || c == 0x0E31 ||
           (c >= 0x0E34 && c <= 0x0E3A) || (c >= 0x0E47 && c <= 0x0E4E) ||
           (c >= 0x1AB0 && c <= 0x1AFF) || (c >= 0x20D0 && c <= 0x20FF) ||
           (c >= 0xFE20 && c <= 0xFE2F) || c == 0x200B || c == 0x200C || c == 0x200D;
}

bool IsWide(char32_t c) {
    return (c >= 0x1100 && c <= 0x115F) || (c >= 0x2E80 && c <= 0x303E) ||
           (c >= 0x3041 && c <= 0x33FF) || (c >= 0x3400 && c <= 0x4DBF) ||
           (c >= 0x4E00 && c <= 0x9FFF) || (c >= 0xA000 && c <= 0xA4CF) ||
           (c >= 0xAC00 && c <= 0xD7A3) || (c >= 0xF900 && c <= 0xFAFF) ||
           (c >= 0xFE30 && c <= 0xFE4F) || (c >= 0xFF00 && c <= 0xFF60) ||
           (c >= 0xFFE0 && c <= 0xFFE6) || (c >= 0x20000 && c <= 0x3FFFD);
}

// The form of a character that an answer is compared in: lower case for the Latin letters
// of the catalogue's languages and for Cyrillic, ASCII for full-width Latin letters.
char32_t Folded(char32_t c) {
    if (c >= 0xFF01 && c <= 0xFF5E) c = c - 0xFF01 + 0x21;  // full-width ASCII
    if (c >= 'A' && c <= 'Z') return c + 0x20;
    if (c >= 0xC0 && c <= 0xDE && c != 0xD7) return c + 0x20;
    if (c >= 0x0410 && c <= 0x042F) return c + 0x20;
    if (c >= 0x0400 && c <= 0x040F) return c + 0x50;
    return c;
}

bool IsBlank(char32_t c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == 0x00A0 || c == 0x3000 ||
           c == 0xFEFF;
}

// An answer or a yes-word as compared: folded, without combining accents and blanks.
std::u32string Normalized(std::string_view text) {
    std::u32string out;
    for (std::size_t i = 0; i < text.size();) {
        const char32_t c = NextCodePoint(text, i);
        if (c < 0x0300 || c > 0x036F) out.push_back(Folded(c));
    }
    std::size_t begin = 0, end = out.size();
    while (begin < end && IsBlank(out[begin])) ++begin;
    while (end > begin && IsBlank(out[end - 1])) --end;
    return out.substr(begin, end - begin);
}

}  // namespace

std::string_view CliTextName(CliText key) {
    const auto at = static_cast<std::size_t>(key);
    return at < CatalogueKeys().size() ? CatalogueKeys()[at] : std::string_view();
}

std::string CliString(CliText key, LanguageId lang) {
    std::span<const char* const> texts = TextsOf(lang);
    if (texts.empty()) texts = TextsOf(kLanguageNeutral);
    const auto at = static_cast<std::size_t>(key);
    return at < texts.size() ? texts[at] : "";
}

std::span<const LanguageId> CliLanguages() {
    return CatalogueLanguageIds();
}

std::string FormatCliText(std::string_view pattern,
                          std::initializer_list<std::string_view> values) {
    return FillPlaces(pattern, {values.begin(), values.size()});
}

std::string FormatCliText(CliText key, LanguageId lang,
                          std::initializer_list<std::string_view> values) {
    return FormatCliText(CliString(key, lang), values);
}

bool IsYesAnswer(std::string_view answer, LanguageId lang) {
    const std::u32string typed = Normalized(answer);
    if (typed.empty()) return false;
    const std::string words = "y yes " + CliString(K::kYesWords, lang);
    std::size_t start = 0;
    while (start < words.size()) {
        std::size_t end = words.find(' ', start);
        if (end == std::string::npos) end = words.size();
        if (end > start && Normalized(std::string_view(words).substr(start, end - start)) == typed) {
            return true;
        }
        start = end + 1;
    }
    return false;
}

std::size_t TerminalColumns(std::string_view text) {
    std::size_t columns = 0;
    for (std::size_t i = 0; i < text.size();) {
        const char32_t c = NextCodePoint(text, i);
        if (IsCombiningMark(c)) continue;
        columns += IsWide(c) ? 2 : 1;
    }
    return columns;
}

}  // namespace mox3
