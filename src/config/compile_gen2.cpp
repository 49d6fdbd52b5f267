// The second-generation configuration block: a header at 0, a tag-length-value list from 128,
// three USB descriptor areas from 1792, five SCSI INQUIRY entries at 3584 and the parameter
// area at 3840. It lies at flash address 0.
#include "config/compile_gen2.h"

#include <algorithm>
#include <array>
#include <utility>

#include "base/number_parse.h"
#include "base/sha256.h"
#include "base/text.h"
#include "config/digest_header.h"
#include "config/record_fields.h"

namespace mox3 {

namespace gen2 {
namespace {

constexpr std::size_t kHighSpeedArea = kLayout.sets[0].areaOffset;
constexpr std::size_t kFullSpeedArea = kLayout.sets[1].areaOffset;

// Descriptors, each followed by a 0 byte when its length is odd.
void PlaceTemplates(std::span<std::uint8_t> block) {
    PlaceTemplate(block, {
                             // High-speed area.
                             {1792, "12 01 10 02 00 00 00 40 00 00 00 00 00 00 01 02 03 01"},
                             {1810, "09 02 55 00 01 01 00 00 00"},
                             {1820, "09 04 00 00 02 08 06 50 00"},
                             {1830, "07 05 81 02 00 02 14"},
                             {1838, "07 05 02 02 00 02 14"},
                             {1846, "09 04 00 01 04 08 06 62 00"},
                             {1856, "07 05 81 02 00 02 14 00 04 24 03 00"},
                             {1868, "07 05 02 02 00 02 14 00 04 24 04 00"},
                             {1880, "07 05 04 02 00 02 14 00 04 24 01 00"},
                             {1892, "07 05 85 02 00 02 14 00 04 24 02 00"},
                             {1904, "04 03 09 04"},
                             {1908, "00 03"},
                             {1958, "00 03"},
                             {2008, "00 03"},
                             {2058, "0A 06 10 02 00 00 00 40 01 00"},
                             {2068, "09 07 20 00 01 01 00 00 00"},
                             // Full-speed area.
                             {2186, "12 01 10 02 00 00 00 40 00 00 00 00 00 00 01 02 03 01"},
                             {2204, "09 02 20 00 01 01 00 00 00"},
                             {2214, "09 04 00 00 02 08 06 50 00"},
                             {2224, "07 05 81 02 40 00 0F"},
                             {2232, "07 05 02 02 40 00 0F"},
                             {2240, "04 03 09 04"},
                             {2244, "00 03"},
                             {2294, "00 03"},
                             {2344, "00 03"},
                             {2394, "0A 06 10 02 00 00 00 40 01 00"},
                             {2404, "09 07 20 00 01 01 00 00 00"},
                             // SuperSpeed area.
                             {2522, "12 01 00 03 00 00 00 09 00 00 00 00 00 00 01 02 03 01"},
                             {2540, "09 02 79 00 01 01 00 00 00"},
                             {2550, "09 04 00 00 02 08 06 50 00"},
                             {2560, "07 05 81 02 00 04 00 00 06 30 0F 00 00 00"},
                             {2574, "07 05 02 02 00 04 00 00 06 30 0F 00 00 00"},
                             {2588, "09 04 00 01 04 08 06 62 00"},
                             {2598, "07 05 81 02 00 04 00 00 06 30 0F 05 00 00 04 24 03 00"},
                             {2616, "07 05 02 02 00 04 00 00 06 30 0F 05 00 00 04 24 04 00"},
                             {2634, "07 05 04 02 00 04 00 00 06 30 00 00 00 00 04 24 01 00"},
                             {2652, "07 05 85 02 00 04 00 00 06 30 00 05 00 00 04 24 02 00"},
                             {2670, "05 0F 16 00 02"},
                             {2676, "07 10 02 02 00 00 00"},
                             {2684, "0A 10 03 00 0E 00 01 00 00 00"},
                             {2694, "04 03 09 04"},
                             {2698, "00 03"},
                             {2748, "00 03"},
                             {2798, "00 03"},
                         });
}

void WriteHeader(std::span<const std::uint8_t> image, std::span<std::uint8_t> block) {
    WriteLe32(block, kBlockPayloadLengthField, kCompiledPayloadLength);
    const std::size_t kAreaFields[] = {kHighSpeedAreaField, kFullSpeedAreaField,
                                       kSuperSpeedAreaField};
    for (std::size_t i = 0; i < 3; ++i) {
        WriteLe32(block, kAreaFields[i], kLayout.sets[i].areaOffset);
        WriteLe16(block, kAreaFields[i] + 4, kLayout.sets[i].areaSize);
    }
    WriteLe16(block, kField72, 4096);
    block[kImageBytesField] = image[kImageBytesSource];
    block[kImageBytesField + 1] = image[kImageBytesSource + 1];
    WriteLe16(block, kLayout.parameterAreaField, kParameterArea);
    WriteLe16(block, kLayout.parameterSizeField, kParameterAreaSize);
    block[kParameterMarker] = 0xFF;
}

// bcdUSB of the high-speed and full-speed device descriptors and of the device qualifiers
// (high-speed area offset 268, full-speed area offset 210).
constexpr std::size_t kBcdUsbPlaces[] = {kHighSpeedArea + kDeviceBcdUsb,
                                         kFullSpeedArea + kDeviceBcdUsb, kHighSpeedArea + 268,
                                         kFullSpeedArea + 210};

bool CompileUsbIdentity(const CompileInput& input, ItemReader& r, std::span<std::uint8_t> block) {
    if (input.bcdUsbOverride != 0) {
        for (std::size_t at : kBcdUsbPlaces) WriteLe16(block, at, input.bcdUsbOverride);
    }
    return CompileDescriptorValues(r, block, kLayout);
}

// The command permission record carries the SHA-256 of the key's UTF-16LE bytes.
bool CompileCommandPermission(ItemReader& r, RecordWriter& list) {
    constexpr std::u16string_view kSection = u"Command Permission";
    std::u16string key = r.Text(kSection, u"Key", 129);
    if (key.empty()) return true;
    std::vector<std::uint8_t> bytes;
    for (char16_t u : key) {
        bytes.push_back(static_cast<std::uint8_t>(u & 0xFF));
        bytes.push_back(static_cast<std::uint8_t>(u >> 8));
    }
    auto digest = Sha256(bytes);
    if (!digest) return r.Fail(kSection, u"Key", "hashing failed");
    return AppendRecord(r, list, kSection, kTagCommandPermission, *digest);
}

bool CompileFlash(const CompileInput& input, ItemReader& r, std::span<std::uint8_t> block,
                  CompileOutcome& out) {
    constexpr std::u16string_view kSection = u"Control Parameter";
    auto secret = r.Required(kSection, u"SFlashSecret", 0, 1);
    if (!secret) return false;
    // With a secret area the firmware starts one sector later.
    const std::uint32_t firmwareAddress =
        *secret == 1 ? kFirmwareAddressAfterSecret : kFirmwareAddressNoSecret;
    out.firmwareAddress = firmwareAddress;
    WriteLe32(block, kFirmwareAddressField, firmwareAddress);
    block[kNoSecretAreaField] = *secret == 1 ? 0 : 1;
    std::uint64_t end = std::uint64_t{input.firmwareLength} + firmwareAddress;

    std::uint32_t size = r.Int(kSection, u"SFlashSize", kAbsent);
    if (!r.ok()) return false;
    if (size < end) {
        return r.Fail(kSection, u"SFlashSize",
                      "smaller than the firmware's end in the flash (" + std::to_string(end) + ")");
    }
    WriteLe32(block, kFlashSizeField, size);
    WriteLe32(block, kFirmwareRoomField, FlashRoomEnd(size) - firmwareAddress);

    std::uint32_t page = r.Int(kSection, u"SFlashPage", kAbsent);
    if (!r.ok()) return false;
    if (page > end) {
        return r.Fail(
            kSection, u"SFlashPage",
            r.Present(kSection, u"SFlashPage")
                ? "larger than the firmware's end in the flash (" + std::to_string(end) + ")"
                : "missing (required)");
    }
    WriteLe32(block, kFlashPageField, page);

    std::array<std::uint8_t, 8>& parameters = out.flashParameters.emplace();
    std::u16string info = r.Text(kSection, u"SFlashInfo", 45);
    if (info.empty()) return true;
    std::array<std::uint32_t, 9> numbers{};
    std::size_t wanted = info.size() == 39 ? 8 : info.size() == 44 ? 9 : 0;
    if (wanted == 0) {
        return r.Fail(kSection, u"SFlashInfo",
                      "must be eight or nine numbers written 0xNN and separated by single blanks");
    }
    const std::size_t converted = ScanInts(info, numbers.data(), wanted);
    if (converted < 8) {
        return r.Fail(kSection, u"SFlashInfo", "does not hold eight numbers");
    }
    if (converted < wanted) {
        r.Warn(kSection, u"SFlashInfo",
               "took " + std::to_string(converted) + " numbers of the " + std::to_string(wanted) +
                   " its length is for");
    }
    for (std::size_t i = 0; i < kFlashInfoSize; ++i) {
        block[kFlashInfoField + i] = static_cast<std::uint8_t>(numbers[i]);
        parameters[i] = block[kFlashInfoField + i];
    }
    return true;
}

bool CompileSwitches(ItemReader& r, std::span<std::uint8_t> block, RecordWriter& list) {
    constexpr std::u16string_view kSection = u"Control Parameter";
    auto ssc = r.Optional(kSection, u"SSCDisable", 0, 1);
    if (!r.ok()) return false;
    if (ssc == 1u) block[kSscByte] = 0x7F;
    struct Switch {
        const char16_t* key;
        std::uint8_t tag;
        std::array<std::uint8_t, 2> value;
        std::size_t length;
    };
    const Switch kSwitches[] = {{u"NCQDisable", kTagNcqDisable, {0x01, 0}, 1},
                                {u"PMPEnable", kTagPmpEnable, {0x01, 0}, 1},
                                {u"LinkupAlways", kTagLinkFlags, {0x04, 0x00}, 2},
                                {u"2TBOverMode", kTagOverMode, {0x01, 0}, 1}};
    for (const Switch& s : kSwitches) {
        auto v = r.Optional(kSection, s.key, 0, 1);
        if (!r.ok()) return false;
        if (v == 1u &&
            !AppendRecord(r, list, kSection, s.tag, std::span(s.value).first(s.length))) {
            return false;
        }
    }
    return true;
}

bool CompileFirmwareParameters(ItemReader& r, RecordWriter& list, const CompileState& state) {
    constexpr std::u16string_view kSection = u"Firmware Parameter";
    auto append = [&](std::u16string_view section, std::uint8_t id, std::uint32_t value) {
        Bytes v;
        v.u8(id).u8(0).u32(value);
        return AppendRecord(r, list, section, kTagFirmwareParameter, v);
    };
    for (const auto& p : record_fields::gen2::kFirmwareParameters) {
        std::u16string key = Utf8ToUtf16(p.name);
        if (!p.fromKey || !r.Present(kSection, key)) continue;
        std::uint32_t value = r.Int(kSection, key, kAbsent);
        if (!r.ok()) return false;
        if (p.sixteenBits) value &= 0xFFFF;
        if (!append(kSection, p.id, value)) return false;
    }
    if (state.raidOffset != 0 &&
        !append(u"RAID Default", record_fields::gen2::kRaidOffsetParameter, state.raidOffset)) {
        return false;
    }
    return true;
}

}  // namespace
}  // namespace gen2

CompileOutcome CompileSecondGenerationBlock(const CompileInput& input) {
    using namespace gen2;
    CompileOutcome out;
    std::span<std::uint8_t> block = input.buffer.first(kConfigBlockSize);
    ItemReader r(input.items);
    CompileState state;

    // Start from a clean block: zeros, the parameter area erased to 0xFF, blank INQUIRY
    // entries, the fixed header and the descriptor templates of the three areas.
    std::fill(block.begin(), block.end(), 0);
    std::fill(block.begin() + kParameterArea, block.end(), 0xFF);
    std::fill_n(block.begin() + kInquiryTable, kInquiryTextSize * kInquiryEntryCount, 0x20);
    WriteHeader(input.buffer.subspan(kImageOffset), block);
    PlaceTemplates(block);

    // The values of the configuration file, each group into its fields or list records.
    RecordWriter list(block, kLayout);
    bool ok = CompileUsbIdentity(input, r, block) && CompileUnits(r, block, list, state) &&
              CompileInputsOutputs(r, list) && CompileCommandPermission(r, list) &&
              CompileFlash(input, r, block, out) && CompileSwitches(r, block, list) &&
              CompileFirmwareParameters(r, list, state);
    out.message = std::move(state.message);
    out.warnings = r.TakeWarnings();
    if (!ok) {
        out.error = r.error();
        return out;
    }
    block[kSealMarkerField] = 1;
    VerifyAndSeal(kImageOffset, input.buffer, input.firmwareLength, 1);
    out.ok = true;
    return out;
}

}  // namespace mox3
