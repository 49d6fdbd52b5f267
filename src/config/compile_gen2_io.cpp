// Second generation: GPIO levels, power and FET switching, fan, LEDs, buttons and standby.
#include "config/compile_gen2.h"

namespace mox3::gen2 {

namespace {

namespace fields = record_fields::gen2;

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
    PinLevels(s, 3, fields::kGpioLastPin, v);
    std::uint32_t alt = s(u"Alt");
    if (alt != 0) {
        for (std::uint32_t i = 0; i < 4; ++i) v.u8(fields::kGpioAltPin + i).u8(alt >> (8 * i));
    }
    return s.append(list, kTagGpioInitialize, v);
}

bool GpioSuspend(ItemReader& r, RecordWriter& list) {
    SectionReader s(r, u"GPIO Suspend");
    Bytes v;
    PinLevels(s, 0, fields::kGpioLastPin, v);
    return s.append(list, kTagSuspendOrRebuild, v);
}

bool PowerControl(ItemReader& r, RecordWriter& list) {
    SectionReader s(r, u"Power Control");
    std::uint32_t flag = 0;
    if (!s.count(4, flag, u"Flag")) return false;
    Bytes v;
    for (const auto& m : fields::kPowerControlModes) {
        if (m.flag == flag) v.u8(flag == 1 ? s.port(u"") : fields::kPowerControlNoPort).u8(m.mode);
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
    s.fields(fields::kCapacityLed2Head, v);
    const bool withD = (v.data()[fields::kCapacityLed2Flag] & fields::kCapacityLed2WithD) != 0;
    for (std::uint32_t n = 0; n < count; ++n) v.u32(s.unit(n, u"Value"));
    if (withD) {
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
    Bytes v;
    s.fields(fields::kAutomaticStandby, v);
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
