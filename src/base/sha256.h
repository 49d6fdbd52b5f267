// SHA-256 from the system's cryptographic library.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>

namespace mox3 {

using Sha256Digest = std::array<std::uint8_t, 32>;

// Returns nothing only when the library fails.
std::optional<Sha256Digest> Sha256(std::span<const std::uint8_t> data);

// The program's own SHA-256, for systems whose library lacks it (Windows XP before service
// pack 3 has no SHA-256 provider).
Sha256Digest Sha256Builtin(std::span<const std::uint8_t> data);

}  // namespace mox3
