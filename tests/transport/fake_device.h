// A scripted device for transport and command tests: records every request and answers
// with the replies queued for it.
#pragma once

#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "transport/passthrough.h"

namespace mox3::test {

struct Recorded {
    std::vector<std::uint8_t> cdb;
    DataDirection direction;
    std::uint32_t length;
    std::uint32_t timeoutSeconds;
};

struct Scripted {
    bool delivered = true;
    std::uint8_t status = kScsiStatusGood;
    std::vector<std::uint8_t> sense;
    std::vector<std::uint8_t> dataIn;  // copied into an In request's buffer
};

struct FakeState {
    std::vector<Recorded> requests;
    std::deque<Scripted> replies;  // empty: GOOD, no data
    std::function<void()> onSend;  // called before each request is answered
    std::string lastError;         // what the device says went wrong
};

class FakeBackend : public PassThroughBackend {
  public:
    std::shared_ptr<FakeState> state = std::make_shared<FakeState>();
    std::unique_ptr<PassThroughDevice> Open(std::u16string_view path, std::string* error) override;
};

// A fake backend with its scripted replies.
class FakeBackendScope {
  public:
    FakeBackendScope() : backend_(std::make_shared<FakeBackend>()) {}
    FakeState& state() { return *backend_->state; }
    void Queue(Scripted reply) { backend_->state->replies.push_back(std::move(reply)); }
    PassThroughBackend& backend() { return *backend_; }

  private:
    std::shared_ptr<FakeBackend> backend_;
};

}  // namespace mox3::test
