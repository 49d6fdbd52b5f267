// What a configuration-block compile takes and gives: item values in, block bytes and the
// values the programming needs out. The compilers know nothing of drives or of the manager
// that keeps these between the steps of an update.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "config/block_layout.h"
#include "config/compile_warning.h"
#include "config/config_items.h"

namespace mox3 {

class ProfileFile;

// A compile works in one buffer: the block in [0, 4096), the image file from here on.
inline constexpr std::size_t kImageOffset = kConfigBlockSize;

// Lookups over an item table: the first item with exactly this section and key and a
// non-empty value counts.
class ItemValues {
  public:
    ItemValues() = default;
    explicit ItemValues(std::span<const ConfigItem> items) : items_(items) {}

    // The value text, or nullptr.
    const std::u16string* Find(std::u16string_view section, std::u16string_view key) const;
    // The item whose value that is, or nullptr.
    const ConfigItem* FindItem(std::u16string_view section, std::u16string_view key) const;
    // A value that does not begin with a number reads as the default.
    std::uint32_t Int(std::u16string_view section, std::u16string_view key,
                      std::uint32_t defaultValue) const;
    // The value (or the default) cut to `capacity`; returns its length.
    std::size_t String(std::u16string_view section, std::u16string_view key,
                       std::u16string_view defaultValue, std::u16string& out,
                       std::size_t capacity) const;
    // The presence probe: 1 when the key has a non-empty value.
    std::size_t Probe(std::u16string_view section, std::u16string_view key) const;

  private:
    std::span<const ConfigItem> items_;
};

struct CompileInput {
    ItemValues items;
    // The block (rewritten) followed by the image file at kImageOffset, whose digest header
    // must hold before the block is sealed.
    std::span<std::uint8_t> buffer;
    std::uint32_t firmwareLength = 0;  // the image's length: the limit of its digest header
    std::uint32_t bcdUsbOverride = 0;  // second generation: bcdUSB of the file's header, 0: keep
};

struct CompileOutcome {
    bool ok = false;
    std::string error;  // why the compile stopped: section, key, value and reason
    // Each is set once the compile has decided it, even when a later step fails.
    std::optional<std::uint32_t> firmwareAddress;
    std::optional<std::array<std::uint8_t, 8>> flashParameters;
    // The short message for a dialog that the second generation leaves for a bad INQUIRY text.
    std::optional<std::u16string> message;
    // Values the compile took only in part, in the order it read them.
    std::vector<CompileWarning> warnings;
};

CompileOutcome CompileFirstGenerationBlock(const CompileInput& input);
CompileOutcome CompileSecondGenerationBlock(const CompileInput& input);

// The format check of a configuration file's [Config] section.
struct ConfigHeaderCheck {
    bool ok = false;
    std::string error;
    std::u16string name;                  // [Config] Name
    std::optional<std::uint32_t> bcdUsb;  // second generation: the bcdUSB override
    std::vector<CompileWarning> warnings; // header values taken only in part
};
ConfigHeaderCheck CheckConfigHeader(std::u16string_view configPath, int generation);
// The same check of a file read already.
ConfigHeaderCheck CheckConfigHeader(const ProfileFile& profile, int generation);

}  // namespace mox3
