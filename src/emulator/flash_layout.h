// How the emulated bridge reads its serial flash when it starts: where the configuration
// block and the firmware live, whether they hold, and the identity the block describes.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "config/block_layout.h"
#include "emulator/emulated_drive.h"

namespace mox3 {

EmulatedFlashReport AnalyseFlash(int generation, std::span<const std::uint8_t> flash);

// The identity a started bridge presents.
struct PresentedIdentity {
    bool loader = true;
    EmulatedUsbIdentity usb;
    std::array<std::uint8_t, 36> inquiry{};
    std::array<std::uint8_t, 8> versionBlock{};
};

// The bridge's start: normal firmware when the flash holds a sealed block and an intact image
// and no loader was asked for, else the update loader.
PresentedIdentity StartIdentity(int generation, std::string_view chipName,
                                std::string_view diskSerial, std::span<const std::uint8_t> flash,
                                bool loaderRequested);

// The logical-block length kept in the flash (512 when the setting byte is not 0x01).
std::uint32_t StoredBlockLength(int generation, std::span<const std::uint8_t> flash);
void StoreBlockLength(int generation, std::span<std::uint8_t> flash, std::uint32_t length);

// The version block of a version trailer's digits (8 for the first generation, 16).
std::array<std::uint8_t, 8> VersionBlockFromDigits(int generation,
                                                   std::span<const std::uint8_t> digits);

}  // namespace mox3
