// The Linux host: a state folder that is the program's own, reached through the descriptor it
// was opened by; a record per drive beside the record older versions kept; the configuration
// file; where images are looked for. The update lock: one update at a time, readers (list,
// bridge) beside each other but never beside an update, an update that waits a little for
// readers, and locks that are refused with their reason rather than taken for a running update.
// And without the right to write a drive's flash (CAP_SYS_RAWIO among the process's effective
// capabilities), `update` says what it needs instead of finding no drive.
//
// What root's defaults do is seen in a child process with a mount namespace of its own, test
// folders bound over system folders (/var/lib, /run), without touching the system's folders.
#include "app/run/host_linux.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <nlohmann/json.hpp>
#include <sstream>

#include "app/cli/terminal_view.h"
#include "app/program_run_linux.h"
#include "app/run_fixture.h"
#include "app/services_double.h"
#include "base/text.h"
#include "platform/platform.h"
#include "test_support.h"

namespace mox3 {
namespace {

// A user id that is nobody's on the test machine.
constexpr uid_t kOtherUid = 54321;

struct ChildResult {
    bool skipped = false;  // no mount namespace here (no CAP_SYS_ADMIN, or a container's limits)
    std::string failure;   // what `body` complained of; empty when nothing
};

// Runs `body` in a child, first given a private mount namespace with each pair's first folder
// bound over its second.
ChildResult RunInChild(
    const std::function<std::string()>& body,
    const std::vector<std::pair<std::filesystem::path, std::filesystem::path>>& binds = {}) {
    int fds[2];
    if (::pipe(fds) != 0) return {false, "no pipe"};
    const pid_t pid = ::fork();
    if (pid == 0) {
        bool bound =
            binds.empty() || (::unshare(CLONE_NEWNS) == 0 &&
                              ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0);
        for (const auto& [from, onto] : binds) {
            bound = bound && ::mount(from.c_str(), onto.c_str(), nullptr, MS_BIND, nullptr) == 0;
        }
        const std::string said = bound ? body() : "\x01";
        ssize_t ignored = ::write(fds[1], said.data(), said.size());
        (void)ignored;
        ::_exit(0);
    }
    ::close(fds[1]);
    std::string said;
    char buffer[512];
    for (ssize_t n; (n = ::read(fds[0], buffer, sizeof buffer)) > 0;) said.append(buffer, n);
    ::close(fds[0]);
    ::waitpid(pid, nullptr, 0);
    return said == "\x01" ? ChildResult{true, ""} : ChildResult{false, said};
}

namespace fs = std::filesystem;

using test::FullRecord;

long Entries(const fs::path& dir) { return std::distance(fs::directory_iterator(dir), {}); }

mode_t ModeOf(const fs::path& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

class StateFolder : public ::testing::Test {
  protected:
    LinuxHostOptions Options() const {
        LinuxHostOptions options;
        options.stateDir = state_;
        options.imageDir = dir_ / "images";
        return options;
    }
    test::TempDir dir_;
    const fs::path state_ = dir_ / "state";
    LinuxHost host{Options()};
};

TEST_F(StateFolder, EveryDriveHasARecordOfItsOwnWithEveryField) {
    EXPECT_TRUE(host.ReadMarkers().empty());
    UpdateMarker first = FullRecord(u"4A3F0012B7C4D9E1", 1'765'000'000);
    // Whatever a serial holds stays one line of the record and one file name.
    UpdateMarker second = FullRecord(u"line\nbreak=%41 \u00e9", 1'765'000'100);
    second.blockLength.reset();
    second.port = u"";
    second.product = u"ZR-MOXE3 \u30c9\u30e9\u30a4\u30d6";
    second.readOnly = true;
    // 64 characters of three UTF-8 bytes each: too long for a name made of the bytes.
    UpdateMarker third = FullRecord(std::u16string(64, u'\u30c9'), 1'765'000'200);
    for (const UpdateMarker& m : {first, second, third}) ASSERT_TRUE(host.WriteMarker(m));
    EXPECT_EQ(host.ReadMarkers(), (std::vector<UpdateMarker>{first, second, third}));
    EXPECT_TRUE(fs::is_regular_file(state_ / "record-34413346303031324237433444394531"));
    EXPECT_EQ(ModeOf(state_), 0700u);
    for (const auto& entry : fs::directory_iterator(state_)) {
        EXPECT_LE(entry.path().filename().string().size(), 255u);
        EXPECT_EQ(ModeOf(entry.path()), 0600u) << entry.path();
    }
    // A record written again replaces that drive's record alone.
    first.blockLength = 512;
    ASSERT_TRUE(host.WriteMarker(first));
    EXPECT_EQ(host.ReadMarkers().size(), 3u);
    host.RemoveMarker(second.serial);
    EXPECT_EQ(host.ReadMarkers(), (std::vector<UpdateMarker>{first, third}));
    host.RemoveMarker(third.serial);
    host.RemoveMarker(u"not recorded");
    EXPECT_EQ(host.ReadMarkers(), (std::vector<UpdateMarker>{first}));
    EXPECT_EQ(Entries(state_), 1);
}

TEST_F(StateFolder, TheRecordOfAnOlderVersionStillCounts) {
    ASSERT_FALSE(host.PrivateDir(nullptr).empty());
    test::WriteText(state_ / "ZR-MOX3_UPDATE", "OLD1");
    test::WriteText(state_ / "ZR-MOX3_UPDATE.length", "4096\n");
    // Beside records of other drives, and each removed with its own serial alone.
    const UpdateMarker other = FullRecord(u"NEW2", 1'765'000'000);
    ASSERT_TRUE(host.WriteMarker(other));
    EXPECT_EQ(host.ReadMarkers(), (std::vector<UpdateMarker>{{u"OLD1", 4096}, other}));
    host.RemoveMarker(u"NEW2");
    // A length the bridge cannot have does not count.
    test::WriteText(state_ / "ZR-MOX3_UPDATE.length", "7\n");
    EXPECT_EQ(host.ReadMarkers(), (std::vector<UpdateMarker>{{u"OLD1", std::nullopt}}));
    host.RemoveMarker(u"OLD1");
    EXPECT_EQ(Entries(state_), 0);

    // The same drive's new record takes its place.
    test::WriteText(state_ / "ZR-MOX3_UPDATE", "OLD1");
    const UpdateMarker renewed = FullRecord(u"OLD1", 1'765'000'000);
    ASSERT_TRUE(host.WriteMarker(renewed));
    EXPECT_EQ(host.ReadMarkers(), (std::vector<UpdateMarker>{renewed}));
    EXPECT_FALSE(fs::exists(state_ / "ZR-MOX3_UPDATE"));
}

TEST_F(StateFolder, ARecordThatCannotBeReadHasNoSerialAndNeverHangsTheRun) {
    ASSERT_FALSE(host.PrivateDir(nullptr).empty());
    ASSERT_EQ(::mkfifo((state_ / "record-41").c_str(), 0600), 0);
    test::WriteBytes(state_ / "record-42", std::vector<std::uint8_t>(5000, 'x'));
    test::WriteText(state_ / "record-43", "port=1\n");
    test::WriteText(dir_ / "elsewhere", "serial=D\n");
    fs::create_symlink(dir_ / "elsewhere", state_ / "record-44");
    const std::vector<UpdateMarker> records = host.ReadMarkers();
    ASSERT_EQ(records.size(), 4u);
    for (const UpdateMarker& record : records) EXPECT_TRUE(record.serial.empty());
    host.RemoveMarker(u"");
    EXPECT_EQ(Entries(state_), 0);
    EXPECT_TRUE(fs::exists(dir_ / "elsewhere"));
}

TEST_F(StateFolder, TheConfigurationFileIsReadOnlyWhenItIsAPlainFileOfSensibleSize) {
    const std::optional<std::vector<std::uint8_t>> written = host.WriteConfigFile(117);
    ASSERT_TRUE(written);
    EXPECT_EQ(host.ReadConfigFile(), written);
    EXPECT_EQ(test::ReadBytes(Utf16ToUtf8(host.ConfigFilePath())), *written);
    const fs::path config = state_ / "MOX3_config.ini";
    fs::rename(config, dir_ / "other.ini");
    fs::create_symlink(dir_ / "other.ini", config);
    EXPECT_FALSE(host.ReadConfigFile());
    EXPECT_FALSE(host.FileExists(host.ConfigFilePath()));
    fs::remove(config);
    test::WriteBytes(config, {});
    fs::resize_file(config, (1u << 20) + 1);
    EXPECT_FALSE(host.ReadConfigFile());
    host.RemoveFile(host.ConfigFilePath());
    EXPECT_FALSE(fs::exists(config));
}

TEST_F(StateFolder, FilesGoToTheFolderThatWasOpenedWhateverItsPathBecomes) {
    ASSERT_FALSE(host.PrivateDir(nullptr).empty());
    fs::rename(dir_ / "state", dir_ / "moved");
    fs::create_directory(dir_ / "decoy");
    ::chmod((dir_ / "decoy").c_str(), 0700);
    fs::create_directory_symlink(dir_ / "decoy", dir_ / "state");
    ASSERT_TRUE(host.WriteMarker(FullRecord(u"S1", 1)));
    ASSERT_TRUE(host.WriteConfigFile(117));
    EXPECT_EQ(Entries(dir_ / "decoy"), 0);
    EXPECT_EQ(Entries(dir_ / "moved"), 2);
    EXPECT_EQ(host.ReadMarkers().size(), 1u);
}

TEST_F(StateFolder, AWriteThatFailsLeavesTheOlderFileAndNoTemporaryOne) {
    ASSERT_TRUE(host.WriteMarker(FullRecord(u"S1", 1)));
    std::string error;
    // The data cannot be read half-way.
    const std::string_view unreadable(reinterpret_cast<const char*>(std::uintptr_t{16}), 64);
    EXPECT_FALSE(WriteFileInFolder(host.StateFolderFd(), "record-5331", unreadable, &error));
    EXPECT_NE(error.find("record-5331"), std::string::npos) << error;
    EXPECT_EQ(host.ReadMarkers(), (std::vector<UpdateMarker>{FullRecord(u"S1", 1)}));
    EXPECT_EQ(Entries(state_), 1);
}

// Folders whose owner or mode would let another user change what the program reads.
TEST_F(StateFolder, RefusesFoldersThatOthersCouldChangeAndSaysWhy) {
    for (const char* name : {"open", "real", "theirs/state", "group/state", "sticky"}) {
        fs::create_directories(dir_ / name);
        ::chmod((dir_ / name).c_str(), 0700);
    }
    ::chmod((dir_ / "open").c_str(), 0777);
    fs::create_directory_symlink(dir_ / "real", dir_ / "link");
    // Another user's folder above could have the state folder swapped for one of theirs.
    ASSERT_EQ(::chown((dir_ / "theirs").c_str(), kOtherUid, kOtherUid), 0);
    ::chmod((dir_ / "group").c_str(), 0775);
    ::chmod((dir_ / "sticky").c_str(), 01777);  // only the owners of entries remove them
    for (const auto& [path, why] : std::initializer_list<std::pair<fs::path, std::string>>{
             {dir_ / "open", "open to other users (mode 0777)"},
             {dir_ / "link", "is a link"},
             {dir_ / "theirs/new/state", (dir_ / "theirs").string() + " belongs to uid 54321"},
             {dir_ / "group/state", "can be written by other users"},
             {dir_ / "sticky/state", ""}}) {
        std::string said;
        EXPECT_EQ(OpenCheckedFolder(path, FolderKind::kState, true, &said).ok(), why.empty())
            << path;
        EXPECT_NE(said.find(why), std::string::npos) << said;
    }
    EXPECT_FALSE(fs::exists(dir_ / "theirs" / "new"));
}

// What root's defaults do is seen in a mount namespace of the test's own: /var/lib there is a
// test folder.
TEST(RootState, IsTheProgramsOwnWhateverHomeAndSudoSay) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root";
    test::TempDir dir;
    fs::create_directories(dir / "varlib");
    fs::create_directories(dir / "home" / "other");
    ASSERT_EQ(::chown((dir / "home" / "other").c_str(), kOtherUid, kOtherUid), 0);
    const std::string other = (dir / "home" / "other").string();
    for (bool homeSet : {true, false}) {
        const ChildResult child = RunInChild(
            [&]() -> std::string {
                ::unsetenv("HOME");
                ::unsetenv("XDG_STATE_HOME");
                if (homeSet) {
                    ::setenv("HOME", other.c_str(), 1);
                    ::setenv("XDG_STATE_HOME", (other + "/.local/state").c_str(), 1);
                    ::setenv("SUDO_USER", "other", 1);
                    ::setenv("SUDO_UID", "54321", 1);
                }
                LinuxHost host{LinuxHostOptions{}};
                std::string why;
                if (host.PrivateDir(&why) != "/var/lib/mox3-updater") return "state in " + why;
                if (!host.WriteMarker({u"S1", 512})) return "no record written";
                return "";
            },
            {{dir / "varlib", "/var/lib"}});
        if (child.skipped) GTEST_SKIP() << "no private mount namespace here";
        EXPECT_EQ(child.failure, "") << "HOME set: " << homeSet;
        EXPECT_EQ(ModeOf(dir / "varlib" / "mox3-updater"), 0700u);
        EXPECT_TRUE(fs::exists(dir / "varlib" / "mox3-updater" / "record-5331"));
        EXPECT_EQ(Entries(dir / "home" / "other"), 0);
        EXPECT_FALSE(fs::exists("/tmp/.local/state/mox3-updater/record-5331"));
        fs::remove_all(dir / "varlib" / "mox3-updater");
    }
}

// A user other than root keeps the state in a home that is theirs, found without HOME too.
TEST(UserState, LivesInTheUsersOwnHomeOnly) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to become another user";
    test::TempDir dir;
    fs::create_directories(dir / "own");
    ASSERT_EQ(::chown((dir / "own").c_str(), kOtherUid, kOtherUid), 0);
    const ChildResult child = RunInChild([&]() -> std::string {
        if (::setgid(kOtherUid) != 0 || ::setuid(kOtherUid) != 0) return "no setuid";
        std::string failures, why;
        ::unsetenv("XDG_STATE_HOME");
        ::setenv("HOME", (dir / "own").c_str(), 1);
        if (DefaultStateDir(&why) != dir / "own/.local/state/mox3-updater") failures += why;
        ::setenv("HOME", dir.path().c_str(), 1);  // root's
        if (!DefaultStateDir(&why).empty() || why.find("belongs to root") == std::string::npos) {
            failures += "another's home taken: " + why;
        }
        ::unsetenv("HOME");  // and no passwd entry either
        return DefaultStateDir(&why).empty() ? failures : failures + "no home: " + why;
    });
    EXPECT_EQ(child.failure, "");
}

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

    // A second update does not wait for the first.
    EXPECT_FALSE(StartUpdate(Options("state-b"), &running, &why));  // another user's state folder
    EXPECT_TRUE(running);
    EXPECT_EQ(clock_->sleptMs(), 5700u);
}

TEST_F(UpdateLockTest, ALockThatCannotBeTrustedIsAnErrorNotARunningUpdate) {
    const std::vector<std::pair<std::function<void(const fs::path&)>, const char*>> cases = {
        {[](const fs::path& d) {
             test::WriteBytes(d / kLockFile, {});
             ::chown((d / kLockFile).c_str(), kOtherUid, kOtherUid);
         },
         "was made by uid 54321"},
        {[](const fs::path& d) { fs::create_symlink("/dev/null", d / kLockFile); }, "is a link"},
        {[](const fs::path& d) { ::mkfifo((d / kLockFile).c_str(), 0644); }, "not a regular file"},
        {[](const fs::path& d) { ::chown(d.c_str(), kOtherUid, kOtherUid); },
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
    ASSERT_EQ(::chown((dir / "theirs").c_str(), kOtherUid, kOtherUid), 0);
    const fs::path state = dir / "state";
    const ChildResult child = RunInChild(
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
                    if (::setuid(kOtherUid) != 0) return "no setuid";
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
                failures += RunInChild(otherReads(false)).failure;
            }
            // Gone with the update; one left by a process that has ended stops no reader.
            expect(!fs::exists("/run/mox3-updater/update-running"), "still announced");
            test::WriteBytes("/run/mox3-updater/update-running", {'1', ' ', '1', '\n'});
            failures += RunInChild(otherReads(true)).failure;
            struct stat st {};
            expect(::lstat("/run/mox3-updater", &st) == 0 && (st.st_mode & 07777) == 0755 &&
                       st.st_uid == 0,
                   "the folder is not root's 0755");
            // A folder of another user's is refused, with the reason.
            ::chown("/run/mox3-updater", kOtherUid, 0);
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

TEST(Privileges, AProcessWithoutRawIoIsToldToUseSudo) {
    const ChildResult child = RunInChild([]() -> std::string {
        __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
        __user_cap_data_struct data[2]{};
        if (::syscall(SYS_capget, &header, data) != 0) return "no capget";
        data[0].effective &= ~(1u << CAP_SYS_RAWIO);
        if (::syscall(SYS_capset, &header, data) != 0) return "no capset";
        std::string why;
        if (MayWriteDrives(&why)) return "may write drives";
        return why.find("needs root") != std::string::npos && why.find("sudo") != std::string::npos
                   ? ""
                   : why;
    });
    EXPECT_EQ(child.failure, "");
}

TEST(Privileges, UpdateOfRealDrivesAsksForTheRightFirstAndStopsWithoutIt) {
    test::DoubleServices doubles;
    doubles.rights->refusal = "updating a drive needs root";
    Session session;
    session.clock = std::make_shared<ManualClock>();
    session.services = doubles.services();
    for (const bool json : {false, true}) {
        RunOptions options;
        options.yes = true;
        options.json = json;
        std::ostringstream out, err;
        EXPECT_EQ(RunUpdate(session, options, out, err), 1);
        EXPECT_EQ(
            json ? nlohmann::json::parse(out.str())["error"]["code"].get<std::string>() : err.str(),
            json ? "needs-root" : "error: updating a drive needs root\n");
    }
    EXPECT_EQ(doubles.state->started, 0);
    // Emulated drives take no such right, nor do the records.
    RunOptions emulated;
    emulated.lockDir = "bus";
    std::ostringstream out, err;
    EXPECT_EQ(RunUpdate(session, emulated, out, err), 1);
    EXPECT_EQ(doubles.state->started, 1);
    EXPECT_NE(err.str().find("no state folder in this test"), std::string::npos) << err.str();
}

}  // namespace
}  // namespace mox3
