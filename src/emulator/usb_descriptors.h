// The USB descriptors an emulated drive presents at high speed: what its flash holds when the
// bridge runs its normal firmware (the block's high-speed descriptor area), a plain template
// with the bridge's own identity in its loader and for a plain disk. Only the bulk-only
// setting of the interface is presented: the device side speaks no other transport.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/bytes.h"
#include "emulator/emulated_drive.h"

namespace mox3 {

inline constexpr std::uint8_t kUsbDescriptorDevice = 0x01;
inline constexpr std::uint8_t kUsbDescriptorConfiguration = 0x02;
inline constexpr std::uint8_t kUsbDescriptorString = 0x03;
inline constexpr std::uint8_t kUsbDescriptorInterface = 0x04;
inline constexpr std::uint8_t kUsbDescriptorEndpoint = 0x05;
inline constexpr std::uint8_t kUsbDescriptorQualifier = 0x06;
inline constexpr std::uint16_t kUsbLanguageEnglishUs = 0x0409;

struct UsbEndpointInfo {
    std::uint8_t address = 0;     // bit 7: IN
    std::uint8_t attributes = 0;  // bits 0-1: transfer type
    std::uint16_t maxPacketSize = 0;
    std::uint8_t interval = 0;
};

struct UsbDescriptorSet {
    bool fromFlash = false;                   // the flash's descriptor area, not the template
    std::vector<std::uint8_t> device;         // 18 bytes
    std::vector<std::uint8_t> configuration;  // wTotalLength bytes
    std::vector<std::uint8_t> qualifier;      // 10 bytes, or empty when there is none
    std::u16string manufacturer, product, serialNumber;  // strings 1, 2 and 3

    std::uint16_t VendorId() const { return Le16(8); }
    std::uint16_t ProductId() const { return Le16(10); }
    std::uint16_t BcdDevice() const { return Le16(12); }
    std::uint8_t MaxPacketSize0() const { return device.size() > 7 ? device[7] : 64; }
    // bConfigurationValue of the one configuration.
    std::uint8_t ConfigurationValue() const {
        return configuration.size() > 5 ? configuration[5] : 1;
    }
    bool SelfPowered() const { return configuration.size() > 7 && (configuration[7] & 0x40); }
    // The interface descriptor (9 bytes) and the endpoints of the configuration.
    std::vector<std::uint8_t> Interface() const;
    std::vector<UsbEndpointInfo> Endpoints() const;
    // GET_DESCRIPTOR's answer, untruncated; nothing for a descriptor the device has not.
    std::optional<std::vector<std::uint8_t>> Get(std::uint8_t type, std::uint8_t index,
                                                 std::uint16_t language) const;

  private:
    std::uint16_t Le16(std::size_t at) const { return ReadLe16(device, at); }
};

// The descriptors of the drive as the view shows it now (a present device).
UsbDescriptorSet MakeUsbDescriptors(const EmulatedDriveView& view);

}  // namespace mox3
