// The persisted state of an emulated drive and the folder that keeps it.
//
// Folder contents:
//   drive.state   key=value lines, the first "format=mox3-emulated-drive/1"; the commit point
//   flash-N.bin   the flash contents named by the state's flash-file key (bridges only)
//   disk.img      the disk's bytes, a sparse file (see disk_medium.h)
//   drive.lock    locked (flock, exclusive) by whoever loads, changes and saves the drive
// A save writes the new state as drive.state.tmp, removes drive.state and renames the new one
// into its place (a rename over the old file would make some file systems flush the new one
// to the disk, milliseconds a time); a load that finds no drive.state takes the complete
// drive.state.tmp that a process killed in between left. A flash that was rewritten whole
// goes to a new flash file first, which only the new state names; pages written by a command
// are kept in the new state as well (its flash-redo key) and written into the flash file in
// place once the state is committed. A load finishes such writes that a killed process left
// undone. A process killed at any moment thus leaves the old drive or the new one; leftovers
// are removed by the next save. Nothing is flushed to the disk: the emulator models processes
// that die, not machines that lose power.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "emulator/emulated_drive.h"
#include "platform/platform.h"

namespace mox3 {

// The longest flash a drive folder may name, and the longest state file read.
inline constexpr std::uint32_t kLargestEmulatedFlash = 16u * 1024 * 1024;
inline constexpr std::uint64_t kLargestStateFile = 16ull * 1024 * 1024;

struct DriveFaults {
    // Values of DriveState::commandsTotal at which the fault strikes.
    std::optional<std::uint64_t> failCommandAt;
    std::optional<std::uint64_t> pullCableAt;
    // Commands of one kind fail from the `failKindFrom`-th one counted after setting.
    std::optional<std::uint8_t> failKind;
    std::uint64_t failKindFrom = 0;
    std::uint64_t failKindSeen = 0;
    std::uint64_t failKindTimes = 0;  // how many fail; 0: every one from then on
    std::optional<std::uint32_t> corruptReadAddress;
    // ReadFlash of the page holding this address answers with the address's byte inverted on
    // its 1st, 3rd, 5th... read, `unsteadyReadTimes` times (0: ever).
    std::optional<std::uint32_t> unsteadyReadAddress;
    std::uint64_t unsteadyReadTimes = 0;
    std::uint64_t unsteadyReadsSeen = 0;
    bool refuseReadBeforeErase = false;  // ReadFlash refused until BeginFlashUpdate since start
    bool stayBusy = false;
    bool refuseUpdateMode = false;
    bool noReturn = false;
    bool returnInLoader = false;  // every restart ends in the loader, whatever the flash holds
};

enum class DeviceKind { Bridge, PlainDisk };

// Bytes written into the flash, as a save keeps them until they are in the flash file.
struct FlashPatch {
    std::uint32_t address = 0;
    std::vector<std::uint8_t> bytes;
};

struct DriveState {
    // Fixed when the device is made. A plain disk has no flash and keeps the identity it was
    // made with; the bridge's settings mean nothing to it.
    DeviceKind kind = DeviceKind::Bridge;
    int generation = 2;
    std::string chipName;
    std::uint32_t flashSize = 0;
    std::string diskSerial;
    std::uint64_t diskBlocks = 0;
    std::uint32_t restartDelayMs = 0;
    std::uint32_t busyReads = 0;
    bool readyWithoutSwitch = false;

    EmulatedLatency latency;

    // The flash file is flash-<flashRevision>.bin.
    std::uint64_t flashRevision = 0;
    // Written by the last save, perhaps not yet into the flash file.
    std::vector<FlashPatch> flashRedo;

    // The bus. Each departure from the bus starts a new session; handles of an older session
    // are dead.
    EmulatedBus bus = EmulatedBus::Present;
    std::uint64_t returnAtMs = 0;
    std::string absentReason;
    std::uint64_t session = 1;
    bool restartIntoLoader = false;

    // Presented since the bridge last started.
    bool loader = true;
    EmulatedUsbIdentity usb;
    std::array<std::uint8_t, 36> inquiry{};
    std::array<std::uint8_t, 8> versionBlock{};
    std::uint32_t blockLength = 512;

    // The bridge's working memory, lost at every start.
    bool updateModeSelected = false;
    std::uint32_t busyLeft = 0;
    bool headerArmed = false;
    std::uint8_t headerFunction = 0;
    std::uint16_t headerChecksum = 0;
    std::optional<std::array<std::uint8_t, 8>> flashParameters;
    bool flashUpdateBegun = false;
    std::uint8_t lastFailedCode = 0;
    std::uint8_t lastSenseKey = 0;
    std::uint64_t commandsSinceStart = 0;

    std::uint64_t commandsTotal = 0;
    DriveFaults faults;
    EmulatedTreeSettings tree;
};

std::string SerializeDriveState(const DriveState& state);
std::optional<DriveState> ParseDriveState(std::string_view text, std::string* error);

inline constexpr const char* kDriveStateFile = "drive.state";
inline constexpr std::string_view kDriveStateFormatLine = "format=mox3-emulated-drive/1";
inline constexpr const char* kDriveLockFile = "drive.lock";
std::string FlashFileName(std::uint64_t revision);

// The text of a folder's state: drive.state, or while a save renames its new state into
// place, that new state. Needs no lock. Nothing when the folder holds no state.
std::optional<std::string> ReadDriveStateText(const std::filesystem::path& dir);

// Holds the folder's lock for its lifetime; waits for it.
class DriveFolderLock {
  public:
    explicit DriveFolderLock(const std::filesystem::path& dir);
    DriveFolderLock(const DriveFolderLock&) = delete;
    DriveFolderLock& operator=(const DriveFolderLock&) = delete;
    bool ok() const { return lock_.held(); }
    const std::string& error() const { return lock_.error(); }

  private:
    FileLock lock_;
};

struct LoadedDrive {
    std::filesystem::path dir;
    DriveState state;
    std::vector<std::uint8_t> flash;
    // Set by whoever changes the flash: the whole of it, or the bytes at these (address,
    // length) places.
    bool flashChanged = false;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> flashWrites;
    void FlashWritten(std::uint32_t address, std::uint32_t length) {
        flashWrites.emplace_back(address, length);
    }
    // The state as it was loaded; a save of the same state with the flash unchanged is left out.
    std::string loadedText;
};

// The steps of a save, in order: a new flash file is in place; the new state file is written
// under its temporary name; the old state file is gone; the new state is in place (the
// commit). Flash pages follow.
enum class SaveStep { FlashWritten, StateWritten, OldStateRemoved, Committed };

// Both need the folder's lock held. `onStep`, when given, is called after each step. A save
// whose drive changed in nothing is left out.
std::optional<LoadedDrive> LoadDrive(const std::filesystem::path& dir, std::string* error);
// The state alone, without the flash; also needs the lock.
std::optional<DriveState> LoadDriveState(const std::filesystem::path& dir, std::string* error);
bool SaveDrive(const std::filesystem::path& dir, LoadedDrive& drive, std::string* error,
               const std::function<void(SaveStep)>& onStep = {});

// Locks, loads, runs `change` and saves; `change` returns false (with `error` set) to leave
// the drive as it was.
bool UpdateDrive(const std::filesystem::path& dir, const std::function<bool(LoadedDrive&)>& change,
                 std::string* error);

}  // namespace mox3
