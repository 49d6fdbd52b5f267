// Number parsing of configuration values.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace mox3 {

// How much of a text a number reader took.
struct NumberTaken {
    std::size_t consumed = 0;  // characters read: white space, sign and digits
    bool digits = false;       // at least one digit converted
    bool overflow = false;     // the digits exceeded the result's width, which kept the low bits
};

// The "%i" conversion of the C library: white space, an optional sign, then "0x"/"0X" and hex
// digits, a leading 0 and octal digits, or decimal digits; it stops at the first character
// that does not fit. Nothing when no digit converts. `consumed` receives the characters read.
std::optional<std::uint32_t> ScanInt32(std::u16string_view text, std::size_t* consumed = nullptr);
// The same rule into a signed 64-bit number ("%I64i").
std::optional<std::int64_t> ScanInt64(std::u16string_view text, std::size_t* consumed = nullptr);
// The same two, telling how much they took.
std::optional<std::uint32_t> ScanInt32(std::u16string_view text, NumberTaken& taken);
std::optional<std::int64_t> ScanInt64(std::u16string_view text, NumberTaken& taken);
// Parses up to `count` numbers in a row by the "%i" rule, as "%i%i..." would. Returns how
// many converted; values[0 .. result) hold them.
std::size_t ScanInts(std::u16string_view text, std::uint32_t* values, std::size_t count);

// The integer reader of the platform's profile functions: characters up to the blank skipped,
// an optional sign, then "0x" (hex), "0o" (octal), "0b" (binary) or decimal digits, stopping
// at the first character that does not fit. Never fails: no digits read as 0.
std::uint32_t ParseProfileInt(std::u16string_view text, NumberTaken* taken = nullptr);

}  // namespace mox3
