// The command line's answers to the console's control events, and the system kept awake while
// a drive is at risk.
#include "platform/console_control_windows.h"

#include <gtest/gtest.h>

#include <tuple>
#include <utility>

#include "platform/platform.h"

namespace mox3 {
namespace {

TEST(ConsoleControl, EventsWaitForTheDriveOnlyWhileItIsAtRisk) {
    using enum ConsoleEventAnswer;
    const std::tuple<DWORD, ConsoleEventAnswer, ConsoleEventAnswer> cases[] = {
        {CTRL_C_EVENT, EndNow, Defer},
        {CTRL_BREAK_EVENT, EndNow, Defer},
        // The system ends the process when the handler returns: the handler is held instead.
        {CTRL_CLOSE_EVENT, PassOn, HoldUntilSafe},
        {CTRL_LOGOFF_EVENT, PassOn, HoldUntilSafe},
        {CTRL_SHUTDOWN_EVENT, PassOn, HoldUntilSafe},
        {42, PassOn, PassOn},
    };
    for (auto [event, safe, atRisk] : cases) {
        EXPECT_EQ(std::pair(AnswerConsoleEvent(event, false), AnswerConsoleEvent(event, true)),
                  std::pair(safe, atRisk))
            << "event " << event;
    }
}

// The thread's execution state, read by setting it (the call answers the state before).
EXECUTION_STATE ThreadState() {
    const EXECUTION_STATE state = SetThreadExecutionState(ES_CONTINUOUS);
    SetThreadExecutionState(state);
    return state;
}

TEST(ConsoleControl, SystemStaysAwakeWhileTheDriveIsAtRisk) {
    KeepSystemAwake(true);
    const EXECUTION_STATE awake = ThreadState();
    if (awake == 0) GTEST_SKIP() << "the system does not tell the thread's state";
    EXPECT_EQ(awake & (ES_CONTINUOUS | ES_SYSTEM_REQUIRED), ES_CONTINUOUS | ES_SYSTEM_REQUIRED);
    KeepSystemAwake(false);
    EXPECT_EQ(ThreadState() & ES_SYSTEM_REQUIRED, 0u);
    // The command line's protected stretch does the same.
    for (bool atRisk : {true, false}) {
        ProtectFromInterruptions(atRisk);
        EXPECT_EQ((ThreadState() & ES_SYSTEM_REQUIRED) != 0, atRisk);
    }
    EXPECT_FALSE(InterruptionArrived());
}

}  // namespace
}  // namespace mox3
