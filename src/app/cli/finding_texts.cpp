// The findings worded in each language: English is the findings' own wording, every other
// language's comes from the catalogue (resources/po).
#include "app/cli/finding_texts.h"

#include "app/cli/cli_catalogue.h"
#include "base/text.h"

namespace mox3 {

namespace {

// The patterns of `lang`, none for English and for a language without a catalogue.
std::span<const char* const> PatternsOf(LanguageId lang) {
    for (const CatalogueLanguage& language : Catalogue()) {
        if (language.lang == lang) return language.findings;
    }
    return {};
}

std::string_view Pattern(Finding what, const void* context) {
    return FindingPattern(what, *static_cast<const LanguageId*>(context));
}

}  // namespace

std::string_view FindingPattern(Finding what, LanguageId lang) {
    const std::span<const char* const> patterns = PatternsOf(lang);
    const auto at = static_cast<std::size_t>(what);
    return at < patterns.size() ? patterns[at] : EnglishPattern(what);
}

bool FindingsTranslated(LanguageId lang) {
    return !PatternsOf(lang).empty();
}

std::string Said(const Told& told, LanguageId lang) {
    return Worded(told, Pattern, &lang);
}

std::string SearchedPlacesText(const std::vector<ImagePlace>& places, LanguageId lang) {
    std::string text;
    for (const ImagePlace& place : places) {
        if (!text.empty()) text += "; ";
        text += Utf16ToUtf8(place.path) + " (" + Said(place.finding, lang) + ")";
    }
    return text;
}

}  // namespace mox3
