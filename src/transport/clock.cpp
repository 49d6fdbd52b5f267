#include "transport/clock.h"

#include <chrono>
#include <cstdlib>
#include <thread>

namespace mox3 {

namespace {

class RealClock : public Clock {
public:
    explicit RealClock(std::uint32_t scale) : scale_(scale == 0 ? 1 : scale) {}
    std::uint64_t NowMs() override {
        using namespace std::chrono;
        return scale_ * static_cast<std::uint64_t>(
                            duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count());
    }
    void SleepMs(std::uint32_t ms) override {
        std::this_thread::sleep_for(std::chrono::microseconds(std::uint64_t{ms} * 1000 / scale_));
    }

private:
    std::uint64_t scale_;
};

}  // namespace

std::shared_ptr<Clock> ScaledSystemClock(std::uint32_t scale) {
    return std::make_shared<RealClock>(scale);
}

std::shared_ptr<Clock> SystemClock() {
    static auto clock = [] {
        const char* text = std::getenv("MOX3_TIME_SCALE");
        long scale = text ? std::strtol(text, nullptr, 10) : 1;
        return ScaledSystemClock(scale > 0 && scale <= 1000 ? static_cast<std::uint32_t>(scale) : 1);
    }();
    return clock;
}

}  // namespace mox3
