#include "platform/storage_device_windows.h"

#include <winioctl.h>

namespace mox3 {

std::optional<StorageNumber> QueryStorageNumber(HANDLE handle) {
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return std::nullopt;
    STORAGE_DEVICE_NUMBER number{};
    DWORD returned = 0;
    if (!::DeviceIoControl(handle, IOCTL_STORAGE_GET_DEVICE_NUMBER, nullptr, 0, &number,
                           sizeof number, &returned, nullptr) ||
        returned < sizeof number) {
        return std::nullopt;
    }
    return StorageNumber{number.DeviceType, number.DeviceNumber, number.PartitionNumber};
}

}  // namespace mox3
