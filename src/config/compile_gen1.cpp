// The first-generation configuration block: a header at 0, a tag-length-value list from 112,
// three USB descriptor sets from 1024 and the parameter area at 3840. It lies at flash
// address 4096, in front of the firmware at 8192.
#include <algorithm>
#include <array>
#include <utility>

#include "base/text.h"
#include "config/block_layout.h"
#include "config/compile_support.h"
#include "config/digest_header.h"
#include "config/record_fields.h"

namespace mox3 {

namespace {

using gen1::kLayout;
constexpr std::size_t kHighSpeedSet = kLayout.sets[0].areaOffset;
constexpr std::size_t kFullSpeedSet = kLayout.sets[1].areaOffset;
constexpr std::size_t kSuperSpeedSet = kLayout.sets[2].areaOffset;
constexpr std::uint32_t kFirmwareAddress = kFirstGenerationFirmwareAddress;
constexpr std::size_t kFlashAddress = kFirstGenerationBlockAddress;

constexpr std::size_t kHighSpeedTemplateSize = 225;
constexpr std::size_t kSuperSpeedTemplateSize = 196;

void PlaceHighSpeedSet(std::span<std::uint8_t> set, bool fullSpeed) {
    PlaceTemplate(set, {
                           {0, "12 01 10 02 00 00 00 40 00 00 00 00 00 00 01 02"},
                           {16, "03 01 09 02 20 00 01 01 00 00 00 00 09 04 00 00"},
                           {32, "02 08 06 50 00 00 07 05 81 02 00 02 14 00 07 05"},
                           {48, "02 02 00 02 14 00 04 03 09 04 00 03 00 00 00 00"},
                           {96, "00 00 00 00 00 00 00 00 00 00 00 00 00 03 00 00"},
                           {144, "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 03"},
                           {208, "0A 06 10 02 00 00 00 40 01 00 09 07 20 00 01 01"},
                           {224, "00"},
                       });
    if (fullSpeed) {
        PlaceTemplate(set, {
                               {32, "02 08 06 50 00 00 07 05 81 02 40 00 0F 00 07 05"},
                               {48, "02 02 40 00 0F 00 04 03 09 04 00 03 00 00 00 00"},
                           });
    }
}

void PlaceSuperSpeedSet(std::span<std::uint8_t> set) {
    PlaceTemplate(set, {
                           {0, "12 01 00 03 00 00 00 09 00 00 00 00 00 00 01 02"},
                           {16, "03 01 09 02 2C 00 01 01 00 00 00 00 09 04 00 00"},
                           {32, "02 08 06 50 00 00 07 05 81 02 00 04 00 00 06 30"},
                           {48, "07 00 00 00 07 05 02 02 00 04 00 00 06 30 0F 00"},
                           {64, "00 00 05 0F 16 00 02 00 07 10 02 02 00 00 00 00"},
                           {80, "0A 10 03 00 0E 00 01 01 65 00 04 03 09 04 00 03"},
                           {144, "00 03 00 00 00 00 00 00 00 00 00 00 00 00 00 00"},
                           {192, "00 00 00 03"},
                       });
}

void WriteHeader(std::span<const std::uint8_t> image, std::span<std::uint8_t> block) {
    WriteLe32(block, kBlockPayloadLengthField, kCompiledPayloadLength);
    WriteLe32(block, kFirmwareAddressField, kFirmwareAddress);
    WriteLe32(block, kFirmwareRoomField, gen1::kFirmwareRoom);
    WriteLe32(block, gen1::kHighSpeedAddressField,
              static_cast<std::uint32_t>(kFlashAddress + kHighSpeedSet));
    WriteLe16(block, gen1::kHighSpeedSizeField, kLayout.sets[0].areaSize);
    WriteLe16(block, gen1::kFullSpeedSizeField, kLayout.sets[1].areaSize);
    WriteLe32(block, gen1::kSuperSpeedAddressField,
              static_cast<std::uint32_t>(kFlashAddress + kSuperSpeedSet));
    WriteLe16(block, gen1::kSuperSpeedSizeField, kLayout.sets[2].areaSize);
    PlaceTemplate(block, {{64, "84 00"}, {68, "00 01 00 00"}, {72, "08 01"}});
    block[kImageBytesField] = image[kImageBytesSource];
    block[kImageBytesField + 1] = image[kImageBytesSource + 1];
    WriteLe16(block, kLayout.parameterAreaField,
              static_cast<std::uint32_t>(kFlashAddress + kParameterArea));
    WriteLe16(block, kLayout.parameterSizeField, kParameterAreaSize);
}

// SCSI INQUIRY answers: tag 0x04, 29 bytes per answer.
bool CompileInquiry(ItemReader& r, std::span<std::uint8_t> block, RecordWriter& list) {
    constexpr std::u16string_view kSection = u"SCSI INQUIRY";
    auto flag = r.Optional(kSection, u"Flag", 0, 2);
    if (!r.ok()) return false;
    if (!flag || *flag == 0) return true;
    for (std::uint32_t i = 0; i < *flag; ++i) {
        std::size_t at = kLayout.recordStart + 2 + gen1::kInquiryAnswerSize * i;
        for (const RecordField& f : record_fields::kInquiryTexts) {
            std::u16string key = Utf8ToUtf16(f.name) + (i == 0 ? u"" : u"-1");
            auto text = r.SizedText(kSection, key, f.width + 2u, 1, f.width);
            if (!text) return false;
            CopyAnsi(block, at + 1 + f.offset, *text);
        }
    }
    // The first record, written in place: the answers were read one by one.
    block[kLayout.recordStart] = gen1::kTagInquiry;
    block[kLayout.recordStart + 1] = static_cast<std::uint8_t>(gen1::kInquiryAnswerSize * *flag);
    list.set_cursor(kLayout.recordStart + 2 + gen1::kInquiryAnswerSize * *flag);
    return true;
}

bool CompileLun(ItemReader& r, RecordWriter& list) {
    constexpr std::u16string_view kSection = u"LUN";
    auto multi = r.Optional(kSection, u"MultiLUN", 0, 1);
    if (!multi || *multi == 0) return r.ok();
    auto size = r.Required(kSection, u"SizeLUN0", 1, 16777216);
    if (!size) return false;
    std::uint32_t type = r.Int(kSection, u"TypeLUN0", 0);
    if (r.ok() && type > 2) r.Fail(kSection, u"TypeLUN0", "out of range (0 to 2)");
    std::uint32_t hide = r.Int(kSection, u"HideLUN1", 0);
    if (r.ok() && hide > 1) r.Fail(kSection, u"HideLUN1", "out of range (0 to 1)");
    if (!r.ok()) return false;
    constexpr auto& m = record_fields::gen1::kMultiLun;
    std::array<std::uint8_t, m.size> v{};
    v[m.kindByte] = m.kind;
    v[m.typeByte] = static_cast<std::uint8_t>(type);
    WriteLe32(v, m.sizeField, *size * m.sizeUnits);
    v[m.hideByte] = static_cast<std::uint8_t>(hide << m.hideShift | m.hideLowBits);
    return list.Append(gen1::kTagMultiLun, v) ||
           r.Fail(kSection, u"MultiLUN", "configuration list too long");
}

// A section switched on by its Flag, whose fields are required bytes, read in `readOrder`
// (indices into the fields) or else in the fields' order.
bool CompileFlaggedBytes(ItemReader& r, RecordWriter& list, std::u16string_view section,
                         std::uint8_t tag, RecordFields fields,
                         std::initializer_list<std::size_t> readOrder = {}) {
    auto flag = r.Optional(section, u"Flag", 0, 1);
    if (!flag || *flag == 0) return r.ok();
    std::vector<std::uint8_t> record(FieldsSize(fields));
    for (std::size_t i = 0; i < fields.size(); ++i) {
        const RecordField& f = fields[readOrder.size() != 0 ? readOrder.begin()[i] : i];
        auto v = r.Required(section, Utf8ToUtf16(f.name), 0, 255);
        if (!v) return false;
        record[f.offset] = static_cast<std::uint8_t>(*v);
    }
    return list.Append(tag, record) || r.Fail(section, u"Flag", "configuration list too long");
}

// The control-parameter record (tag 0x05), written only when a flag bit is set. A bad value of
// the first six keys stops at once; the keys after them are all read before an error counts.
bool CompileControlParameters(ItemReader& r, RecordWriter& list) {
    constexpr std::u16string_view kControl = u"Control Parameter";
    constexpr std::u16string_view kStandby = u"SATA Automatic Standby";
    constexpr std::size_t kCheckedAlone = 6;
    struct Key {
        std::u16string_view section;
        std::uint32_t high;
        bool zeroIsNone;  // a 0 leaves the field's flag bits clear
    };
    constexpr Key kKeys[std::size(record_fields::gen1::kControlParameters)] = {
        {kControl, 0xFFFF, false},     {kControl, 0xFFFF, false}, {kControl, 0xFFFF, false},
        {kControl, 0xFFFF, false},     {kControl, 255, false},    {kStandby, 0xFFFF, false},
        {kStandby, 255, true},         {kStandby, 255, true},     {u"LUN", 1, true},
        {kControl, 0xFFFFFFFF, false}, {kControl, 2, true}};
    namespace fields = record_fields::gen1;
    std::array<std::uint8_t, fields::kControlParametersSize> v{};
    for (std::size_t i = 0; i < std::size(kKeys); ++i) {
        const auto& [field, flagOffset, flagBits] = fields::kControlParameters[i];
        auto value = r.Optional(kKeys[i].section, Utf8ToUtf16(field.name), 0, kKeys[i].high);
        if (i < kCheckedAlone && !r.ok()) return false;
        if (!value || (kKeys[i].zeroIsNone && *value == 0)) continue;
        WriteLe(v, field.offset, *value, field.width);
        v[flagOffset] |= flagBits;
    }
    if (!r.ok()) return false;
    if (v[fields::kControlFlagsA] == 0 && v[fields::kControlFlagsB] == 0) return true;
    return list.Append(gen1::kTagControl, v) ||
           r.Fail(kControl, u"USB3LFPS", "configuration list too long");
}

}  // namespace

CompileOutcome CompileFirstGenerationBlock(const CompileInput& input) {
    CompileOutcome out;
    std::span<std::uint8_t> block = input.buffer.first(kConfigBlockSize);
    std::span<const std::uint8_t> image = input.buffer.subspan(kImageOffset);
    ItemReader r(input.items);
    auto fail = [&] {
        out.error = r.error();
        out.warnings = r.TakeWarnings();
        return out;
    };

    // Start from a clean block: zeros, the parameter area erased to 0xFF, the fixed header and
    // the high-speed, full-speed and SuperSpeed descriptor templates.
    std::fill(block.begin(), block.end(), 0);
    std::fill(block.begin() + kParameterArea, block.end(), 0xFF);
    WriteHeader(image, block);
    out.firmwareAddress = kFirmwareAddress;
    PlaceHighSpeedSet(block.subspan(kHighSpeedSet, kHighSpeedTemplateSize), false);
    PlaceHighSpeedSet(block.subspan(kFullSpeedSet, kHighSpeedTemplateSize), true);
    PlaceSuperSpeedSet(block.subspan(kSuperSpeedSet, kSuperSpeedTemplateSize));
    if (!CompileDescriptorValues(r, block, kLayout)) return fail();

    // The tag-length-value list: INQUIRY answers, logical units, LEDs, fan control and the
    // authentication wait time.
    RecordWriter list(block, kLayout);
    if (!CompileInquiry(r, block, list) || !CompileLun(r, list) ||
        !CompileFlaggedBytes(r, list, u"LED", gen1::kTagLed, record_fields::gen1::kLed,
                             {0, 2, 4, 1, 3, 5}) ||
        !CompileFlaggedBytes(r, list, u"FAN", gen1::kTagFan, record_fields::gen1::kFan)) {
        return fail();
    }
    constexpr std::u16string_view kAuth = u"Authentication";
    auto wait = r.Optional(kAuth, u"AuthWaitTime", 1, 255);
    if (!r.ok()) return fail();
    if (wait) {
        std::uint8_t value = static_cast<std::uint8_t>(*wait);
        if (!list.Append(gen1::kTagAuthWait, std::span<const std::uint8_t>(&value, 1))) {
            r.Fail(kAuth, u"AuthWaitTime", "configuration list too long");
            return fail();
        }
    }
    // The deleting key, stored as text (this generation does not hash it).
    auto key = r.SizedText(kAuth, u"SecretDelKey", 34, 1, 32);
    if (!key) return fail();
    CopyAnsi(block, kLayout.deletingKey, *key);
    // SSCDisable=1 turns spread-spectrum clocking off through the parameter area's first byte.
    auto ssc = r.Optional(u"Control Parameter", u"SSCDisable", 0, 1);
    if (!r.ok()) return fail();
    if (ssc && *ssc == 1) block[kSscByte] = 0x7F;
    if (!CompileControlParameters(r, list)) return fail();

    // This generation's block describes no flash, so the flash parameters stay zero. The block
    // is sealed with its digest only when the image behind it checks out.
    out.flashParameters.emplace();
    VerifyAndSeal(kImageOffset, input.buffer, input.firmwareLength, 0);
    out.warnings = r.TakeWarnings();
    out.ok = true;
    return out;
}

}  // namespace mox3
