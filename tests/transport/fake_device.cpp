#include "transport/fake_device.h"

#include <algorithm>

namespace mox3::test {

namespace {

class FakeDevice : public PassThroughDevice {
  public:
    explicit FakeDevice(std::shared_ptr<FakeState> state) : state_(std::move(state)) {}
    bool Send(const ScsiRequest& request, ScsiReply& reply) override {
        state_->requests.push_back({{request.cdb.begin(), request.cdb.begin() + request.cdbLength},
                                    request.direction,
                                    request.length,
                                    request.timeoutSeconds});
        if (state_->onSend) state_->onSend();
        Scripted s;
        if (!state_->replies.empty()) {
            s = std::move(state_->replies.front());
            state_->replies.pop_front();
        }
        if (!s.delivered) return false;
        reply.status = s.status;
        reply.sense = s.sense;
        if (request.direction == DataDirection::In && request.data) {
            std::size_t n = std::min<std::size_t>(s.dataIn.size(), request.length);
            std::copy_n(s.dataIn.begin(), n, request.data);
            reply.transferred = static_cast<std::uint32_t>(n);
        } else {
            reply.transferred = request.length;
        }
        return true;
    }
    std::u16string Name() const override { return u"fake"; }
    std::string LastError() const override { return state_->lastError; }

  private:
    std::shared_ptr<FakeState> state_;
};

}  // namespace

std::unique_ptr<PassThroughDevice> FakeBackend::Open(std::u16string_view, std::string*) {
    return std::make_unique<FakeDevice>(state);
}

}  // namespace mox3::test
