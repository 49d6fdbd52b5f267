#include "emulator/usb_descriptors.h"

#include <algorithm>
#include <span>

#include "emulator/flash_layout.h"

namespace mox3 {

namespace {

// Where the block keeps its high-speed descriptor area, per generation: the device descriptor
// first, then the configuration, string and qualifier descriptors.
struct DescriptorArea {
    std::uint32_t offset;  // in the block
    std::uint32_t size;
    std::uint32_t qualifier;  // offset of the device qualifier in the area
};
constexpr DescriptorArea kFirstArea{1024, 336, 208};
constexpr DescriptorArea kSecondArea{1792, 394, 266};

constexpr std::uint8_t kInterfaceBulkOnly = 0x50;
constexpr std::size_t kMaxStringChars = 126;  // a descriptor's length is one byte

// The configuration at the start of `area` with its descriptors taken out of the even-offset
// layout (a 0 byte stands after each descriptor of odd length); the interface settings other
// than the bulk-only one are left out. Nothing when the area holds no sound configuration.
std::optional<std::vector<std::uint8_t>> ReadConfiguration(std::span<const std::uint8_t> area) {
    if (area.size() < 9 || area[0] != 9 || area[1] != kUsbDescriptorConfiguration) {
        return std::nullopt;
    }
    const std::size_t total = area[2] | area[3] << 8;
    std::vector<std::uint8_t> out;
    bool keep = true;
    std::size_t seen = 0;
    for (std::size_t pos = 0; seen < total;) {
        const std::size_t length = pos < area.size() ? area[pos] : 0;
        if (length < 2 || pos + length > area.size()) return std::nullopt;
        auto descriptor = area.subspan(pos, length);
        if (descriptor[1] == kUsbDescriptorInterface) {
            keep = length >= 9 && descriptor[3] == 0 && descriptor[5] == 0x08 &&
                   descriptor[7] == kInterfaceBulkOnly;
        }
        if (keep) out.insert(out.end(), descriptor.begin(), descriptor.end());
        seen += length;
        pos += length + (length % 2);
    }
    if (seen != total) return std::nullopt;
    WriteLe16(out, 2, static_cast<std::uint16_t>(out.size()));
    return out;
}

void FromFlash(UsbDescriptorSet& set, const EmulatedDriveView& view) {
    const DescriptorArea& a = view.generation == 1 ? kFirstArea : kSecondArea;
    const std::size_t start = view.flashReport.blockAddress + a.offset;
    if (view.flash.size() < start + a.size) return;
    auto area = std::span<const std::uint8_t>(view.flash).subspan(start, a.size);
    if (area[0] != 18 || area[1] != kUsbDescriptorDevice) return;
    auto configuration = ReadConfiguration(area.subspan(18));
    if (!configuration) return;
    set.device.assign(area.begin(), area.begin() + 18);
    set.configuration = std::move(*configuration);
    auto qualifier = area.subspan(a.qualifier, 10);
    if (qualifier[0] == 10 && qualifier[1] == kUsbDescriptorQualifier) {
        set.qualifier.assign(qualifier.begin(), qualifier.end());
    }
    set.fromFlash = true;
}

void FromTemplate(UsbDescriptorSet& set, bool serial) {
    set.device = {18,
                  kUsbDescriptorDevice,
                  0x00,
                  0x02,
                  0,
                  0,
                  0,
                  64,
                  0,
                  0,
                  0,
                  0,
                  0,
                  0,
                  1,
                  2,
                  static_cast<std::uint8_t>(serial ? 3 : 0),
                  1};
    set.configuration = {9,
                         kUsbDescriptorConfiguration,
                         32,
                         0,
                         1,
                         1,
                         0,
                         0xC0,
                         1,  // self-powered
                         9,
                         kUsbDescriptorInterface,
                         0,
                         0,
                         2,
                         0x08,
                         0x06,
                         kInterfaceBulkOnly,
                         0,
                         7,
                         kUsbDescriptorEndpoint,
                         0x81,
                         0x02,
                         0x00,
                         0x02,
                         0,  // bulk IN, 512
                         7,
                         kUsbDescriptorEndpoint,
                         0x02,
                         0x02,
                         0x00,
                         0x02,
                         0};  // bulk OUT, 512
    set.qualifier = {10, kUsbDescriptorQualifier, 0x00, 0x02, 0, 0, 0, 64, 1, 0};
}

std::vector<std::uint8_t> StringDescriptor(std::u16string_view text) {
    text = text.substr(0, kMaxStringChars);
    std::vector<std::uint8_t> out{static_cast<std::uint8_t>(2 + 2 * text.size()),
                                  kUsbDescriptorString};
    for (char16_t c : text) {
        out.push_back(static_cast<std::uint8_t>(c));
        out.push_back(static_cast<std::uint8_t>(c >> 8));
    }
    return out;
}

}  // namespace

std::vector<std::uint8_t> UsbDescriptorSet::Interface() const {
    for (std::size_t pos = 0; pos + 9 <= configuration.size(); pos += configuration[pos]) {
        if (configuration[pos] < 2) break;
        if (configuration[pos + 1] == kUsbDescriptorInterface) {
            return {configuration.begin() + static_cast<std::ptrdiff_t>(pos),
                    configuration.begin() + static_cast<std::ptrdiff_t>(pos + 9)};
        }
    }
    return {};
}

std::vector<UsbEndpointInfo> UsbDescriptorSet::Endpoints() const {
    std::vector<UsbEndpointInfo> out;
    for (std::size_t pos = 0; pos + 2 <= configuration.size(); pos += configuration[pos]) {
        const std::uint8_t length = configuration[pos];
        if (length < 2 || pos + length > configuration.size()) break;
        if (configuration[pos + 1] != kUsbDescriptorEndpoint || length < 7) continue;
        const std::uint8_t* e = configuration.data() + pos;
        out.push_back({e[2], e[3], static_cast<std::uint16_t>(e[4] | e[5] << 8), e[6]});
    }
    return out;
}

std::optional<std::vector<std::uint8_t>> UsbDescriptorSet::Get(std::uint8_t type,
                                                               std::uint8_t index,
                                                               std::uint16_t /*language*/) const {
    switch (type) {
        case kUsbDescriptorDevice:
            return device;
        case kUsbDescriptorConfiguration:
            if (index != 0) return std::nullopt;
            return configuration;
        case kUsbDescriptorQualifier:
            if (qualifier.empty()) return std::nullopt;
            return qualifier;
        case kUsbDescriptorString: {
            if (index == 0) return std::vector<std::uint8_t>{4, kUsbDescriptorString, 0x09, 0x04};
            // The indexes the device descriptor names; any language gets the same texts.
            const std::u16string* texts[3] = {&manufacturer, &product, &serialNumber};
            for (std::size_t i = 0; i < 3 && device.size() == 18; ++i) {
                if (device[14 + i] == index) return StringDescriptor(*texts[i]);
            }
            return std::nullopt;
        }
        default:
            return std::nullopt;
    }
}

UsbDescriptorSet MakeUsbDescriptors(const EmulatedDriveView& view) {
    UsbDescriptorSet set;
    // The identity is the one the started bridge presents, as the host's device tree sees it.
    const EmulatedUsbIdentity& usb = view.usb;
    if (!view.plainDisk && !view.loader) FromFlash(set, view);
    if (!set.fromFlash) FromTemplate(set, !usb.serialNumber.empty());
    WriteLe16(set.device, 8, usb.vendorId);
    WriteLe16(set.device, 10, usb.productId);
    WriteLe16(set.device, 12, usb.bcdDevice);
    set.manufacturer = usb.manufacturer;
    set.product = usb.product;
    set.serialNumber = usb.serialNumber;
    return set;
}

}  // namespace mox3
