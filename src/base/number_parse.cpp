#include "base/number_parse.h"

namespace mox3 {

namespace {

bool IsScanSpace(char16_t c) {
    return c == u' ' || c == u'\t' || c == u'\n' || c == u'\v' || c == u'\f' || c == u'\r';
}

int DigitValue(char16_t c) {
    if (c >= u'0' && c <= u'9') return c - u'0';
    if (c >= u'a' && c <= u'z') return c - u'a' + 10;
    if (c >= u'A' && c <= u'Z') return c - u'A' + 10;
    return 99;
}

// Reads one number by the "%i" rule into an unsigned 64-bit accumulator that wraps; `width`
// is the result's width in bits, beyond which `taken` records an overflow.
std::optional<std::uint64_t> Scan(std::u16string_view text, unsigned width, NumberTaken& taken) {
    std::size_t i = 0;
    while (i < text.size() && IsScanSpace(text[i])) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == u'+' || text[i] == u'-')) {
        negative = text[i] == u'-';
        ++i;
    }
    unsigned base = 10;
    bool haveDigit = false;
    if (i < text.size() && text[i] == u'0') {
        // A leading 0 is a digit in every base.
        haveDigit = true;
        ++i;
        base = 8;
        if (i + 1 < text.size() && (text[i] == u'x' || text[i] == u'X') &&
            DigitValue(text[i + 1]) < 16) {
            base = 16;
            ++i;
        }
    }
    const std::uint64_t largest = width >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << width) - 1;
    std::uint64_t value = 0;
    bool overflow = false;
    while (i < text.size()) {
        int digit = DigitValue(text[i]);
        if (digit >= static_cast<int>(base)) break;
        const auto d = static_cast<unsigned>(digit);
        if (value > (largest - d) / base) overflow = true;
        value = value * base + d;
        haveDigit = true;
        ++i;
    }
    if (!haveDigit) return std::nullopt;
    taken = NumberTaken{i, true, overflow};
    return negative ? (~value + 1) : value;
}

}  // namespace

std::optional<std::uint32_t> ScanInt32(std::u16string_view text, NumberTaken& taken) {
    taken = {};
    auto v = Scan(text, 32, taken);
    if (!v) return std::nullopt;
    return static_cast<std::uint32_t>(*v);
}

std::optional<std::int64_t> ScanInt64(std::u16string_view text, NumberTaken& taken) {
    taken = {};
    auto v = Scan(text, 64, taken);
    if (!v) return std::nullopt;
    return static_cast<std::int64_t>(*v);
}

std::optional<std::uint32_t> ScanInt32(std::u16string_view text, std::size_t* consumed) {
    NumberTaken taken;
    auto v = ScanInt32(text, taken);
    if (v && consumed) *consumed = taken.consumed;
    return v;
}

std::optional<std::int64_t> ScanInt64(std::u16string_view text, std::size_t* consumed) {
    NumberTaken taken;
    auto v = ScanInt64(text, taken);
    if (v && consumed) *consumed = taken.consumed;
    return v;
}

std::size_t ScanInts(std::u16string_view text, std::uint32_t* values, std::size_t count) {
    std::size_t converted = 0;
    while (converted < count) {
        std::size_t used = 0;
        auto v = ScanInt32(text, &used);
        if (!v) break;
        values[converted++] = *v;
        text.remove_prefix(used);
    }
    return converted;
}

std::uint32_t ParseProfileInt(std::u16string_view text, NumberTaken* taken) {
    std::size_t i = 0;
    while (i < text.size() && text[i] <= u' ') ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == u'+' || text[i] == u'-')) {
        negative = text[i] == u'-';
        ++i;
    }
    unsigned base = 10;
    if (i + 1 < text.size() && text[i] == u'0') {
        if (text[i + 1] == u'x') base = 16;
        if (text[i + 1] == u'o') base = 8;
        if (text[i + 1] == u'b') base = 2;
        if (base != 10) i += 2;
    }
    std::uint32_t value = 0;
    bool digits = false;
    bool overflow = false;
    for (; i < text.size(); ++i) {
        int digit = DigitValue(text[i]);
        if (digit >= static_cast<int>(base)) break;
        const auto d = static_cast<unsigned>(digit);
        if (value > (0xFFFFFFFFu - d) / base) overflow = true;
        value = value * base + d;
        digits = true;
    }
    if (taken) *taken = NumberTaken{i, digits, overflow};
    return negative ? (~value + 1u) : value;
}

}  // namespace mox3
