#include "transport/nt_dev_ctrl.h"

#include <algorithm>
#include <cstring>

namespace mox3 {

CNtDevCtrl::~CNtDevCtrl() {
    Close();
}

void CNtDevCtrl::Close() {
    handle_.reset();
}

bool CNtDevCtrl::Open(std::u16string_view path) {
    Close();
    openError_.clear();
    auto backend = CurrentPassThroughBackend();
    handle_ = backend ? backend->Open(path, &openError_) : nullptr;
    if (!handle_) return false;
    path_.assign(path);
    overlapped_ = false;
    return true;
}

std::optional<std::uint64_t> CNtDevCtrl::NodeIdentity() const {
    return handle_ ? handle_->NodeIdentity() : std::nullopt;
}

bool CNtDevCtrl::Control(std::uint32_t code, void* in, std::uint32_t inSize, void* out,
                         std::uint32_t outSize) {
    if (!handle_ || code != kIoctlScsiPassThroughDirect || in == nullptr || in != out ||
        inSize < sizeof(ScsiPassThroughDirect) || outSize < inSize) {
        return false;
    }
    auto* sptd = static_cast<ScsiPassThroughDirect*>(in);
    if (sptd->CdbLength == 0 || sptd->CdbLength > sizeof sptd->Cdb || sptd->DataIn > 2 ||
        (sptd->DataTransferLength != 0 && sptd->DataBuffer == nullptr)) {
        return false;
    }
    ScsiRequest request;
    std::copy_n(sptd->Cdb, sptd->CdbLength, request.cdb.begin());
    request.cdbLength = sptd->CdbLength;
    request.direction = static_cast<DataDirection>(sptd->DataIn);
    request.data = static_cast<std::uint8_t*>(sptd->DataBuffer);
    request.length = sptd->DataTransferLength;
    request.timeoutSeconds = sptd->TimeOutValue;
    ScsiReply reply;
    if (!handle_->Send(request, reply)) return false;
    sptd->ScsiStatus = reply.status;
    sptd->DataTransferLength = std::min(reply.transferred, sptd->DataTransferLength);
    // Sense data goes where the request says, as much as it asked for and the buffer holds.
    std::size_t room = sptd->SenseInfoOffset < outSize ? outSize - sptd->SenseInfoOffset : 0;
    std::size_t senseLength =
        std::min({reply.sense.size(), std::size_t{sptd->SenseInfoLength}, room});
    if (senseLength > 0 && sptd->SenseInfoOffset >= sizeof(ScsiPassThroughDirect)) {
        std::memcpy(static_cast<std::uint8_t*>(out) + sptd->SenseInfoOffset, reply.sense.data(),
                    senseLength);
    }
    sptd->SenseInfoLength = static_cast<std::uint8_t>(senseLength);
    return true;
}

CSpti::CSpti() {
    cdb = area_.request.Cdb;
}

std::uint8_t CSpti::GetAsc() {
    return area_.sense[12];
}
std::uint8_t CSpti::GetAscq() {
    return area_.sense[13];
}

void CSpti::Setup(DataDirection direction, std::uint8_t cdbLength, void* buffer,
                  std::uint32_t length, std::uint32_t timeoutSeconds) {
    area_ = ScsiRequestArea{};
    if (length != 0 && direction == DataDirection::In && buffer != nullptr) {
        std::memset(buffer, 0, length);
    }
    area_.request.DataTransferLength = length;
    area_.request.DataIn = static_cast<std::uint8_t>(direction);
    area_.request.DataBuffer = buffer;
    area_.request.CdbLength = cdbLength;
    area_.request.TimeOutValue = timeoutSeconds;
}

bool CSpti::Execute() {
    area_.request.Length = sizeof(ScsiPassThroughDirect);
    area_.request.SenseInfoOffset = kSenseAreaOffset;
    area_.request.SenseInfoLength = kSenseRequestLength;
    if (!Control(kIoctlScsiPassThroughDirect, &area_, sizeof area_, &area_, sizeof area_)) {
        return false;
    }
    return area_.request.ScsiStatus < 2 && (area_.sense[0] & 0x7F) == 0;
}

}  // namespace mox3
