// Block bytes written one by one, without the compilers: little-endian numbers, USB string
// descriptors and the digest header over the length field and the payload.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "base/sha256.h"

namespace mox3::test {

inline void Put16(std::vector<std::uint8_t>& b, std::size_t at, std::uint32_t v) {
    b[at] = static_cast<std::uint8_t>(v);
    b[at + 1] = static_cast<std::uint8_t>(v >> 8);
}

inline void Put32(std::vector<std::uint8_t>& b, std::size_t at, std::uint32_t v) {
    Put16(b, at, v);
    Put16(b, at + 2, v >> 16);
}

// A string descriptor: its length, type 3, then the UTF-16 units.
inline void PutString(std::vector<std::uint8_t>& b, std::size_t at, std::u16string_view text) {
    b[at] = static_cast<std::uint8_t>(2 * text.size() + 2);
    b[at + 1] = 0x03;
    for (std::size_t i = 0; i < text.size(); ++i) Put16(b, at + 2 + 2 * i, text[i]);
}

// Bytes at..at+31 become the digest of the length field at at+32 and the payload after it.
inline void Seal(std::vector<std::uint8_t>& b, std::size_t at = 0) {
    const std::uint32_t n = b[at + 32] | b[at + 33] << 8 | b[at + 34] << 16 |
                            static_cast<std::uint32_t>(b[at + 35]) << 24;
    auto digest = Sha256(std::span<const std::uint8_t>(b).subspan(at + 32, n + 4));
    ASSERT_TRUE(digest);
    std::copy(digest->begin(), digest->end(), b.begin() + static_cast<std::ptrdiff_t>(at));
}

}  // namespace mox3::test
