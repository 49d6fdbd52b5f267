// Taking a drive's disks from the system: the refusals through a fake open, and the kernel's
// own answers on a loop device of the test's own (its nodes made in the test's folder, a file
// behind it).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/loop.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>

#include "app/run/disk_use.h"
#include "test_support.h"
#include "transport/fake_device.h"

namespace mox3 {
namespace {

namespace fs = std::filesystem;

constexpr int kClaimFlags = O_RDONLY | O_EXCL | O_CLOEXEC | O_NONBLOCK;

TEST(DiskClaim, WhatCannotBeTakenStopsTheClaimAndNothingStaysHeld) {
    test::TempDir dir;
    std::ofstream(dir / "file") << "not a disk";
    std::vector<std::pair<std::string, int>> asked;
    int given = -1;
    DiskClaim claim([&](const char* path, int flags) {
        asked.push_back({path, flags});
        errno = asked.size() == 1 ? EBUSY : ENOENT;
        if (asked.size() != 2) return -1;
        return given = ::open((dir / "file").c_str(), O_RDONLY | O_CLOEXEC);  // no block device
    });
    test::FakeBackendScope fake;
    std::vector<Told> notes;
    const std::vector<std::string> expected = {
        "/dev/sdc is in use by the system (mounted or held exclusively)",
        "/dev/sdd is not a block device",
        "/dev/sde cannot be taken from the system: No such file or directory"};
    EXPECT_EQ(InEnglish(ClaimDriveDisks(
                  claim, fake.backend(),
                  {"/dev/sr0", "/tmp/bus/ZR-MOX3", "/dev/sdc", "/dev/sdd", "/dev/sdc", "/dev/sde"},
                  &notes)),
              expected);
    // Disks only, each once, opened exclusively without waiting for a medium.
    const std::vector<std::pair<std::string, int>> opened = {
        {"/dev/sdc", kClaimFlags}, {"/dev/sdd", kClaimFlags}, {"/dev/sde", kClaimFlags}};
    EXPECT_EQ(asked, opened);
    EXPECT_EQ(claim.held(), 0u);
    EXPECT_EQ(::fcntl(given, F_GETFD), -1);  // closed, not trusted
    // A CD-ROM unit and an emulated drive need no claim and get no flush.
    asked.clear();
    EXPECT_TRUE(
        ClaimDriveDisks(claim, fake.backend(), {"/dev/sr0", "/tmp/bus/ZR-MOX3"}, &notes).empty());
    EXPECT_TRUE(asked.empty());
    EXPECT_TRUE(fake.state().requests.empty());
    EXPECT_TRUE(notes.empty());
}

// A loop device of the test's own over a file of `size` bytes, detached when the test's
// descriptor closes. Nodes of the test's folder only: its own loop-control node gets a free
// device, and its own block node reaches it. `why` is empty when the device is there.
struct TestLoop {
    TestLoop(const fs::path& dir, std::uintmax_t size) {
        const fs::path file = dir / "disk.img", control = dir / "loop-control";
        std::ofstream{file};
        fs::resize_file(file, size);
        if (::geteuid() != 0 || ::mknod(control.c_str(), S_IFCHR | 0600, makedev(10, 237)) != 0) {
            why = ::geteuid() != 0 ? "needs root" : "cannot make a loop-control node";
            return;
        }
        const int controlFd = ::open(control.c_str(), O_RDWR | O_CLOEXEC);
        const int backing = ::open(file.c_str(), O_RDWR | O_CLOEXEC);
        // Another user may take the free device between asking and binding: ask again.
        for (int attempt = 0; attempt < 8 && fd < 0 && controlFd >= 0 && backing >= 0; ++attempt) {
            const int index = ::ioctl(controlFd, LOOP_CTL_GET_FREE);
            const std::string name = "loop" + std::to_string(index);
            unsigned major = 0, minor = 0;
            char colon = 0;
            node = dir / ("node" + std::to_string(attempt));
            if (index < 0 ||
                !(std::ifstream("/sys/block/" + name + "/dev") >> major >> colon >> minor) ||
                ::mknod(node.c_str(), S_IFBLK | 0600, makedev(major, minor)) != 0) {
                break;
            }
            fd = ::open(node.c_str(), O_RDWR | O_CLOEXEC);
            loop_config config{};
            config.fd = static_cast<std::uint32_t>(backing);
            config.info.lo_flags = LO_FLAGS_AUTOCLEAR;
            if (fd >= 0 && ::ioctl(fd, LOOP_CONFIGURE, &config) != 0) {
                ::close(fd);
                fd = -1;
            }
        }
        ::close(controlFd);
        ::close(backing);
        if (fd < 0) why = "no loop device could be set up";
    }
    ~TestLoop() {
        if (fd >= 0) ::close(fd);
    }
    int fd = -1;
    fs::path node;
    std::string why;
};

// Held against other claims, and flushed through the system and through the bridge.
TEST(DiskClaim, OnALoopDeviceOfTheTestsOwn) {
    test::TempDir dir;
    TestLoop loop(dir.path(), 8 << 20);
    if (!loop.why.empty()) GTEST_SKIP() << loop.why;
    const std::string node = loop.node.string();
    DiskClaim first, second;
    EXPECT_TRUE(first.Claim({node}).empty());
    EXPECT_EQ(
        InEnglish(second.Claim({node})),
        std::vector<std::string>{node + " is in use by the system (mounted or held exclusively)"});
    test::FakeBackendScope fake;
    EXPECT_TRUE(first.Flush(fake.backend()).empty());
    ASSERT_EQ(fake.state().requests.size(), 1u);
    const test::Recorded& sent = fake.state().requests[0];
    EXPECT_EQ(sent.cdb, std::vector<std::uint8_t>({0x35, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_TRUE(sent.direction == DataDirection::None && sent.length == 0);
    // A disk that refuses is only noted.
    fake.Queue({true, kScsiStatusCheckCondition, FixedSense(kSenseIllegalRequest, 0x20, 0), {}});
    EXPECT_EQ(InEnglish(first.Flush(fake.backend())),
              std::vector<std::string>{"the cache of " + node +
                                       " was not written out: SYNCHRONIZE CACHE failed"});
}

}  // namespace
}  // namespace mox3
