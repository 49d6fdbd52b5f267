// The update application's platform services on Linux: images beside the program or in the
// installed data folder, the marker and the configuration file in a folder private to the
// user under the state directory, and the single-instance lock.
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "app/run/disk_use.h"
#include "app/run/host.h"

namespace mox3 {

// stateDir empty: $XDG_STATE_HOME/mox3-updater.
using LinuxHostOptions = HostOptions;

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
    std::vector<std::string> DiskUses(const std::vector<std::u16string>& paths) override;
    // The disks ("/dev/sd*") opened exclusively until ReleaseDisks or the host's end, their
    // caches flushed; a flush that failed is only a note (TakeDiskNotes).
    std::vector<std::string> ClaimDisks(const std::vector<std::u16string>& paths) override;
    void ReleaseDisks() override;
    // What claiming the disks noted without stopping (a cache flush that failed), taken once.
    std::vector<std::string> TakeDiskNotes() { return std::exchange(diskNotes_, {}); }
    std::optional<std::u16string> DriveChoice() override { return options_.device; }
    void RemoveMarker(const std::u16string& serial) override;
    std::u16string CommandLineArguments() override;
    std::shared_ptr<Clock> clock() override { return options_.clock; }

    // The folder of the marker and the configuration file, made private to the user; empty
    // with `error` set when it cannot be made safe (not owned by the user, a link, open to others).
    std::filesystem::path PrivateDir(std::string* error);
    int lastTextId() const override { return lastTextId_; }

  private:
    LinuxHostOptions options_;
    int lastTextId_ = 0;
    DiskClaim diskClaim_;
    std::vector<std::string> diskNotes_;
};

// The default state folder: $XDG_STATE_HOME/mox3-updater, else ~/.local/state/mox3-updater.
std::filesystem::path DefaultStateDir();

// Writes a file whole into a private folder: a new temporary file (never following a link),
// fsync, rename. On failure nothing is left at `path`, not even an older file.
bool WritePrivateFile(const std::filesystem::path& path, const void* data, std::size_t size);

// Holds the lock named after the single-instance mutex while it lives: an advisory lock of the
// whole system (or of the folder given), released by the kernel when the process ends however
// it ends.
class SingleInstanceLock {
  public:
    explicit SingleInstanceLock(const std::filesystem::path& dir);
    const std::filesystem::path& path() const { return path_; }
    ~SingleInstanceLock();
    SingleInstanceLock(const SingleInstanceLock&) = delete;
    SingleInstanceLock& operator=(const SingleInstanceLock&) = delete;
    bool held() const { return fd_ >= 0; }

  private:
    int fd_ = -1;
    std::filesystem::path path_;
};

// /run/lock when this process may create files there, otherwise `stateDir`.
std::filesystem::path DefaultLockDir(const std::filesystem::path& stateDir);

}  // namespace mox3
