// The steps of the second-generation compile, shared between its source files.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <span>
#include <string>
#include <utility>

#include "base/text.h"
#include "config/block_layout.h"
#include "config/compile_support.h"
#include "config/record_fields.h"

namespace mox3::gen2 {

// Everything a step hands on to a later one.
struct CompileState {
    std::uint32_t raidOffset = 0;           // firmware parameter 0x65 when not 0
    std::optional<std::u16string> message;  // the dialog's text for a bad INQUIRY text
};

// Appends a record or records the failure when the list area is full.
bool AppendRecord(ItemReader& r, RecordWriter& list, std::u16string_view section, std::uint8_t tag,
                  std::span<const std::uint8_t> value);

// Reads the keys of one section; every value defaults to 0 unless given otherwise.
class SectionReader {
  public:
    SectionReader(ItemReader& r, std::u16string_view section) : r_(r), section_(section) {}

    std::uint32_t operator()(std::u16string_view key, std::uint32_t defaultValue = 0) {
        return r_.Int(section_, key, defaultValue);
    }
    std::uint32_t unit(std::uint32_t n, std::u16string_view name) {
        return (*this)(UnitKey(n, name));
    }
    // A value for a field of one or two bytes: the field keeps its low bits, and a value
    // wider than the field is noted.
    std::uint32_t byte(std::u16string_view key) { return field(key, 0xFF); }
    std::uint32_t word(std::u16string_view key) { return field(key, 0xFFFF); }
    bool present(std::u16string_view key) const { return r_.Present(section_, key); }
    // The unit count of a section; above `largest` fails the compile.
    bool count(std::uint32_t largest, std::uint32_t& value, std::u16string_view key = u"Count") {
        value = (*this)(key);
        if (r_.ok() && value > largest) {
            r_.Fail(section_, key, "out of range (0 to " + std::to_string(largest) + ")");
        }
        return r_.ok();
    }
    bool append(RecordWriter& list, std::uint8_t tag, const Bytes& value) {
        if (!r_.ok()) return false;
        if (value.empty()) return true;
        return AppendRecord(r_, list, section_, tag, value);
    }
    // The port byte of `<prefix>Port` and `<prefix>Active`.
    std::uint8_t port(std::u16string_view prefix, bool unmasked = false) {
        std::u16string p(prefix);
        return PortByte((*this)(p + u"Port"), (*this)(p + u"Active"), unmasked);
    }
    std::uint8_t unitPort(std::uint32_t n, bool unmasked = false) {
        return port(Utf8ToUtf16(std::to_string(n)) + u"-", unmasked);
    }
    // Writes the fields of a table after the bytes of `v`, each from the key `prefix`<name>,
    // up to the last field that is not optional or whose key is not 0. The value of the first
    // field (of a port field: its pin), when the caller read it itself, is `first`.
    static constexpr std::uint64_t kUnread = ~std::uint64_t{0};
    void fields(RecordFields table, Bytes& v, std::u16string_view prefix = u"",
                std::uint64_t first = kUnread) {
        AppendFields(v, table, [&](const RecordField& f) -> std::uint64_t {
            const std::uint64_t given = std::exchange(first, kUnread);
            if (f.IsPort()) {
                std::u16string stem = std::u16string(prefix) + Utf8ToUtf16(f.PortStem());
                bool open = f.kind == RecordField::Kind::OpenPort;
                return given != kUnread ? PortByte(static_cast<std::uint32_t>(given),
                                                   (*this)(stem + u"Active"), open)
                                        : port(stem, open);
            }
            std::u16string key = std::u16string(prefix) + Utf8ToUtf16(f.name);
            if (given != kUnread) return given;
            if (f.IsBits() || f.width > 2) return (*this)(key);
            return f.width == 1 ? byte(key) : word(key);
        });
    }
    // A record of a head and Count entries; `entryMask` is kept of each entry's last byte.
    bool counted(RecordWriter& list, const CountedRecord& record, std::uint8_t entryMask = 0xFF) {
        std::uint32_t entries = 0;
        if (!count(record.largestCount, entries) || entries == 0) return r_.ok();
        Bytes v;
        fields(record.head, v);
        for (std::uint32_t n = 0; n < entries; ++n) {
            fields(record.entry, v, Utf8ToUtf16(std::to_string(n)) + u"-");
            v.data().back() &= entryMask;
        }
        return append(list, record.tag, v);
    }

  private:
    static std::u16string UnitKey(std::uint32_t n, std::u16string_view name) {
        return Utf8ToUtf16(std::to_string(n)) + u"-" + std::u16string(name);
    }
    std::uint32_t field(std::u16string_view key, std::uint32_t largest) {
        const std::uint32_t value = (*this)(key);
        if (r_.ok() && value > largest) {
            char text[96];
            std::snprintf(text, sizeof text, "the field holds %s: took %u (0x%X) of %u (0x%X)",
                          largest == 0xFF ? "one byte" : "two bytes", value & largest,
                          value & largest, value, value);
            r_.Warn(section_, key, text);
        }
        return value;
    }

    ItemReader& r_;
    std::u16string_view section_;
};

// SCSI INQUIRY entries, RAID default, logical-unit tables and authentication.
bool CompileUnits(ItemReader& r, std::span<std::uint8_t> block, RecordWriter& list,
                  CompileState& state);
// GPIO, power, FET, fan, LED, button, standby and RAID records.
bool CompileInputsOutputs(ItemReader& r, RecordWriter& list);

}  // namespace mox3::gen2
