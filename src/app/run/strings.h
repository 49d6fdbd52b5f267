// The program's texts: the string table and the dialog texts in each language the program
// speaks, and the choice of the language from the locale.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace mox3 {

// A Windows language id, for example 0x0411 for Japanese.
using LanguageId = std::uint16_t;

// The neutral language id, whose table holds the English texts; every locale without a table
// of its own falls back to it.
inline constexpr LanguageId kLanguageNeutral = 0x0001;
inline constexpr LanguageId kLanguageEnglishUs = 0x0409;

// The texts of the update dialog that are not in the string table.
enum class DialogText {
    kTitle,            // the caption
    kExit,             // push button 2
    kStart,            // push button 1
    kCurrentFirmware,  // label of the drive's firmware version
    kNewFirmware,      // label of the image file's firmware version
    kCaution,          // the warning not to unplug the drive
};
inline constexpr DialogText kAllDialogTexts[] = {
    DialogText::kTitle,           DialogText::kExit,        DialogText::kStart,
    DialogText::kCurrentFirmware, DialogText::kNewFirmware, DialogText::kCaution};

// The ids of the string table: 102 to 109 and 112 to 124.
std::span<const int> StringIds();

// The text of string `id` in language `lang`; empty when the table has no such id or no such
// language (no fallback: CurrentLanguage only ever answers a language of the table).
std::u16string LoadTableString(int id, LanguageId lang);
// A dialog text in language `lang`; empty for a language without a table.
std::u16string LoadDialogText(DialogText item, LanguageId lang);

// The languages with a table, in increasing order of id.
std::vector<LanguageId> AllLanguages();
bool HasLanguage(LanguageId lang);

// The language for a POSIX locale name (language[_territory][.codeset][@modifier]; "-" is
// accepted in place of "_"). English outside the United States, "C", "POSIX", the empty name and
// every language without a table give the neutral language.
LanguageId LanguageFromLocale(std::string_view locale);

// Reads an environment variable; nothing when it is not set.
using EnvironmentLookup = std::function<std::optional<std::string>(const char* name)>;

// The language to speak. An override that is not empty decides: a language id in hex
// ("0x0411"; an id without a table falls back to its primary language, then to the neutral
// language) or a locale name. Otherwise the first of LC_ALL, LC_MESSAGES and LANG that is set
// and not empty, read as a locale name; with none of them, the neutral language.
LanguageId CurrentLanguage(std::optional<std::string> override);
LanguageId CurrentLanguage(std::optional<std::string> override,
                           const EnvironmentLookup& environment);

// Whether an override names a language the program speaks (a language id with a table, or
// whose primary language has one; a locale name of such a language, English, "C" or "POSIX"),
// and, for a usage message, the names and ids it accepts.
bool IsKnownLanguage(std::string_view override);
std::string KnownLanguagesText();

// A text for a terminal: UTF-8, with "\r\n" and every lone "\r" made "\n".
std::string ForTerminal(std::u16string_view text);

}  // namespace mox3
