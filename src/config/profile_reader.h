// Reading of configuration files (INI text) with the rules of the platform's private-profile
// reader: names match without regard to case, the first matching section and key win, white
// space around names and values is dropped, one pair of surrounding quotation marks is
// removed, lines starting with ';' are comments, and an empty value counts as absent.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace mox3 {

class ProfileFile {
  public:
    // Decodes UTF-16 (either byte order) or UTF-8 with a byte-order mark, else Windows-1252.
    static ProfileFile Parse(std::span<const std::uint8_t> bytes);
    // Reads a file; nothing when it cannot be read or is UTF-16 without its byte-order mark
    // (error tells why).
    static std::optional<ProfileFile> Load(const std::filesystem::path& file, std::string* error);

    // The value text or `defaultValue`, cut to `capacity` - 1 characters.
    std::u16string GetString(std::u16string_view section, std::u16string_view key,
                             std::u16string_view defaultValue, std::size_t capacity) const;
    // The platform's integer reader: `defaultValue` when the value is absent or empty.
    std::uint32_t GetInt(std::u16string_view section, std::u16string_view key,
                         std::uint32_t defaultValue) const;

    // The raw value after trimming and quote removal, before any cut; nothing when absent.
    std::optional<std::u16string> Find(std::u16string_view section, std::u16string_view key) const;
    // The same as the line has it: with a NUL and whatever follows it, which the reader drops.
    std::optional<std::u16string> FindAsWritten(std::u16string_view section,
                                                std::u16string_view key) const;

    // Nothing but white space (or no bytes at all).
    bool blank() const { return blank_; }
    // Why the bytes are no text (NUL or control bytes in single-byte text, invalid UTF-8 or
    // UTF-16); empty when they are text.
    const std::string& notText() const { return notText_; }

  private:
    struct Entry {
        std::u16string key;
        std::optional<std::u16string> value;
        std::u16string written;  // the value before a NUL cut it; empty when none did
    };
    const Entry* FindEntry(std::u16string_view section, std::u16string_view key) const;

    struct Section {
        std::u16string name;
        std::vector<Entry> entries;
    };
    std::vector<Section> sections_;
    bool blank_ = true;
    std::string notText_;
};

// Profile readers of the configuration path given in UTF-16, as the platform would read it.
std::filesystem::path PathFromText(std::u16string_view text);

}  // namespace mox3
