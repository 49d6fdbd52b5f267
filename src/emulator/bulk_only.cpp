#include "emulator/bulk_only.h"

#include <algorithm>

#include "base/bytes.h"

namespace mox3 {

namespace {

constexpr std::uint8_t kOpRequestSense = 0x03;
// The most data one command moves through the device's buffer; what a wrapper announces
// beyond it is accepted and dropped (OUT) or reported as residue (IN).
constexpr std::uint32_t kMaxData = 16 * 1024 * 1024;
constexpr std::uint32_t kCommandTimeoutSeconds = 60;

}  // namespace

bool BulkOnlyTransport::Out(std::span<const std::uint8_t> data) {
    if (outHalted_) return false;
    if (phase_ == Phase::DataOut) {
        const std::size_t room = std::min<std::size_t>(expected_, kMaxData) - data_.size();
        const std::size_t keep = std::min(room, data.size());
        data_.insert(data_.end(), data.begin(), data.begin() + static_cast<std::ptrdiff_t>(keep));
        received_ += static_cast<std::uint32_t>(std::min<std::size_t>(data.size(), expected_));
        if (received_ >= expected_) Execute();
        return true;
    }
    if (phase_ != Phase::Command) {
        outHalted_ = true;
        return false;
    }
    // A wrapper that is not valid and meaningful: both endpoints stall until a reset.
    if (data.size() != kCbwSize || ReadLe32(data, 0) != kCbwSignature || (data[13] & 0x0F) != 0 ||
        data[14] < 1 || data[14] > 16) {
        phase_ = Phase::NeedsReset;
        inHalted_ = outHalted_ = true;
        return false;
    }
    tag_ = ReadLe32(data, 4);
    expected_ = ReadLe32(data, 8);
    toHost_ = (data[12] & 0x80) != 0;
    cdb_.assign(data.begin() + 15, data.begin() + 15 + data[14]);
    data_.clear();
    sent_ = 0;
    received_ = 0;
    if (expected_ > 0 && !toHost_) {
        phase_ = Phase::DataOut;
    } else {
        Execute();
    }
    return true;
}

BulkOnlyTransport::InResult BulkOnlyTransport::Send(const std::vector<std::uint8_t>& pending,
                                                    std::uint32_t length) {
    InResult result;
    const std::size_t left = pending.size() - sent_;
    const auto from = pending.begin() + static_cast<std::ptrdiff_t>(sent_);
    if (left > length && (length == 0 || length % maxPacket_ != 0)) {
        // The packet that would end the transfer does not fit what is left of the host's
        // buffer: the host takes what fits and fails the transfer; the device keeps the
        // packet, never acknowledged.
        result.babble = true;
        result.data.assign(from, from + length);
        sent_ += length / maxPacket_ * maxPacket_;
        return result;
    }
    const std::size_t n = std::min<std::size_t>(length, left);
    result.data.assign(from, from + static_cast<std::ptrdiff_t>(n));
    sent_ += n;
    return result;
}

BulkOnlyTransport::InResult BulkOnlyTransport::In(std::uint32_t length) {
    InResult result;
    if (!inHalted_ && phase_ == Phase::DataIn) {
        if (sent_ >= data_.size()) {
            // Less data than announced, and no short packet has ended the transfer: the
            // endpoint stalls, and the status follows once the host has cleared it.
            phase_ = Phase::Status;
            sent_ = 0;
            inHalted_ = true;
            result.stall = true;
            return result;
        }
        result = Send(data_, length);
        if (!result.babble && (result.data.size() < length || sent_ == expected_)) {
            phase_ = Phase::Status;
            sent_ = 0;
        }
        return result;
    }
    if (!inHalted_ && phase_ == Phase::Status) {
        result = Send(csw_, length);
        if (sent_ == csw_.size()) phase_ = Phase::Command;
        return result;
    }
    inHalted_ = true;
    result.stall = true;
    return result;
}

void BulkOnlyTransport::Reset() {
    phase_ = Phase::Command;
    data_.clear();
    csw_.clear();
    sent_ = 0;
    received_ = 0;
}

void BulkOnlyTransport::ClearHalt(bool in) {
    if (phase_ == Phase::NeedsReset) return;
    (in ? inHalted_ : outHalted_) = false;
}

void BulkOnlyTransport::Execute() {
    if (!cdb_.empty() && cdb_[0] == kOpRequestSense && !sense_.empty()) {
        RequestSense();
        return;
    }
    ScsiRequest request;
    std::copy(cdb_.begin(), cdb_.end(), request.cdb.begin());
    request.cdbLength = static_cast<std::uint8_t>(cdb_.size());
    request.timeoutSeconds = kCommandTimeoutSeconds;
    if (expected_ > 0 && toHost_) {
        // The wrapper's length is the buffer the command fills, whatever the command block
        // says: the vendor READ BUFFER blocks carry an allocation length of 0.
        data_.assign(std::min(expected_, kMaxData), 0);
        request.direction = DataDirection::In;
    } else if (expected_ > 0) {
        request.direction = DataDirection::Out;
    }
    request.data = data_.empty() ? nullptr : data_.data();
    request.length = static_cast<std::uint32_t>(data_.size());

    ScsiReply reply;
    if (device_ == nullptr || !device_->Send(request, reply)) {
        data_.clear();
        Finish(kCswPhaseError, 0);
        return;
    }
    if (reply.status != kScsiStatusGood) {
        sense_ = reply.sense.empty() ? FixedSense(kSenseHardwareError, 0, 0) : reply.sense;
        data_.clear();
        Finish(kCswFailed, 0);
        return;
    }
    sense_.clear();
    const std::uint32_t done = std::min(reply.transferred, request.length);
    if (toHost_) data_.resize(done);
    Finish(kCswPassed, toHost_ ? done : (expected_ > 0 ? received_ : 0));
}

void BulkOnlyTransport::RequestSense() {
    std::vector<std::uint8_t> sense = std::move(sense_);
    sense_.clear();
    const std::size_t n =
        toHost_ ? std::min<std::size_t>({sense.size(), cdb_.size() > 4 ? cdb_[4] : 0u, expected_})
                : 0;
    data_.assign(sense.begin(), sense.begin() + static_cast<std::ptrdiff_t>(n));
    Finish(kCswPassed, static_cast<std::uint32_t>(n));
}

void BulkOnlyTransport::Finish(std::uint8_t status, std::uint32_t processed) {
    csw_.assign(kCswSize, 0);
    WriteLe32(csw_, 0, kCswSignature);
    WriteLe32(csw_, 4, tag_);
    WriteLe32(csw_, 8, expected_ - std::min(processed, expected_));
    csw_[12] = status;
    sent_ = 0;
    phase_ = toHost_ && expected_ > 0 ? Phase::DataIn : Phase::Status;
}

}  // namespace mox3
