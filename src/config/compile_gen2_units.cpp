// Second generation: SCSI identity, logical units and authentication.
#include <algorithm>
#include <array>
#include <cstdio>
#include <vector>

#include "base/text.h"
#include "config/compile_gen2.h"

namespace mox3::gen2 {

namespace {

struct Mode {
    const char16_t* section;
    std::uint8_t bit;
    std::uint32_t largestCount;
};
constexpr Mode kModes[] = {{u"LUN NORMAL", 0x01, 5},
                           {u"LUN JBOD", 0x02, 3},
                           {u"LUN RAID-0", 0x04, 3},
                           {u"LUN RAID-1", 0x08, 3}};

std::u16string UnitKey(std::uint32_t unit, std::u16string_view name) {
    return Utf8ToUtf16(std::to_string(unit)) + u"-" + std::u16string(name);
}

// The table head. Multi password or multi secret need ATA secret.
bool TableHead(ItemReader& r, std::u16string_view section, std::uint32_t count,
               std::uint8_t modeBit, Bytes& table) {
    std::uint32_t flag = r.Int(section, u"Flag", 0);
    if (!r.ok()) return false;
    if ((flag & 0x03) != 0 && (flag & 0x04) == 0) {
        return r.Fail(section, u"Flag", "bit 0 or 1 needs bit 2 (ATA secret)");
    }
    AppendFields(table, record_fields::gen2::kUnitTableHead, {count, modeBit, flag});
    return true;
}

// One unit entry; `inquiry` numbers an INQUIRY entry from 1, 0: none.
void UnitEntry(Bytes& table, std::uint8_t typeCode, std::uint32_t flags, std::int64_t size,
               std::int64_t reserve, std::uint32_t inquiry) {
    const std::uint64_t offset = inquiry != 0 ? kInquiryTable + kInquiryTextSize * (inquiry - 1) : 0;
    AppendFields(table, record_fields::gen2::kUnitEntry,
                 {typeCode, flags, static_cast<std::uint64_t>(size),
                  static_cast<std::uint64_t>(reserve), offset, inquiry != 0 ? kInquiryTextSize : 0});
}

// Adds a table to the collection, or merges its mode bit into an equal earlier table.
void MergeOrAppend(std::vector<std::vector<std::uint8_t>>& tables,
                   std::vector<std::uint8_t> table) {
    for (auto& earlier : tables) {
        if (earlier.size() == table.size() && earlier[0] == table[0] &&
            std::equal(earlier.begin() + 2, earlier.end(), table.begin() + 2)) {
            earlier[1] = static_cast<std::uint8_t>(earlier[1] | table[1]);
            return;
        }
    }
    tables.push_back(std::move(table));
}

std::vector<std::uint8_t> Join(const std::vector<std::vector<std::uint8_t>>& tables) {
    std::vector<std::uint8_t> all;
    for (const auto& t : tables) all.insert(all.end(), t.begin(), t.end());
    return all;
}

bool CompileInquiry(ItemReader& r, std::span<std::uint8_t> block, CompileState& state) {
    constexpr std::u16string_view kSection = u"SCSI INQUIRY";
    for (std::uint32_t i = 0; i < kInquiryEntryCount; ++i) {
        for (const RecordField& f : record_fields::kInquiryTexts) {
            std::u16string key = UnitKey(i, Utf8ToUtf16(f.name));
            std::u16string text = r.Text(kSection, key, kShortTextUnits);
            if (text.size() > f.width) {
                char message[64];
                std::snprintf(message, sizeof message, "SCSI INQUIRY :\r\n %u-%s is wrong.", i,
                              f.name);
                state.message = Utf8ToUtf16(message);
                return r.Fail(kSection, key,
                              std::to_string(r.FileLength(kSection, key)) +
                                  " characters, longer than " + std::to_string(f.width));
            }
            CopyAnsi(block, kInquiryTable + kInquiryTextSize * i + f.offset, text);
        }
    }
    return true;
}

bool CompileRaidDefault(ItemReader& r, RecordWriter& list, CompileState& state) {
    SectionReader s(r, u"RAID Default");
    state.raidOffset = s(u"Offset");
    std::uint32_t type = s(u"Type", 255);
    if (!r.ok()) return false;
    if (type >= 255) return true;
    Bytes v;
    s.fields(record_fields::gen2::kRaidDefault, v, u"", type);
    return s.append(list, kTagRaidDefault, v);
}

bool CompileUnitTables(ItemReader& r, RecordWriter& list) {
    std::vector<std::vector<std::uint8_t>> tables;
    for (const Mode& mode : kModes) {
        std::uint32_t count = r.Int(mode.section, u"Count", 0);
        if (!r.ok()) return false;
        if (count > mode.largestCount) {
            return r.Fail(mode.section, u"Count",
                          "out of range (0 to " + std::to_string(mode.largestCount) + ")");
        }
        if (count == 0) continue;
        Bytes table;
        if (!TableHead(r, mode.section, count, mode.bit, table)) return false;
        for (std::uint32_t unit = 0; unit < count; ++unit) {
            std::uint32_t type = r.Int(mode.section, UnitKey(unit, u"Type"), 0);
            std::uint32_t flags = r.Int(mode.section, UnitKey(unit, u"Flag"), 0) & 0xFF;
            std::int64_t size = r.Int64(mode.section, UnitKey(unit, u"Size"));
            std::int64_t reserve = r.Int64(mode.section, UnitKey(unit, u"Rsv"));
            std::uint32_t inquiry = r.Int(mode.section, UnitKey(unit, u"Inq"), 0);
            if (!r.ok()) return false;
            std::uint8_t code = 0;
            if (type == 1 || type == 2) code = 1;
            if (type == 2) flags |= 0x08;  // removable, read-only
            if (type == 3) code = 2;
            UnitEntry(table, code, flags, size, reserve, inquiry);
        }
        MergeOrAppend(tables, std::move(table.data()));
    }
    std::vector<std::uint8_t> all = Join(tables);
    if (all.empty()) return true;
    // A record holds at most 255 bytes; a longer collection continues in a second record.
    std::span<const std::uint8_t> bytes(all);
    std::size_t first = std::min<std::size_t>(bytes.size(), 255);
    if (!AppendRecord(r, list, u"LUN NORMAL", kTagUnitTables, bytes.first(first))) return false;
    if (bytes.size() > first) {
        return AppendRecord(r, list, u"LUN NORMAL", kTagUnitTables, bytes.subspan(first));
    }
    return true;
}

bool CompileSingleUnitTables(ItemReader& r, RecordWriter& list) {
    constexpr std::int64_t kLargestSingleSize = 0x200000;
    std::vector<std::vector<std::uint8_t>> tables;
    for (const Mode& mode : kModes) {
        std::int64_t size = r.Int64(mode.section, u"S-Size");
        if (!r.ok()) return false;
        if (size < 0 || size > kLargestSingleSize) {
            return r.Fail(mode.section, u"S-Size", "out of range (0 to 2097152)");
        }
        if (size == 0) continue;
        Bytes table;
        if (!TableHead(r, mode.section, 0, mode.bit, table)) return false;
        std::uint32_t type = r.Int(mode.section, u"S-Type", 0);
        std::uint32_t flags = r.Int(mode.section, u"S-Flag", 0);
        std::int64_t reserve = r.Int64(mode.section, u"S-Rsv");
        std::uint32_t inquiry = r.Int(mode.section, u"S-Inq", 0);
        if (!r.ok()) return false;
        UnitEntry(table, static_cast<std::uint8_t>(type <= 1 ? type : 0), flags & 0xFF, size,
                  reserve, inquiry);
        MergeOrAppend(tables, std::move(table.data()));
    }
    std::vector<std::uint8_t> all = Join(tables);
    if (all.empty()) return true;
    return AppendRecord(r, list, u"LUN NORMAL", kTagSingleUnitTables, all);
}

bool CompileAuthentication(ItemReader& r, std::span<std::uint8_t> block, RecordWriter& list) {
    constexpr std::u16string_view kSection = u"Authentication";
    auto wait = r.Optional(kSection, u"AuthWait", 1, 255);
    if (!r.ok()) return false;
    if (wait) {
        std::uint8_t value = static_cast<std::uint8_t>(*wait);
        if (!AppendRecord(r, list, kSection, kTagAuthWait,
                          std::span<const std::uint8_t>(&value, 1))) {
            return false;
        }
    }
    auto key = r.SizedText(kSection, u"DeleteKey", 34, 1, 32);
    if (!key) return false;
    CopyAnsi(block, kLayout.deletingKey, *key);
    return true;
}

}  // namespace

bool AppendRecord(ItemReader& r, RecordWriter& list, std::u16string_view section, std::uint8_t tag,
                  std::span<const std::uint8_t> value) {
    if (list.Append(tag, value)) return true;
    return r.Fail(section, u"", "the configuration list does not fit in the block");
}

bool CompileUnits(ItemReader& r, std::span<std::uint8_t> block, RecordWriter& list,
                  CompileState& state) {
    return CompileInquiry(r, block, state) && CompileRaidDefault(r, list, state) &&
           CompileUnitTables(r, list) && CompileSingleUnitTables(r, list) &&
           CompileAuthentication(r, block, list);
}

}  // namespace mox3::gen2
