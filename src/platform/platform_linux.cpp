#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <algorithm>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>

#include "base/text.h"
#include "platform/platform.h"

#ifdef MOX3_HAVE_SD_BUS
#include <systemd/sd-bus.h>
#endif

namespace mox3 {

namespace fs = std::filesystem;

namespace {

std::string ErrnoText(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

}  // namespace

bool WriteFileDurably(const fs::path& file, std::string_view data, std::string* error) {
    int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        if (error) *error = ErrnoText("cannot create " + file.string());
        return false;
    }
    std::size_t done = 0;
    while (done < data.size()) {
        ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (error) *error = ErrnoText("cannot write " + file.string());
            ::close(fd);
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    if (::fsync(fd) != 0) {
        if (error) *error = ErrnoText("cannot flush " + file.string());
        ::close(fd);
        return false;
    }
    ::close(fd);
    return true;
}

bool MoveIntoPlace(const fs::path& from, const fs::path& to, std::string* error) {
    if (::rename(from.c_str(), to.c_str()) != 0) {
        if (error) *error = ErrnoText("cannot replace " + to.string());
        return false;
    }
    return true;
}

void SyncFolder(const fs::path& dir) {
    int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

fs::path MakeTempFolder(std::string_view prefix, std::string* error) {
    std::error_code ec;
    fs::path base = fs::temp_directory_path(ec);
    if (ec) base = "/tmp";
    std::string pattern = (base / (std::string(prefix) + "XXXXXX")).string();
    if (::mkdtemp(pattern.data()) == nullptr) {  // mode 0700
        if (error) *error = ErrnoText("cannot create a temporary folder in " + base.string());
        return {};
    }
    return pattern;
}

FileLock::FileLock(const fs::path& file) {
    // Never a link's target, nor a FIFO that would keep the open waiting.
    int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
    if (fd < 0) {
        error_ = ErrnoText("cannot open " + file.string());
        return;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        error_ = "cannot lock " + file.string() + ": not a regular file";
        ::close(fd);
        return;
    }
    while (::flock(fd, LOCK_EX) != 0) {
        if (errno == EINTR) continue;
        error_ = ErrnoText("cannot lock " + file.string());
        ::close(fd);
        return;
    }
    handle_ = fd;
    held_ = true;
}

FileLock::~FileLock() {
    if (held_) ::close(static_cast<int>(handle_));  // closing the descriptor releases the lock
}

std::string ToSystemAnsi(std::u16string_view text) {
    return ToAnsi(text);
}

bool MayWriteDrives(std::string* why) {
    constexpr unsigned kCapSysRawio = 17;
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("CapEff:", 0) != 0) continue;
        const unsigned long long effective = std::strtoull(line.c_str() + 7, nullptr, 16);
        if ((effective >> kCapSysRawio) & 1) return true;
        break;
    }
    if (why) {
        *why = "updating a drive needs root: the kernel lets only a process with CAP_SYS_RAWIO "
               "send the commands that write its flash; run it with sudo";
    }
    return false;
}

std::filesystem::path Utf8Path(std::string_view text) {
    return std::filesystem::path(std::string(text));
}

std::vector<std::string> ProgramArguments(int argc, char** argv) {
    return std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + (argc > 0 ? argc : 0));
}

void PrepareConsoleForUtf8() {}

bool StdoutIsTerminal() {
    return ::isatty(1) != 0;
}

bool ReadInputLine(std::string* line) {
    if (!std::getline(std::cin, *line)) return false;
    if (!line->empty() && line->back() == '\r') line->pop_back();
    return true;
}

namespace {

// Lock-free atomics: read and written by the handler, on whichever thread it runs, and by the
// threads of drives updated at once.
std::atomic<int> protectedStretch{0};
std::atomic<int> interrupted{0};
static_assert(std::atomic<int>::is_always_lock_free);
int interruptedExitCode = 4;
// Written by the handler as it stands: the length is cleared while the text changes.
char interruptionOutput[1024];
std::atomic<int> interruptionOutputLength{0};

// Interruptions at any time: they end the process outside a protected stretch.
constexpr int kInterruptions[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
// Signals whose default is to end the process, caught only in a protected stretch and then
// deferred like the interruptions; outside it they keep whatever they had.
constexpr int kDeferredWhileProtected[] = {SIGUSR1, SIGUSR2, SIGALRM, SIGVTALRM, SIGPROF};
// The job-control stops from the terminal, ignored in a protected stretch: a drive half
// written must not wait for someone to remember the stopped job.
constexpr int kIgnoredWhileProtected[] = {SIGTSTP, SIGTTIN, SIGTTOU};

// What the signals caught or ignored in the protected stretch had before it.
struct sigaction savedDeferred[std::size(kDeferredWhileProtected)];
struct sigaction savedIgnored[std::size(kIgnoredWhileProtected)];
bool stretchActionsSet = false;

void WriteError(const char* text) {
    ssize_t ignored = ::write(2, text, std::strlen(text));
    (void)ignored;
}

void OnInterruption(int) {
    const int savedErrno = errno;  // the interrupted code may be about to read it
    if (!protectedStretch) {
        WriteError("\ninterrupted: nothing was sent to the drive that needs finishing\n");
        if (const std::size_t length = static_cast<std::size_t>(interruptionOutputLength)) {
            ssize_t ignored = ::write(1, interruptionOutput, length);
            (void)ignored;
        }
        std::_Exit(interruptedExitCode);
    }
    if (!interrupted) {
        WriteError("\ninterruption deferred: the drive is being written; the update finishes "
                   "first, then the program ends\n");
    }
    interrupted = 1;
    errno = savedErrno;
}

// The handler, with every signal it handles blocked while it runs.
struct sigaction InterruptionAction() {
    struct sigaction action {};
    action.sa_handler = OnInterruption;
    sigemptyset(&action.sa_mask);
    for (int signal : kInterruptions) sigaddset(&action.sa_mask, signal);
    for (int signal : kDeferredWhileProtected) sigaddset(&action.sa_mask, signal);
    action.sa_flags = SA_RESTART;
    return action;
}

}  // namespace

void InstallInterruptionHandling(int exitCode) {
    interruptedExitCode = exitCode;
    const struct sigaction action = InterruptionAction();
    for (int signal : kInterruptions) ::sigaction(signal, &action, nullptr);
    ::signal(SIGPIPE, SIG_IGN);
}

void ProtectFromInterruptions(bool protect) {
    if (protect) {
        // Marked first, so that the handler never takes a signal caught here for one that
        // ends the process.
        protectedStretch = 1;
        if (stretchActionsSet) return;
        const struct sigaction action = InterruptionAction();
        for (std::size_t i = 0; i < std::size(kDeferredWhileProtected); ++i) {
            ::sigaction(kDeferredWhileProtected[i], nullptr, &savedDeferred[i]);
            // A signal the process ignores would not have ended it: it stays ignored.
            if (!(savedDeferred[i].sa_flags & SA_SIGINFO) &&
                savedDeferred[i].sa_handler == SIG_IGN) {
                continue;
            }
            ::sigaction(kDeferredWhileProtected[i], &action, nullptr);
        }
        struct sigaction ignore {};
        ignore.sa_handler = SIG_IGN;
        sigemptyset(&ignore.sa_mask);
        for (std::size_t i = 0; i < std::size(kIgnoredWhileProtected); ++i) {
            ::sigaction(kIgnoredWhileProtected[i], &ignore, &savedIgnored[i]);
        }
        stretchActionsSet = true;
        return;
    }
    // Given back before the mark goes, for the same reason.
    if (stretchActionsSet) {
        for (std::size_t i = 0; i < std::size(kDeferredWhileProtected); ++i) {
            ::sigaction(kDeferredWhileProtected[i], &savedDeferred[i], nullptr);
        }
        for (std::size_t i = 0; i < std::size(kIgnoredWhileProtected); ++i) {
            ::sigaction(kIgnoredWhileProtected[i], &savedIgnored[i], nullptr);
        }
        stretchActionsSet = false;
    }
    protectedStretch = 0;
}

bool InterruptionArrived() {
    return interrupted != 0;
}

void SetInterruptionOutput(const std::string& text) {
    interruptionOutputLength = 0;
    const std::size_t length = std::min(text.size(), sizeof interruptionOutput);
    std::memcpy(interruptionOutput, text.data(), length);
    interruptionOutputLength = static_cast<std::sig_atomic_t>(length);
}

namespace {

int inhibitorFd = -1;

#ifdef MOX3_HAVE_SD_BUS
// A logind that does not answer must not hold the update up.
constexpr std::uint64_t kInhibitTimeoutMicroseconds = 5'000'000;

// The inhibitor lock logind gives for as long as the descriptor stays open; -1 without one.
int TakeInhibitorLock() {
    sd_bus* bus = nullptr;
    if (sd_bus_open_system(&bus) < 0) return -1;
    sd_bus_set_method_call_timeout(bus, kInhibitTimeoutMicroseconds);
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    int fd = -1;
    if (sd_bus_call_method(bus, "org.freedesktop.login1", "/org/freedesktop/login1",
                           "org.freedesktop.login1.Manager", "Inhibit", &error, &reply, "ssss",
                           "sleep:shutdown:idle", "mox3-updater", "writing a drive's flash",
                           "block") >= 0) {
        int lent = -1;  // the message's own, closed with it
        if (sd_bus_message_read(reply, "h", &lent) >= 0 && lent >= 0) {
            fd = ::fcntl(lent, F_DUPFD_CLOEXEC, 3);
        }
    }
    sd_bus_error_free(&error);
    sd_bus_message_unref(reply);
    sd_bus_flush_close_unref(bus);
    return fd;
}
#else
int TakeInhibitorLock() {
    return -1;
}
#endif

}  // namespace

void KeepSystemAwake(bool on) {
    if (on && inhibitorFd < 0) {
        inhibitorFd = TakeInhibitorLock();
    } else if (!on && inhibitorFd >= 0) {
        ::close(inhibitorFd);
        inhibitorFd = -1;
    }
}

void KillProcessNow() {
    ::raise(SIGKILL);
    std::_Exit(137);
}

}  // namespace mox3
