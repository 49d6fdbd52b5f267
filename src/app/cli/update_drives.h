// What the update command's run of one drive and its run of several drives at once share.
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <ostream>

#include "app/cli/terminal_view.h"
#include "base/clock.h"

namespace mox3 {

// The stable name of the way an update ended with the message `messageId`, for scripts.
const char* UpdateErrorCode(int messageId);

// The run's clock, its long sleeps cut into seconds so that the view can show time passing.
class TickingClock : public Clock {
  public:
    TickingClock(std::shared_ptr<Clock> base, std::function<void()> tick)
        : base_(std::move(base)), tick_(std::move(tick)) {}
    std::uint64_t NowMs() override { return base_->NowMs(); }
    void SleepMs(std::uint32_t ms) override {
        while (ms > 0) {
            const std::uint32_t step = std::min<std::uint32_t>(ms, 1000);
            base_->SleepMs(step);
            ms -= step;
            if (ms > 0) tick_();
        }
    }

  private:
    std::shared_ptr<Clock> base_;
    std::function<void()> tick_;
};

// The update of several drives at once (--all, or --device given more than once): each drive
// in a thread of its own, one question for all, a line per drive at the end and the worst exit
// code. With at most one drive selected it is RunUpdate, to the byte.
int RunUpdateOfDrives(const Session& session, const RunOptions& options, std::ostream& out,
                      std::ostream& err);

}  // namespace mox3
