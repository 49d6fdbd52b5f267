// The configuration item tables: every section and key a firmware family knows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace mox3 {

struct ConfigItem {
    std::int32_t enabled = 0;  // 1: read from the configuration file; 0: never read
    std::u16string section;    // at most 64 characters
    std::u16string key;        // at most 64 characters
    std::u16string value;      // filled at run time, at most 64 characters
    std::u16string description;
    // The text the value was taken from when `value` holds only part of it (cut at a NUL or
    // to 64 characters); empty otherwise.
    std::u16string fullText{};

    // Stores a value text, cut to the 64 characters the record holds (`fullText` then keeps
    // the whole text).
    void SetValue(std::u16string_view text);
};

enum class ItemTableKind { FirstGeneration, SecondGeneration, SecondGenerationLater };

inline constexpr std::uint32_t kFirstGenerationItemCount = 73;
inline constexpr std::uint32_t kSecondGenerationItemCount = 254;
inline constexpr std::uint32_t kLaterFamilyItemCount = 407;
// Item 8 of every table: [USB String Descriptor] SerialNumber.
inline constexpr std::uint32_t kSerialItemIndex = 8;

// The process-wide table of a kind, as it is declared; a compile fills a copy of its own with
// values (CBridgeMgr::UseItemTable).
std::span<ConfigItem> ItemTable(ItemTableKind kind);
std::string_view ItemTableName(ItemTableKind kind);

}  // namespace mox3
