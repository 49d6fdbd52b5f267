// The signals a protected stretch defers or ignores, each tried in a child process of its own.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <string>

#include "platform/platform.h"

namespace mox3 {
namespace {

constexpr int kInterruptedCode = 4;

struct ChildEnd {
    int status = 0;
    std::string errorText;  // what the child wrote on standard error
};

// Runs `body` in a child with its standard error in a pipe; the child ends with what `body`
// returns unless a signal ends or stops it first (a stopped child is killed; the status says
// it stopped).
template <typename Body>
ChildEnd RunChild(Body body) {
    int err[2];
    EXPECT_EQ(::pipe(err), 0);
    const pid_t child = ::fork();
    if (child == 0) {
        ::dup2(err[1], 2);
        ::close(err[0]);
        // A process group of its own whose parent is outside it: not orphaned, so that the
        // terminal's stop signals are not dropped by the kernel before the child sees them.
        ::setpgid(0, 0);
        std::_Exit(body());
    }
    ::close(err[1]);
    ChildEnd end;
    ::waitpid(child, &end.status, WUNTRACED);
    if (WIFSTOPPED(end.status) && ::kill(child, SIGKILL) == 0) ::waitpid(child, nullptr, 0);
    char buffer[256];
    for (ssize_t n; (n = ::read(err[0], buffer, sizeof buffer)) > 0;) {
        end.errorText.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(err[0]);
    return end;
}

class Signal : public testing::TestWithParam<int> {};

// In the stretch (said twice, as the run may) an ending signal is deferred and said once, a
// stop signal ignored; afterwards each has its default again and ends or stops the process.
TEST_P(Signal, IsDeferredOrIgnoredInsideTheStretchAndHasItsDefaultAfter) {
    const int signal = GetParam();
    const bool stops = signal == SIGTSTP || signal == SIGTTIN || signal == SIGTTOU;
    const ChildEnd end = RunChild([=] {
        InstallInterruptionHandling(kInterruptedCode);
        ProtectFromInterruptions(true);
        ProtectFromInterruptions(true);
        ::raise(signal);
        ::raise(signal);
        if (InterruptionArrived() == stops) return 10;
        (void)!::write(2, "went on\n", 8);
        ProtectFromInterruptions(false);
        ::raise(signal);
        return 11;
    });
    if (stops) {
        EXPECT_EQ(end.errorText, "went on\n");
        ASSERT_TRUE(WIFSTOPPED(end.status)) << "status " << end.status;
        EXPECT_EQ(WSTOPSIG(end.status), signal);
    } else {
        ASSERT_TRUE(WIFSIGNALED(end.status)) << "exit " << WEXITSTATUS(end.status);
        EXPECT_EQ(WTERMSIG(end.status), signal);
        const std::string said = "interruption deferred";  // once
        EXPECT_NE(end.errorText.find(said), std::string::npos) << end.errorText;
        EXPECT_EQ(end.errorText.find(said), end.errorText.rfind(said)) << end.errorText;
    }
}

INSTANTIATE_TEST_SUITE_P(Interruption, Signal,
                         testing::Values(SIGUSR1, SIGUSR2, SIGALRM, SIGVTALRM, SIGPROF, SIGTSTP,
                                         SIGTTIN, SIGTTOU));

TEST(Interruption, StretchGivesBackHandlersAndIgnoredSignalsAsTheyWere) {
    const ChildEnd end = RunChild([] {
        struct sigaction own {};
        own.sa_handler = [](int) {};
        sigemptyset(&own.sa_mask);
        ::sigaction(SIGUSR1, &own, nullptr);
        ::signal(SIGALRM, SIG_IGN);
        ::signal(SIGTTOU, SIG_IGN);
        InstallInterruptionHandling(kInterruptedCode);
        ProtectFromInterruptions(true);
        // Ignored before, so no interruption: it would not have ended the process.
        ::raise(SIGALRM);
        if (InterruptionArrived()) return 10;
        ProtectFromInterruptions(false);
        for (const auto& [signal, handler] : {std::pair{SIGUSR1, own.sa_handler},
                                              {SIGALRM, SIG_IGN}, {SIGTTOU, SIG_IGN},
                                              {SIGTSTP, SIG_DFL}}) {
            struct sigaction now {};
            ::sigaction(signal, nullptr, &now);
            if (now.sa_handler != handler) return 20 + signal;
        }
        ::raise(SIGUSR1);  // its own handler, not an interruption
        return InterruptionArrived() ? 15 : 0;
    });
    ASSERT_TRUE(WIFEXITED(end.status));
    EXPECT_EQ(WEXITSTATUS(end.status), 0);
}

}  // namespace
}  // namespace mox3
