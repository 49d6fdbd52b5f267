#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fstream>
#include <iostream>
#include <random>

#include "base/text.h"
#include "platform/platform.h"

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

bool ReplaceFileAtomically(const fs::path& file, std::string_view data, bool privateToUser,
                           std::string* error) {
    // The folder is opened once: the temporary file is made, renamed and flushed in the very
    // folder that was opened, whatever happens to its path meanwhile.
    const fs::path folder = file.has_parent_path() ? file.parent_path() : fs::path(".");
    const std::string name = file.filename().string();
    int dirFd = name.empty() || name == "." || name == ".."
                    ? -1
                    : ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd < 0) {
        if (error) *error = ErrnoText("cannot write " + file.string());
        return false;
    }
    std::random_device random;
    const std::string temp = name + ".tmp" + std::to_string(random());
    // A new file of its own: never one that is there already, nor a link's target.
    int fd = ::openat(dirFd, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                      privateToUser ? 0600 : 0644);
    if (fd < 0) {
        if (error) *error = ErrnoText("cannot write " + file.string());
        ::close(dirFd);
        return false;
    }
    std::string why;
    bool ok = true;
    std::size_t done = 0;
    while (ok && done < data.size()) {
        ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        ok = n > 0;
        if (ok) done += static_cast<std::size_t>(n);
    }
    if (!ok) why = ErrnoText("cannot write " + file.string());
    if (ok && ::fsync(fd) != 0) {
        ok = false;
        why = ErrnoText("cannot flush " + file.string());
    }
    if (::close(fd) != 0 && ok) {
        ok = false;
        why = ErrnoText("cannot write " + file.string());
    }
    if (ok && ::renameat(dirFd, temp.c_str(), dirFd, name.c_str()) != 0) {
        ok = false;
        why = ErrnoText("cannot replace " + file.string());
    }
    // Until the folder is flushed the new name may not survive a power failure.
    if (ok && ::fsync(dirFd) != 0) {
        ok = false;
        why = ErrnoText("cannot flush the folder of " + file.string());
    }
    if (!ok) {
        ::unlinkat(dirFd, temp.c_str(), 0);
        if (error) *error = why;
    }
    ::close(dirFd);
    return ok;
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

volatile std::sig_atomic_t protectedStretch = 0;
volatile std::sig_atomic_t interrupted = 0;
int interruptedExitCode = 4;

void WriteError(const char* text) {
    ssize_t ignored = ::write(2, text, std::strlen(text));
    (void)ignored;
}

void OnInterruption(int) {
    if (!protectedStretch) {
        WriteError("\ninterrupted: nothing was sent to the drive that needs finishing\n");
        std::_Exit(interruptedExitCode);
    }
    if (!interrupted) {
        WriteError("\ninterruption deferred: the drive is being written; the update finishes "
                   "first, then the program ends\n");
    }
    interrupted = 1;
}

}  // namespace

void InstallInterruptionHandling(int exitCode) {
    interruptedExitCode = exitCode;
    struct sigaction action {};
    action.sa_handler = OnInterruption;
    sigemptyset(&action.sa_mask);
    for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) sigaddset(&action.sa_mask, signal);
    action.sa_flags = SA_RESTART;
    for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) ::sigaction(signal, &action, nullptr);
    ::signal(SIGPIPE, SIG_IGN);
}

void ProtectFromInterruptions(bool protect) {
    protectedStretch = protect ? 1 : 0;
}

bool InterruptionArrived() {
    return interrupted != 0;
}

void KillProcessNow() {
    ::raise(SIGKILL);
    std::_Exit(137);
}

}  // namespace mox3
