#include "config/digest_header.h"

#include <algorithm>

#include "base/sha256.h"

namespace mox3 {

namespace {

constexpr std::size_t kKeyFieldOffset = 92;
constexpr std::size_t kKeyFieldSize = 32;

}  // namespace

std::uint32_t ReadLe32(std::span<const std::uint8_t> b, std::size_t o) {
    return static_cast<std::uint32_t>(b[o]) | (static_cast<std::uint32_t>(b[o + 1]) << 8) |
           (static_cast<std::uint32_t>(b[o + 2]) << 16) |
           (static_cast<std::uint32_t>(b[o + 3]) << 24);
}

std::uint16_t ReadLe16(std::span<const std::uint8_t> b, std::size_t o) {
    return static_cast<std::uint16_t>(b[o] | (b[o + 1] << 8));
}

void WriteLe32(std::span<std::uint8_t> b, std::size_t o, std::uint32_t v) {
    for (std::size_t i = 0; i < 4; ++i) b[o + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

void WriteLe16(std::span<std::uint8_t> b, std::size_t o, std::uint32_t v) {
    b[o] = static_cast<std::uint8_t>(v);
    b[o + 1] = static_cast<std::uint8_t>(v >> 8);
}

bool DigestHolds(std::span<const std::uint8_t> bytes, std::uint64_t limit) {
    if (bytes.size() < kDigestHeaderSize) return false;
    // 64-bit arithmetic: a length near 2^32 must not wrap past the limit.
    std::uint64_t n = ReadLe32(bytes, kDigestLengthOffset);
    if (n + kDigestHeaderSize > limit || n + kDigestHeaderSize > bytes.size()) return false;
    auto digest = Sha256(bytes.subspan(kDigestLengthOffset, static_cast<std::size_t>(n) + 4));
    return digest && std::equal(digest->begin(), digest->end(), bytes.begin());
}

int VerifyAndSeal(std::size_t position, std::span<std::uint8_t> buffer, std::uint32_t limit,
                  int hashKey) {
    if (position > buffer.size() || buffer.size() - position < kDigestHeaderSize) {
        return kSealMismatch;
    }
    std::span<std::uint8_t> header = buffer.subspan(position);
    std::uint64_t n = ReadLe32(header, kDigestLengthOffset);
    if (n + kDigestHeaderSize > limit || n + kDigestHeaderSize > header.size())
        return kSealMismatch;
    auto digest = Sha256(header.subspan(kDigestLengthOffset, static_cast<std::size_t>(n) + 4));
    if (!digest) return kSealHashFailed;
    if (!std::equal(digest->begin(), digest->end(), header.begin())) return kSealMismatch;
    if (position == 0) return kSealOk;

    // The block sealed here must end before the image it was checked against.
    std::uint64_t m = ReadLe32(buffer, kDigestLengthOffset);
    if (m + kDigestHeaderSize > position || kKeyFieldOffset + kKeyFieldSize > position) {
        return kSealMismatch;
    }
    if (hashKey != 0) {
        auto keyDigest = Sha256(buffer.subspan(kKeyFieldOffset, kKeyFieldSize));
        if (!keyDigest) return kSealHashFailed;
        std::copy(keyDigest->begin(), keyDigest->end(), buffer.begin() + kKeyFieldOffset);
    }
    auto blockDigest = Sha256(buffer.subspan(kDigestLengthOffset, static_cast<std::size_t>(m) + 4));
    if (!blockDigest) return kSealHashFailed;
    std::copy(blockDigest->begin(), blockDigest->end(), buffer.begin());
    return kSealOk;
}

}  // namespace mox3
