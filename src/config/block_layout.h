// The layout of the 4096-byte configuration block of both bridge generations: header fields,
// descriptor sets and their string slots, the SCSI INQUIRY texts, the record list and its record
// tags. The compilers write blocks by it, the decoder reads them by it and the emulated bridge
// starts from it. Only the bytes of the descriptor templates and the layouts inside single
// records are left to the code that writes or reads them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace mox3 {

inline constexpr std::size_t kConfigBlockSize = 4096;

// Where the block and the firmware lie in the serial flash.
inline constexpr std::uint32_t kFirstGenerationBlockAddress = 4096;
inline constexpr std::uint32_t kSecondGenerationBlockAddress = 0;
// The serial flash each generation's bridge carries.
inline constexpr std::uint32_t kFirstGenerationFlashSize = 64 * 1024;
inline constexpr std::uint32_t kSecondGenerationFlashSize = 256 * 1024;
inline constexpr std::uint32_t kFirstGenerationFirmwareAddress = 8192;

// Header fields both generations share. Bytes 0..35 are the digest header.
inline constexpr std::size_t kBlockPayloadLengthField = 32;
inline constexpr std::uint32_t kCompiledPayloadLength = 3036;  // what every compiled block says
inline constexpr std::size_t kFirmwareAddressField = 36;
inline constexpr std::size_t kFirmwareRoomField = 40;
inline constexpr std::size_t kImageBytesField = 74;   // two bytes copied from the image file
inline constexpr std::size_t kImageBytesSource = 37;  // ... from this offset of the image

// The parameter area, erased to 0xFF in a fresh block. Its first byte is 0x7F when spread-spectrum
// clocking is off; the next keeps the logical-block setting (0x01: 4096-byte blocks).
inline constexpr std::size_t kParameterArea = 3840;
inline constexpr std::size_t kParameterAreaSize = 256;
inline constexpr std::size_t kSscByte = kParameterArea;
inline constexpr std::size_t kSectorSettingByte = kParameterArea + 1;

// String descriptor slots: a length byte, the type byte 0x03 and up to 24 UTF-16LE characters.
inline constexpr std::size_t kStringSlotSize = 50;
inline constexpr std::size_t kStringSlotChars = 24;
// The length byte of a serial-number slot whose text the bridge takes from the disk.
inline constexpr std::uint8_t kSerialFromDisk = 0x52;

inline constexpr std::size_t kDeletingKeySize = 32;

// SCSI INQUIRY texts: vendor, product and revision (their fields: record_fields.h).
inline constexpr std::size_t kInquiryTextSize = 28;

// Fields of a device descriptor, from its start.
inline constexpr std::size_t kDeviceBcdUsb = 2;
inline constexpr std::size_t kDeviceVendorId = 8;
inline constexpr std::size_t kDeviceProductId = 10;
inline constexpr std::size_t kDeviceBcdDevice = 12;

// Where a compiled block keeps the values of one speed's descriptor set. Values of the
// configuration descriptor are bmAttributes at `configuration` and bMaxPower after it.
struct DescriptorSetLayout {
    const char* name;
    std::uint32_t base;                    // the device descriptor
    std::uint32_t configuration;           // this speed's configuration descriptor
    std::uint32_t otherSpeed;              // the other-speed configuration, 0: none
    std::uint32_t subClass;                // bInterfaceSubClass of the bulk-only interface
    std::array<std::uint32_t, 3> strings;  // manufacturer, product and serial-number slots
    std::uint32_t areaOffset;              // the descriptor area the header points at
    std::uint16_t areaSize;
};

// The parts of the block whose place differs between the generations.
struct BlockLayout {
    int generation;
    std::uint32_t recordStart;  // the tag-length-value record list
    std::uint32_t recordLimit;  // first byte after the list's area
    std::uint32_t deletingKey;
    std::uint32_t parameterAreaField;  // 16 bits: where the header says the parameter area is
    std::uint32_t parameterSizeField;
    // High-speed, full-speed and SuperSpeed. The high-speed configuration values also go into
    // the full-speed set's other-speed configuration, and the other way round.
    std::array<DescriptorSetLayout, 3> sets;
};

namespace gen1 {

// The block's own flash address is added to the descriptor-area and parameter-area pointers.
inline constexpr std::size_t kHighSpeedAddressField = 44;  // 32 bits
inline constexpr std::size_t kHighSpeedSizeField = 48;
inline constexpr std::size_t kFullSpeedSizeField = 50;
inline constexpr std::size_t kSuperSpeedAddressField = 52;  // 32 bits
inline constexpr std::size_t kSuperSpeedSizeField = 56;
inline constexpr std::uint32_t kFirmwareRoom = 57344;

// The INQUIRY record holds one or two answers: a peripheral byte and the 28 text bytes.
inline constexpr std::size_t kInquiryAnswerSize = 1 + kInquiryTextSize;

// Record tags.
inline constexpr std::uint8_t kTagMultiLun = 0x02;
inline constexpr std::uint8_t kTagAuthWait = 0x03;
inline constexpr std::uint8_t kTagInquiry = 0x04;
inline constexpr std::uint8_t kTagControl = 0x05;  // 100 bytes; value byte 16: removable
inline constexpr std::uint8_t kTagLed = 0x06;
inline constexpr std::uint8_t kTagFan = 0x10;
inline constexpr std::size_t kControlRemovableByte = 16;

inline constexpr BlockLayout kLayout{
    1,
    112,
    1024,
    76,
    108,
    110,
    {{{"high-speed", 1024, 1049, 1249, 1058, {1082, 1132, 1182}, 1024, 336},
      {"full-speed", 1360, 1385, 1585, 1394, {1418, 1468, 1518}, 1360, 336},
      {"SuperSpeed", 1792, 1817, 0, 1826, {1886, 1936, 1986}, 1792, 358}}}};

}  // namespace gen1

namespace gen2 {

inline constexpr std::size_t kSealMarkerField = 44;     // 1 in a compiled block
inline constexpr std::size_t kHighSpeedAreaField = 48;  // 32-bit offset, then 16-bit size
inline constexpr std::size_t kFullSpeedAreaField = 54;
inline constexpr std::size_t kSuperSpeedAreaField = 60;
inline constexpr std::size_t kNoSecretAreaField = 68;  // 1 when the firmware sits at 4096
inline constexpr std::size_t kField72 = 72;
inline constexpr std::size_t kFlashSizeField = 76;
inline constexpr std::size_t kFlashPageField = 80;
inline constexpr std::size_t kFlashInfoField = 84;
inline constexpr std::size_t kFlashInfoSize = 8;
inline constexpr std::size_t kParameterMarker = 3824;  // 0xFF in a compiled block
// The firmware's flash address: after the secret area, or at 4096 when there is none.
inline constexpr std::uint32_t kFirmwareAddressAfterSecret = 8192;
inline constexpr std::uint32_t kFirmwareAddressNoSecret = 4096;
// The end of the room a stored flash size gives the firmware: 64, 128 or 256 KiB.
constexpr std::uint32_t FlashRoomEnd(std::uint32_t flashSize) {
    return flashSize <= 65536 ? 65536 : flashSize <= 131072 ? 131072 : kSecondGenerationFlashSize;
}

// Five INQUIRY text entries, blank-filled; logical units point at them by block offset.
inline constexpr std::size_t kInquiryTable = 3584;
inline constexpr std::size_t kInquiryEntryCount = 5;

// Logical-unit tables (tags 0x10 and 0x11): a 4-byte head (count, mode bits, 0, flag), then
// 24-byte unit entries whose bytes 12..15 hold the block offset of the unit's INQUIRY entry.
inline constexpr std::size_t kUnitTableHead = 4;
inline constexpr std::size_t kUnitEntrySize = 24;
inline constexpr std::size_t kUnitInquiryField = 12;

// Record tags.
inline constexpr std::uint8_t kTagFirmwareParameter = 0x01;
inline constexpr std::uint8_t kTagLinkFlags = 0x02;
inline constexpr std::uint8_t kTagAuthWait = 0x03;
inline constexpr std::uint8_t kTagNcqDisable = 0x04;
inline constexpr std::uint8_t kTagRaidDefault = 0x05;  // value byte 0: the drive mode
inline constexpr std::uint8_t kTagOverMode = 0x06;
inline constexpr std::uint8_t kTagPmpEnable = 0x07;
inline constexpr std::uint8_t kTagCommandPermission = 0x08;
inline constexpr std::uint8_t kTagUnitTables = 0x10;
inline constexpr std::uint8_t kTagSingleUnitTables = 0x11;
inline constexpr std::uint8_t kTagGpioInitialize = 0x20;
inline constexpr std::uint8_t kTagPowerControl = 0x21;
inline constexpr std::uint8_t kTagFetControl = 0x22;
inline constexpr std::uint8_t kTagFanControl = 0x23;
inline constexpr std::uint8_t kTagStatusLed = 0x24;
inline constexpr std::uint8_t kTagAccessLed = 0x25;
inline constexpr std::uint8_t kTagSecretLed = 0x26;
inline constexpr std::uint8_t kTagButton = 0x27;
inline constexpr std::uint8_t kTagRaidButton = 0x28;
inline constexpr std::uint8_t kTagRaidStatusLed = 0x29;
inline constexpr std::uint8_t kTagRaidModeLed = 0x30;
inline constexpr std::uint8_t kTagRaidSwitch = 0x31;
inline constexpr std::uint8_t kTagAutomaticStandby = 0x32;
inline constexpr std::uint8_t kTagCapacityLed = 0x33;
inline constexpr std::uint8_t kTagDeviceLed = 0x34;
// GPIO suspend levels in the first firmware family, the rebuild progress LED in the later one.
inline constexpr std::uint8_t kTagSuspendOrRebuild = 0x35;
inline constexpr std::uint8_t kTagCapacityLed2 = 0x36;

inline constexpr BlockLayout kLayout{
    2,
    128,
    1792,
    92,
    124,
    126,
    {{{"high-speed", 1792, 1817, 2075, 1826, {1908, 1958, 2008}, 1792, 394},
      {"full-speed", 2186, 2211, 2411, 2220, {2244, 2294, 2344}, 2186, 336},
      {"SuperSpeed", 2522, 2547, 0, 2556, {2698, 2748, 2798}, 2522, 440}}}};

}  // namespace gen2

// The layout of generation 1; any other number is taken as 2.
inline const BlockLayout& LayoutOf(int generation) {
    return generation == 1 ? gen1::kLayout : gen2::kLayout;
}

// One record of the list as it stands in a block.
struct BlockRecord {
    std::uint32_t offset = 0;  // block offset of the tag byte
    std::uint8_t tag = 0;
    std::uint8_t length = 0;              // the length byte as stored
    std::span<const std::uint8_t> value;  // the value bytes inside the list's area
    bool truncated = false;               // the record does not fit the list's area
};

// The record list of a block, read without trusting any length in it.
struct RecordWalk {
    enum class End {
        EndTag,        // the 0 tag at `endOffset`
        AreaEnd,       // the area ended where a tag was due
        NoLengthByte,  // the last record's tag is the area's last byte
        Overrun,       // the last record's value runs past the area
    };
    std::vector<BlockRecord> records;  // a truncated record only last
    End end = End::AreaEnd;
    std::uint32_t endOffset = 0;  // the 0 tag's offset, or the area's limit
};

// Reads records from `start` up to the 0 tag or the end of the area at `limit`.
RecordWalk ReadRecords(std::span<const std::uint8_t> block, std::uint32_t start,
                       std::uint32_t limit);
inline RecordWalk ReadRecords(std::span<const std::uint8_t> block, const BlockLayout& layout) {
    return ReadRecords(block, layout.recordStart, layout.recordLimit);
}

}  // namespace mox3
