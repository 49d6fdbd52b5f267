#include "transport/clock.h"

#include <chrono>
#include <thread>

namespace mox3 {

namespace {

class RealClock : public Clock {
  public:
    std::uint64_t NowMs() override {
        using namespace std::chrono;
        return static_cast<std::uint64_t>(
            duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count());
    }
    void SleepMs(std::uint32_t ms) override {
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    }
};

}  // namespace

std::shared_ptr<Clock> SystemClock() {
    static auto clock = std::make_shared<RealClock>();
    return clock;
}

}  // namespace mox3
