#include "config/compile_support.h"

#include <algorithm>
#include <array>
#include <utility>

#include "base/number_parse.h"
#include "base/text.h"
#include "config/ansi_text.h"
#include "config/digest_header.h"

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
    if (const std::u16string* value = items_.Find(section, key)) {
        where += " = \"" + Utf16ToUtf8(*value) + "\"";
    }
    return where;
}

bool ItemReader::Fail(std::u16string_view section, std::u16string_view key,
                      const std::string& why) {
    if (!failed_) {
        failed_ = true;
        error_ = Quote(section, key) + ": " + why;
    }
    return false;
}

void ItemReader::Warn(std::u16string_view section, std::u16string_view key, std::string taken) {
    const ConfigItem* item = items_.FindItem(section, key);
    std::u16string_view value;
    if (item != nullptr) value = item->fullText.empty() ? item->value : item->fullText;
    AddWarning(warnings_, {{}, Utf16ToUtf8(section), Utf16ToUtf8(key), Utf16ToUtf8(value),
                           std::move(taken)});
}

std::size_t ItemReader::FileLength(std::u16string_view section, std::u16string_view key) const {
    const ConfigItem* item = items_.FindItem(section, key);
    if (item == nullptr) return 0;
    return item->fullText.empty() ? item->value.size() : item->fullText.size();
}

std::string ItemReader::LengthText(std::u16string_view section, std::u16string_view key,
                                   std::size_t low, std::size_t high) const {
    return "length " + std::to_string(FileLength(section, key)) + " not within " +
           std::to_string(low) + " to " + std::to_string(high) + " characters";
}

std::uint32_t ItemReader::Int(std::u16string_view section, std::u16string_view key,
                              std::uint32_t defaultValue) {
    const std::u16string* value = items_.Find(section, key);
    if (value != nullptr) {
        NumberTaken taken;
        if (auto v = ScanInt32(*value, taken); !v) {
            Fail(section, key, "not a number");
        } else if (std::string what = NumberTakenText(*value, taken, *v, 32); !what.empty()) {
            Warn(section, key, std::move(what));
        }
    }
    return items_.Int(section, key, defaultValue);
}

std::optional<std::uint32_t> ItemReader::Required(std::u16string_view section,
                                                  std::u16string_view key, std::uint32_t low,
                                                  std::uint32_t high) {
    if (items_.Probe(section, key) == 0) {
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
    return items_.Probe(section, key) != 0;
}

std::optional<std::uint32_t> ItemReader::Optional(std::u16string_view section,
                                                  std::u16string_view key, std::uint32_t low,
                                                  std::uint32_t high) {
    if (!Present(section, key)) return std::nullopt;
    return Required(section, key, low, high);
}

std::u16string ItemReader::Text(std::u16string_view section, std::u16string_view key,
                                std::size_t capacity) {
    std::u16string out;
    items_.String(section, key, u"", out, capacity);
    if (const std::u16string* value = items_.Find(section, key)) {
        if (std::string what = TextTakenText(*value, out); !what.empty()) {
            Warn(section, key, std::move(what));
        }
    }
    return out;
}

std::int64_t ItemReader::Int64(std::u16string_view section, std::u16string_view key) {
    std::u16string text;
    items_.String(section, key, u"0", text, kShortTextUnits);
    NumberTaken taken;
    auto v = ScanInt64(text, taken);
    if (!v) {
        Fail(section, key, "not a number");
        return 0;
    }
    std::string what = NumberTakenText(text, taken, static_cast<std::uint64_t>(*v), 64);
    if (!what.empty()) Warn(section, key, std::move(what));
    return *v;
}

std::optional<std::u16string> ItemReader::SizedText(std::u16string_view section,
                                                    std::u16string_view key, std::size_t capacity,
                                                    std::size_t low, std::size_t high) {
    // Looked up without a warning: a text the lookup cuts is longer than `high` and fails.
    std::u16string text;
    items_.String(section, key, u"", text, capacity);
    if (text.size() < low || text.size() > high) {
        Fail(section, key,
             text.empty() ? "missing (required, " + std::to_string(low) + " to " +
                                std::to_string(high) + " characters)"
                          : LengthText(section, key, low, high));
        return std::nullopt;
    }
    return text;
}

bool RecordWriter::Append(std::uint8_t tag, std::span<const std::uint8_t> value) {
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

namespace {

constexpr std::size_t kUsbStringLookup = 26;

// Writes a string descriptor's length byte and characters into the three sets' slots.
void WriteStringSlots(std::span<std::uint8_t> block, const BlockLayout& layout, std::size_t which,
                      std::u16string_view text, std::uint8_t lengthByte) {
    for (const DescriptorSetLayout& set : layout.sets) {
        std::size_t slot = set.strings[which];
        block[slot] = lengthByte;
        for (std::size_t i = 0; i < text.size(); ++i) {
            block[slot + 2 + 2 * i] = static_cast<std::uint8_t>(text[i] & 0xFF);
            block[slot + 3 + 2 * i] = static_cast<std::uint8_t>(text[i] >> 8);
        }
    }
}

// A USB string item of 1 to 24 characters, looked up with capacity 26.
bool CompileUsbString(ItemReader& reader, std::span<std::uint8_t> block, const BlockLayout& layout,
                      std::size_t which, std::u16string_view key) {
    auto text =
        reader.SizedText(u"USB String Descriptor", key, kUsbStringLookup, 1, kStringSlotChars);
    if (!text) return false;
    WriteStringSlots(block, layout, which, *text, static_cast<std::uint8_t>(2 * text->size() + 2));
    return true;
}

// The serial number: empty, "1" (derived from the disk) or 2 to 24 characters.
bool CompileUsbSerial(ItemReader& reader, std::span<std::uint8_t> block,
                      const BlockLayout& layout) {
    constexpr std::u16string_view kSection = u"USB String Descriptor";
    constexpr std::u16string_view kKey = u"SerialNumber";
    // Read whole: a text the lookup's 26 units would cut is longer than 24 and fails either way.
    std::u16string text = reader.Text(kSection, kKey, kShortTextUnits);
    if (text.size() == 1) {
        if (text != u"1")
            return reader.Fail(kSection, kKey, "a one-character serial must be \"1\"");
        WriteStringSlots(block, layout, 2, u"", kSerialFromDisk);
        return true;
    }
    if (text.size() > kStringSlotChars) {
        return reader.Fail(kSection, kKey,
                           std::to_string(reader.FileLength(kSection, kKey)) +
                               " characters, longer than 24");
    }
    WriteStringSlots(block, layout, 2, text, static_cast<std::uint8_t>(2 * text.size() + 2));
    return true;
}

}  // namespace

bool CompileDescriptorValues(ItemReader& r, std::span<std::uint8_t> block,
                             const BlockLayout& layout) {
    const auto& [high, full, super] = layout.sets;
    // Vendor id, product id and device release go into all three device descriptors.
    constexpr std::u16string_view kDevice = u"USB Device Descriptor";
    const std::pair<const char16_t*, std::size_t> kIds[] = {
        {u"VID", kDeviceVendorId}, {u"PID", kDeviceProductId}, {u"bcdDevice", kDeviceBcdDevice}};
    for (auto [key, offset] : kIds) {
        auto v = r.Required(kDevice, key, 0, 0xFFFF);
        if (!v) return false;
        for (const DescriptorSetLayout& set : layout.sets) WriteLe16(block, set.base + offset, *v);
    }
    // Manufacturer, product and serial-number strings, one copy per descriptor set.
    if (!CompileUsbString(r, block, layout, 0, u"Manufacturer") ||
        !CompileUsbString(r, block, layout, 1, u"Product") || !CompileUsbSerial(r, block, layout)) {
        return false;
    }
    // Configuration attributes and maximum power, in each speed's configuration and in the
    // other-speed configuration of the other set.
    constexpr std::u16string_view kConfig = u"USB Configuration Descriptor";
    struct Place {
        const char16_t* key;
        std::array<std::size_t, 2> at;  // 0: no second place
    };
    const Place kPower[] = {{u"bmAttributes-HS", {high.configuration, full.otherSpeed}},
                            {u"bMaxPower-HS", {high.configuration + 1, full.otherSpeed + 1}},
                            {u"bmAttributes-FS", {full.configuration, high.otherSpeed}},
                            {u"bMaxPower-FS", {full.configuration + 1, high.otherSpeed + 1}},
                            {u"bmAttributes-SS", {super.configuration, 0}},
                            {u"bMaxPower-SS", {super.configuration + 1, 0}}};
    for (const auto& [key, places] : kPower) {
        auto v = r.Required(kConfig, key, 0, 255);
        if (!v) return false;
        for (std::size_t at : places) {
            if (at != 0) block[at] = static_cast<std::uint8_t>(*v);
        }
    }
    // Interface subclasses, where the file sets them; the templates carry 0x06 (SCSI).
    constexpr std::u16string_view kInterface = u"USB Interface Descriptor";
    const std::pair<const char16_t*, std::size_t> kSubclass[] = {
        {u"bInterfaceSubClass-HS", high.subClass},
        {u"bInterfaceSubClass-FS", full.subClass},
        {u"bInterfaceSubClass-SS", super.subClass}};
    for (auto [key, at] : kSubclass) {
        auto v = r.Optional(kInterface, key, 0, 255);
        if (!r.ok()) return false;
        if (v) block[at] = static_cast<std::uint8_t>(*v);
    }
    return true;
}

void CopyAnsi(std::span<std::uint8_t> block, std::size_t offset, std::u16string_view text) {
    ToCHAR ansi(text);
    std::copy_n(ansi.bytes().begin(), text.size(),
                block.begin() + static_cast<std::ptrdiff_t>(offset));
}

}  // namespace mox3
