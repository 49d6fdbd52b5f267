// The Windows SCSI pass-through (IOCTL_SCSI_PASS_THROUGH_DIRECT) on a drive's interface path.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "transport/nt_dev_ctrl.h"
#include "transport/passthrough.h"

namespace mox3 {

// Fills the request area for `request`: the request block, the sense area behind it, and
// `request.data` as the caller's buffer.
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
