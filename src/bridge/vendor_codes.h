// The bridge's vendor command set as bytes: function codes, the opcodes that carry them, the
// fields of their command blocks, the header checksum and the sizes of their answers. The
// program's commands and the emulated bridge both take them from here; nothing in this header
// depends on how a drive is found or driven.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace mox3 {

using CommandBlock = std::array<std::uint8_t, 10>;

// Function codes (byte 2 of a vendor command block).
enum VendorFunction : std::uint8_t {
    kFnHeader = 0x10,
    kFnBeginFlashUpdate = 0x20,
    kFnWriteFlash = 0x21,
    kFnReadFlash = 0x22,
    kFnSetFlashParameters = 0x24,
    kFnRestartBridge = 0x50,
    kFnReadBridgeStatus = 0x51,
    kFnReadFirmwareVersion = 0x52,
    kFnSelectUpdateMode = 0x53,
    kFnReadChipName = 0x55,
    kFnReadBridgeInfo = 0x59,
    kFnSetSectorMode = 0x8A,
};

inline constexpr VendorFunction kVendorFunctions[] = {
    kFnHeader,           kFnBeginFlashUpdate,    kFnWriteFlash,
    kFnReadFlash,        kFnSetFlashParameters,  kFnRestartBridge,
    kFnReadBridgeStatus, kFnReadFirmwareVersion, kFnSelectUpdateMode,
    kFnReadChipName,     kFnReadBridgeInfo,      kFnSetSectorMode,
};

inline constexpr std::uint8_t kOpWriteBuffer = 0x3B;
inline constexpr std::uint8_t kOpReadBuffer = 0x3C;
inline constexpr std::uint8_t kOpInquiry = 0x12;
inline constexpr std::uint8_t kOpReadCapacity10 = 0x25;
inline constexpr std::uint8_t kOpServiceActionIn16 = 0x9E;
inline constexpr std::uint8_t kSaReadCapacity16 = 0x10;
// Byte 1 of every vendor command block: the buffer mode the bridge reserves for them.
inline constexpr std::uint8_t kVendorMode = 0x01;

// READ BUFFER carries the functions that answer with data, WRITE BUFFER all others.
constexpr std::uint8_t VendorOpcode(std::uint8_t function) {
    return function == kFnReadFlash || function == kFnReadBridgeStatus ||
                   function == kFnReadFirmwareVersion || function == kFnReadChipName ||
                   function == kFnReadBridgeInfo
               ? kOpReadBuffer
               : kOpWriteBuffer;
}

// The flash commands, which the bridge takes only right after a matching header.
constexpr bool NeedsHeader(std::uint8_t function) {
    return function == kFnBeginFlashUpdate || function == kFnWriteFlash || function == kFnReadFlash;
}

// Byte 3 of the block that begins a flash update.
inline constexpr std::uint8_t kWholeChipErase = 0x80;
// Write and read flash: the address in bytes 4..6 and the length in bytes 7..8, both least
// significant byte first.
inline constexpr std::size_t kFlashAddressByte = 4;
inline constexpr std::size_t kFlashLengthByte = 7;
// Set sector mode: byte 4 is 1 for 4096-byte logical blocks, 0 for 512.
inline constexpr std::size_t kSectorModeByte = 4;
// Read chip name: byte 3 must be 1.
inline constexpr std::uint8_t kChipNameSelector = 0x01;

// A header: byte 3 the function of the block that follows, bytes 4..5 the checksum of that
// block (least significant byte first), bytes 6..9 the signature.
inline constexpr std::size_t kHeaderTargetByte = 3;
inline constexpr std::size_t kHeaderChecksumByte = 4;
inline constexpr std::size_t kHeaderSignatureByte = 6;
inline constexpr std::array<std::uint8_t, 4> kHeaderSignature = {0x46, 0x4D, 0x4C, 0x00};  // "FML"

// The checksum a header carries for the 10-byte command block that follows it: the five
// big-endian 16-bit words added and negated.
constexpr std::uint16_t HeaderChecksum(std::span<const std::uint8_t, 10> next) {
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i < next.size(); i += 2) {
        sum += static_cast<std::uint32_t>(next[i] << 8 | next[i + 1]);
    }
    return static_cast<std::uint16_t>(0x10000u - (sum & 0xFFFFu));
}

// Sizes of the answers.
inline constexpr std::uint32_t kFlashPageSize = 1024;
inline constexpr std::size_t kFlashParametersSize = 8;
inline constexpr std::size_t kStatusBlockSize = 12;
inline constexpr std::size_t kVersionBlockSize = 8;
inline constexpr std::size_t kBridgeInfoSize = 7;
inline constexpr std::size_t kChipNameSize = 72;
inline constexpr std::size_t kInquirySize = 36;

// Status byte 0.
inline constexpr std::uint8_t kStatusLoader = 0x01;
inline constexpr std::uint8_t kStatusSectorModePending = 0x10;  // the stored block length differs
inline constexpr std::uint8_t kStatusUpdateModeSelected = 0x20;
inline constexpr std::uint8_t kStatusMask45 = kStatusSectorModePending | kStatusUpdateModeSelected;
inline constexpr std::uint8_t kStatusReady = 0x40;
inline constexpr std::uint8_t kStatusBusy = 0x80;

}  // namespace mox3
