// What a storage device handle tells of the device behind it.
#pragma once

#include <windows.h>

#include <cstdint>
#include <optional>

namespace mox3 {

// The storage device type and number of the device `handle` is open on
// (IOCTL_STORAGE_GET_DEVICE_NUMBER, which needs no access rights on the handle).
struct StorageNumber {
    std::uint32_t deviceType = 0;  // FILE_DEVICE_DISK, FILE_DEVICE_CD_ROM, ...
    std::uint32_t deviceNumber = 0;
    std::uint32_t partitionNumber = 0;
};
std::optional<StorageNumber> QueryStorageNumber(HANDLE handle);

// The identity a node is known by in the device tree and to a pass-through handle: the device
// type in the upper 32 bits, the device number in the lower.
inline std::uint64_t StorageNodeIdentity(const StorageNumber& number) {
    return std::uint64_t{number.deviceType} << 32 | number.deviceNumber;
}

}  // namespace mox3
