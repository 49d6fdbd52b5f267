// UTF-16 text helpers shared by the configuration compiler and the front ends.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace mox3 {

// Fixed text capacities of the bridge data model, in UTF-16 units including the terminator.
inline constexpr std::size_t kShortTextUnits = 65;  // USB strings, versions, item values
inline constexpr std::size_t kPathUnits = 260;
inline constexpr std::size_t kLongTextUnits = 1024;  // string-table texts, device paths

std::u16string Utf8ToUtf16(std::string_view text);
std::string Utf16ToUtf8(std::u16string_view text);

// Cuts `text` so that it fits a buffer of `capacity` units including the terminator.
std::u16string_view CutToCapacity(std::u16string_view text, std::size_t capacity);

// Converts UTF-16 to the ANSI code page. Off Windows the code page is Windows-1252 and every
// character it cannot hold becomes '?' (a surrogate pair is one character). The result has
// no terminator.
std::string ToAnsi(std::u16string_view text);
// Decodes Windows-1252 bytes.
std::u16string FromAnsi(std::string_view bytes);

// Bytes as pairs of hexadecimal digits, upper or lower case, with `separator` between pairs:
// "01AB", "01ab" or "01 AB".
enum class HexDigits { Upper, Lower };
std::string HexString(std::span<const std::uint8_t> bytes, HexDigits digits = HexDigits::Upper,
                      std::string_view separator = "");

// printf-style formatting of ASCII text into UTF-16.
template <typename... Values>
std::u16string FormatText(const char* format, Values... values) {
    char buf[128];
    std::snprintf(buf, sizeof buf, format, values...);
    return Utf8ToUtf16(buf);
}

// True when `text` holds a control character (C0, DEL or C1).
bool HasControlCharacters(std::u16string_view text);
// A text from outside (a drive's strings) as UTF-8 that is safe to show on a terminal or to
// store in a line of text: control characters become \xNN or \uNNNN, a backslash "\\".
std::string EscapedForDisplay(std::u16string_view text);

// Seconds since 1970 as "2026-12-08 01:27:45 UTC", by the calendar alone (no time zone file
// and no C library's gmtime, whose variants differ between the platforms).
std::string UtcText(std::int64_t seconds);

// Formats an unsigned number as "0x%04X".
std::u16string HexText16(std::uint32_t value);

// Puts `values` in the places "{0}", "{1}", ... of `pattern`; a place without a value stays.
std::string FillPlaces(std::string_view pattern, std::span<const std::string_view> values);

}  // namespace mox3
