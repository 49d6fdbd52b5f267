// Numbers in byte strings: little-endian (the configuration block, USB descriptors, the
// bulk-only transport, usbredir) and big-endian (SCSI command blocks and answers).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace mox3 {

// The `size`-byte number at `at`; 0 where the bytes do not reach that far.
inline std::uint64_t ReadLe(std::span<const std::uint8_t> bytes, std::size_t at, std::size_t size) {
    if (at > bytes.size() || size > bytes.size() - at) return 0;
    std::uint64_t value = 0;
    for (std::size_t i = size; i-- > 0;) value = (value << 8) | bytes[at + i];
    return value;
}
inline std::uint16_t ReadLe16(std::span<const std::uint8_t> bytes, std::size_t at) {
    return static_cast<std::uint16_t>(ReadLe(bytes, at, 2));
}
inline std::uint32_t ReadLe32(std::span<const std::uint8_t> bytes, std::size_t at) {
    return static_cast<std::uint32_t>(ReadLe(bytes, at, 4));
}
inline std::uint64_t ReadBe(std::span<const std::uint8_t> bytes, std::size_t at, std::size_t size) {
    if (at > bytes.size() || size > bytes.size() - at) return 0;
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < size; ++i) value = (value << 8) | bytes[at + i];
    return value;
}

// The low `size` bytes of `value` at `at` (which must fit).
inline void WriteLe(std::span<std::uint8_t> bytes, std::size_t at, std::uint64_t value, std::size_t size) {
    for (std::size_t i = 0; i < size; ++i) bytes[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
}
inline void WriteLe16(std::span<std::uint8_t> bytes, std::size_t at, std::uint32_t value) {
    WriteLe(bytes, at, value, 2);
}
inline void WriteLe32(std::span<std::uint8_t> bytes, std::size_t at, std::uint32_t value) {
    WriteLe(bytes, at, value, 4);
}
inline void WriteBe(std::span<std::uint8_t> bytes, std::size_t at, std::uint64_t value, std::size_t size) {
    for (std::size_t i = 0; i < size; ++i) {
        bytes[at + i] = static_cast<std::uint8_t>(value >> (8 * (size - 1 - i)));
    }
}

// The low `size` bytes of `value` after the end of `bytes`.
inline void AppendLe(std::vector<std::uint8_t>& bytes, std::uint64_t value, std::size_t size) {
    for (std::size_t i = 0; i < size; ++i) bytes.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

}  // namespace mox3
