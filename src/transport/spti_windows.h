// The Windows SCSI pass-through (IOCTL_SCSI_PASS_THROUGH_DIRECT) on a drive's interface path.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "transport/nt_dev_ctrl.h"
#include "transport/passthrough.h"

namespace mox3 {

inline constexpr std::uint32_t kIoctlScsiPassThroughDirect = 0x4D014;
inline constexpr std::uint8_t kSenseRequestLength = 14;

// The system's pass-through request block, in its native layout (44 bytes on 32-bit Windows).
struct ScsiPassThroughDirect {
    std::uint16_t Length;
    std::uint8_t ScsiStatus;
    std::uint8_t PathId;
    std::uint8_t TargetId;
    std::uint8_t Lun;
    std::uint8_t CdbLength;
    std::uint8_t SenseInfoLength;
    std::uint8_t DataIn;
    std::uint32_t DataTransferLength;
    std::uint32_t TimeOutValue;
    void* DataBuffer;
    std::uint32_t SenseInfoOffset;
    std::uint8_t Cdb[16];
};

// What one pass-through call takes as its input and its output: the request block, 4 zero
// bytes and the sense area (64 bytes on 32-bit Windows).
struct ScsiRequestArea {
    ScsiPassThroughDirect request;
    std::uint32_t filler;
    std::uint8_t sense[16];
};
inline constexpr std::uint32_t kSenseAreaOffset = offsetof(ScsiRequestArea, sense);

#if defined(_WIN32) && !defined(_WIN64)
static_assert(sizeof(ScsiPassThroughDirect) == 44 && sizeof(ScsiRequestArea) == 64 &&
              kSenseAreaOffset == 48);
#endif

// Fills the request area for `request`: the request block (with the request's target), the
// sense area behind it, and `request.data` as the caller's buffer.
void BuildPassThroughArea(const ScsiRequest& request, ScsiRequestArea& area);

// Judges a finished pass-through call on `area`. `delivered` is what DeviceIoControl returned
// and `lastError` the thread's last error after it. True when the request reached the device;
// then `reply` holds its status, its sense data (none unless a valid sense response came back)
// and the number of bytes moved, never more than `requestedLength`.
bool InterpretPassThroughResult(const ScsiRequestArea& area, bool delivered,
                                std::uint32_t lastError, std::uint32_t requestedLength,
                                ScsiReply& reply, std::string* why);

// Why opening `path` failed with the system error `error`, in words for the user.
std::string DescribeOpenFailure(std::u16string_view path, std::uint32_t error);

// The system's message for an error code, without the line break it ends in.
std::string SystemErrorText(std::uint32_t error);

std::shared_ptr<PassThroughBackend> MakeSptiBackend();

}  // namespace mox3
