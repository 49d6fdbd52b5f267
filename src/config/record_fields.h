// The fields of the configuration block's records, declared once. The compilers write a
// record's value bytes by walking these tables in order, reading each field from the key of its
// name, and the decoder reads the bytes back by the same tables under the same names. What is
// not a plain field (bit fields, counts, defaults, checks, warnings) stays with the code that
// writes or reads the record.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <string_view>

#include "config/block_layout.h"

namespace mox3 {

struct RecordField {
    enum class Kind {
        Number,    // `width` little-endian bytes, shown in decimal
        Hex,       // the same, shown in hexadecimal
        Port,      // a pin byte made from the keys <stem>Port and <stem>Active (name: <stem>Port)
        OpenPort,  // the same, keeping all 8 bits of the pin number
        Zero,      // `width` bytes that are always 0
        Bits,      // bits `shift` and up, `bits` of them, of the `width`-byte number; the key's
                   // low bits taken as they are, shown in decimal
        Switch,    // the bit `shift`: set when the key is not 0
        Derived,   // no bytes: where the decoder shows what it works out from the fields before
        Text,      // `width` bytes of text in the block's ANSI code page, ended by a 0 byte
    };
    // Optional: the compiler ends the record before the field when its key and the keys of
    // the optional fields after it are 0. Quiet: shown only when the value holds it, without
    // noting that it does not (an optional field is quiet).
    enum Flags : std::uint8_t { kQuiet = 1, kOptional = 2 };
    const char* name;
    std::uint8_t offset;
    std::uint8_t width;
    Kind kind;
    std::uint8_t shift = 0;
    std::uint8_t bits = 8;
    std::uint8_t flags = 0;

    constexpr bool IsPort() const { return kind == Kind::Port || kind == Kind::OpenPort; }
    constexpr bool IsBits() const { return kind == Kind::Bits || kind == Kind::Switch; }
    constexpr std::uint64_t Mask() const {
        return kind == Kind::Switch ? 1 : (std::uint64_t{1} << bits) - 1;
    }
    // The key stem of a port field: its name without the closing "Port".
    constexpr std::string_view PortStem() const {
        std::string_view n(name);
        return n.substr(0, n.size() - 4);
    }
};
using RecordFields = std::span<const RecordField>;

// The bytes the fields cover; they follow one another from offset 0 without gaps, bit fields
// of one number sharing its bytes.
constexpr std::size_t FieldsSize(RecordFields fields) {
    std::size_t size = 0;
    for (const RecordField& f : fields) {
        if (f.offset != size && !(f.IsBits() && f.offset + f.width == size)) return 0;
        size = f.offset + f.width;
    }
    return size;
}

// A record of an optional head and up to `largestCount` equal entries, switched on by the
// section's Count key. The compiler reads entry n's fields from the keys "n-<name>"; the decoder
// shows each entry as a group named by `entryName` ("%llu" takes the index).
struct CountedRecord {
    std::uint8_t tag;
    const char16_t* section;
    std::uint32_t largestCount;
    RecordFields head;
    const char* entryName;
    RecordFields entry;
};

namespace record_fields {

using K = RecordField::Kind;

// The SCSI INQUIRY texts: a first-generation answer after its peripheral byte, or one of the
// five second-generation entries.
inline constexpr RecordField kInquiryTexts[] = {
    {"Vendor", 0, 8, K::Text}, {"Product", 8, 16, K::Text}, {"RevLvl", 24, 4, K::Text}};
static_assert(FieldsSize(kInquiryTexts) == kInquiryTextSize);

namespace gen1 {

// LED (tag 0x06) and FAN (tag 0x10): required bytes, present when the section's Flag is 1.
inline constexpr RecordField kLed[] = {{"USB2Port", 0, 1, K::Hex}, {"USB2Func", 1, 1, K::Hex},
                                       {"USB3Port", 2, 1, K::Hex}, {"USB3Func", 3, 1, K::Hex},
                                       {"AuthPort", 4, 1, K::Hex}, {"AuthFunc", 5, 1, K::Hex}};
inline constexpr RecordField kFan[] = {{"SMARTInterval", 0, 1, K::Number},
                                       {"TempThreshold", 1, 1, K::Number},
                                       {"ControlPort", 2, 1, K::Hex},
                                       {"ActiveValue", 3, 1, K::Hex},
                                       {"DefaultValue", 4, 1, K::Hex}};

// The multi-LUN record (17 bytes): 0, 7, the type of LUN 0, 0, the size of LUN 0 in units of
// 1/8 as 4 bytes, 0, the hide bit of LUN 1 (bit 7) over the low bits 5, then 7 zeros.
struct MultiLunLayout {
    std::uint8_t size = 17;
    std::uint8_t kindByte = 1, kind = 7;
    std::uint8_t typeByte = 2;
    std::uint8_t sizeField = 4, sizeUnits = 8;
    std::uint8_t hideByte = 9, hideShift = 7, hideLowBits = 5;
};
inline constexpr MultiLunLayout kMultiLun;

// The control parameters (100 bytes): a field holds a value when its bits are set in its flag
// byte, A at 0 or B at 34; the other bytes are 0.
struct FlaggedField {
    RecordField field;
    std::uint8_t flagOffset;
    std::uint8_t flagBits;
};
inline constexpr std::size_t kControlParametersSize = 100;
inline constexpr std::uint8_t kControlFlagsA = 0;
inline constexpr std::uint8_t kControlFlagsB = 34;
inline constexpr FlaggedField kControlParameters[] = {
    {{"WaitTimeSATADevDetect", 2, 2, K::Number}, kControlFlagsA, 0x01},
    {{"WaitTimeSATAPHYReady", 4, 2, K::Number}, kControlFlagsA, 0x02},
    {{"WaitTimeSATAProtocols", 6, 2, K::Number}, kControlFlagsA, 0x04},
    {{"WaitTimeUSB3HostStart", 8, 2, K::Number}, kControlFlagsA, 0x08},
    {{"SATACurrentAPMLevel", 10, 2, K::Number}, kControlFlagsA, 0x10},
    {{"StandbyTransTime", 12, 2, K::Number}, kControlFlagsA, 0x20},
    {{"StandbyBlinkDuty", 14, 1, K::Number}, kControlFlagsA, 0x40},
    {{"StandbyBlinkTime", 15, 1, K::Number}, kControlFlagsA, 0x40},
    {{"RMB", mox3::gen1::kControlRemovableByte, 1, K::Number}, kControlFlagsA, 0x80},
    {{"USB3LFPS", 36, 4, K::Hex}, kControlFlagsB, 0x03},
    {{"2TBOverMode", 40, 2, K::Number}, kControlFlagsB, 0x04},
};
// The bits of a flag byte that some field stands for.
constexpr std::uint8_t ControlFlagBits(std::uint8_t flagOffset) {
    std::uint8_t bits = 0;
    for (const FlaggedField& f : kControlParameters) {
        if (f.flagOffset == flagOffset) bits |= f.flagBits;
    }
    return bits;
}

}  // namespace gen1

namespace gen2 {

// Records whose first port key switches them on.
inline constexpr RecordField kAccessLed[] = {
    {"2-Port", 0, 1, K::OpenPort},     {"2-Flag", 1, 1, K::Hex},
    {"2-Blink", 2, 1, K::Number},      {"2-TransBlink", 3, 1, K::Number},
    {"2-TransTime", 4, 1, K::Number},  {"3-Port", 5, 1, K::OpenPort},
    {"3-Flag", 6, 1, K::Hex},          {"3-Blink", 7, 1, K::Number},
    {"3-TransBlink", 8, 1, K::Number}, {"3-TransTime", 9, 1, K::Number}};
inline constexpr RecordField kSecretLed[] = {
    {"E-Port", 0, 1, K::OpenPort}, {"E-Flag", 1, 1, K::Hex},      {"E-Blink", 2, 1, K::Number},
    {"E-Trans", 3, 1, K::Number},  {"A-Port", 4, 1, K::OpenPort}, {"A-Flag", 5, 1, K::Hex},
    {"A-Blink", 6, 1, K::Number},  {"A-Trans", 7, 1, K::Number}};
inline constexpr RecordField kButton[] = {{"Port", 0, 1, K::Port},
                                          {"Double", 1, 1, K::Number},
                                          {"Hold", 2, 1, K::Number},
                                          {"Extend", 3, 1, K::Number}};
inline constexpr RecordField kRaidButton[] = {{"S-Port", 0, 1, K::OpenPort},
                                              {"L-Port", 1, 1, K::OpenPort},
                                              {"Flag", 2, 1, K::Hex},
                                              {"Hold", 3, 1, K::Number},
                                              {"", 4, 1, K::Zero}};

// The heads of the capacity LED and the rebuild progress LED, followed by Count port bytes.
inline constexpr RecordField kCapacityLedHead[] = {
    {"Interval", 0, 1, K::Number}, {"Flag", 1, 1, K::Hex}, {"D-Port", 2, 1, K::Port}};
inline constexpr RecordField kRebuildLedHead[] = {
    {"Blink", 0, 1, K::Number}, {"Flag", 1, 1, K::Hex}, {"D-Port", 2, 1, K::Port}};
// The GPIO levels: pairs of a pin (0 to kGpioLastPin) and its level, in the order of the pins,
// each from the key "NN-Flag"; the initializing record may add the four bytes of Alt as the
// pins kGpioAltPin to kGpioAltPin + 3.
inline constexpr std::uint8_t kGpioLastPin = 15;
inline constexpr std::uint8_t kGpioAltPin = 0x80;

// The second capacity LED's head, followed by Count values of 4 bytes ("n-Value") and, when
// the flag has kCapacityLed2WithD, as many more ("n-Value-D").
inline constexpr std::size_t kCapacityLed2Flag = 1;
inline constexpr RecordField kCapacityLed2Head[] = {{"Interval", 0, 1, K::Number},
                                                    {"Flag", kCapacityLed2Flag, 1, K::Hex},
                                                    {"Mask", 2, 4, K::Hex},
                                                    {"Off", 6, 4, K::Hex}};
inline constexpr std::uint8_t kCapacityLed2WithD = 0x02;

// RAID default (tag 0x05): the drive mode and, as far as they are not 0, the rest.
inline constexpr RecordField kRaidDefault[] = {
    {"Type", 0, 1, K::Bits, 0, 8, RecordField::kQuiet},
    {"typeName", 1, 0, K::Derived, 0, 0, RecordField::kQuiet},
    {"Split", 1, 1, K::Switch, 0, 1, RecordField::kOptional},
    {"Emu4k", 1, 1, K::Switch, 1, 1, RecordField::kOptional},
    {"RebuildDelay", 2, 1, K::Bits, 0, 8, RecordField::kOptional},
    {"RebuildWait", 3, 1, K::Bits, 0, 8, RecordField::kOptional}};
inline constexpr const char* kRaidTypeNames[] = {"normal", "JBOD", "RAID-0", "RAID-1"};
// Automatic standby (tag 0x32): the timer's 15 bits and the power mode share two bytes.
inline constexpr RecordField kAutomaticStandby[] = {
    {"Timer", 0, 2, K::Bits, 0, 15, RecordField::kQuiet},
    {"PowerMode", 0, 2, K::Bits, 15, 1, RecordField::kQuiet},
    {"BlinkPulse", 2, 1, K::Number},
    {"BlinkTime", 3, 1, K::Number},
    {"Extend", 4, 1, K::Bits, 0, 8, RecordField::kOptional}};

// Logical-unit tables (tags 0x10 and 0x11): a head, then its unit entries. The compiler works
// the values out from the section's keys; the decoder adds their meaning.
inline constexpr RecordField kUnitTableHead[] = {
    {"Count", 0, 1, K::Number}, {"modes", 1, 1, K::Hex},  {"modeNames", 2, 0, K::Derived},
    {"", 2, 1, K::Zero},        {"Flag", 3, 1, K::Hex},   {"flagNames", 4, 0, K::Derived}};
inline constexpr RecordField kUnitEntry[] = {
    {"typeCode", 0, 1, K::Number},       {"type", 1, 0, K::Derived},
    {"Flag", 1, 1, K::Hex},              {"", 2, 2, K::Zero},
    {"Size", 4, 6, K::Number},           {"Rsv", 10, 2, K::Number},
    {"inquiryOffset", 12, 4, K::Number}, {"inquiryLength", 16, 2, K::Number},
    {"Inq", 18, 0, K::Derived},          {"", 18, 6, K::Zero}};
static_assert(FieldsSize(kUnitTableHead) == mox3::gen2::kUnitTableHead);
static_assert(FieldsSize(kUnitEntry) == mox3::gen2::kUnitEntrySize);
static_assert(kUnitEntry[6].offset == mox3::gen2::kUnitInquiryField);

// Power control (tag 0x21): a port byte and a mode byte, chosen by the section's Flag. Flag 1
// switches by the port; the others carry no port (0xFF).
struct PowerControlMode {
    std::uint8_t flag;
    std::uint8_t mode;
    const char* meaning;
};
inline constexpr std::uint8_t kPowerControlNoPort = 0xFF;
inline constexpr PowerControlMode kPowerControlModes[] = {
    {1, 0, "GPIO switch"}, {2, 1, "FET control only"}, {3, 0, "hot-plug only"}, {4, 3, nullptr}};

inline constexpr RecordField kFetHead[] = {{"Flag", 0, 1, K::Hex}};
inline constexpr RecordField kFetEntry[] = {{"Port", 0, 1, K::Port},    {"Ch", 1, 1, K::Number},
                                            {"ExtFlag", 2, 1, K::Hex},  {"ExtPort", 3, 1, K::Port},
                                            {"", 4, 2, K::Zero},        {"Delay1", 6, 2, K::Number},
                                            {"Delay2", 8, 2, K::Number}};
inline constexpr RecordField kFanHead[] = {
    {"Interval", 0, 1, K::Number}, {"Flag", 1, 1, K::Hex}, {"", 2, 3, K::Zero}};
// The compiler keeps bits 0..6 of the fan's Flag.
inline constexpr RecordField kFanEntry[] = {
    {"Port", 0, 1, K::Port},       {"ThrldMAX", 1, 1, K::Number}, {"ThrldPWM", 2, 1, K::Number},
    {"SpeedPWM", 3, 1, K::Number}, {"PulsePWM", 4, 2, K::Number}, {"Flag", 6, 1, K::Hex}};
inline constexpr RecordField kStatusLedEntry[] = {{"InPort", 0, 1, K::Port},
                                                  {"OutPort", 1, 1, K::Port},
                                                  {"Flag", 2, 1, K::Hex},
                                                  {"Blink", 3, 1, K::Number}};
inline constexpr RecordField kDeviceLedHead[] = {{"Flag", 0, 1, K::Hex}, {"", 1, 1, K::Zero}};
inline constexpr RecordField kDeviceLedEntry[] = {{"Port", 0, 1, K::Port},
                                                  {"Flag", 1, 1, K::Hex},
                                                  {"Blink", 2, 1, K::Number},
                                                  {"", 3, 5, K::Zero}};
inline constexpr RecordField kRaidSwitchEntry[] = {
    {"Port", 0, 1, K::Hex}, {"High", 1, 1, K::Hex}, {"Low", 2, 1, K::Hex}};
inline constexpr RecordField kRaidStatusLedEntry[] = {{"Port", 0, 1, K::Port},
                                                      {"Flag", kCapacityLed2Flag, 1, K::Hex},
                                                      {"Error", 2, 1, K::Hex},
                                                      {"Rebuild", 3, 1, K::Hex}};
inline constexpr RecordField kRaidModeLedEntry[] = {{"Port", 0, 1, K::Port},
                                                    {"Flag", 1, 1, K::Hex}};

inline constexpr CountedRecord kFetControl{
    mox3::gen2::kTagFetControl, u"FET Control", 2, kFetHead, "FET %llu", kFetEntry};
inline constexpr CountedRecord kFanControl{
    mox3::gen2::kTagFanControl, u"FAN Control", 1, kFanHead, "fan %llu", kFanEntry};
inline constexpr CountedRecord kStatusLed{
    mox3::gen2::kTagStatusLed, u"Status LED", 1, {}, "LED %llu", kStatusLedEntry};
inline constexpr CountedRecord kDeviceLed{
    mox3::gen2::kTagDeviceLed, u"Device LED", 2, kDeviceLedHead, "LED %llu", kDeviceLedEntry};
inline constexpr CountedRecord kRaidSwitch{
    mox3::gen2::kTagRaidSwitch, u"RAID Switch", 2, {}, "switch %llu", kRaidSwitchEntry};
inline constexpr CountedRecord kRaidStatusLed{
    mox3::gen2::kTagRaidStatusLed, u"RAID Status LED", 2, {}, "LED %llu", kRaidStatusLedEntry};
inline constexpr CountedRecord kRaidModeLed{
    mox3::gen2::kTagRaidModeLed, u"RAID Mode LED", 4, {}, "LED %llu", kRaidModeLedEntry};

// Firmware parameters (tag 0x01): an id, 0, and a 32-bit value. The compiler writes each
// parameter whose key is present (the 16-bit ones cut to 16 bits) and the RAID offset itself.
struct FirmwareParameter {
    const char* name;
    std::uint8_t id;
    bool sixteenBits;
    bool fromKey;
};
inline constexpr std::uint8_t kRaidOffsetParameter = 0x65;
inline constexpr FirmwareParameter kFirmwareParameters[] = {
    {"USB3F_FPLC1", 0x00, false, true},   {"USB3F_FPLC2", 0x01, false, true},
    {"WaitDevDetect", 0x02, true, true},  {"WaitUSBStart", 0x03, true, true},
    {"Parameter-0", 0x40, false, true},   {"RAID Offset", kRaidOffsetParameter, false, false},
    {"CustomParam-0", 0x80, false, true}, {"CustomParam-1", 0x81, false, true}};

// Every table covers its bytes without gaps or overlaps, and port names end in "Port".
constexpr bool TablesAreWhole() {
    for (RecordFields t : {RecordFields(kAccessLed),        RecordFields(kSecretLed),
                           RecordFields(kButton),           RecordFields(kRaidButton),
                           RecordFields(kCapacityLedHead),  RecordFields(kRebuildLedHead),
                           RecordFields(kCapacityLed2Head), RecordFields(kFetHead),
                           RecordFields(kFetEntry),         RecordFields(kFanHead),
                           RecordFields(kFanEntry),         RecordFields(kStatusLedEntry),
                           RecordFields(kDeviceLedHead),    RecordFields(kDeviceLedEntry),
                           RecordFields(kRaidSwitchEntry),  RecordFields(kRaidStatusLedEntry),
                           RecordFields(kRaidModeLedEntry), RecordFields(kRaidDefault),
                           RecordFields(kAutomaticStandby), RecordFields(gen1::kLed),
                           RecordFields(gen1::kFan)}) {
        if (FieldsSize(t) == 0) return false;
        for (const RecordField& f : t) {
            if (f.IsPort() && !std::string_view(f.name).ends_with("Port")) return false;
        }
    }
    return true;
}
static_assert(TablesAreWhole());

}  // namespace gen2

}  // namespace record_fields

}  // namespace mox3
