// Shared pieces of the two configuration-block compilers: value reading with range checks
// and failure reasons, string descriptors, and the tag-length-value list.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/bytes.h"
#include "config/block_layout.h"
#include "config/compile_input.h"
#include "config/record_fields.h"

namespace mox3 {

inline constexpr std::uint32_t kAbsent = 0xFFFFFFFFu;  // default of a required key

// Reads item values for a compile and records why it stopped. After the first failure every
// further read still answers, but the compile must end: check ok() before using results.
// Values it takes only in part (digits followed by other characters, a number too wide, a text
// cut short) are read as before and noted in warnings().
class ItemReader {
  public:
    explicit ItemReader(const ItemValues& items) : items_(items) {}

    bool ok() const { return !failed_; }
    // Why the compile stopped; empty while ok().
    const std::string& error() const { return error_; }
    // Records a failure (only the first is kept) and returns false.
    bool Fail(std::u16string_view section, std::u16string_view key, const std::string& why);

    // GetItemInt; a present value that does not begin with a number fails the compile.
    std::uint32_t Int(std::u16string_view section, std::u16string_view key,
                      std::uint32_t defaultValue);
    // A required key within [low, high]; fails when absent or out of range.
    std::optional<std::uint32_t> Required(std::u16string_view section, std::u16string_view key,
                                          std::uint32_t low, std::uint32_t high);
    // The presence probe.
    bool Present(std::u16string_view section, std::u16string_view key) const;
    // Probe, then the value as required within [low, high]: nothing when absent or bad.
    std::optional<std::uint32_t> Optional(std::u16string_view section, std::u16string_view key,
                                          std::uint32_t low, std::uint32_t high);
    // GetItemString with the empty default.
    std::u16string Text(std::u16string_view section, std::u16string_view key,
                        std::size_t capacity);
    // The length of the value as the file holds it, before any cut; 0 when absent.
    std::size_t FileLength(std::u16string_view section, std::u16string_view key) const;
    // A 64-bit number read as text with the default "0".
    std::int64_t Int64(std::u16string_view section, std::u16string_view key);
    // A text of `low` to `high` characters looked up with `capacity`; nothing when not.
    std::optional<std::u16string> SizedText(std::u16string_view section, std::u16string_view key,
                                            std::size_t capacity, std::size_t low,
                                            std::size_t high);

    const std::vector<CompileWarning>& warnings() const { return warnings_; }
    std::vector<CompileWarning> TakeWarnings() { return std::move(warnings_); }
    // Notes that the value of section and key was taken only in part, as `taken` says.
    void Warn(std::u16string_view section, std::u16string_view key, std::string taken);

  private:
    std::string Quote(std::u16string_view section, std::u16string_view key) const;
    std::string LengthText(std::u16string_view section, std::u16string_view key,
                           std::size_t low, std::size_t high) const;

    const ItemValues& items_;
    bool failed_ = false;
    std::string error_;
    std::vector<CompileWarning> warnings_;
};

// Writes the block's record list: records of tag, length and value, ended by a 0 byte.
class RecordWriter {
  public:
    RecordWriter(std::span<std::uint8_t> block, const BlockLayout& layout)
        : block_(block), cursor_(layout.recordStart), end_(layout.recordLimit) {}
    // Appends one record; false when it would not fit before the end of the list area.
    bool Append(std::uint8_t tag, std::span<const std::uint8_t> value);
    std::size_t cursor() const { return cursor_; }
    void set_cursor(std::size_t cursor) { cursor_ = cursor; }

  private:
    std::span<std::uint8_t> block_;
    std::size_t cursor_;
    std::size_t end_;
};

// A value under construction: little-endian appends.
class Bytes {
  public:
    Bytes& u8(std::uint32_t v) {
        data_.push_back(static_cast<std::uint8_t>(v));
        return *this;
    }
    Bytes& u16(std::uint32_t v) { return u8(v).u8(v >> 8); }
    Bytes& u32(std::uint32_t v) { return u16(v).u16(v >> 16); }
    Bytes& zeros(std::size_t n) {
        data_.insert(data_.end(), n, 0);
        return *this;
    }
    std::vector<std::uint8_t>& data() { return data_; }
    std::size_t size() const { return data_.size(); }
    bool empty() const { return data_.empty(); }
    operator std::span<const std::uint8_t>() const { return data_; }

  private:
    std::vector<std::uint8_t> data_;
};

// Appends the fields of `table` with the values `valueOf(field)` gives (a bit field takes their
// low bits, a switch is set by one not 0), up to the last field that is not optional or whose
// value is not 0.
template <class ValueOf>
void AppendFields(Bytes& v, RecordFields table, ValueOf&& valueOf) {
    using K = RecordField::Kind;
    const std::size_t base = v.size();
    std::size_t end = 0;
    v.zeros(FieldsSize(table));
    std::span<std::uint8_t> out = std::span(v.data()).subspan(base);
    for (const RecordField& f : table) {
        if (f.kind == K::Derived) continue;
        const std::uint64_t value = f.kind == K::Zero ? 0 : valueOf(f);
        std::uint64_t bytes = value;
        if (f.IsBits()) {
            std::uint64_t bits = f.kind == K::Switch ? (value != 0) : (value & f.Mask());
            bytes = ReadLe(out, f.offset, f.width) | bits << f.shift;
        }
        WriteLe(out, f.offset, bytes, f.width);
        if (!(f.flags & RecordField::kOptional) || value != 0) {
            end = std::max<std::size_t>(end, f.offset + f.width);
        }
    }
    v.data().resize(base + end);
}
// The same with the values of the fields that are not zero or derived, in the table's order.
inline void AppendFields(Bytes& v, RecordFields table, std::initializer_list<std::uint64_t> values) {
    const std::uint64_t* next = values.begin();
    AppendFields(v, table, [&next](const RecordField&) { return *next++; });
}

// A pin byte: the pin number in bits 0..6 (all 8 bits when unmasked), bit 0 of `active` in 7.
std::uint8_t PortByte(std::uint32_t port, std::uint32_t active, bool unmasked = false);

// Places template rows (offset within the template, hex bytes) into `out`.
struct TemplateRow {
    std::size_t offset;
    std::string_view hex;
};
void PlaceTemplate(std::span<std::uint8_t> out, std::initializer_list<TemplateRow> rows);

// The values of the file's USB descriptor sections in every descriptor set of `layout`: vendor
// id, product id and release, the three strings, configuration attributes and power, and the
// interface subclasses where the file sets them.
bool CompileDescriptorValues(ItemReader& reader, std::span<std::uint8_t> block,
                             const BlockLayout& layout);

// Copies a text converted to the ANSI code page, as many bytes as it has UTF-16 units.
void CopyAnsi(std::span<std::uint8_t> block, std::size_t offset, std::u16string_view text);

}  // namespace mox3
