// The update application's platform services on Linux: images beside the program or in the
// installed data folder, the records of unfinished updates and the configuration file in a
// state folder that is the program's own (root's /var/lib/mox3-updater, or private to the
// user), and the lock that keeps updates and drive readers apart.
#pragma once

#include <sys/types.h>

#include <cassert>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "app/run/disk_use.h"
#include "app/run/host.h"

namespace mox3 {

// stateDir empty: see DefaultStateDir.
using LinuxHostOptions = HostOptions;

// A folder held open: once opened, every file in it is reached through this descriptor, never
// through its path again, so that whatever happens to the path later cannot redirect a write.
class FolderHandle {
  public:
    FolderHandle() = default;
    FolderHandle(int fd, std::filesystem::path path) : fd_(fd), path_(std::move(path)) {}
    ~FolderHandle();
    FolderHandle(FolderHandle&& other) noexcept;
    FolderHandle& operator=(FolderHandle&& other) noexcept;
    FolderHandle(const FolderHandle&) = delete;
    FolderHandle& operator=(const FolderHandle&) = delete;

    bool ok() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    // The path it was opened by (folders above resolved), for messages only.
    const std::filesystem::path& path() const { return path_; }

  private:
    int fd_ = -1;
    std::filesystem::path path_;
};

// What an opened folder must be.
enum class FolderKind {
    kState,       // the state folder: this user's, open to nobody else; made 0700
    kSystemLock,  // /run/mox3-updater: root's and writable by nobody else; made 0755
    kGivenLock,   // a lock folder given (an emulated bus): root's or this user's, not writable
                  // by others; never made
};

// Opens a folder component by component from the root, never following a link in its last
// name (links above it are resolved first). Every folder above it must belong to root or to
// this user and be writable by nobody else, unless it has the sticky bit (as /tmp has); the
// folder itself must be what `kind` says. With `create`, missing folders are made (those above
// 0700). An empty handle with `error` saying which folder is wrong and why.
FolderHandle OpenCheckedFolder(const std::filesystem::path& path, FolderKind kind, bool create,
                               std::string* error);

// The state folder when none is given: for root /var/lib/mox3-updater, whatever HOME and XDG
// variables say; otherwise $XDG_STATE_HOME/mox3-updater or ~/.local/state/mox3-updater (the
// home from HOME, else the user's passwd entry), provided that the home belongs to the user.
// Empty with `error` set when there is none.
std::filesystem::path DefaultStateDir(std::string* error);

// The folder of the update lock when none is given: root's /run/mox3-updater.
inline constexpr const char* kSystemLockDir = "/run/mox3-updater";

// Writes `name` in the folder whole and durably: a new temporary file beside it (mode 0600,
// never following a link), flushed, renamed into place, then the folder flushed. On failure
// the temporary file is removed, an older file under `name` is left as it was, and `error`
// says what failed.
bool WriteFileInFolder(int dirFd, const std::string& name, std::string_view data,
                       std::string* error);

// The steps of WriteFileInFolder, each told to the watcher set here as it is done (none is set
// but by tests): the bytes written to the temporary file, that file flushed to the disk, the
// file renamed to `name`, the folder flushed.
enum class FolderWriteStep { kWritten, kFileFlushed, kRenamed, kFolderFlushed };
void WatchFolderWrites(std::function<void(const std::string& name, FolderWriteStep step)> watcher);

// The file name of the record of a drive's update: "record-" and the hexadecimal digits of
// the serial number's UTF-8 bytes (for a serial too long for a file name, of its SHA-256).
std::string RecordFileName(const std::u16string& serial);

class LinuxHost : public CliHost {
  public:
    explicit LinuxHost(LinuxHostOptions options);

    bool OsSupported() override { return true; }
    std::u16string LoadText(int id) override;
    std::u16string ImagePath(int chipKind) override;
    std::u16string ConfigFilePath() override;
    std::optional<std::vector<std::uint8_t>> WriteConfigFile(int resourceId) override;
    std::optional<std::vector<std::uint8_t>> ReadConfigFile() override;
    bool FileExists(const std::u16string& path) override;
    void RemoveFile(const std::u16string& path) override;
    bool WriteMarker(const UpdateMarker& marker) override;
    std::vector<UpdateMarker> ReadMarkers() override;
    std::optional<ManualRecovery> RecoveryRequest() override { return options_.recovery; }
    std::vector<Told> DiskUses(const std::vector<std::u16string>& paths) override;
    // The disks ("/dev/sd*") opened exclusively until ReleaseDisks or the host's end, their
    // caches flushed; a flush that failed is only a note (TakeNotes).
    std::vector<Told> ClaimDisks(const std::vector<std::u16string>& paths) override;
    void ReleaseDisks() override;
    // Kept in the folder "backups" of the state folder (made 0700, its files 0600).
    BackupOutcome BackupFlash(CBridgeMgr& mgr, int index, const UpdateMarker& record,
                              const std::u16string& firmwareVersion,
                              const BackupProgressFn& progress) override;
    // What claiming the disks noted without stopping (a cache flush that failed), taken once.
    std::vector<Told> TakeNotes() override { return std::exchange(diskNotes_, {}); }
    std::optional<std::u16string> DriveChoice() override { return options_.device; }
    void RemoveMarker(const std::u16string& serial) override;
    std::u16string CommandLineArguments() override;
    std::shared_ptr<Clock> clock() override {
        assert(options_.clock && "a host that runs updates is given the session's clock");
        return options_.clock;
    }
    DeviceAccess devices() override { return options_.devices; }

    // The state folder, opened (and made) at the first need and held for the host's lifetime;
    // empty with `error` set when it cannot be had safely (see OpenCheckedFolder).
    std::filesystem::path PrivateDir(std::string* error);
    // Its descriptor, -1 when it cannot be had.
    int StateFolderFd();

  private:
    struct StoredRecord {
        std::string name;  // file name in the state folder
        UpdateMarker marker;
    };
    std::vector<StoredRecord> StoredRecords();
    std::optional<UpdateMarker> LegacyMarker();
    bool IsConfigFile(const std::u16string& path);
    std::string ConfigName() const;  // in the state folder

    LinuxHostOptions options_;
    DiskClaim diskClaim_;
    std::vector<Told> diskNotes_;
    bool stateTried_ = false;
    std::string stateError_;
    FolderHandle state_;
};

// The update lock: a file the kernel locks (flock) for as long as its holder lives, however it
// ends. An update holds it exclusively; list and bridge share it.
class UpdateLock {
  public:
    enum class Outcome { kHeld, kBusy, kFailed };
    // How long an update waits for readers to let go, and how often it looks.
    static constexpr std::uint32_t kWaitMs = 5000;
    static constexpr std::uint32_t kPollMs = 100;

    // Takes the lock file in the open folder. Exclusive: held by readers only, it is waited
    // for up to kWaitMs through `clock`; held by an update, it is busy at once. Shared: busy
    // while an update holds it, never waited for. kFailed (with `error` saying why) when the
    // file cannot be opened or is not a lock file of root's or this user's. `rootsAlone`: the
    // file is root's and readable by root alone (root's lock, which no other user may hold);
    // one that others could open is replaced.
    Outcome Take(const FolderHandle& folder, bool exclusive, Clock& clock, std::string* error,
                 bool rootsAlone = false);
    // Root's update tells the readers of other users, who cannot open root's lock, that it
    // runs: a file beside the lock names this process until the lock is let go.
    bool Announce(std::string* error);
    ~UpdateLock();
    UpdateLock() = default;
    UpdateLock(const UpdateLock&) = delete;
    UpdateLock& operator=(const UpdateLock&) = delete;
    bool held() const { return fd_ >= 0; }
    const std::filesystem::path& path() const { return path_; }

  private:
    Outcome Lock(int fd, bool exclusive, Clock& clock, std::string* error);
    int fd_ = -1;
    int folderFd_ = -1;
    bool announced_ = false;
    std::filesystem::path path_;
};

// Whether root's update runs, as the file its lock's Announce left in `folder` tells: a file
// of root's naming a process that still lives (the same one: its start time is checked).
bool RootUpdateAnnounced(const FolderHandle& folder);

// The folder of the update lock for these options: the one given; as root /run/mox3-updater
// (made when missing); otherwise the state folder, `stateFd`.
FolderHandle OpenLockFolder(const HostOptions& options, int stateFd,
                            const std::filesystem::path& stateDir, std::string* error);

}  // namespace mox3
