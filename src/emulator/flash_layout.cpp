#include "emulator/flash_layout.h"

#include <algorithm>
#include <optional>

#include "config/digest_header.h"

namespace mox3 {

namespace {

bool AllErased(std::span<const std::uint8_t> bytes) {
    return std::all_of(bytes.begin(), bytes.end(), [](std::uint8_t b) { return b == 0xFF; });
}

bool IsDigit(std::uint8_t c) {
    return c >= '0' && c <= '9';
}

// The whole records of the block's list up to its end tag or the end of its area.
std::vector<BlockRecord> WholeRecords(std::span<const std::uint8_t> block,
                                      const BlockLayout& layout) {
    std::vector<BlockRecord> records = ReadRecords(block, layout).records;
    if (!records.empty() && records.back().truncated) records.pop_back();
    return records;
}

std::u16string SlotText(std::span<const std::uint8_t> block, std::uint32_t slot,
                        std::string_view diskSerial) {
    std::uint8_t length = block[slot];
    if (length == kSerialFromDisk) {
        // The attached disk's serial number, without the blanks ATA pads it with.
        std::string_view s = diskSerial;
        while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
        while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
        return std::u16string(s.begin(), s.end());
    }
    std::uint32_t chars =
        length < 2 ? 0 : std::min<std::uint32_t>((length - 2u) / 2u, kStringSlotChars);
    std::u16string text;
    for (std::uint32_t i = 0; i < chars; ++i) {
        text.push_back(static_cast<char16_t>(ReadLe16(block, slot + 2 + 2 * i)));
    }
    return text;
}

void PutText(std::array<std::uint8_t, 36>& inquiry, std::size_t offset, std::size_t size,
             std::string_view text) {
    for (std::size_t i = 0; i < size; ++i) {
        inquiry[offset + i] = static_cast<std::uint8_t>(i < text.size() ? text[i] : ' ');
    }
}

std::array<std::uint8_t, 36> InquiryFrame(std::uint8_t deviceType, bool removable) {
    std::array<std::uint8_t, 36> inquiry{};
    inquiry[0] = deviceType;
    inquiry[1] = removable ? 0x80 : 0x00;
    inquiry[2] = 0x06;  // SPC-4
    inquiry[3] = 0x02;  // response data format
    inquiry[4] = 31;    // additional length
    return inquiry;
}

std::array<std::uint8_t, 36> DefaultInquiry(std::string_view chipName, bool loader) {
    std::array<std::uint8_t, 36> inquiry = InquiryFrame(0, false);
    PutText(inquiry, 8, 8, "USB-SATA");
    std::string product(chipName.substr(0, 16));
    if (loader) product = (product + " LOADER").substr(0, 16);
    PutText(inquiry, 16, 16, product);
    PutText(inquiry, 32, 4, "0000");
    return inquiry;
}

// Vendor, product and revision (28 bytes) copied as the block stores them.
void PutEntry(std::array<std::uint8_t, 36>& inquiry, std::span<const std::uint8_t> entry) {
    std::copy(entry.begin(), entry.begin() + kInquiryTextSize, inquiry.begin() + 8);
}

std::array<std::uint8_t, 36> FirstGenerationInquiry(std::span<const std::uint8_t> block,
                                                    std::string_view chipName) {
    auto records = WholeRecords(block, gen1::kLayout);
    bool removable = false;
    for (const BlockRecord& r : records) {
        if (r.tag == gen1::kTagControl && r.value.size() > gen1::kControlRemovableByte &&
            r.value[gen1::kControlRemovableByte] == 1) {
            removable = true;
        }
    }
    for (const BlockRecord& r : records) {
        if (r.tag != gen1::kTagInquiry || r.value.size() < gen1::kInquiryAnswerSize) continue;
        std::array<std::uint8_t, 36> inquiry = InquiryFrame(r.value[0] & 0x1F, removable);
        PutEntry(inquiry, r.value.subspan(1));
        return inquiry;
    }
    return DefaultInquiry(chipName, false);
}

std::array<std::uint8_t, 36> SecondGenerationInquiry(std::span<const std::uint8_t> block,
                                                     std::string_view chipName) {
    auto records = WholeRecords(block, gen2::kLayout);
    // The drive mode from the RAID default record picks the logical-unit table.
    std::uint8_t modeBit = 0x01;
    for (const BlockRecord& r : records) {
        if (r.tag == gen2::kTagRaidDefault && !r.value.empty() && r.value[0] < 4) {
            modeBit = static_cast<std::uint8_t>(1u << r.value[0]);
            break;
        }
    }
    // The compiler joins the tables of all modes (a head and its entries each) and spreads
    // them over as many records as they need: read them as one run of tables.
    std::vector<std::uint8_t> tables;
    for (const BlockRecord& r : records) {
        if (r.tag == gen2::kTagUnitTables) tables.insert(tables.end(), r.value.begin(), r.value.end());
    }
    std::uint32_t entry = gen2::kInquiryTable;
    std::uint8_t unitType = 0;
    for (std::size_t at = 0; at + gen2::kUnitTableHead <= tables.size();) {
        const std::size_t count = tables[at];
        const std::size_t size = gen2::kUnitTableHead + count * gen2::kUnitEntrySize;
        if (count == 0 || at + size > tables.size()) break;
        if ((tables[at + 1] & modeBit) != 0) {
            std::span<const std::uint8_t> unit =
                std::span<const std::uint8_t>(tables).subspan(at + gen2::kUnitTableHead,
                                                              gen2::kUnitEntrySize);
            unitType = unit[0];
            entry = ReadLe32(unit, gen2::kUnitInquiryField);
            break;
        }
        at += size;
    }
    if (entry == 0 || entry > kConfigBlockSize - kInquiryTextSize) {
        return DefaultInquiry(chipName, false);
    }
    std::array<std::uint8_t, 36> inquiry =
        InquiryFrame(unitType == 2 ? 0x05 : 0x00, unitType == 1 || unitType == 2);
    PutEntry(inquiry, block.subspan(entry, kInquiryTextSize));
    return inquiry;
}

std::optional<std::uint32_t> FindTrailer(int generation, std::span<const std::uint8_t> flash,
                                         std::size_t from) {
    const std::size_t digits = generation == 1 ? 8 : 16;
    const std::size_t need = generation == 1 ? digits : digits + 2;
    for (std::size_t p = from; p + need <= flash.size(); ++p) {
        auto run = flash.subspan(p, digits);
        if (!std::all_of(run.begin(), run.end(), IsDigit)) continue;
        if (generation != 1 && !(flash[p + digits] == '0' && flash[p + digits + 1] == 'A')) {
            continue;
        }
        return static_cast<std::uint32_t>(p);
    }
    return std::nullopt;
}

}  // namespace

std::uint32_t EmulatedBlockAddress(int generation) {
    return generation == 1 ? kFirstGenerationBlockAddress : kSecondGenerationBlockAddress;
}

std::array<std::uint8_t, 8> VersionBlockFromDigits(int generation,
                                                   std::span<const std::uint8_t> d) {
    auto pair = [&](std::size_t i) {
        return static_cast<std::uint8_t>(10 * (d[i] - '0') + (d[i + 1] - '0'));
    };
    std::array<std::uint8_t, 8> block{};
    block[2] = pair(0);
    block[4] = pair(2);
    block[6] = pair(4);
    if (generation == 1) {
        block[0] = pair(6);
    } else {
        block[7] = pair(6);
        block[0] = pair(8);
        block[1] = pair(10);
    }
    return block;
}

EmulatedFlashReport AnalyseFlash(int generation, std::span<const std::uint8_t> flash) {
    EmulatedFlashReport report;
    report.blockAddress = EmulatedBlockAddress(generation);
    if (flash.size() < report.blockAddress + kConfigBlockSize) return report;
    auto block = flash.subspan(report.blockAddress, kConfigBlockSize);
    report.blockErased = AllErased(block);
    report.blockSealed = DigestHolds(block, kConfigBlockSize);

    if (generation == 1) {
        report.firmwareAddress = kFirstGenerationFirmwareAddress;
        report.firmwareAddressValid = true;
    } else {
        report.firmwareAddress = ReadLe32(block, kFirmwareAddressField);
        report.firmwareAddressValid = report.firmwareAddress == gen2::kFirmwareAddressNoSecret ||
                                      report.firmwareAddress == gen2::kFirmwareAddressAfterSecret;
    }
    if (!report.firmwareAddressValid || report.firmwareAddress >= flash.size()) {
        report.firmwareAddressValid = false;
        return report;
    }
    auto firmware = flash.subspan(report.firmwareAddress);
    report.firmwareErased = AllErased(firmware.first(std::min<std::size_t>(firmware.size(), 4096)));
    report.firmwareIntact = DigestHolds(firmware, firmware.size());
    if (report.firmwareIntact) {
        std::size_t bodyEnd =
            report.firmwareAddress + kDigestHeaderSize + ReadLe32(firmware, kDigestLengthOffset);
        if (auto at = FindTrailer(generation, flash, bodyEnd)) {
            report.versionFound = true;
            report.versionBlock =
                VersionBlockFromDigits(generation, flash.subspan(*at, generation == 1 ? 8 : 16));
        }
    }
    return report;
}

PresentedIdentity StartIdentity(int generation, std::string_view chipName,
                                std::string_view diskSerial, std::span<const std::uint8_t> flash,
                                bool loaderRequested) {
    PresentedIdentity id;
    EmulatedFlashReport report = AnalyseFlash(generation, flash);
    if (loaderRequested || !report.normalFirmware()) {
        id.loader = true;
        id.usb.vendorId = kBareBridgeVendorId;
        id.usb.productId =
            generation == 1 ? kFirstGenerationBareProductId : kSecondGenerationBareProductId;
        id.usb.bcdDevice = 0x0100;
        id.usb.manufacturer = u"USB-SATA Bridge";
        id.usb.product = std::u16string(chipName.begin(), chipName.end());
        id.inquiry = DefaultInquiry(chipName, true);
        return id;
    }
    id.loader = false;
    // The identity of the high-speed descriptor set.
    const DescriptorSetLayout& set = LayoutOf(generation).sets[0];
    auto block = flash.subspan(report.blockAddress, kConfigBlockSize);
    id.usb.vendorId = ReadLe16(block, set.base + kDeviceVendorId);
    id.usb.productId = ReadLe16(block, set.base + kDeviceProductId);
    id.usb.bcdDevice = ReadLe16(block, set.base + kDeviceBcdDevice);
    id.usb.manufacturer = SlotText(block, set.strings[0], diskSerial);
    id.usb.product = SlotText(block, set.strings[1], diskSerial);
    id.usb.serialNumber = SlotText(block, set.strings[2], diskSerial);
    id.inquiry = generation == 1 ? FirstGenerationInquiry(block, chipName)
                                 : SecondGenerationInquiry(block, chipName);
    id.versionBlock = report.versionBlock;
    return id;
}

std::uint32_t StoredBlockLength(int generation, std::span<const std::uint8_t> flash) {
    std::uint32_t at = EmulatedBlockAddress(generation) + kSectorSettingByte;
    return at < flash.size() && flash[at] == 0x01 ? 4096 : 512;
}

void StoreBlockLength(int generation, std::span<std::uint8_t> flash, std::uint32_t length) {
    // The bridge rewrites the whole parameter sector, so the byte may go either way.
    std::uint32_t at = EmulatedBlockAddress(generation) + kSectorSettingByte;
    if (at < flash.size()) flash[at] = length == 4096 ? 0x01 : 0xFF;
}

}  // namespace mox3
