#include "config/digest_header.h"

#include <algorithm>

#include "base/sha256.h"
#include "config/block_layout.h"

namespace mox3 {

namespace {

// The key field the second generation seals as its own digest.
constexpr std::size_t kKeyFieldOffset = gen2::kLayout.deletingKey;
constexpr std::size_t kKeyFieldSize = kDeletingKeySize;

}  // namespace

std::optional<Sha256Digest> PayloadDigest(std::span<const std::uint8_t> bytes) {
    std::uint32_t n = ReadLe32(bytes, kDigestLengthOffset);
    return Sha256(bytes.subspan(kDigestLengthOffset, static_cast<std::size_t>(n) + 4));
}

DigestReading ReadDigest(std::span<const std::uint8_t> bytes, std::uint64_t limit) {
    DigestReading reading;
    if (bytes.size() < kDigestHeaderSize) {
        reading.status = DigestStatus::LengthOutOfRange;
        return reading;
    }
    reading.payloadLength = ReadLe32(bytes, kDigestLengthOffset);
    // 64-bit arithmetic: a length near 2^32 must not wrap past the limit.
    std::uint64_t end = std::uint64_t{reading.payloadLength} + kDigestHeaderSize;
    if (end > limit || end > bytes.size()) {
        reading.status = DigestStatus::LengthOutOfRange;
        return reading;
    }
    reading.computed = PayloadDigest(bytes);
    if (!reading.computed) {
        reading.status = DigestStatus::HashFailed;
    } else {
        reading.status =
            std::equal(reading.computed->begin(), reading.computed->end(), bytes.begin())
                ? DigestStatus::Holds
                : DigestStatus::Mismatch;
    }
    return reading;
}

bool DigestHolds(std::span<const std::uint8_t> bytes, std::uint64_t limit) {
    return ReadDigest(bytes, limit).status == DigestStatus::Holds;
}

int VerifyAndSeal(std::size_t position, std::span<std::uint8_t> buffer, std::uint32_t limit,
                  int hashKey) {
    if (position > buffer.size() || buffer.size() - position < kDigestHeaderSize) {
        return kSealMismatch;
    }
    DigestStatus image = ReadDigest(buffer.subspan(position), limit).status;
    if (image == DigestStatus::HashFailed) return kSealHashFailed;
    if (image != DigestStatus::Holds) return kSealMismatch;
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
    auto blockDigest = PayloadDigest(buffer);
    if (!blockDigest) return kSealHashFailed;
    std::copy(blockDigest->begin(), blockDigest->end(), buffer.begin());
    return kSealOk;
}

}  // namespace mox3
