// How the command line answers the console's control events (Ctrl-C, Ctrl-Break, the console
// window closed, the user logging off, the system shutting down).
#pragma once

#include <windows.h>

namespace mox3 {

enum class ConsoleEventAnswer {
    PassOn,         // not ours: the next handler (in the end the system's, which ends the process)
    EndNow,         // say so and end the process at once: nothing needs finishing
    Defer,          // note it, say so once, and let the update finish; the program then exits
    HoldUntilSafe,  // note it and keep the handler (and so the process) until the drive is safe
};

// The answer to console event `event` while a drive is at risk (`driveAtRisk`) or not. The
// system ends the process when the handler of a close, log-off or shutdown event returns, and
// does not wait for it for ever; holding the handler is all a console program can do.
ConsoleEventAnswer AnswerConsoleEvent(DWORD event, bool driveAtRisk);

}  // namespace mox3
