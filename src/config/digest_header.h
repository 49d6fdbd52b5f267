// The digest header carried by image files and configuration blocks: a 32-byte SHA-256
// digest, a 32-bit little-endian payload length n, and n payload bytes. The digest covers the
// length field and the payload.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "base/bytes.h"
#include "base/sha256.h"

namespace mox3 {

inline constexpr std::size_t kDigestSize = 32;
inline constexpr std::size_t kDigestLengthOffset = 32;
inline constexpr std::size_t kDigestHeaderSize = 36;

// Results of VerifyAndSeal.
inline constexpr int kSealOk = 0;
inline constexpr int kSealMismatch = -1;
inline constexpr int kSealHashFailed = -2;

enum class DigestStatus { Holds, Mismatch, LengthOutOfRange, HashFailed };

struct DigestReading {
    DigestStatus status = DigestStatus::Mismatch;
    std::uint32_t payloadLength = 0;       // n, 0 when the header does not fit
    std::optional<Sha256Digest> computed;  // when the payload fits and hashing worked
};

// The digest the header at the start of `bytes` must carry for its length field n: the SHA-256
// of bytes 32 .. 36+n-1, which must exist.
std::optional<Sha256Digest> PayloadDigest(std::span<const std::uint8_t> bytes);
// Checks the digest header at the start of `bytes`; n + 36 must not exceed `limit` nor the size.
DigestReading ReadDigest(std::span<const std::uint8_t> bytes, std::uint64_t limit);

// Verifies the digest header at `position` in `buffer` (n + 36 must not exceed `limit`).
// When `position` is not 0 and the header holds, seals the block at the start of the buffer:
// with `hashKey`, bytes 92..123 are first replaced by their own SHA-256; then bytes 0..31
// receive the digest of the block's own header.
int VerifyAndSeal(std::size_t position, std::span<std::uint8_t> buffer, std::uint32_t limit,
                  int hashKey);

// True when the digest header at the start of `bytes` holds with the length limit `limit`.
bool DigestHolds(std::span<const std::uint8_t> bytes, std::uint64_t limit);

}  // namespace mox3
