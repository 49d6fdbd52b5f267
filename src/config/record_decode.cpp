// The decoders of the configuration block's records, one per record kind and generation, and
// the readings that need the whole list (logical-unit tables split over records, and the tag
// the two second-generation firmware families use for different things).
// Size: one decoder for each record kind of both generations, side by side with their fields.
#include "config/record_decode.h"

#include <algorithm>
#include <cstdio>
#include <functional>

#include "base/text.h"
#include "config/block_layout.h"
#include "config/record_fields.h"

namespace mox3 {

namespace decode {

Bytes Slice(Bytes bytes, std::size_t offset, std::size_t size) {
    if (offset >= bytes.size()) return {};
    return bytes.subspan(offset, std::min(size, bytes.size() - offset));
}

std::string Format(const char* format, unsigned long long a, unsigned long long b,
                   unsigned long long c) {
    char buf[160];
    std::snprintf(buf, sizeof buf, format, a, b, c);
    return buf;
}

std::string AnsiText(Bytes bytes) {
    auto end = std::find(bytes.begin(), bytes.end(), std::uint8_t{0});
    std::string raw(bytes.begin(), end);
    return Utf16ToUtf8(FromAnsi(raw));
}

InquiryEntry DecodeInquiryTexts(Bytes texts, std::uint32_t offset, std::uint8_t filler) {
    InquiryEntry entry;
    entry.offset = offset;
    std::string* parts[] = {&entry.vendor, &entry.product, &entry.revision};
    for (std::size_t i = 0; i < std::size(parts); ++i) {
        const RecordField& f = record_fields::kInquiryTexts[i];
        *parts[i] = AnsiText(Slice(texts, f.offset, f.width));
    }
    entry.unused = std::all_of(texts.begin(), texts.end(),
                               [filler](std::uint8_t b) { return b == filler || b == 0; });
    return entry;
}

namespace {

namespace fields = record_fields::gen2;

// Builds the fields of one reading from a record value, never reading past its end.
class FieldBuilder {
  public:
    FieldBuilder(Bytes value, DecodedGroup& group) : value_(value), group_(group) {}

    bool Fits(std::size_t offset, std::size_t size) const {
        return offset <= value_.size() && size <= value_.size() - offset;
    }
    std::uint64_t Get(std::size_t offset, std::size_t size) const {
        return ReadLe(value_, offset, size);
    }

    void Number(const std::string& name, std::size_t offset, std::size_t size = 1) {
        if (Need(name, offset, size)) AddNumber(name, Get(offset, size));
    }
    void Hex(const std::string& name, std::size_t offset, std::size_t size = 1) {
        if (Need(name, offset, size)) AddHex(name, Get(offset, size), static_cast<int>(2 * size));
    }
    void Port(const std::string& name, std::size_t offset) {
        if (!Need(name, offset, 1)) return;
        DecodedField field{name, DecodedField::Kind::Port};
        field.number = value_[offset];
        group_.fields.push_back(std::move(field));
    }
    void Raw(const std::string& name, std::size_t offset, std::size_t size) {
        if (!Need(name, offset, size)) return;
        DecodedField field{name, DecodedField::Kind::Bytes};
        Bytes part = value_.subspan(offset, size);
        field.bytes.assign(part.begin(), part.end());
        group_.fields.push_back(std::move(field));
    }

    void AddNumber(const std::string& name, std::uint64_t number) {
        DecodedField field{name, DecodedField::Kind::Number};
        field.number = number;
        group_.fields.push_back(std::move(field));
    }
    void AddHex(const std::string& name, std::uint64_t number, int digits) {
        DecodedField field{name, DecodedField::Kind::Hex};
        field.number = number;
        field.digits = digits;
        group_.fields.push_back(std::move(field));
    }
    void AddText(const std::string& name, std::string text) {
        DecodedField field{name, DecodedField::Kind::Text};
        field.text = std::move(text);
        group_.fields.push_back(std::move(field));
    }
    void Note(std::string text) { group_.notes.push_back(std::move(text)); }

    // Notes that bytes which are always 0 are not.
    void ExpectZero(std::size_t offset, std::size_t size) {
        for (std::size_t i = offset; i < offset + size && i < value_.size(); ++i) {
            if (value_[i] != 0) {
                Note(Format("value byte %llu is 0x%02llX where 0 is expected", i, value_[i]));
            }
        }
    }
    void ExpectLength(std::size_t expected) {
        if (value_.size() != expected) {
            Note(Format("length %llu, expected %llu", value_.size(), expected));
        }
    }
    // Entries of `entrySize` bytes after a head of `headSize` bytes; notes a remainder.
    std::size_t EntryCount(std::size_t headSize, std::size_t entrySize) {
        if (value_.size() < headSize) return 0;
        std::size_t rest = value_.size() - headSize;
        if (rest % entrySize != 0) {
            Note(Format("%llu bytes after the last whole %llu-byte entry are left over",
                        rest % entrySize, entrySize));
        }
        return rest / entrySize;
    }

    // The fields of a table, by their names and kinds; `derive` adds the derived ones.
    void Fields(RecordFields table, const std::function<void(const RecordField&)>& derive = {}) {
        for (const RecordField& f : table) {
            if ((f.flags & (RecordField::kQuiet | RecordField::kOptional)) &&
                !Fits(f.offset, f.width)) {
                continue;
            }
            if (f.kind == RecordField::Kind::Zero) {
                ExpectZero(f.offset, f.width);
            } else if (f.kind == RecordField::Kind::Derived) {
                derive(f);
            } else if (f.IsBits()) {
                if (Need(f.name, f.offset, f.width)) {
                    AddNumber(f.name, (Get(f.offset, f.width) >> f.shift) & f.Mask());
                }
            } else if (f.IsPort()) {
                Port(f.name, f.offset);
            } else if (f.kind == RecordField::Kind::Hex) {
                Hex(f.name, f.offset, f.width);
            } else {
                Number(f.name, f.offset, f.width);
            }
        }
    }
    // The head of a counted record, then each whole entry as a group.
    void Counted(const CountedRecord& record) {
        Fields(record.head);
        const std::size_t headSize = FieldsSize(record.head);
        const std::size_t entrySize = FieldsSize(record.entry);
        const std::size_t count = EntryCount(headSize, entrySize);
        for (std::size_t n = 0; n < count; ++n) {
            DecodedGroup entry{Format(record.entryName, n)};
            FieldBuilder e(value_.subspan(headSize + entrySize * n, entrySize), entry);
            e.Fields(record.entry);
            group_.groups.push_back(std::move(entry));
        }
    }

    Bytes value() const { return value_; }
    DecodedGroup& group() { return group_; }

  private:
    bool Need(const std::string& name, std::size_t offset, std::size_t size) {
        if (Fits(offset, size)) return true;
        if (!short_) Note("the value ends before " + name);
        short_ = true;
        return false;
    }

    Bytes value_;
    DecodedGroup& group_;
    bool short_ = false;
};

std::string Indexed(const char* what, std::size_t n) {
    return Format(what, n);
}

// ---- First-generation records ----

void DecodeG1MultiLun(FieldBuilder& f) {
    constexpr auto& m = record_fields::gen1::kMultiLun;
    f.ExpectLength(m.size);
    f.Number("TypeLUN0", m.typeByte);
    if (f.Fits(m.sizeField, 4)) {
        std::uint64_t raw = f.Get(m.sizeField, 4);
        f.AddNumber("SizeLUN0", raw / m.sizeUnits);
        if (raw % m.sizeUnits != 0) {
            f.Note(Format("size field 0x%08llX is not a multiple of %llu", raw, m.sizeUnits));
        }
    } else {
        f.Number("SizeLUN0", m.sizeField, 4);
    }
    if (f.Fits(m.hideByte, 1)) {
        const std::uint64_t hide = f.Get(m.hideByte, 1);
        f.AddNumber("HideLUN1", hide >> m.hideShift);
        if ((hide & ((1u << m.hideShift) - 1)) != m.hideLowBits) {
            f.Note(Format("byte %llu holds 0x%02llX; its low bits are %llu in compiled blocks",
                          m.hideByte, hide, m.hideLowBits));
        }
    } else {
        f.Number("HideLUN1", m.hideByte);
    }
}

void DecodeG1Led(FieldBuilder& f) {
    f.ExpectLength(6);
    f.Fields(record_fields::gen1::kLed);
}

void DecodeG1Fan(FieldBuilder& f) {
    f.ExpectLength(5);
    f.Fields(record_fields::gen1::kFan);
}

void DecodeG1ControlParameters(FieldBuilder& f) {
    namespace g1 = record_fields::gen1;
    f.ExpectLength(g1::kControlParametersSize);
    f.Hex("flagsA", g1::kControlFlagsA);
    f.Hex("flagsB", g1::kControlFlagsB);
    for (const auto& [field, flagOffset, flagBits] : g1::kControlParameters) {
        if (f.Get(flagOffset, 1) & flagBits) f.Fields({&field, 1});
    }
    const std::uint64_t unknown =
        f.Get(g1::kControlFlagsB, 1) & ~std::uint64_t{g1::ControlFlagBits(g1::kControlFlagsB)};
    if (unknown != 0) f.Note(Format("flag byte B has unknown bits 0x%02llX", unknown));
}

// ---- Second-generation records ----

void DecodeRaidDefault(FieldBuilder& f) {
    std::size_t length = f.value().size();
    if (length < 1 || length > 4) f.Note(Format("length %llu, expected 1 to 4", length));
    f.Fields(fields::kRaidDefault, [&f](const RecordField& field) {
        std::uint64_t type = f.Get(0, 1);
        f.AddText(field.name, type < std::size(fields::kRaidTypeNames)
                                  ? fields::kRaidTypeNames[type]
                                  : "unknown");
    });
}

std::string ModeNames(std::uint64_t modes) {
    static constexpr const char* kNames[] = {"normal", "JBOD", "RAID-0", "RAID-1"};
    std::string out;
    for (int bit = 0; bit < 4; ++bit) {
        if (modes & (1u << bit)) out += std::string(out.empty() ? "" : ", ") + kNames[bit];
    }
    if (modes & 0xF0) out += std::string(out.empty() ? "" : ", ") + "unknown bits";
    return out.empty() ? "none" : out;
}

std::string TableFlagNames(std::uint64_t flag) {
    static constexpr const char* kNames[] = {"multi password", "multi secret", "ATA secret"};
    std::string out;
    for (int bit = 0; bit < 3; ++bit) {
        if (flag & (1u << bit)) out += std::string(out.empty() ? "" : ", ") + kNames[bit];
    }
    return out.empty() ? "none" : out;
}

void DecodeUnitEntry(Bytes entry, DecodedGroup& unit) {
    FieldBuilder f(entry, unit);
    f.Fields(fields::kUnitEntry, [&f](const RecordField& field) {
        if (field.name == std::string_view("type")) {
            std::uint64_t code = f.Get(0, 1);
            std::string type = code == 0   ? "fixed"
                               : code == 1 ? "removable"
                               : code == 2 ? "virtual CD"
                                           : "unknown";
            if (code == 1 && (f.Get(1, 1) & 0x08)) type += ", read-only";
            f.AddText(field.name, type);
            return;
        }
        std::uint64_t inquiry = f.Get(12, 4);
        if (inquiry == 0) return;
        if (inquiry >= gen2::kInquiryTable &&
            (inquiry - gen2::kInquiryTable) % kInquiryTextSize == 0 &&
            (inquiry - gen2::kInquiryTable) / kInquiryTextSize < gen2::kInquiryEntryCount) {
            f.AddNumber(field.name, (inquiry - gen2::kInquiryTable) / kInquiryTextSize + 1);
        } else {
            f.Note(Format("INQUIRY offset %llu is not one of the five entries", inquiry));
        }
    });
}

// Logical-unit tables (tag 0x10, after joining) or single-unit tables (tag 0x11).
void DecodeUnitTables(Bytes data, bool single, DecodedGroup& reading) {
    std::size_t pos = 0;
    for (std::size_t index = 0; pos < data.size(); ++index) {
        if (data.size() - pos < gen2::kUnitTableHead) {
            reading.notes.push_back(
                Format("%llu bytes at value offset %llu are too short for a table head",
                       data.size() - pos, pos));
            break;
        }
        Bytes head = data.subspan(pos, gen2::kUnitTableHead);
        std::size_t count = head[0];
        DecodedGroup table{Indexed("table %llu", index)};
        FieldBuilder f(head, table);
        f.Fields(fields::kUnitTableHead, [&](const RecordField& field) {
            f.AddText(field.name, field.offset == 2 ? ModeNames(head[1]) : TableFlagNames(head[3]));
        });
        if ((head[3] & 0x03) && !(head[3] & 0x04)) {
            f.Note("multi password or multi secret without ATA secret");
        }
        std::size_t units = count;
        if (single) {
            if (count != 0) f.Note(Format("Count is %llu; single-unit tables carry 0", count));
            units = 1;
        } else if (count == 0) {
            f.Note("Count 0: the table has no units");
        }
        pos += gen2::kUnitTableHead;
        for (std::size_t u = 0; u < units; ++u) {
            if (data.size() - pos < gen2::kUnitEntrySize) {
                f.Note(Format("unit %llu runs past the end of the records (%llu of 24 bytes)", u,
                              data.size() - pos));
                pos = data.size();
                break;
            }
            DecodedGroup unit{single ? std::string("unit S") : Indexed("unit %llu", u)};
            DecodeUnitEntry(data.subspan(pos, gen2::kUnitEntrySize), unit);
            table.groups.push_back(std::move(unit));
            pos += gen2::kUnitEntrySize;
        }
        reading.groups.push_back(std::move(table));
    }
}

// Pairs [pin][level]; pins 0x80..0x83 carry the bytes of the initial levels' Alt value.
void DecodeGpioLevels(FieldBuilder& f, bool withAlt) {
    Bytes v = f.value();
    if (v.size() % 2 != 0) f.Note("odd length: the last byte has no partner");
    std::uint32_t alt = 0;
    unsigned altBytes = 0;
    for (std::size_t i = 0; i + 1 < v.size(); i += 2) {
        std::uint8_t pin = v[i];
        if (withAlt && pin >= fields::kGpioAltPin && pin < fields::kGpioAltPin + 4) {
            const unsigned byte = pin - fields::kGpioAltPin;
            alt |= static_cast<std::uint32_t>(v[i + 1]) << (8 * byte);
            altBytes |= 1u << byte;
            continue;
        }
        if (pin > fields::kGpioLastPin) {
            f.Note(Format("pin %llu is outside 0 to %llu", pin, fields::kGpioLastPin));
        }
        f.AddHex(Format("%02llu-Flag", pin), v[i + 1], 2);
    }
    if (altBytes != 0) {
        f.AddHex("Alt", alt, 8);
        if (altBytes != 0x0F) f.Note("the Alt value is missing some of its four bytes");
    }
}

bool FitsGpioLevels(Bytes v) {
    if (v.empty() || v.size() % 2 != 0) return false;
    for (std::size_t i = 0; i < v.size(); i += 2) {
        if (v[i] > fields::kGpioLastPin || (i > 0 && v[i] <= v[i - 2])) return false;
    }
    return true;
}

bool FitsRebuildLed(Bytes v) {
    return v.size() >= 4 && v.size() <= 13;
}

void DecodeRebuildLed(FieldBuilder& f) {
    f.Fields(fields::kRebuildLedHead);
    for (std::size_t i = 3; i < f.value().size(); ++i) f.Port(Indexed("%llu-Port", i - 3), i);
}

void DecodePowerControl(FieldBuilder& f) {
    f.ExpectLength(2);
    if (!f.Fits(0, 2)) return;
    std::uint64_t mode = f.Get(1, 1);
    if (f.Get(0, 1) != fields::kPowerControlNoPort) {
        f.AddNumber("Flag", fields::kPowerControlModes[0].flag);
        f.AddText("meaning", fields::kPowerControlModes[0].meaning);
        f.Port("Port", 0);
        f.ExpectZero(1, 1);
        return;
    }
    auto m = std::find_if(std::begin(fields::kPowerControlModes) + 1,
                          std::end(fields::kPowerControlModes),
                          [mode](const auto& p) { return p.mode == mode; });
    if (m == std::end(fields::kPowerControlModes)) {
        f.Note(Format("mode byte 0x%02llX matches no Flag value", mode));
    } else {
        f.AddNumber("Flag", m->flag);
        if (m->meaning != nullptr) f.AddText("meaning", m->meaning);
    }
    f.Hex("mode", 1);
}

void DecodeAccessLed(FieldBuilder& f) {
    std::size_t length = f.value().size();
    if (length != 10 && length != 12 && length != 14 && length != 16) {
        f.Note(Format("length %llu, expected 10, 12, 14 or 16", length));
    }
    f.Fields(fields::kAccessLed);
    static constexpr const char* kPairs[] = {"BreathTime", "Extend", "BreathTrans"};
    for (std::size_t i = 0; i < 3 && length >= 12 + 2 * i; ++i) {
        f.Number(std::string("2-") + kPairs[i], 10 + 2 * i);
        f.Number(std::string("3-") + kPairs[i], 11 + 2 * i);
    }
}

void DecodeSecretLed(FieldBuilder& f) {
    f.ExpectLength(8);
    f.Fields(fields::kSecretLed);
}

void DecodeCapacityLed(FieldBuilder& f) {
    f.Fields(fields::kCapacityLedHead);
    for (std::size_t i = 3; i < f.value().size(); ++i) f.Port(Indexed("%llu-Port", i - 3), i);
}

void DecodeCapacityLed2(FieldBuilder& f) {
    f.Fields(fields::kCapacityLed2Head);
    const std::size_t head = FieldsSize(fields::kCapacityLed2Head);
    const bool withD = (f.Get(fields::kCapacityLed2Flag, 1) & fields::kCapacityLed2WithD) != 0;
    const std::size_t count = f.EntryCount(head, withD ? 8 : 4);
    for (std::size_t n = 0; n < count; ++n) f.Number(Indexed("%llu-Value", n), head + 4 * n, 4);
    if (withD) {
        for (std::size_t n = 0; n < count; ++n) {
            f.Number(Indexed("%llu-Value-D", n), head + 4 * (count + n), 4);
        }
    }
}

void DecodeButton(FieldBuilder& f) {
    f.ExpectLength(4);
    f.Fields(fields::kButton);
}

void DecodeAutomaticStandby(FieldBuilder& f) {
    std::size_t length = f.value().size();
    if (length != 4 && length != 5) f.Note(Format("length %llu, expected 4 or 5", length));
    f.Fields(fields::kAutomaticStandby);
}

void DecodeRaidButton(FieldBuilder& f) {
    f.ExpectLength(5);
    f.Fields(fields::kRaidButton);
}

void DecodeSwitchByte(FieldBuilder& f, const char* key) {
    f.ExpectLength(1);
    f.Number(key, 0);
}

void DecodeLinkFlags(FieldBuilder& f) {
    f.ExpectLength(2);
    f.Hex("flags", 0, 2);
    if (f.Fits(0, 1)) f.AddNumber("LinkupAlways", (f.Get(0, 1) >> 2) & 1);
}

void DecodeFirmwareParameter(FieldBuilder& f) {
    f.ExpectLength(6);
    f.Hex("id", 0);
    if (f.Fits(0, 1)) {
        const char* name = FirmwareParameterName(static_cast<std::uint8_t>(f.Get(0, 1)));
        f.AddText("parameter", name != nullptr ? name : "unknown");
    }
    f.ExpectZero(1, 1);
    f.Hex("value", 2, 4);
}

// The first-generation INQUIRY record: one or two 29-byte answers.
void DecodeG1Inquiry(const TlvRecord& record, FieldBuilder& f, DecodedBlock& out) {
    std::size_t length = record.value.size();
    std::size_t answers = f.EntryCount(0, gen1::kInquiryAnswerSize);
    if (answers < 1 || answers > 2 || length % gen1::kInquiryAnswerSize != 0) {
        f.Note(Format("length %llu; compiled blocks carry 29 or 58", length));
    }
    for (std::size_t i = 0; i < answers; ++i) {
        Bytes answer =
            Bytes(record.value).subspan(gen1::kInquiryAnswerSize * i, gen1::kInquiryAnswerSize);
        auto offset =
            static_cast<std::uint32_t>(record.offset + 2 + gen1::kInquiryAnswerSize * i + 1);
        InquiryEntry entry = DecodeInquiryTexts(answer.subspan(1), offset, 0);
        DecodedGroup group{Indexed("answer %llu", i)};
        FieldBuilder e(answer, group);
        e.ExpectZero(0, 1);
        const std::string* parts[] = {&entry.vendor, &entry.product, &entry.revision};
        for (std::size_t k = 0; k < std::size(parts); ++k) {
            e.AddText(record_fields::kInquiryTexts[k].name, *parts[k]);
        }
        f.group().groups.push_back(std::move(group));
        out.inquiry.push_back(std::move(entry));
    }
}

// Which second-generation family wrote the block, judged by the tags only one family writes.
enum class Family { Unknown, First, Later };

Family GuessFamily(const TlvList& list) {
    static constexpr std::uint8_t kLaterOnly[] = {gen2::kTagRaidDefault,      gen2::kTagDeviceLed,
                                                  gen2::kTagRaidButton,       gen2::kTagRaidSwitch,
                                                  gen2::kTagRaidStatusLed,    gen2::kTagRaidModeLed,
                                                  gen2::kTagCommandPermission};
    bool later = false;
    bool first = false;
    for (const TlvRecord& r : list.records) {
        if (std::find(std::begin(kLaterOnly), std::end(kLaterOnly), r.tag) != std::end(kLaterOnly))
            later = true;
        // PMPEnable exists in the first family only.
        if (r.tag == gen2::kTagPmpEnable) first = true;
    }
    if (later == first) return Family::Unknown;
    return later ? Family::Later : Family::First;
}

void DecodeTag35(TlvRecord& record, Family family) {
    Bytes v = record.value;
    bool gpio = FitsGpioLevels(v);
    bool led = FitsRebuildLed(v);
    if (gpio && led && family != Family::Unknown) {
        gpio = family == Family::First;
        led = !gpio;
        record.notes.push_back(gpio ? "read as GPIO suspend levels: the block carries records "
                                      "only the first firmware family writes"
                                    : "read as rebuild progress LED: the block carries records "
                                      "only the later firmware family writes");
    } else if (gpio && led) {
        record.notes.push_back(
            "tag 0x35 is shared by GPIO suspend levels and the rebuild progress LED; both "
            "readings fit");
    } else if (!gpio && !led) {
        record.notes.push_back(
            "the value fits neither GPIO suspend levels nor rebuild progress LED");
    }
    if (gpio) {
        DecodedGroup reading{"GPIO suspend levels"};
        FieldBuilder f(v, reading);
        DecodeGpioLevels(f, false);
        record.readings.push_back(std::move(reading));
    }
    if (led) {
        DecodedGroup reading{"rebuild progress LED"};
        FieldBuilder f(v, reading);
        DecodeRebuildLed(f);
        record.readings.push_back(std::move(reading));
    }
}

void DecodeRecord(int generation, TlvRecord& record, DecodedBlock& out) {
    DecodedGroup reading{record.name};
    FieldBuilder f(record.value, reading);
    if (generation == 1) {
        switch (record.tag) {
            case gen1::kTagInquiry:
                DecodeG1Inquiry(record, f, out);
                break;
            case gen1::kTagMultiLun:
                DecodeG1MultiLun(f);
                break;
            case gen1::kTagLed:
                DecodeG1Led(f);
                break;
            case gen1::kTagFan:
                DecodeG1Fan(f);
                break;
            case gen1::kTagAuthWait:
                DecodeSwitchByte(f, "AuthWaitTime");
                break;
            case gen1::kTagControl:
                DecodeG1ControlParameters(f);
                break;
            default:
                return;
        }
    } else {
        switch (record.tag) {
            case gen2::kTagRaidDefault:
                DecodeRaidDefault(f);
                break;
            case gen2::kTagSingleUnitTables:
                DecodeUnitTables(record.value, true, reading);
                break;
            case gen2::kTagAuthWait:
                DecodeSwitchByte(f, "AuthWait");
                break;
            case gen2::kTagGpioInitialize:
                DecodeGpioLevels(f, true);
                break;
            case gen2::kTagPowerControl:
                DecodePowerControl(f);
                break;
            case gen2::kTagFetControl:
                f.Counted(fields::kFetControl);
                break;
            case gen2::kTagFanControl:
                f.ExpectLength(12);
                f.Counted(fields::kFanControl);
                break;
            case gen2::kTagStatusLed:
                f.Counted(fields::kStatusLed);
                break;
            case gen2::kTagAccessLed:
                DecodeAccessLed(f);
                break;
            case gen2::kTagSecretLed:
                DecodeSecretLed(f);
                break;
            case gen2::kTagDeviceLed:
                f.Counted(fields::kDeviceLed);
                break;
            case gen2::kTagCapacityLed:
                DecodeCapacityLed(f);
                break;
            case gen2::kTagCapacityLed2:
                DecodeCapacityLed2(f);
                break;
            case gen2::kTagButton:
                DecodeButton(f);
                break;
            case gen2::kTagAutomaticStandby:
                DecodeAutomaticStandby(f);
                break;
            case gen2::kTagRaidButton:
                DecodeRaidButton(f);
                break;
            case gen2::kTagRaidSwitch:
                f.Counted(fields::kRaidSwitch);
                break;
            case gen2::kTagRaidStatusLed:
                f.Counted(fields::kRaidStatusLed);
                break;
            case gen2::kTagRaidModeLed:
                f.Counted(fields::kRaidModeLed);
                break;
            case gen2::kTagCommandPermission:
                f.ExpectLength(32);
                f.Raw("value", 0, record.value.size());
                break;
            case gen2::kTagNcqDisable:
                DecodeSwitchByte(f, "NCQDisable");
                break;
            case gen2::kTagPmpEnable:
                DecodeSwitchByte(f, "PMPEnable");
                break;
            case gen2::kTagLinkFlags:
                DecodeLinkFlags(f);
                break;
            case gen2::kTagOverMode:
                DecodeSwitchByte(f, "2TBOverMode");
                break;
            case gen2::kTagFirmwareParameter:
                DecodeFirmwareParameter(f);
                break;
            default:
                return;  // 0x10 and 0x35 need the whole list
        }
    }
    record.readings.push_back(std::move(reading));
}

// Consecutive 0x10 records carry one collection of logical-unit tables between them.
void DecodeLogicalUnitRecords(TlvList& list) {
    auto& records = list.records;
    for (std::size_t i = 0; i < records.size(); ++i) {
        if (records[i].tag != gen2::kTagUnitTables || records[i].truncated) continue;
        std::size_t j = i + 1;
        std::vector<std::uint8_t> joined = records[i].value;
        while (j < records.size() && records[j].tag == gen2::kTagUnitTables &&
               !records[j].truncated) {
            joined.insert(joined.end(), records[j].value.begin(), records[j].value.end());
            DecodedGroup continued{"logical-unit tables (continued)"};
            continued.notes.push_back(
                Format("decoded together with the record at %llu", records[i].offset));
            records[j].readings.push_back(std::move(continued));
            ++j;
        }
        if (j > i + 1) {
            records[i].notes.push_back(
                Format("joined with the %llu following 0x10 record(s)", j - i - 1));
        }
        DecodedGroup reading{"logical-unit tables"};
        DecodeUnitTables(joined, false, reading);
        records[i].readings.push_back(std::move(reading));
        i = j - 1;
    }
}

}  // namespace

void DecodeRecords(int generation, TlvList& list, DecodedBlock& out) {
    for (TlvRecord& record : list.records) {
        if (record.known && !record.truncated) DecodeRecord(generation, record, out);
    }
    if (generation == 2) {
        DecodeLogicalUnitRecords(list);
        Family family = GuessFamily(list);
        for (TlvRecord& record : list.records) {
            if (record.tag == gen2::kTagSuspendOrRebuild && !record.truncated) {
                DecodeTag35(record, family);
            }
        }
    }
}

}  // namespace decode

const char* TlvTagName(int generation, std::uint8_t tag) {
    if (generation == 1) {
        switch (tag) {
            case gen1::kTagInquiry:
                return "SCSI INQUIRY answers";
            case gen1::kTagMultiLun:
                return "multi-LUN";
            case gen1::kTagLed:
                return "LED layout";
            case gen1::kTagFan:
                return "FAN";
            case gen1::kTagAuthWait:
                return "authentication wait";
            case gen1::kTagControl:
                return "control parameters";
            default:
                return nullptr;
        }
    }
    switch (tag) {
        case gen2::kTagFirmwareParameter:
            return "firmware parameter";
        case gen2::kTagLinkFlags:
            return "link flags";
        case gen2::kTagAuthWait:
            return "authentication wait";
        case gen2::kTagNcqDisable:
            return "NCQ disable";
        case gen2::kTagRaidDefault:
            return "RAID default";
        case gen2::kTagOverMode:
            return "2 TB over mode";
        case gen2::kTagPmpEnable:
            return "PMP enable";
        case gen2::kTagCommandPermission:
            return "command permission";
        case gen2::kTagUnitTables:
            return "logical-unit tables";
        case gen2::kTagSingleUnitTables:
            return "single-unit tables";
        case gen2::kTagGpioInitialize:
            return "GPIO initial levels";
        case gen2::kTagPowerControl:
            return "power control";
        case gen2::kTagFetControl:
            return "FET control";
        case gen2::kTagFanControl:
            return "fan control";
        case gen2::kTagStatusLed:
            return "status LED";
        case gen2::kTagAccessLed:
            return "access LED";
        case gen2::kTagSecretLed:
            return "secret LED";
        case gen2::kTagButton:
            return "button";
        case gen2::kTagRaidButton:
            return "RAID button";
        case gen2::kTagRaidStatusLed:
            return "RAID status LED";
        case gen2::kTagRaidModeLed:
            return "RAID mode LED";
        case gen2::kTagRaidSwitch:
            return "RAID switch";
        case gen2::kTagAutomaticStandby:
            return "automatic standby";
        case gen2::kTagCapacityLed:
            return "capacity LED";
        case gen2::kTagDeviceLed:
            return "device LED";
        case gen2::kTagSuspendOrRebuild:
            return "GPIO suspend levels or rebuild progress LED";
        case gen2::kTagCapacityLed2:
            return "capacity LED 2";
        default:
            return nullptr;
    }
}

const char* FirmwareParameterName(std::uint8_t id) {
    for (const auto& p : record_fields::gen2::kFirmwareParameters) {
        if (p.id == id) return p.name;
    }
    return nullptr;
}

}  // namespace mox3
