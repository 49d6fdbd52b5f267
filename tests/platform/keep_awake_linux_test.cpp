// The inhibitor lock against sleep and shutdown: no bus at all, and a private bus of the
// test's own with a stand-in for logind on it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "test_support.h"

#ifdef MOX3_HAVE_SD_BUS
#include <systemd/sd-bus.h>
#endif

namespace mox3 {
namespace {

namespace fs = std::filesystem;

long OpenDescriptors() { return std::distance(fs::directory_iterator("/proc/self/fd"), {}); }

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
        std::ofstream(dir / "bus.conf") << "<busconfig><type>custom</type><listen>unix:path="
                                        << (dir / "bus").string()
                                        << "</listen><auth>EXTERNAL</auth><policy context="
                                           "\"default\"><allow user=\"*\"/><allow own=\"*\"/>"
                                           "<allow send_destination=\"*\"/><allow "
                                           "receive_sender=\"*\"/></policy></busconfig>\n";
        // Once it listens it prints its address and process id; its complaints go to a file.
        std::FILE* out = ::popen(("dbus-daemon --fork --print-address=1 --print-pid=1 --nosyslog "
                                  "--config-file=" + (dir / "bus.conf").string() + " 2>" +
                                  (dir / "bus.log").string()).c_str(), "r");
        char line[512];
        if (out && std::fgets(line, sizeof line, out)) address_.assign(line, std::strcspn(line, "\n"));
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

// Answers Inhibit on the bus as logind does: a descriptor whose other end the test watches.
class StandInLogind {
  public:
    explicit StandInLogind(const std::string& address) {
        if (::pipe2(stop_, O_CLOEXEC) != 0) return;
        sd_bus* bus = nullptr;
        if (sd_bus_new(&bus) < 0) return;
        bus_ = bus;
        if (sd_bus_set_address(bus, address.c_str()) < 0 || sd_bus_set_bus_client(bus, 1) < 0 ||
            sd_bus_negotiate_fds(bus, 1) < 0 || sd_bus_start(bus) < 0 ||
            sd_bus_add_object_vtable(bus, nullptr, "/org/freedesktop/login1",
                                     "org.freedesktop.login1.Manager", kTable, this) < 0 ||
            sd_bus_request_name(bus, "org.freedesktop.login1", 0) < 0) {
            return;
        }
        ready_ = true;
        thread_ = std::thread([this] { Serve(); });
    }
    ~StandInLogind() {
        if (thread_.joinable()) {
            (void)!::write(stop_[1], "x", 1);
            thread_.join();
        }
        if (bus_) sd_bus_flush_close_unref(bus_);
        for (int fd : {stop_[0], stop_[1], watched_}) {
            if (fd >= 0) ::close(fd);
        }
    }
    bool ready() const { return ready_; }
    // The arguments of each Inhibit, one text each.
    std::vector<std::string> asked() const {
        std::lock_guard<std::mutex> hold(mutex_);
        return asked_;
    }
    // Whether the lock's descriptor is still held somewhere, waiting at most `ms` for it to go.
    bool Held(int ms) const {
        std::unique_lock<std::mutex> hold(mutex_);
        pollfd p{watched_, POLLIN, 0};
        hold.unlock();
        return p.fd >= 0 && ::poll(&p, 1, ms) == 0;
    }

  private:
    static int Inhibit(sd_bus_message* m, void* self, sd_bus_error*) {
        auto* me = static_cast<StandInLogind*>(self);
        const char *what = nullptr, *who = nullptr, *why = nullptr, *mode = nullptr;
        int r = sd_bus_message_read(m, "ssss", &what, &who, &why, &mode);
        if (r < 0) return r;
        std::lock_guard<std::mutex> hold(me->mutex_);
        me->asked_.push_back(std::string(what) + "|" + who + "|" + why + "|" + mode);
        int lock[2];
        if (::pipe2(lock, O_CLOEXEC) != 0) return -errno;
        if (me->watched_ >= 0) ::close(me->watched_);
        me->watched_ = lock[0];
        r = sd_bus_reply_method_return(m, "h", lock[1]);  // the reply carries its own copy
        ::close(lock[1]);
        return r;
    }
    void Serve() {
        for (;;) {
            while (sd_bus_process(bus_, nullptr) > 0) {
            }
            pollfd p[2] = {{sd_bus_get_fd(bus_), static_cast<short>(sd_bus_get_events(bus_)), 0},
                           {stop_[0], POLLIN, 0}};
            if (::poll(p, 2, -1) < 0 || p[1].revents != 0) return;
        }
    }
    static constexpr sd_bus_vtable kTable[] = {
        SD_BUS_VTABLE_START(0),
        SD_BUS_METHOD("Inhibit", "ssss", "h", Inhibit, SD_BUS_VTABLE_UNPRIVILEGED),
        SD_BUS_VTABLE_END};

    sd_bus* bus_ = nullptr;
    int stop_[2] = {-1, -1};
    int watched_ = -1;
    bool ready_ = false;
    mutable std::mutex mutex_;
    std::vector<std::string> asked_;
    std::thread thread_;
};

TEST(KeepSystemAwake, HoldsLogindsLockUntilOff) {
    test::TempDir dir;
    PrivateBus bus(dir.path());
    if (bus.address().empty()) GTEST_SKIP() << "no dbus-daemon of the test's own";
    StandInLogind logind(bus.address());
    ASSERT_TRUE(logind.ready());
    SystemBusAddress address(bus.address());

    KeepSystemAwake(true);
    EXPECT_TRUE(logind.Held(0));
    KeepSystemAwake(true);  // one lock, kept
    EXPECT_TRUE(logind.Held(0));
    EXPECT_EQ(logind.asked(), std::vector<std::string>{"sleep:shutdown:idle|mox3-updater|"
                                                       "writing a drive's flash|block"});
    KeepSystemAwake(false);
    EXPECT_FALSE(logind.Held(5000));
}

#endif

}  // namespace
}  // namespace mox3
