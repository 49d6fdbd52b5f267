// The drive folder: what counts as a drive, several users at once, and processes killed in the
// middle of a save.
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <set>

#include "emulator/drive_state.h"
#include "emulator/emulator_fixture.h"

namespace mox3::test {
namespace {

using EmulatorFolder = EmulatorTest;
namespace fs = std::filesystem;

// Sends `rounds` status reads and flash-parameter writes on its own backend; the number of
// commands that failed.
int Hammer(const fs::path& drive, std::shared_ptr<Clock> clock, int rounds, std::uint8_t tag) {
    auto device = MakeEmulatorBackend(std::move(clock))->Open(Utf8ToUtf16(drive.string()), nullptr);
    if (!device) return rounds;
    int failed = 0;
    for (int i = 0; i < rounds; ++i) {
        failed += !Send(*device, kStatus, 12).good();
        failed +=
            !Send(*device, VendorCdb(0x3B, 0x24), 0, std::vector<std::uint8_t>(8, tag)).good();
    }
    return failed;
}

// A process that loads the drive, changes it, counts one command and dies at `step` of the save.
void SaveAndDieAt(const fs::path& drive, SaveStep step,
                  const std::function<void(LoadedDrive&)>& change) {
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        DriveFolderLock lock(drive);
        auto loaded = LoadDrive(drive, nullptr);
        if (!loaded) _exit(2);
        change(*loaded);
        loaded->state.commandsTotal += 1;
        SaveDrive(drive, *loaded, nullptr, [&](SaveStep s) {
            if (s == step) _exit(0);
        });
        _exit(3);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

// (A folder that is not empty is refused: the subcommands' tests.)
TEST_F(EmulatorFolder, OnlyDriveFoldersOpenAndAnEmptyFolderTakesADrive) {
    EmulatedDriveSetup setup;
    auto drive = MakeDrive(setup);
    EXPECT_TRUE(IsEmulatedDriveFolder(drive));
    EXPECT_FALSE(IsEmulatedDriveFolder(dir_.path()));
    std::string why;
    EXPECT_EQ(Open(dir_.path(), &why), nullptr);
    EXPECT_FALSE(fs::exists(dir_ / "drive.lock")) << "nothing is left in a foreign folder";
    fs::create_directory(dir_ / "empty");
    EXPECT_TRUE(CreateEmulatedDrive(dir_ / "empty", setup, *clock_, &why)) << why;
}

TEST_F(EmulatorFolder, ProcessesSharingADriveLoseNothing) {
    auto drive = MakeProgrammedDrive(2, "010203", "SERIAL0001");
    const std::uint64_t before = View(drive).commandsTotal;
    constexpr int kRounds = 40;
    std::vector<pid_t> children;
    for (std::uint8_t tag : {std::uint8_t{0x11}, std::uint8_t{0x22}}) {
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) _exit(Hammer(drive, clock_, kRounds, tag) == 0 ? 0 : 1);
        children.push_back(pid);
    }
    for (pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    EXPECT_EQ(View(drive).commandsTotal, before + 4 * kRounds);
}

TEST_F(EmulatorFolder, DeathAtEachStepOfASaveLeavesTheOldOrTheNewDrive) {
    // A changed flash counts once the old state is gone; a page written in place into the
    // flash file only with the commit.
    struct Case {
        SaveStep step;
        bool inPlace;
        bool committed;
    };
    for (Case c :
         {Case{SaveStep::StateWritten, false, false}, Case{SaveStep::OldStateRemoved, false, true},
          Case{SaveStep::StateWritten, true, false}, Case{SaveStep::Committed, true, true}}) {
        const std::string name =
            "drive" + std::to_string(static_cast<int>(c.step)) + (c.inPlace ? "-page" : "");
        SCOPED_TRACE(name);
        auto drive = MakeProgrammedDrive(2, "010203", "SERIAL0001", {}, name);
        EmulatedDriveView before = View(drive);
        const std::uint32_t from = c.inPlace ? 9216 : 0, length = c.inPlace ? 1024 : 4096;
        std::vector<std::uint8_t> expected = before.flash;
        if (c.committed) std::fill_n(expected.begin() + from, length, 0);
        SaveAndDieAt(drive, c.step, [&](LoadedDrive& loaded) {
            std::fill_n(loaded.flash.begin() + from, length, 0);
            if (c.inPlace) {
                loaded.FlashWritten(from, length);  // dies before the page reaches the file
            } else {
                loaded.flashChanged = true;
            }
        });

        EmulatedDriveView after = View(drive);
        EXPECT_EQ(after.commandsTotal, before.commandsTotal + (c.committed ? 1 : 0));
        EXPECT_EQ(after.flash, expected);
        // One flash file is left, holding what the drive holds: the load that found a page
        // only in the state has put it into the file.
        std::multiset<std::string> files;
        for (const auto& entry : fs::directory_iterator(drive)) {
            const std::string file = entry.path().filename().string();
            const bool flash = file.rfind("flash-", 0) == 0;
            files.insert(flash ? "flash" : file);
            EXPECT_TRUE(!flash || ReadBytes(entry.path()) == expected);
        }
        EXPECT_EQ(files,
                  (std::multiset<std::string>{"disk.img", "drive.lock", "drive.state", "flash"}));
    }
}

TEST_F(EmulatorFolder, LeftoversOfAKilledSaveAreIgnoredThenRemoved) {
    auto drive = MakeProgrammedDrive(2, "010203", "SERIAL0001");
    EmulatedDriveView before = View(drive);
    // A save that died after writing its new flash file and part of its state file.
    WriteBytes(drive / "drive.state.tmp", {'f', 'o', 'r', 'm', 'a', 't', '=', 'x'});
    WriteBytes(drive / "flash-99.bin", std::vector<std::uint8_t>(before.flashSize, 0));
    WriteBytes(drive / "flash-99.bin.tmp", std::vector<std::uint8_t>(10, 0));
    auto device = Open(drive);
    ASSERT_NE(device, nullptr);
    EXPECT_TRUE(Send(*device, kStatus, 12).good());
    EXPECT_EQ(View(drive).flash, before.flash);
    for (const char* left : {"drive.state.tmp", "flash-99.bin", "flash-99.bin.tmp"}) {
        EXPECT_FALSE(fs::exists(drive / left)) << left;
    }

    // A state file that lost its flash file is reported, not guessed at.
    for (const auto& entry : fs::directory_iterator(drive)) {
        if (entry.path().filename().string().rfind("flash-", 0) == 0) fs::remove(entry.path());
    }
    std::string why;
    EXPECT_EQ(Open(drive, &why), nullptr);
    EXPECT_NE(why.find("cannot read"), std::string::npos) << why;
}

}  // namespace
}  // namespace mox3::test
