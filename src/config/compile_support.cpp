#include "config/compile_support.h"

#include <algorithm>

#include "base/number_parse.h"
#include "base/text.h"
#include "config/ansi_text.h"

namespace mox3 {

namespace {

std::string RangeText(std::uint32_t low, std::uint32_t high) {
    auto show = [](std::uint32_t v) {
        if (v <= 255) return std::to_string(v);
        char buf[16];
        std::snprintf(buf, sizeof buf, "0x%X", v);
        return std::string(buf);
    };
    return show(low) + " to " + show(high);
}

}  // namespace

std::string ItemReader::Quote(std::u16string_view section, std::u16string_view key) const {
    std::string where = "[";
    where += Utf16ToUtf8(section);
    where += "] ";
    where += Utf16ToUtf8(key);
    if (const std::u16string* value = mgr_.FindItemValue(section, key)) {
        where += " = \"" + Utf16ToUtf8(*value) + "\"";
    }
    return where;
}

bool ItemReader::Fail(std::u16string_view section, std::u16string_view key,
                      const std::string& why) {
    if (!failed_) {
        failed_ = true;
        mgr_.compileError = Quote(section, key) + ": " + why;
    }
    return false;
}

std::uint32_t ItemReader::Int(std::u16string_view section, std::u16string_view key,
                              std::uint32_t defaultValue) {
    const std::u16string* value = mgr_.FindItemValue(section, key);
    if (value != nullptr && !ScanInt32(*value)) Fail(section, key, "not a number");
    return mgr_.GetItemInt(section, key, defaultValue);
}

std::optional<std::uint32_t> ItemReader::Required(std::u16string_view section,
                                                  std::u16string_view key, std::uint32_t low,
                                                  std::uint32_t high) {
    if (mgr_.ProbeItem(section, key) == 0) {
        Fail(section, key, "missing (required, " + RangeText(low, high) + ")");
        return std::nullopt;
    }
    std::uint32_t v = Int(section, key, kAbsent);
    if (!ok()) return std::nullopt;
    if (v < low || v > high) {
        Fail(section, key, "out of range (" + RangeText(low, high) + ")");
        return std::nullopt;
    }
    return v;
}

bool ItemReader::Present(std::u16string_view section, std::u16string_view key) const {
    return mgr_.ProbeItem(section, key) != 0;
}

std::optional<std::uint32_t> ItemReader::Optional(std::u16string_view section,
                                                  std::u16string_view key, std::uint32_t low,
                                                  std::uint32_t high) {
    if (!Present(section, key)) return std::nullopt;
    return Required(section, key, low, high);
}

std::u16string ItemReader::Text(std::u16string_view section, std::u16string_view key,
                                std::size_t capacity) const {
    std::u16string out;
    mgr_.GetItemString(section, key, u"", out, capacity);
    return out;
}

std::int64_t ItemReader::Int64(std::u16string_view section, std::u16string_view key) {
    std::u16string text;
    mgr_.GetItemString(section, key, u"0", text, kShortTextUnits);
    auto v = ScanInt64(text);
    if (!v) {
        Fail(section, key, "not a number");
        return 0;
    }
    return *v;
}

std::optional<std::u16string> ItemReader::SizedText(std::u16string_view section,
                                                    std::u16string_view key, std::size_t capacity,
                                                    std::size_t low, std::size_t high) {
    std::u16string text = Text(section, key, capacity);
    if (text.size() < low || text.size() > high) {
        Fail(section, key,
             text.empty()
                 ? "missing (required, " + std::to_string(low) + " to " + std::to_string(high) +
                       " characters)"
                 : "length " + std::to_string(text.size()) + " not within " + std::to_string(low) +
                       " to " + std::to_string(high) + " characters");
        return std::nullopt;
    }
    return text;
}

bool TlvList::Append(std::uint8_t tag, std::span<const std::uint8_t> value) {
    // Tag, length, value and the closing 0 must stay inside the list area.
    if (value.size() > 255 || cursor_ + 2 + value.size() + 1 > end_) return false;
    block_[cursor_] = tag;
    block_[cursor_ + 1] = static_cast<std::uint8_t>(value.size());
    std::copy(value.begin(), value.end(),
              block_.begin() + static_cast<std::ptrdiff_t>(cursor_ + 2));
    cursor_ += 2 + value.size();
    block_[cursor_] = 0;
    return true;
}

std::uint8_t PortByte(std::uint32_t port, std::uint32_t active, bool unmasked) {
    std::uint32_t pin = unmasked ? (port & 0xFF) : (port & 0x7F);
    return static_cast<std::uint8_t>(pin | ((active & 1u) << 7));
}

void PlaceTemplate(std::span<std::uint8_t> out, std::initializer_list<TemplateRow> rows) {
    for (const TemplateRow& row : rows) {
        std::size_t at = row.offset;
        for (std::size_t i = 0; i + 1 < row.hex.size();) {
            if (row.hex[i] == ' ') {
                ++i;
                continue;
            }
            auto nibble = [](char c) {
                return static_cast<std::uint8_t>(c <= '9' ? c - '0' : c - 'A' + 10);
            };
            out[at++] =
                static_cast<std::uint8_t>((nibble(row.hex[i]) << 4) | nibble(row.hex[i + 1]));
            i += 2;
        }
    }
}

void WriteStringSlots(std::span<std::uint8_t> block, std::initializer_list<std::size_t> slots,
                      std::u16string_view text, std::uint8_t lengthByte) {
    for (std::size_t slot : slots) {
        block[slot] = lengthByte;
        for (std::size_t i = 0; i < text.size(); ++i) {
            block[slot + 2 + 2 * i] = static_cast<std::uint8_t>(text[i] & 0xFF);
            block[slot + 3 + 2 * i] = static_cast<std::uint8_t>(text[i] >> 8);
        }
    }
}

namespace {
constexpr std::size_t kUsbStringLookup = 26;
constexpr std::size_t kUsbStringLongest = 24;
constexpr std::uint8_t kSerialFromDisk = 0x52;
}  // namespace

bool CompileUsbString(ItemReader& reader, std::span<std::uint8_t> block, std::u16string_view key,
                      std::initializer_list<std::size_t> slots) {
    auto text =
        reader.SizedText(u"USB String Descriptor", key, kUsbStringLookup, 1, kUsbStringLongest);
    if (!text) return false;
    WriteStringSlots(block, slots, *text, static_cast<std::uint8_t>(2 * text->size() + 2));
    return true;
}

bool CompileUsbSerial(ItemReader& reader, std::span<std::uint8_t> block,
                      std::initializer_list<std::size_t> slots) {
    constexpr std::u16string_view kSection = u"USB String Descriptor";
    constexpr std::u16string_view kKey = u"SerialNumber";
    std::u16string text = reader.Text(kSection, kKey, kUsbStringLookup);
    if (text.size() == 1) {
        if (text != u"1")
            return reader.Fail(kSection, kKey, "a one-character serial must be \"1\"");
        WriteStringSlots(block, slots, u"", kSerialFromDisk);
        return true;
    }
    if (text.size() > kUsbStringLongest) {
        return reader.Fail(kSection, kKey, "longer than 24 characters");
    }
    WriteStringSlots(block, slots, text, static_cast<std::uint8_t>(2 * text.size() + 2));
    return true;
}

void CopyAnsi(std::span<std::uint8_t> block, std::size_t offset, std::u16string_view text) {
    ToCHAR ansi(text);
    std::copy_n(ansi.bytes().begin(), text.size(),
                block.begin() + static_cast<std::ptrdiff_t>(offset));
}

}  // namespace mox3
