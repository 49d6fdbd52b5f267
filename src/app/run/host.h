// The update run's host services as the command line gets them on this platform.
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/run/update_run.h"

namespace mox3 {

struct HostOptions {
    std::filesystem::path imageDir;  // empty: beside the program (then the data folder on Linux)
    // Linux: the folder of the update records and the configuration file; empty: root's
    // /var/lib/mox3-updater, or the user's $XDG_STATE_HOME/mox3-updater.
    std::filesystem::path stateDir;
    // Linux: where the update lock lives; empty: /run/mox3-updater for root, else the state
    // folder (a reader also shares root's lock where there is one). Emulated drives keep it in
    // their bus folder.
    std::filesystem::path lockDir;
    bool force = false;              // plays the part of the "/UPDATE" switch
    std::function<std::u16string(int)> texts;
    std::optional<ManualRecovery> recovery;  // --recover-serial and --model
    std::optional<std::u16string> device;    // --device
    // The session's clock, which every wait of a run and of the lock goes by; only a host that
    // just looks for images and state does without.
    std::shared_ptr<Clock> clock;
    DeviceAccess devices;  // what the run reaches drives through
    bool noBackup = false;                // --no-backup: no backup of the flash
    std::filesystem::path backupCopy;     // --backup FILE: a copy of the backup goes there too
    // Set where several drives are updated at once: each run's configuration file is named
    // after it (the drive's serial number), beside the one file an ordinary run uses.
    std::u16string configTag;
};

// The configuration file's name: `base` ("MOX3_config.ini"), or with `tag` made safe for a file
// name put before its extension ("MOX3_config-4A3F0012.ini"): letters and digits kept, every
// other character "_", at most 64 of them.
std::string ConfigFileName(std::string_view base, std::u16string_view tag);

class CliHost : public HostServices {
  public:
    // What the run noted without stopping (a disk's cache that could not be flushed), each
    // taken once.
    virtual std::vector<Told> TakeNotes() { return {}; }
    // What the run's backup of the flash came to (nothing when the run made none), and why
    // the copy --backup asked for could not be written (empty when it was, or none was asked).
    const BackupOutcome& lastBackup() const { return backup_; }
    const std::string& backupCopyProblem() const { return copyProblem_; }

  protected:
    // Set by the host's BackupFlash (KeepBackup, app/run/backup_store.h).
    BackupOutcome backup_;
    std::string copyProblem_;
};

// The image file of a chip kind as a run with these options would find it.
std::u16string FindImagePath(const HostOptions& options, int chipKind);

// One place a run looks for the image of a chip kind, and what it found there.
struct ImagePlace {
    std::u16string path;
    // Missing, a folder, not a regular file, unreadable, damaged, for the other generation,
    // or a sound image.
    Told finding;
    bool usable = false;  // a sound image of that chip kind
};

// Every place a run with these options looks for the image of a chip kind, in the order it
// looks, up to the first where something is: the path FindImagePath gives (with nothing
// anywhere, it gives the first).
std::vector<ImagePlace> SearchedImagePlaces(const HostOptions& options, int chipKind);

// What `path` holds as the image of `chipKind`, in the words of ImagePlace::finding.
ImagePlace InspectImagePlace(const std::filesystem::path& path, int chipKind);

// Why a host for the command line could not be had.
enum class HostStartFailure {
    kNone,
    kAlreadyRunning,  // another update holds the lock; `error` names it
    kStateFolder,     // the folder of the update's records cannot be had; `error` says why
    kLock,            // the lock cannot be opened or trusted; `error` says why
};

// The platform's host for one run of the command line, holding the single-instance lock.
// Nothing when it cannot be had, with `failure` and `error` saying why.
std::unique_ptr<CliHost> StartCliHost(const HostOptions& options, HostStartFailure* failure,
                                      std::string* error);

// A host for one drive of a run that updates several at once, without the lock: the host that
// StartCliHost gave holds it for the whole process while every drive's host lives.
std::unique_ptr<CliHost> MakeDriveHost(const HostOptions& options);

// What a command that asks drives without changing them (list, bridge) holds while it talks to
// them: on Linux the update lock, shared, so that an update waits for it to finish and it never
// talks to a drive an update is changing.
class DriveReadersLock {
  public:
    virtual ~DriveReadersLock() = default;
};

// Takes it, with the lock folder and the state folder that StartCliHost would use. Nothing when
// an update holds the lock (then `updateRunning` is set and `error` names the lock's file) or
// the lock cannot be had (then `error` says why).
#ifdef _WIN32
// The Windows update's single-instance mutex keeps only updates apart.
inline std::unique_ptr<DriveReadersLock> ShareUpdateLock(const HostOptions&, bool* updateRunning,
                                                         std::string*) {
    if (updateRunning) *updateRunning = false;
    return std::make_unique<DriveReadersLock>();
}
#else
std::unique_ptr<DriveReadersLock> ShareUpdateLock(const HostOptions& options, bool* updateRunning,
                                                  std::string* error);
#endif

// Where the command line keeps what outlives one run: the records of unfinished updates and
// the configuration file (through the host it starts) and the lock that keeps updates and drive
// readers apart. The system's forwards to StartCliHost and ShareUpdateLock.
class StateStore {
  public:
    virtual ~StateStore() = default;
    virtual std::unique_ptr<CliHost> StartHost(const HostOptions& options,
                                               HostStartFailure* failure, std::string* error) = 0;
    virtual std::unique_ptr<DriveReadersLock> ShareLock(const HostOptions& options,
                                                        bool* updateRunning,
                                                        std::string* error) = 0;
    // One drive's host while a host that StartHost gave holds the lock (see MakeDriveHost);
    // nothing by default.
    virtual std::unique_ptr<CliHost> DriveHost(const HostOptions&) { return nullptr; }
};
std::shared_ptr<StateStore> SystemStateStore();

// What a drive reader says when an update holds the lock.
inline std::string UpdateRunningText(const std::string& lockPath) {
    return "an update is running (lock " + lockPath + "); try again when it has finished";
}

}  // namespace mox3
