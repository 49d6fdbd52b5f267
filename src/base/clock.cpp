#include "base/clock.h"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <algorithm>
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

std::uint64_t RealNowMs() {
    using namespace std::chrono;
    return static_cast<std::uint64_t>(
        duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count());
}

// The scaled clock of MOX3_TIME_SCALE, which falls back to the real pace, without going back in
// time, once the testing aids are revoked.
class GatedClock : public Clock {
  public:
    GatedClock(std::uint32_t scale, std::shared_ptr<const TestingAids> aids)
        : scale_(scale == 0 ? 1 : scale), aids_(std::move(aids)) {}
    std::uint64_t NowMs() override {
        std::lock_guard lock(mutex_);
        const std::uint64_t real = RealNowMs();
        if (!Revoked()) return scale_ * real;
        if (!revokedAt_) {
            revokedAt_ = real;
            frozen_ = scale_ * real;
        }
        return frozen_ + (real - std::min(real, *revokedAt_));
    }
    void SleepMs(std::uint32_t ms) override {
        const std::uint64_t scale = Revoked() ? 1 : scale_;
        std::this_thread::sleep_for(std::chrono::microseconds(std::uint64_t{ms} * 1000 / scale));
    }

  private:
    bool Revoked() const { return aids_ && aids_->Revoked(); }

    std::uint64_t scale_;
    std::shared_ptr<const TestingAids> aids_;
    std::mutex mutex_;
    std::optional<std::uint64_t> revokedAt_;
    std::uint64_t frozen_ = 0;
};

// MOX3_TIME_SCALE, 1 when unset or out of range.
std::uint32_t TimeScale() {
    static const std::uint32_t scale = [] {
        const char* text = std::getenv("MOX3_TIME_SCALE");
        long value = text ? std::strtol(text, nullptr, 10) : 1;
        return value > 0 && value <= 1000 ? static_cast<std::uint32_t>(value) : 1u;
    }();
    return scale;
}

}  // namespace

std::shared_ptr<Clock> ScaledSystemClock(std::uint32_t scale) {
    return std::make_shared<RealClock>(scale);
}

std::shared_ptr<Clock> SystemClock() {
    static auto clock = std::make_shared<GatedClock>(TimeScale(), nullptr);
    return clock;
}

std::shared_ptr<Clock> SystemClock(std::shared_ptr<const TestingAids> aids) {
    return std::make_shared<GatedClock>(TimeScale(), std::move(aids));
}

}  // namespace mox3
