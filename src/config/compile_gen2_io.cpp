// Second generation: GPIO levels, power and FET switching, fan, LEDs, buttons and standby.
#include <cstdio>
#include <optional>
#include <string>

#include "base/text.h"
#include "config/compile_gen2.h"
#include "config/record_fields.h"

namespace mox3::gen2 {

namespace {

namespace fields = record_fields::gen2;

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
    // Appends the fields of a table, each from the key `prefix`<name>. A record switched on by
    // its first port passes the value already read as `firstPort`.
    void fields(RecordFields table, Bytes& v, std::u16string_view prefix = u"",
                std::optional<std::uint32_t> firstPort = std::nullopt) {
        for (const RecordField& f : table) {
            std::u16string key = std::u16string(prefix) + Utf8ToUtf16(f.name);
            if (f.kind == RecordField::Kind::Zero) {
                v.zeros(f.width);
            } else if (f.IsPort()) {
                std::u16string stem = std::u16string(prefix) + Utf8ToUtf16(f.PortStem());
                bool open = f.kind == RecordField::Kind::OpenPort;
                v.u8(firstPort ? PortByte(*firstPort, (*this)(stem + u"Active"), open)
                               : port(stem, open));
                firstPort.reset();
            } else if (f.width == 1) {
                v.u8(byte(key));
            } else if (f.width == 2) {
                v.u16(word(key));
            } else {
                v.u32((*this)(key));
            }
        }
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

std::u16string PinKey(std::uint32_t pin) {
    std::string s = std::to_string(pin);
    if (s.size() < 2) s.insert(s.begin(), '0');
    return Utf8ToUtf16(s) + u"-Flag";
}

// Pairs of pin and level for each present pin key.
void PinLevels(SectionReader& s, std::uint32_t first, std::uint32_t last, Bytes& value) {
    for (std::uint32_t pin = first; pin <= last; ++pin) {
        if (s.present(PinKey(pin))) value.u8(pin).u8(s.byte(PinKey(pin)));
    }
}

bool GpioInitialize(ItemReader& r, RecordWriter& list) {
    SectionReader s(r, u"GPIO Initialize");
    Bytes v;
    PinLevels(s, 3, 15, v);
    std::uint32_t alt = s(u"Alt");
    if (alt != 0) {
        for (std::uint32_t i = 0; i < 4; ++i) v.u8(0x80 + i).u8(alt >> (8 * i));
    }
    return s.append(list, kTagGpioInitialize, v);
}

bool GpioSuspend(ItemReader& r, RecordWriter& list) {
    SectionReader s(r, u"GPIO Suspend");
    Bytes v;
    PinLevels(s, 0, 15, v);
    return s.append(list, kTagSuspendOrRebuild, v);
}

bool PowerControl(ItemReader& r, RecordWriter& list) {
    SectionReader s(r, u"Power Control");
    std::uint32_t flag = 0;
    if (!s.count(4, flag, u"Flag")) return false;
    Bytes v;
    switch (flag) {
        case 1:
            v.u8(s.port(u"")).u8(0);
            break;  // GPIO switch
        case 2:
            v.u8(0xFF).u8(1);
            break;  // FET control only
        case 3:
            v.u8(0xFF).u8(0);
            break;  // hot-plug only
        case 4:
            v.u8(0xFF).u8(3);
            break;
        default:
            break;
    }
    return s.append(list, kTagPowerControl, v);
}

bool AccessLed(ItemReader& r, RecordWriter& list) {
    constexpr std::uint32_t kOff = 256;
    SectionReader s(r, u"Access LED");
    std::uint32_t port2 = s(u"2-Port", kOff);
    if (port2 >= kOff) return r.ok();
    Bytes v;
    s.fields(fields::kAccessLed, v, u"", port2);
    // Optional pairs for units 2 and 3, each switched on by its unit-2 key.
    const char16_t* kPairs[] = {u"BreathTime", u"Extend", u"BreathTrans"};
    std::uint32_t values[3][2] = {};
    std::size_t pairs = 0;
    for (std::size_t i = 0; i < 3; ++i) {
        std::uint32_t two = s(std::u16string(u"2-") + kPairs[i], kOff);
        if (two >= kOff) continue;
        values[i][0] = two;
        values[i][1] = s(std::u16string(u"3-") + kPairs[i]);
        pairs = i + 1;
    }
    for (std::size_t i = 0; i < pairs; ++i) v.u8(values[i][0]).u8(values[i][1]);
    return s.append(list, kTagAccessLed, v);
}

bool SecretLed(ItemReader& r, RecordWriter& list) {
    constexpr std::uint32_t kOff = 256;
    SectionReader s(r, u"Secret LED");
    std::uint32_t portE = s(u"E-Port", kOff);
    if (portE >= kOff) return r.ok();
    Bytes v;
    s.fields(fields::kSecretLed, v, u"", portE);
    return s.append(list, kTagSecretLed, v);
}

// Capacity LED and rebuild progress LED share their layout.
bool PortRow(ItemReader& r, RecordWriter& list, std::u16string_view section, std::uint8_t tag,
             RecordFields head) {
    SectionReader s(r, section);
    std::uint32_t count = 0;
    if (!s.count(10, count) || count == 0) return r.ok();
    Bytes v;
    s.fields(head, v);
    for (std::uint32_t n = 0; n < count; ++n) v.u8(s.unitPort(n));
    return s.append(list, tag, v);
}

bool CapacityLed2(ItemReader& r, RecordWriter& list) {
    SectionReader s(r, u"Capacity LED 2");
    std::uint32_t count = 0;
    if (!s.count(10, count) || count == 0) return r.ok();
    Bytes v;
    std::uint32_t flag = s(u"Flag");
    v.u8(s.byte(u"Interval")).u8(flag).u32(s(u"Mask")).u32(s(u"Off"));
    for (std::uint32_t n = 0; n < count; ++n) v.u32(s.unit(n, u"Value"));
    if ((flag & 0x02) != 0) {
        for (std::uint32_t n = 0; n < count; ++n) v.u32(s.unit(n, u"Value-D"));
    }
    return s.append(list, kTagCapacityLed2, v);
}

bool Button(ItemReader& r, RecordWriter& list) {
    constexpr std::uint32_t kOff = 255;
    SectionReader s(r, u"Button");
    std::uint32_t port = s(u"Port", kOff);
    if (port >= kOff) return r.ok();
    Bytes v;
    s.fields(fields::kButton, v, u"", port);
    return s.append(list, kTagButton, v);
}

bool AutomaticStandby(ItemReader& r, RecordWriter& list) {
    SectionReader s(r, u"Automatic Standby");
    if (!s.present(u"Timer")) return r.ok();
    std::uint32_t timer = s(u"Timer");
    Bytes v;
    v.u8(timer).u8(((timer >> 8) & 0x7F) | ((s(u"PowerMode") & 1) << 7));
    v.u8(s.byte(u"BlinkPulse")).u8(s.byte(u"BlinkTime"));
    std::uint32_t extend = s(u"Extend");
    if (extend != 0) v.u8(extend);
    return s.append(list, kTagAutomaticStandby, v);
}

bool RaidButton(ItemReader& r, RecordWriter& list) {
    constexpr std::uint32_t kOff = 255;
    SectionReader s(r, u"RAID Button");
    std::uint32_t port = s(u"S-Port", kOff);
    if (port >= kOff) return r.ok();
    Bytes v;
    s.fields(fields::kRaidButton, v, u"", port);
    return s.append(list, kTagRaidButton, v);
}

}  // namespace

bool CompileInputsOutputs(ItemReader& r, RecordWriter& list) {
    auto counted = [&](const CountedRecord& record, std::uint8_t entryMask = 0xFF) {
        return SectionReader(r, record.section).counted(list, record, entryMask);
    };
    return GpioInitialize(r, list) && GpioSuspend(r, list) && PowerControl(r, list) &&
           counted(fields::kFetControl) && counted(fields::kFanControl, 0x7F) &&
           counted(fields::kStatusLed) && AccessLed(r, list) && SecretLed(r, list) &&
           counted(fields::kDeviceLed) &&
           PortRow(r, list, u"Capacity LED", kTagCapacityLed, fields::kCapacityLedHead) &&
           CapacityLed2(r, list) &&
           PortRow(r, list, u"Rebuild Progress LED", kTagSuspendOrRebuild,
                   fields::kRebuildLedHead) &&
           Button(r, list) && AutomaticStandby(r, list) && RaidButton(r, list) &&
           counted(fields::kRaidSwitch) && counted(fields::kRaidStatusLed) &&
           counted(fields::kRaidModeLed);
}

}  // namespace mox3::gen2
