// The bridge device manager: buffers, settings and the chip profile of one update context.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "config/config_items.h"
#include "transport/clock.h"

namespace mox3 {

inline constexpr std::size_t kScratchBufferSize = 2u * 1024u * 1024u;
inline constexpr std::size_t kImageBufferSize = 1024u * 1024u;
// The compiled configuration block occupies imageBuffer[0, 4096); the image file follows.
inline constexpr std::size_t kConfigBlockSize = 4096;
inline constexpr std::size_t kImageOffset = 4096;

class CBridgeMgr;
using LoadFirmwareImageFn = int (*)(CBridgeMgr& mgr);
using CompileConfigBlockFn = int (*)(CBridgeMgr& mgr, int deviceIndex);
using CheckConfigHeaderFn = int (*)(CBridgeMgr& mgr);

// Chip kinds.
inline constexpr int kChipFirstGeneration = 1;
inline constexpr int kChipSecondGeneration = 2;

class CBridgeMgr {
  public:
    CBridgeMgr();
    virtual ~CBridgeMgr() = default;
    CBridgeMgr(const CBridgeMgr&) = delete;
    CBridgeMgr& operator=(const CBridgeMgr&) = delete;

    // Item lookups over the profile's item table: the first item with exactly this section
    // and key and a non-empty value.
    std::uint32_t GetItemInt(std::u16string_view section, std::u16string_view key,
                             std::uint32_t defaultValue) const;
    std::size_t GetItemString(std::u16string_view section, std::u16string_view key,
                              std::u16string_view defaultValue, std::u16string& out,
                              std::size_t capacity) const;
    // The presence probe: 1 when the key has a non-empty value.
    std::size_t ProbeItem(std::u16string_view section, std::u16string_view key) const;
    // The value text of the qualifying item, or nullptr.
    const std::u16string* FindItemValue(std::u16string_view section, std::u16string_view key) const;

    // Reads the version trailer of an image file opened "rb"; closes the file. Returns 1.
    int ReadImageVersion(std::FILE* file, std::u16string& text, int chipKind) const;

    // Buffers.
    std::vector<std::uint8_t> scratchBuffer;
    std::vector<std::uint8_t> imageBuffer;
    std::u16string scratchText;
    // What the bridge said after the last failed flash command; never shown to the user.
    std::u16string diagnosticText;
    // Every wait of the manager's operations.
    std::shared_ptr<Clock> clock;

    // Paths of the image file and the configuration file of the current programming.
    std::u16string firmwarePath;
    std::u16string configPath;

    // Programming settings.
    std::uint32_t restartAfterProgramming = 1;
    std::uint32_t restartWaitSeconds = 15;
    std::uint32_t pollLimit = 600;
    std::uint32_t attemptLimit = 10;

    // Working fields of the image loader and the configuration compilers.
    std::uint32_t firmwareAddress = 0;
    std::uint32_t firmwareLength = 0;
    std::array<std::uint8_t, 8> flashParameters{};
    std::u16string firmwareVersionText;
    std::u16string configNameText;
    std::uint32_t bcdUsbOverride = 0;
    // Why the last compile stopped: section, key and value. Never shown by the dialog.
    std::string compileError;
    // Why the last image load failed.
    std::string imageError;

    // Chip profile.
    std::uint32_t configBlockAddress = 0;
    std::uint32_t itemCount = 0;
    std::uint32_t serialItemIndex = 0;
    ConfigItem* itemTable = nullptr;
    LoadFirmwareImageFn LoadFirmwareImage = nullptr;
    CompileConfigBlockFn CompileConfigBlock = nullptr;
    CheckConfigHeaderFn CheckConfigHeader = nullptr;
};

}  // namespace mox3
