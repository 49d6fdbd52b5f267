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

bool CNtDevCtrl::Open(PassThroughBackend& backend, std::u16string_view path) {
    Close();
    openError_.clear();
    handle_ = backend.Open(path, &openError_);
    if (!handle_) return false;
    path_.assign(path);
    return true;
}

std::optional<std::uint64_t> CNtDevCtrl::NodeIdentity() const {
    return handle_ ? handle_->NodeIdentity() : std::nullopt;
}

bool CNtDevCtrl::Send(const ScsiRequest& request, ScsiReply& reply) {
    reply = ScsiReply{};
    if (!handle_ || request.cdbLength == 0 || request.cdbLength > request.cdb.size() ||
        (request.length != 0 && request.data == nullptr)) {
        return false;
    }
    if (!handle_->Send(request, reply)) return false;
    reply.transferred = std::min(reply.transferred, request.length);
    return true;
}

std::string CNtDevCtrl::LastError() const {
    return handle_ ? handle_->LastError() : std::string();
}

CSpti::CSpti() {
    cdb = request_.cdb.data();
}

std::uint8_t CSpti::GetAsc() {
    return reply_.sense.size() > 12 ? reply_.sense[12] : 0;
}
std::uint8_t CSpti::GetAscq() {
    return reply_.sense.size() > 13 ? reply_.sense[13] : 0;
}

void CSpti::Setup(DataDirection direction, std::uint8_t cdbLength, void* buffer,
                  std::uint32_t length, std::uint32_t timeoutSeconds) {
    request_ = ScsiRequest{};
    reply_ = ScsiReply{};
    if (length != 0 && direction == DataDirection::In && buffer != nullptr) {
        std::memset(buffer, 0, length);
    }
    request_.direction = direction;
    request_.data = static_cast<std::uint8_t*>(buffer);
    request_.length = length;
    request_.cdbLength = cdbLength;
    request_.timeoutSeconds = timeoutSeconds;
}

bool CSpti::Execute() {
    const bool delivered = Send(request_, reply_);
    return ResultOf(delivered, reply_) == ScsiResult::kGood;
}

}  // namespace mox3
