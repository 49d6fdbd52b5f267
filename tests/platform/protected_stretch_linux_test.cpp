// The protected stretch of a run: the signals it defers or ignores, each tried in a child
// process of its own; and the inhibitor lock against sleep and shutdown, with no bus at all and
// on a private bus of the test's own with a stand-in for logind on it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "test_support.h"

#ifdef MOX3_HAVE_SD_BUS
#include <systemd/sd-bus.h>
#endif

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
                                              {SIGALRM, SIG_IGN},
                                              {SIGTTOU, SIG_IGN},
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

namespace fs = std::filesystem;

long OpenDescriptors() {
    return std::distance(fs::directory_iterator("/proc/self/fd"), {});
}

// Sets the system bus's address for the object's lifetime.
struct SystemBusAddress {
    explicit SystemBusAddress(const std::string& address) {
        test::SetEnv("DBUS_SYSTEM_BUS_ADDRESS", address.c_str());
    }
    ~SystemBusAddress() { test::UnsetEnv("DBUS_SYSTEM_BUS_ADDRESS"); }
};

TEST(KeepSystemAwake, WithoutASystemBusGoesOn) {
    test::TempDir dir;
    SystemBusAddress address("unix:path=" + (dir / "no-bus").string());
    const long before = OpenDescriptors();
    KeepSystemAwake(true);
    KeepSystemAwake(true);
    KeepSystemAwake(false);
    EXPECT_EQ(OpenDescriptors(), before);
}

#ifdef MOX3_HAVE_SD_BUS

// A dbus-daemon of the test's own, listening in the test's folder.
class PrivateBus {
  public:
    explicit PrivateBus(const fs::path& dir) {
        // Once it listens it prints its address and process id; its complaints go to a file.
        const std::string command =
            "dbus-daemon --session --fork --print-address=1 --print-pid=1 --nosyslog "
            "--address=unix:path=" +
            (dir / "bus").string() + " 2>" + (dir / "bus.log").string();
        std::FILE* out = ::popen(command.c_str(), "r");
        char line[512];
        if (out && std::fgets(line, sizeof line, out)) {
            address_.assign(line, std::strcspn(line, "\n"));
        }
        if (out && std::fgets(line, sizeof line, out)) pid_ = std::atoi(line);
        if (out) ::pclose(out);
    }
    ~PrivateBus() {
        if (pid_ > 0) ::kill(pid_, SIGTERM);
    }
    const std::string& address() const { return address_; }

  private:
    pid_t pid_ = -1;
    std::string address_;
};

// A stand-in for logind: Inhibit answered as logind does, with a descriptor whose other end
// the test watches.
struct StandIn {
    std::vector<std::string> asked;  // the arguments of each Inhibit, one text each
    int watched = -1;
    ~StandIn() {
        if (watched >= 0) ::close(watched);
    }
    static int Inhibit(sd_bus_message* m, void* self, sd_bus_error*) {
        auto* me = static_cast<StandIn*>(self);
        const char *what = nullptr, *who = nullptr, *why = nullptr, *mode = nullptr;
        int r = sd_bus_message_read(m, "ssss", &what, &who, &why, &mode);
        if (r < 0) return r;
        me->asked.push_back(std::string(what) + "|" + who + "|" + why + "|" + mode);
        int lock[2];
        if (::pipe2(lock, O_CLOEXEC) != 0) return -errno;
        if (me->watched >= 0) ::close(me->watched);
        me->watched = lock[0];
        r = sd_bus_reply_method_return(m, "h", lock[1]);  // the reply carries its own copy
        ::close(lock[1]);
        return r;
    }
    // Whether the lock's descriptor is still held somewhere, waiting at most `ms` for it to go.
    bool Held(int ms) const {
        pollfd p{watched, POLLIN, 0};
        return watched >= 0 && ::poll(&p, 1, ms) == 0;
    }
};

constexpr sd_bus_vtable kLogind[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD("Inhibit", "ssss", "h", StandIn::Inhibit, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_VTABLE_END};

TEST(KeepSystemAwake, HoldsLogindsLockUntilOff) {
    test::TempDir dir;
    PrivateBus bus(dir.path());
    if (bus.address().empty()) GTEST_SKIP() << "no dbus-daemon of the test's own";
    StandIn logind;
    sd_bus* served = nullptr;
    ASSERT_GE(sd_bus_new(&served), 0);
    const std::unique_ptr<sd_bus, sd_bus* (*)(sd_bus*)> owned(served, sd_bus_flush_close_unref);
    ASSERT_TRUE(sd_bus_set_address(served, bus.address().c_str()) >= 0 &&
                sd_bus_set_bus_client(served, 1) >= 0 && sd_bus_negotiate_fds(served, 1) >= 0 &&
                sd_bus_start(served) >= 0 &&
                sd_bus_add_object_vtable(served, nullptr, "/org/freedesktop/login1",
                                         "org.freedesktop.login1.Manager", kLogind, &logind) >= 0 &&
                sd_bus_request_name(served, "org.freedesktop.login1", 0) >= 0);
    SystemBusAddress address(bus.address());
    // The stand-in answers on this thread while the program asks on another.
    const auto keepAwake = [&] {
        auto asked = std::async(std::launch::async, [] { KeepSystemAwake(true); });
        while (asked.wait_for(std::chrono::seconds(0)) != std::future_status::ready) {
            while (sd_bus_process(served, nullptr) > 0) {
            }
            sd_bus_wait(served, 10'000);
        }
    };
    keepAwake();
    EXPECT_TRUE(logind.Held(0));
    keepAwake();  // one lock, kept
    EXPECT_TRUE(logind.Held(0));
    EXPECT_EQ(logind.asked, std::vector<std::string>{"sleep:shutdown:idle|mox3-updater|"
                                                     "writing a drive's flash|block"});
    KeepSystemAwake(false);
    EXPECT_FALSE(logind.Held(5000));
}

#endif

}  // namespace
}  // namespace mox3
