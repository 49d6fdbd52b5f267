// The program's texts as compiled from resources/strings/strings.txt.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace mox3 {

struct EmbeddedText {
    std::uint16_t language;  // language id, for example 0x0409
    std::string_view key;    // a string-table id ("102") or a dialog text ("title")
    std::u8string_view text;
};

// Every text of every language, the languages in the order of the file. The build has checked
// that each language carries each key once and that every text is non-empty UTF-8.
std::span<const EmbeddedText> EmbeddedTexts();

}  // namespace mox3
