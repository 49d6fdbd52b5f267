// The update lock: one update at a time, readers (list, bridge) beside each other but never
// beside an update, an update that waits a little for readers, and locks that are refused
// with their reason rather than taken for a running update.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>

#include "app/private_mounts_linux.h"
#include "app/program_run_linux.h"
#include "app/run/host_linux.h"
#include "test_support.h"

namespace mox3 {
namespace {

namespace fs = std::filesystem;

constexpr const char* kLockFile = "KAVELIN ZR-MOX3 UPDATER.lock";

// A clock whose every sleep may change the world: `onSleep` runs before the time moves on.
class WatchedClock : public ManualClock {
  public:
    std::function<void(std::uint64_t slept)> onSleep;
    void SleepMs(std::uint32_t ms) override {
        ManualClock::SleepMs(ms);
        if (onSleep) onSleep(sleptMs());
    }
};

std::unique_ptr<CliHost> StartUpdate(const HostOptions& options, bool* running, std::string* why) {
    HostStartFailure failure = HostStartFailure::kNone;
    std::unique_ptr<CliHost> host = StartCliHost(options, &failure, why);
    *running = failure == HostStartFailure::kAlreadyRunning;
    return host;
}

class UpdateLockTest : public ::testing::Test {
  protected:
    void SetUp() override { fs::create_directories(dir_ / "lock"); }
    HostOptions Options(const char* state = "state") {
        HostOptions options;
        options.stateDir = dir_ / state;
        options.lockDir = dir_ / "lock";
        options.clock = clock_;
        return options;
    }
    test::TempDir dir_;
    std::shared_ptr<WatchedClock> clock_ = std::make_shared<WatchedClock>();
};

TEST_F(UpdateLockTest, ReadersShareItAndAnUpdateWaitsAWhileForThemToGo) {
    bool running = true;
    std::string why;
    auto first = ShareUpdateLock(Options(), &running, &why);
    auto second = ShareUpdateLock(Options(), &running, &why);
    ASSERT_TRUE(first && second) << why;
    EXPECT_FALSE(StartUpdate(Options(), &running, &why));  // readers that stay for five seconds
    EXPECT_TRUE(running);
    EXPECT_EQ(clock_->sleptMs(), 5000u);
    // Readers that end while the update looks again and again.
    clock_->onSleep = [&](std::uint64_t slept) {
        if (slept >= 5300) first.reset();
        if (slept >= 5700) second.reset();
    };
    auto update = StartUpdate(Options(), &running, &why);
    ASSERT_TRUE(update) << why;
    EXPECT_EQ(clock_->sleptMs(), 5700u);

    // Nobody reads beside an update, nor does a second update wait for the first.
    EXPECT_FALSE(ShareUpdateLock(Options(), &running, &why));
    EXPECT_TRUE(running);
    EXPECT_EQ(why, (dir_ / "lock" / kLockFile).string());
    EXPECT_FALSE(StartUpdate(Options("state-b"), &running, &why));  // another user's state folder
    EXPECT_TRUE(running);
    EXPECT_EQ(clock_->sleptMs(), 5700u);
}

TEST_F(UpdateLockTest, ALockThatCannotBeTrustedIsAnErrorNotARunningUpdate) {
    const std::vector<std::pair<std::function<void(const fs::path&)>, const char*>> cases = {
        {[](const fs::path& d) {
             test::WriteBytes(d / kLockFile, {});
             ::chown((d / kLockFile).c_str(), test::kOtherUid, test::kOtherUid);
         },
         "was made by uid 54321"},
        {[](const fs::path& d) { fs::create_symlink("/dev/null", d / kLockFile); }, "is a link"},
        {[](const fs::path& d) { ::mkfifo((d / kLockFile).c_str(), 0644); }, "not a regular file"},
        {[](const fs::path& d) { ::chown(d.c_str(), test::kOtherUid, test::kOtherUid); },
         "belongs to uid 54321"},
        {[](const fs::path& d) { fs::remove(d); }, "No such file"},
    };
    int n = 0;
    for (const auto& [make, reason] : cases) {
        HostOptions options = Options();
        options.lockDir = dir_ / std::to_string(++n);
        fs::create_directories(options.lockDir);
        make(options.lockDir);
        bool running = true;
        std::string why;
        EXPECT_FALSE(StartUpdate(options, &running, &why) || running) << reason;
        EXPECT_NE(why.find(reason), std::string::npos) << why;
        EXPECT_FALSE(ShareUpdateLock(options, &running, &why) || running) << reason;
        EXPECT_NE(why.find(reason), std::string::npos) << why;
    }
}

// Root's lock is in /run/mox3-updater: seen in a mount namespace where /run is a test folder.
TEST(RootLock, LivesInAFolderOfRootsOwnInRun) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root";
    test::TempDir dir;
    fs::create_directories(dir / "run");
    fs::create_directories(dir / "theirs");
    ::chmod((dir / "theirs").c_str(), 0700);
    ASSERT_EQ(::chown((dir / "theirs").c_str(), test::kOtherUid, test::kOtherUid), 0);
    const fs::path state = dir / "state";
    const test::ChildResult child = test::RunInChild(
        [&]() -> std::string {
            std::string failures;
            const auto expect = [&](bool ok, const std::string& what) {
                if (!ok) failures += what + "\n";
            };
            HostOptions options;
            options.stateDir = state;
            options.clock = std::make_shared<ManualClock>();
            bool running = false;
            std::string why;
            // Whether another user, whose own lock is in their state folder, may read.
            const auto otherReads = [&](bool may) {
                return [&, may]() -> std::string {
                    HostOptions theirs;
                    theirs.stateDir = dir / "theirs";
                    theirs.clock = options.clock;
                    if (::setuid(test::kOtherUid) != 0) return "no setuid";
                    const bool got = ShareUpdateLock(theirs, &running, &why) != nullptr;
                    return got == may && (may || running) ? ""
                               : "another user's reader: " + why + "\n";
                };
            };
            // A lock an older copy made for all to open, held shared by anyone at all for as
            // long as they like, keeps no update waiting: root puts a lock of its own there.
            fs::create_directory("/run/mox3-updater");
            const std::string lockPath = std::string("/run/mox3-updater/") + kLockFile;
            test::WriteBytes(lockPath, {});
            ::chmod(lockPath.c_str(), 0644);
            const int squatter = ::open(lockPath.c_str(), O_RDONLY | O_CLOEXEC);
            if (squatter < 0 || ::flock(squatter, LOCK_SH) != 0) return "no squatter";
            {
                auto host = StartUpdate(options, &running, &why);
                ::close(squatter);
                if (!host) return "no update lock: " + why;
                struct stat lock {};
                expect(::stat(lockPath.c_str(), &lock) == 0 && (lock.st_mode & 0777) == 0600,
                       "root's lock is not root's alone");
                expect(test::ReadText("/run/mox3-updater/update-running")
                               .rfind(std::to_string(::getpid()) + " ", 0) == 0,
                       "the update did not say that it runs");
                const bool read = ShareUpdateLock(options, &running, &why) != nullptr;
                expect(!read && running && why == lockPath, "a reader beside the update: " + why);
                // Nor does another user read beside it, whose own lock is in their state folder.
                failures += test::RunInChild(otherReads(false)).failure;
            }
            // Gone with the update; one left by a process that has ended stops no reader.
            expect(!fs::exists("/run/mox3-updater/update-running"), "still announced");
            test::WriteBytes("/run/mox3-updater/update-running", {'1', ' ', '1', '\n'});
            failures += test::RunInChild(otherReads(true)).failure;
            struct stat st {};
            expect(::lstat("/run/mox3-updater", &st) == 0 && (st.st_mode & 07777) == 0755 &&
                       st.st_uid == 0,
                   "the folder is not root's 0755");
            // A folder of another user's is refused, with the reason.
            ::chown("/run/mox3-updater", test::kOtherUid, 0);
            running = true;
            const bool started = StartUpdate(options, &running, &why) != nullptr;
            expect(!started && !running && why.find("belongs to uid 54321") != std::string::npos,
                   "another user's folder: " + why);
            return failures;
        },
        {{dir / "run", "/run"}});
    if (child.skipped) GTEST_SKIP() << "no private mount namespace here";
    EXPECT_EQ(child.failure, "");
}

// The readers on the command line: while an update holds the lock they send no request.
using ReadersOnTheCommandLine = test::ProgramTest;

TEST_F(ReadersOnTheCommandLine, ListAndBridgeRefuseWhileAnUpdateRuns) {
    HostOptions options;
    options.stateDir = dir_ / "state";
    options.lockDir = dir_ / "bus";  // as the update command has it with --emulator
    options.clock = std::make_shared<ManualClock>();
    bool running = false;
    std::string why;
    auto update = StartUpdate(options, &running, &why);
    ASSERT_TRUE(update) << why;
    fs::remove(dir_ / "trace.txt");
    for (std::vector<std::string> words : std::vector<std::vector<std::string>>{
             {"list", "--json"}, {"bridge", "version", "@bus/d", "--json"}}) {
        words.insert(words.begin(), {"--emulator", "@bus", "--trace", "@trace.txt"});
        const test::ProgramResult r = Run(words);
        EXPECT_EQ(r.code, 1) << words[4];
        const nlohmann::json j = Object(r);
        EXPECT_EQ(j["ok"], false);
        EXPECT_EQ(j["error"]["code"], "update-running");
        EXPECT_EQ(j["error"]["text"], "an update is running (lock " + P("bus") + "/" + kLockFile +
                                          "); try again when it has finished");
        EXPECT_EQ(test::ReadText(dir_ / "trace.txt"), "") << words[4] << " asked the drive";
    }
}

}  // namespace
}  // namespace mox3
