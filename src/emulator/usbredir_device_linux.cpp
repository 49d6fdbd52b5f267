// The usbredir device side on a socket.
#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "emulator/usbredir_device.h"

namespace mox3 {

namespace {

// The longest real wait between two looks at the drive and the stop flag.
constexpr int kMaxWaitMs = 100;

volatile std::sig_atomic_t stopRequested = 0;

extern "C" void OnStopSignal(int) {
    stopRequested = 1;
}

bool Fail(std::string* error, std::string why) {
    if (error) *error = std::move(why);
    return false;
}

std::string SystemError(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

bool WriteAll(int fd, std::span<const std::uint8_t> bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        bytes = bytes.subspan(static_cast<std::size_t>(n));
    }
    return true;
}

}  // namespace

bool ServeUsbRedir(int fd, const std::filesystem::path& folder,
                   std::shared_ptr<EmulatorClock> clock, const volatile std::sig_atomic_t* stop,
                   std::string* error) {
    UsbRedirDevice device(folder, std::move(clock), [fd](std::span<const std::uint8_t> bytes) {
        return WriteAll(fd, bytes);
    });
    if (!device.Start()) return Fail(error, device.error());
    std::vector<std::uint8_t> buffer(64 * 1024);
    std::uint64_t wait = 0;
    while (stop == nullptr || *stop == 0) {
        pollfd p{fd, POLLIN, 0};
        const int ready =
            ::poll(&p, 1, static_cast<int>(std::min<std::uint64_t>(wait, kMaxWaitMs)));
        if (ready < 0 && errno != EINTR) return Fail(error, SystemError("poll"));
        if (ready > 0) {
            const ssize_t n = ::recv(fd, buffer.data(), buffer.size(), 0);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) return Fail(error, SystemError("recv"));
            if (n == 0) return true;  // the peer closed the connection
            if (!device.Receive(std::span(buffer.data(), static_cast<std::size_t>(n)))) {
                return Fail(error, device.error());
            }
        }
        wait = device.Poll();
        if (!device.error().empty()) return Fail(error, device.error());
    }
    return true;
}

bool ServeUsbRedirSocket(const std::string& path, bool connect, const std::filesystem::path& folder,
                         std::shared_ptr<EmulatorClock> clock,
                         const std::function<void(const std::string&)>& onReady,
                         std::string* error) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof address.sun_path) {
        return Fail(error, "the socket path is empty or too long: " + path);
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);

    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    struct sigaction oldTerm {
    }, oldInt{};
    stopRequested = 0;
    sigaction(SIGTERM, &action, &oldTerm);
    sigaction(SIGINT, &action, &oldInt);
    struct Restore {
        struct sigaction term, intr;
        ~Restore() {
            sigaction(SIGTERM, &term, nullptr);
            sigaction(SIGINT, &intr, nullptr);
        }
    } restore{oldTerm, oldInt};

    const int sock = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (sock < 0) return Fail(error, SystemError("socket"));
    struct Closer {
        int fd;
        ~Closer() {
            if (fd >= 0) ::close(fd);
        }
    } own{sock};
    const auto* where = reinterpret_cast<const sockaddr*>(&address);

    if (connect) {
        if (::connect(sock, where, sizeof address) != 0) {
            return Fail(error, SystemError("connect to " + path));
        }
        if (onReady) onReady(path);
        return ServeUsbRedir(sock, folder, std::move(clock), &stopRequested, error);
    }

    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode)) ::unlink(path.c_str());
    if (::bind(sock, where, sizeof address) != 0) return Fail(error, SystemError("bind " + path));
    if (::listen(sock, 1) != 0) return Fail(error, SystemError("listen"));
    if (onReady) onReady(path);
    int peer = -1;
    while (peer < 0 && stopRequested == 0) {
        pollfd p{sock, POLLIN, 0};
        if (::poll(&p, 1, kMaxWaitMs) > 0) peer = ::accept4(sock, nullptr, nullptr, SOCK_CLOEXEC);
    }
    bool ok = true;
    if (peer >= 0) {
        Closer ownPeer{peer};
        ok = ServeUsbRedir(peer, folder, std::move(clock), &stopRequested, error);
    }
    ::unlink(path.c_str());
    return ok;
}

}  // namespace mox3
