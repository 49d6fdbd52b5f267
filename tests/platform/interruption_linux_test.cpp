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
    if (WIFSTOPPED(end.status)) {
        ::kill(child, SIGKILL);
        int ignored = 0;
        ::waitpid(child, &ignored, 0);
    }
    char buffer[256];
    for (ssize_t n; (n = ::read(err[0], buffer, sizeof buffer)) > 0;) {
        end.errorText.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(err[0]);
    return end;
}

class DeferredSignal : public testing::TestWithParam<int> {};

// Deferred in the stretch (said once for two), then its own default again: it ends the process.
TEST_P(DeferredSignal, IsDeferredInsideTheStretchAndHasItsDefaultAfter) {
    const int signal = GetParam();
    const ChildEnd end = RunChild([signal] {
        InstallInterruptionHandling(kInterruptedCode);
        ProtectFromInterruptions(true);
        ProtectFromInterruptions(true);  // said twice, as the run may
        ::raise(signal);
        ::raise(signal);
        if (!InterruptionArrived()) return 10;
        ProtectFromInterruptions(false);
        ::raise(signal);
        return 11;
    });
    ASSERT_TRUE(WIFSIGNALED(end.status)) << "exit " << WEXITSTATUS(end.status);
    EXPECT_EQ(WTERMSIG(end.status), signal);
    const std::string said = "interruption deferred";  // once
    EXPECT_NE(end.errorText.find(said), std::string::npos) << end.errorText;
    EXPECT_EQ(end.errorText.find(said), end.errorText.rfind(said)) << end.errorText;
}

INSTANTIATE_TEST_SUITE_P(Interruption, DeferredSignal,
                         testing::Values(SIGUSR1, SIGUSR2, SIGALRM, SIGVTALRM, SIGPROF));

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
        struct sigaction now {};
        ::sigaction(SIGUSR1, nullptr, &now);
        if (now.sa_handler != own.sa_handler) return 11;
        ::sigaction(SIGALRM, nullptr, &now);
        if (now.sa_handler != SIG_IGN) return 12;
        ::sigaction(SIGTTOU, nullptr, &now);
        if (now.sa_handler != SIG_IGN) return 13;
        ::sigaction(SIGTSTP, nullptr, &now);
        if (now.sa_handler != SIG_DFL) return 14;
        ::raise(SIGUSR1);  // its own handler, not an interruption
        return InterruptionArrived() ? 15 : 0;
    });
    ASSERT_TRUE(WIFEXITED(end.status));
    EXPECT_EQ(WEXITSTATUS(end.status), 0);
}

class StopSignal : public testing::TestWithParam<int> {};

// Ignored in the stretch; afterwards it stops the process again.
TEST_P(StopSignal, IsIgnoredInsideTheStretchAndStopsAfter) {
    const int signal = GetParam();
    const ChildEnd end = RunChild([signal] {
        InstallInterruptionHandling(kInterruptedCode);
        ProtectFromInterruptions(true);
        ::raise(signal);
        if (InterruptionArrived()) return 10;
        (void)!::write(2, "went on\n", 8);
        ProtectFromInterruptions(false);
        ::raise(signal);
        return 11;
    });
    EXPECT_EQ(end.errorText, "went on\n");
    ASSERT_TRUE(WIFSTOPPED(end.status)) << "status " << end.status;
    EXPECT_EQ(WSTOPSIG(end.status), signal);
}

INSTANTIATE_TEST_SUITE_P(Interruption, StopSignal, testing::Values(SIGTSTP, SIGTTIN, SIGTTOU));

}  // namespace
}  // namespace mox3
