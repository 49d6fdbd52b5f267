// The Linux host: a private folder for marker and configuration file, whole writes only, the
// single-instance lock, and where images are looked for.
#include "app/run/host_linux.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "base/text.h"
#include "test_support.h"

namespace mox3 {
namespace {

TEST(LinuxHost, MarkerAndConfigurationFileLiveInAPrivateFolder) {
    test::TempDir dir;
    LinuxHostOptions options;
    options.stateDir = dir / "state";
    options.imageDir = dir / "images";
    LinuxHost host(options);
    EXPECT_FALSE(host.ReadMarker().has_value());
    ASSERT_TRUE(host.WriteMarker({u"4A3F0012B7C4D9E1", 4096}));
    EXPECT_EQ(host.ReadMarker(), (UpdateMarker{u"4A3F0012B7C4D9E1", 4096}));
    // The marker file stays the serial alone, as older versions wrote and read it.
    EXPECT_EQ(test::ReadBytes(dir / "state" / "ZR-MOX3_UPDATE").size(), 16u);
    // A marker of an older version has no length; a length without a marker does not count.
    ASSERT_TRUE(host.WriteMarker({u"OLDER", std::nullopt}));
    EXPECT_EQ(host.ReadMarker(), (UpdateMarker{u"OLDER", std::nullopt}));
    test::WriteBytes(dir / "state" / "ZR-MOX3_UPDATE.length", {'7', '\n'});
    EXPECT_EQ(host.ReadMarker(), (UpdateMarker{u"OLDER", std::nullopt}));
    std::filesystem::remove(dir / "state" / "ZR-MOX3_UPDATE");
    EXPECT_FALSE(host.ReadMarker().has_value());
    ASSERT_TRUE(host.WriteMarker({u"4A3F0012B7C4D9E1", 512}));
    struct stat st {};
    ASSERT_EQ(::stat((dir / "state").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    host.RemoveMarker(u"4A3F0012B7C4D9E1");
    EXPECT_FALSE(host.ReadMarker().has_value());
    EXPECT_FALSE(std::filesystem::exists(dir / "state" / "ZR-MOX3_UPDATE.length"));

    ASSERT_TRUE(host.WriteConfigFile(117));
    EXPECT_TRUE(host.FileExists(host.ConfigFilePath()));
    EXPECT_EQ(test::ReadBytes(Utf16ToUtf8(host.ConfigFilePath())).size(), 4354u);
    EXPECT_FALSE(host.WriteConfigFile(999).has_value());
    EXPECT_EQ(host.ImagePath(2), Utf8ToUtf16((dir / "images" / "firmware_C311.bin").string()));
    EXPECT_EQ(host.ImagePath(1), Utf8ToUtf16((dir / "images" / "firmware_C30.bin").string()));
    EXPECT_EQ(host.CommandLineArguments(), u"");
}

TEST(LinuxHost, RefusesAFolderOthersCanReachOrALink) {
    test::TempDir dir;
    std::filesystem::create_directory(dir / "open");
    ::chmod((dir / "open").c_str(), 0777);
    LinuxHostOptions options;
    options.stateDir = dir / "open";
    LinuxHost open(options);
    std::string why;
    EXPECT_TRUE(open.PrivateDir(&why).empty());
    EXPECT_FALSE(open.WriteMarker({u"S", 512}));
    EXPECT_FALSE(open.WriteConfigFile(117).has_value());

    std::filesystem::create_directory(dir / "real");
    ::chmod((dir / "real").c_str(), 0700);
    std::filesystem::create_directory_symlink(dir / "real", dir / "link");
    options.stateDir = dir / "link";
    LinuxHost linked(options);
    EXPECT_TRUE(linked.PrivateDir(&why).empty());
}

TEST(LinuxHost, AFailedWriteLeavesNoFileBehind) {
    test::TempDir dir;
    const auto target = dir / "MOX3_config.ini";
    test::WriteBytes(target, {1, 2, 3});
    // The temporary file cannot be made in a folder that does not exist.
    EXPECT_FALSE(WritePrivateFile(dir / "missing" / "x.ini", "abc", 3));
    const std::uint8_t data[4] = {9, 9, 9, 9};
    ASSERT_TRUE(WritePrivateFile(target, data, 4));
    EXPECT_EQ(test::ReadBytes(target).size(), 4u);
    // A write that fails half-way (the data cannot be read) removes the older file as well,
    // so that it cannot stand in for the one that was not written.
    EXPECT_FALSE(WritePrivateFile(target, reinterpret_cast<const void*>(std::uintptr_t{16}), 64));
    EXPECT_FALSE(std::filesystem::exists(target));
    for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
        ADD_FAILURE() << "left behind: " << entry.path();
    }
}

TEST(LinuxHost, OneUpdateAtATimeWhateverTheStateFolder) {
    test::TempDir dir;
    std::filesystem::create_directories(dir / "lock");
    HostOptions a, b;
    a.stateDir = dir / "state-a";
    b.stateDir = dir / "state-b";  // another user, or sudo with another home
    a.lockDir = b.lockDir = dir / "lock";
    bool running = false;
    std::string why;
    auto first = StartCliHost(a, &running, &why);
    ASSERT_TRUE(first) << why;
    EXPECT_FALSE(StartCliHost(b, &running, &why));
    EXPECT_TRUE(running);
    EXPECT_NE(why.find((dir / "lock").string()), std::string::npos) << why;
    // The kernel lets go of the lock with its holder.
    first.reset();
    EXPECT_TRUE(StartCliHost(b, &running, &why));
}

}  // namespace
}  // namespace mox3
