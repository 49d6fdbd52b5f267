// Time for the host side: every wait of the program goes through a clock, so that tests can
// drive time instead of sleeping.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <utility>

namespace mox3 {

class Clock {
  public:
    virtual ~Clock() = default;
    // Milliseconds on a scale that only moves forward.
    virtual std::uint64_t NowMs() = 0;
    virtual void SleepMs(std::uint32_t ms) = 0;
};

// Testing aids (the time scale, and the process killing itself at a request) are for emulated
// drives only: the first request that would change a drive without the emulator's mark revokes
// them for the rest of the session, since a real bridge needs its real waits. The session
// makes one; its clock and the backend that guards the aids share it.
class TestingAids {
  public:
    void Revoke() { revoked_ = true; }
    bool Revoked() const { return revoked_; }

  private:
    std::atomic<bool> revoked_{false};
};

// The system's clock: wall-clock milliseconds and real sleeps. With MOX3_TIME_SCALE=N in the
// environment (a testing aid), time runs N times faster: waits last 1/N of their length and the
// clock counts N milliseconds for every real one, the same in every process; but only until
// `aids` are revoked, after which time runs at its real pace again. Without `aids` (work outside
// a session, which reaches no real drive) the scale stays.
std::shared_ptr<Clock> SystemClock();
std::shared_ptr<Clock> SystemClock(std::shared_ptr<const TestingAids> aids);

// The system's clock running `scale` times faster, whatever the environment says.
std::shared_ptr<Clock> ScaledSystemClock(std::uint32_t scale);

// A clock that moves only when slept on or advanced; sleeping never blocks. Threads may share
// it: each sleep moves the one time on.
class ManualClock : public Clock {
  public:
    explicit ManualClock(std::uint64_t startMs = 1'000'000) : now_(startMs) {}
    std::uint64_t NowMs() override { return now_; }
    void SleepMs(std::uint32_t ms) override {
        now_ += ms;
        slept_ += ms;
    }
    void Advance(std::uint64_t ms) { now_ += ms; }
    std::uint64_t sleptMs() const { return slept_; }

  private:
    std::atomic<std::uint64_t> now_;
    std::atomic<std::uint64_t> slept_{0};
};

// Passes everything on to `base` and counts the milliseconds slept on it.
class CountingClock : public Clock {
  public:
    explicit CountingClock(std::shared_ptr<Clock> base) : base_(std::move(base)) {}
    std::uint64_t NowMs() override { return base_->NowMs(); }
    void SleepMs(std::uint32_t ms) override {
        slept_ += ms;
        base_->SleepMs(ms);
    }
    std::uint64_t sleptMs() const { return slept_; }

  private:
    std::shared_ptr<Clock> base_;
    std::atomic<std::uint64_t> slept_{0};
};

}  // namespace mox3
