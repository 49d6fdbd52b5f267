// The Linux SCSI generic pass-through (SG_IO) on a disk's device node.
#pragma once

#include <scsi/sg.h>

#include <array>
#include <string>

#include "transport/passthrough.h"

namespace mox3 {

inline constexpr std::size_t kSgSenseBufferSize = 32;

// Fills an SG_IO header for `request`; `sense` receives the sense data.
sg_io_hdr_t BuildSgIoHeader(const ScsiRequest& request,
                            std::array<std::uint8_t, kSgSenseBufferSize>& sense);

// Judges a finished SG_IO call. `ioctlResult` and `error` (errno) are the ioctl's. True when the
// request reached the device; then `reply` holds its status, sense and transfer count.
bool InterpretSgIoResult(const sg_io_hdr_t& header, int ioctlResult, int error,
                         const std::array<std::uint8_t, kSgSenseBufferSize>& sense,
                         ScsiReply& reply, std::string* why);

std::shared_ptr<PassThroughBackend> MakeSgIoBackend();

// Why `node` did not open, from open(2)'s `error`: only a refusal to a user other than root
// (`root` false) suggests running as root.
std::string SgOpenFailureText(const std::string& node, int error, bool root);
// Why `node` opened but takes no SCSI pass-through requests, from its file type (st_mode).
std::string SgRefusedText(const std::string& node, unsigned mode);

}  // namespace mox3
