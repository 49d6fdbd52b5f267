// What the block decoder makes of a configuration block: its header, descriptor sets,
// INQUIRY table and records, each field with its offset, raw bytes and meaning.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "base/sha256.h"
#include "config/block_layout.h"
#include "config/digest_header.h"

namespace mox3 {

using ConfigBlockView = std::span<const std::uint8_t, kConfigBlockSize>;

// One decoded value of a TLV record.
struct DecodedField {
    enum class Kind {
        Number,  // decimal
        Hex,     // hexadecimal with `digits` digits
        Port,    // GPIO port byte: pin in bits 0..6, active level in bit 7
        Text,    // UTF-8 text
        Bytes,   // raw bytes
    };
    std::string name;  // the configuration key where there is one
    Kind kind = Kind::Number;
    std::uint64_t number = 0;
    int digits = 2;
    std::string text{};
    std::vector<std::uint8_t> bytes{};
};

// A named set of fields with nested entries (one LED, one logical unit, ...).
struct DecodedGroup {
    std::string name;
    std::vector<DecodedField> fields{};
    std::vector<DecodedGroup> groups{};
    std::vector<std::string> notes{};  // where the bytes depart from what a compiled block holds
};

struct TlvRecord {
    std::uint32_t offset = 0;  // block offset of the tag byte
    std::uint8_t tag = 0;
    std::uint8_t length = 0;          // the length byte as stored
    std::vector<std::uint8_t> value;  // the value bytes inside the TLV area
    bool truncated = false;           // the record runs past the end of the TLV area
    bool known = false;               // the tag is one this generation uses
    std::string name;                 // the tag's name, or "unknown"
    // Usually one reading; two when the tag is ambiguous and both readings fit.
    std::vector<DecodedGroup> readings;
    std::vector<std::string> notes;
};

struct TlvList {
    std::uint32_t start = 0;  // first byte of the list
    std::uint32_t limit = 0;  // first byte after the TLV area
    std::vector<TlvRecord> records;
    std::optional<std::uint32_t> endTagOffset;  // where the 0 tag stands, when it was reached
    std::vector<std::string> problems;
};

struct DigestCheck {
    DigestStatus status = DigestStatus::Mismatch;
    std::uint32_t payloadLength = 0;  // n, bytes 32..35
    Sha256Digest stored{};
    std::optional<Sha256Digest> computed;  // over bytes 32 .. 36+n-1, when they fit the block
    bool holds() const { return status == DigestStatus::Holds; }
};

struct DescriptorArea {
    std::string name;
    std::optional<std::uint32_t> flashAddress;  // first generation stores flash addresses
    std::int64_t offset = 0;                    // block offset of the area
    std::uint16_t size = 0;
};

struct SecondGenerationHeader {
    std::uint8_t sealMarker = 0;              // byte 44, set just before sealing
    std::uint8_t noSecretArea = 0;            // byte 68: 1 when the firmware sits at 4096
    std::uint16_t bytes72 = 0;                // bytes 72..73
    std::uint32_t flashSize = 0;              // SFlashSize
    std::uint32_t flashPage = 0;              // SFlashPage
    std::array<std::uint8_t, 8> flashInfo{};  // SFlashInfo bytes
};

struct BlockHeader {
    std::uint32_t payloadLength = 0;
    std::uint32_t firmwareAddress = 0;
    std::uint32_t firmwareRoom = 0;
    std::vector<DescriptorArea> descriptorAreas;  // high-speed, full-speed, SuperSpeed
    std::uint16_t imageBytes = 0;                 // bytes 74..75, copied from the image
    std::uint32_t deletingKeyOffset = 0;
    std::array<std::uint8_t, 32> deletingKey{};
    std::string deletingKeyText;  // first generation keeps the key as text
    // First generation: flash address of the parameter area; second: its block offset.
    std::uint16_t parameterArea = 0;
    std::uint16_t parameterAreaSize = 0;
    std::uint8_t sscByte = 0xFF;  // byte 3840: 0x7F when SSC is disabled
    std::optional<SecondGenerationHeader> second;
};

struct StringDescriptor {
    enum class Form { Text, Empty, FromDisk, Malformed };
    std::uint32_t offset = 0;  // block offset of the length byte
    std::uint8_t length = 0;
    std::uint8_t type = 0;
    Form form = Form::Text;
    std::string text;  // UTF-8; for a malformed descriptor whatever fits the slot
    std::string note;
};

struct ConfigurationValues {
    std::uint32_t offset = 0;  // block offset of bmAttributes
    std::uint8_t bmAttributes = 0;
    std::uint8_t bMaxPower = 0;
};

struct DescriptorSet {
    std::string name;
    std::uint32_t offset = 0;
    std::uint16_t bcdUSB = 0;
    std::uint16_t vendorId = 0;
    std::uint16_t productId = 0;
    std::uint16_t bcdDevice = 0;
    ConfigurationValues configuration;
    std::optional<ConfigurationValues> otherSpeed;  // not in the SuperSpeed set
    std::uint8_t interfaceSubClass = 0;             // bulk-only interface
    StringDescriptor manufacturer;
    StringDescriptor product;
    StringDescriptor serialNumber;
};

struct InquiryEntry {
    std::uint32_t offset = 0;  // block offset of the vendor text
    std::string vendor;        // UTF-8, cut at the first 0 byte
    std::string product;
    std::string revision;
    bool unused = false;  // nothing but filler bytes
};

struct DecodedBlock {
    int generation = 0;
    std::optional<int> headerGeneration;  // what the header says, if anything
    DigestCheck digest;
    BlockHeader header;
    std::vector<DescriptorSet> descriptorSets;
    std::vector<InquiryEntry> inquiry;
    TlvList tlv;
    std::vector<std::string> notes;  // header fields away from the standard layout
};

// The name of a TLV tag in a generation; nullptr when the generation does not use the tag.
const char* TlvTagName(int generation, std::uint8_t tag);
// The name of a firmware parameter id (second-generation tag 0x01); nullptr when unknown.
const char* FirmwareParameterName(std::uint8_t id);

}  // namespace mox3
