// The walk over a configuration block: digest, header, descriptor sets, INQUIRY texts and the
// split of the record list; the records themselves are decoded in record_decode.cpp.
#include "config/block_decode.h"

#include <algorithm>

#include "base/text.h"
#include "config/block_layout.h"
#include "config/digest_header.h"
#include "config/record_decode.h"

namespace mox3 {

namespace {

using namespace decode;

std::string Utf16Text(Bytes bytes) {
    std::u16string units;
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
        units.push_back(static_cast<char16_t>(bytes[i] | (bytes[i + 1] << 8)));
    }
    return Utf16ToUtf8(units);
}

// ---- Block parts ----

void DecodeHeader(ConfigBlockView block, int generation, DecodedBlock& out) {
    BlockHeader& h = out.header;
    h.payloadLength = ReadLe32(block, kBlockPayloadLengthField);
    h.firmwareAddress = ReadLe32(block, kFirmwareAddressField);
    h.firmwareRoom = ReadLe32(block, kFirmwareRoomField);
    h.imageBytes = ReadLe16(block, kImageBytesField);
    h.sscByte = block[kSscByte];
    if (h.payloadLength != kCompiledPayloadLength) {
        out.notes.push_back(Format("payload length %llu; compiled blocks carry %llu",
                                   h.payloadLength, kCompiledPayloadLength));
    }
    const BlockLayout& layout = LayoutOf(generation);
    if (generation == 1) {
        DescriptorArea high{"high-speed", ReadLe32(block, gen1::kHighSpeedAddressField), 0,
                            ReadLe16(block, gen1::kHighSpeedSizeField)};
        high.offset = static_cast<std::int64_t>(*high.flashAddress) - kFirstGenerationBlockAddress;
        DescriptorArea full{"full-speed", std::nullopt, high.offset + high.size,
                            ReadLe16(block, gen1::kFullSpeedSizeField)};
        DescriptorArea super{"SuperSpeed", ReadLe32(block, gen1::kSuperSpeedAddressField), 0,
                             ReadLe16(block, gen1::kSuperSpeedSizeField)};
        super.offset =
            static_cast<std::int64_t>(*super.flashAddress) - kFirstGenerationBlockAddress;
        h.descriptorAreas = {high, full, super};
    } else {
        // Each area field: a 32-bit block offset, then a 16-bit size.
        for (std::size_t field :
             {gen2::kHighSpeedAreaField, gen2::kFullSpeedAreaField, gen2::kSuperSpeedAreaField}) {
            h.descriptorAreas.push_back({layout.sets[h.descriptorAreas.size()].name, std::nullopt,
                                         ReadLe32(block, field), ReadLe16(block, field + 4)});
        }
        SecondGenerationHeader s;
        s.sealMarker = block[gen2::kSealMarkerField];
        s.noSecretArea = block[gen2::kNoSecretAreaField];
        s.bytes72 = ReadLe16(block, gen2::kField72);
        s.flashSize = ReadLe32(block, gen2::kFlashSizeField);
        s.flashPage = ReadLe32(block, gen2::kFlashPageField);
        std::copy_n(block.begin() + gen2::kFlashInfoField, s.flashInfo.size(), s.flashInfo.begin());
        h.second = s;
    }
    h.deletingKeyOffset = layout.deletingKey;
    h.parameterArea = ReadLe16(block, layout.parameterAreaField);
    h.parameterAreaSize = ReadLe16(block, layout.parameterSizeField);
    for (std::size_t i = 0; i < h.descriptorAreas.size(); ++i) {
        const DescriptorArea& area = h.descriptorAreas[i];
        const DescriptorSetLayout& standard = layout.sets[i];
        if (area.offset != standard.areaOffset || area.size != standard.areaSize) {
            out.notes.push_back("the header places the " + area.name +
                                " descriptor area at offset " + std::to_string(area.offset) +
                                " with " + std::to_string(area.size) +
                                " bytes; the descriptors are read at the standard offset " +
                                std::to_string(standard.areaOffset));
        }
    }
    std::copy_n(block.begin() + h.deletingKeyOffset, kDeletingKeySize, h.deletingKey.begin());
    if (generation == 1) h.deletingKeyText = AnsiText(h.deletingKey);
}

void DecodeDigest(ConfigBlockView block, DigestCheck& digest) {
    std::copy_n(block.begin(), digest.stored.size(), digest.stored.begin());
    DigestReading reading = ReadDigest(block, block.size());
    digest.payloadLength = ReadLe32(block, kDigestLengthOffset);
    digest.status = reading.status;
    digest.computed = reading.computed;
}

StringDescriptor DecodeString(ConfigBlockView block, std::uint32_t offset, bool serial) {
    StringDescriptor s;
    s.offset = offset;
    s.length = block[offset];
    s.type = block[offset + 1];
    Bytes slot = Bytes(block).subspan(offset, kStringSlotSize);
    if (serial && s.length == kSerialFromDisk) {
        s.form = StringDescriptor::Form::FromDisk;
    } else if (s.length == 2) {
        s.form = StringDescriptor::Form::Empty;
    } else if (s.length < 2 || s.length % 2 != 0 || s.length > kStringSlotSize) {
        s.form = StringDescriptor::Form::Malformed;
        s.note = Format("length byte %llu does not fit a 50-byte string slot", s.length);
        if (s.length > 2) s.text = Utf16Text(Slice(slot, 2, s.length - 2u));
    } else {
        s.text = Utf16Text(slot.subspan(2, s.length - 2u));
    }
    if (s.type != 0x03) {
        std::string typeNote = Format("descriptor type 0x%02llX, expected 0x03", s.type);
        s.note = s.note.empty() ? typeNote : s.note + "; " + typeNote;
    }
    return s;
}

void DecodeDescriptorSets(ConfigBlockView block, int generation, DecodedBlock& out) {
    for (const DescriptorSetLayout& layout : LayoutOf(generation).sets) {
        DescriptorSet set;
        set.name = layout.name;
        set.offset = layout.base;
        set.bcdUSB = ReadLe16(block, layout.base + kDeviceBcdUsb);
        set.vendorId = ReadLe16(block, layout.base + kDeviceVendorId);
        set.productId = ReadLe16(block, layout.base + kDeviceProductId);
        set.bcdDevice = ReadLe16(block, layout.base + kDeviceBcdDevice);
        set.configuration = {layout.configuration, block[layout.configuration],
                             block[layout.configuration + 1]};
        if (layout.otherSpeed != 0) {
            set.otherSpeed = ConfigurationValues{layout.otherSpeed, block[layout.otherSpeed],
                                                 block[layout.otherSpeed + 1]};
        }
        set.interfaceSubClass = block[layout.subClass];
        set.manufacturer = DecodeString(block, layout.strings[0], false);
        set.product = DecodeString(block, layout.strings[1], false);
        set.serialNumber = DecodeString(block, layout.strings[2], true);
        out.descriptorSets.push_back(std::move(set));
    }
}

// Splits the TLV area into records, stopping at the 0 tag or at the end of the area.
void ParseTlvList(ConfigBlockView block, int generation, TlvList& list) {
    const BlockLayout& layout = LayoutOf(generation);
    list.start = layout.recordStart;
    list.limit = layout.recordLimit;
    RecordWalk walk = ReadRecords(block, layout);
    for (const BlockRecord& found : walk.records) {
        TlvRecord record;
        record.offset = found.offset;
        record.tag = found.tag;
        record.length = found.length;
        record.value.assign(found.value.begin(), found.value.end());
        record.truncated = found.truncated;
        const char* name = TlvTagName(generation, record.tag);
        record.known = name != nullptr;
        record.name = name != nullptr ? name : "unknown";
        if (walk.end == RecordWalk::End::NoLengthByte && found.truncated) {
            record.notes.push_back("the length byte lies outside the TLV area");
            list.problems.push_back(Format("the record at %llu has no length byte", found.offset));
        } else if (found.truncated) {
            record.notes.push_back(Format("%llu value bytes run past the end of the TLV area",
                                          found.offset + 2 + found.length - list.limit));
            list.problems.push_back(
                Format("the record at %llu (tag 0x%02llX, length %llu) runs past the TLV area",
                       found.offset, found.tag, found.length));
        }
        if (!record.known && !(walk.end == RecordWalk::End::NoLengthByte && found.truncated)) {
            list.problems.push_back(
                Format("the record at %llu has the unknown tag 0x%02llX", found.offset, found.tag));
        }
        list.records.push_back(std::move(record));
    }
    if (walk.end == RecordWalk::End::EndTag) {
        list.endTagOffset = walk.endOffset;
    } else if (walk.end == RecordWalk::End::AreaEnd) {
        list.problems.push_back(Format(
            "the list reaches the end of the TLV area at %llu without its 0 tag", list.limit));
    }
}

}  // namespace

std::optional<int> DetectBlockGeneration(ConfigBlockView block) {
    bool second = ReadLe32(block, gen2::kHighSpeedAreaField) == gen2::kLayout.sets[0].areaOffset;
    bool first = ReadLe32(block, gen1::kHighSpeedAddressField) ==
                     kFirstGenerationBlockAddress + gen1::kLayout.sets[0].areaOffset &&
                 ReadLe32(block, kFirmwareAddressField) == kFirstGenerationFirmwareAddress;
    if (first == second) return std::nullopt;
    return first ? 1 : 2;
}

DecodedBlock DecodeConfigBlock(ConfigBlockView block, int generation) {
    if (generation != 1) generation = 2;
    DecodedBlock out;
    out.generation = generation;
    out.headerGeneration = DetectBlockGeneration(block);
    DecodeDigest(block, out.digest);
    DecodeHeader(block, generation, out);
    DecodeDescriptorSets(block, generation, out);
    if (generation == 2) {
        for (std::size_t i = 0; i < gen2::kInquiryEntryCount; ++i) {
            auto offset = static_cast<std::uint32_t>(gen2::kInquiryTable + kInquiryTextSize * i);
            out.inquiry.push_back(
                DecodeInquiryTexts(Bytes(block).subspan(offset, kInquiryTextSize), offset, 0x20));
        }
    }
    ParseTlvList(block, generation, out.tlv);
    DecodeRecords(generation, out.tlv, out);
    return out;
}

}  // namespace mox3
