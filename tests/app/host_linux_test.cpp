// The Linux host: a state folder that is the program's own, reached through the descriptor it
// was opened by; a record per drive beside the record older versions kept; the configuration
// file; and where images are looked for.
#include "app/run/host_linux.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "app/private_mounts_linux.h"
#include "app/run_fixture.h"
#include "base/text.h"
#include "test_support.h"

namespace mox3 {
namespace {

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
    ASSERT_EQ(::chown((dir_ / "theirs").c_str(), test::kOtherUid, test::kOtherUid), 0);
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
    ASSERT_EQ(::chown((dir / "home" / "other").c_str(), test::kOtherUid, test::kOtherUid), 0);
    const std::string other = (dir / "home" / "other").string();
    for (bool homeSet : {true, false}) {
        const test::ChildResult child = test::RunInChild(
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
    ASSERT_EQ(::chown((dir / "own").c_str(), test::kOtherUid, test::kOtherUid), 0);
    const test::ChildResult child = test::RunInChild([&]() -> std::string {
        if (::setgid(test::kOtherUid) != 0 || ::setuid(test::kOtherUid) != 0) return "no setuid";
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

}  // namespace
}  // namespace mox3
