// The update application's two jobs, written once for every front end: the start-up
// inspection and the update run. They reach the user through an UpdateView and the platform
// through HostServices.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/clock.h"
#include "bridge/firmware_image.h"
#include "config/compile_warning.h"
#include "discovery/bridge_manager.h"
#include "discovery/drive_models.h"

namespace mox3 {

// String-table ids.
enum MessageId : int {
    kMsgAlreadyRunning = 102,
    kMsgError = 103,
    kMsgNotConnected = 104,
    kMsgMultiple = 105,
    kMsgFailed = 106,
    kMsgComplete = 107,
    kMsgCompleteText = 108,
    kMsgInProgress = 109,
    kMsgNoUpdateNeeded = 112,
    kMsgConfirm = 113,
    kMsgOsNotSupported = 114,
    kMsgImageDamaged = 115,        // the image file fails a test or is not for this drive
    kMsgSerialUnreadable = 116,    // the drive's serial number could not be read
    kMsgLoaderWithoutRecord = 117, // a drive in its update loader, no marker of its update
    kMsgNoAnswer = 118,            // the drive did not answer the chip identification
    kMsgUnfinishedFound = 119,     // the drive of an unfinished update, in normal firmware
    kMsgDriveInUse = 120,          // the system uses the drive's disk (mounted, swap, holders)
    kMsgDriveChanged = 121,        // the drive found is not the drive that was shown
    kMsgOtherUnfinished = 122,     // another drive's update is unfinished (one record only)
    kMsgRecordQuestion = 123,      // a record that does not match the drive: finish with it?
    kMsgStoppedWaiting = 124,      // stopped by the user while the drive waited in its loader
};

// Whether a text of the string table says how a run ended, rather than being a caption
// (error, complete), a status or a question shown beside such a text.
constexpr bool TellsAnOutcome(int id) {
    return id != kMsgError && id != kMsgComplete && id != kMsgInProgress && id != kMsgConfirm &&
           id != kMsgRecordQuestion;
}

inline constexpr char16_t kImageMissingText[] = u"Not found firmware file.";
// The id a message carries for that text, which the string table does not hold.
inline constexpr int kMsgImageMissing = -1;

// One message box of a run as a value: the string table ids of its caption (0: none) and of its
// text, and both as the host's texts word them. A view decides by the ids, never by the words.
struct RunMessage {
    int captionId = 0;
    int textId = 0;
    std::u16string caption;
    std::u16string text;
};

// What the runs do to the dialog: status text (control 1002), buttons, progress bar, blink
// timer, version texts (controls 1003 and 1004), message boxes and the closing message.
class UpdateView {
  public:
    virtual ~UpdateView() = default;
    virtual void SetStatusText(const std::u16string& text) = 0;
    virtual void ShowStatusText() = 0;
    virtual void EnableButtons(bool enabled) = 0;
    virtual void StartBlinkTimer() = 0;
    virtual void StopBlinkTimer() = 0;
    // Colour, range 0..100 and position 0, in this order.
    virtual void InitProgress() = 0;
    virtual void SetProgress(int position) = 0;
    virtual void SetVersionTexts(const std::u16string& current, const std::u16string& fresh) = 0;
    virtual void MessageBox(const std::u16string& caption, const std::u16string& text) = 0;
    // Every message box of a run comes this way; by default it is shown as the box.
    virtual void Message(const RunMessage& message) { MessageBox(message.caption, message.text); }
    // The run's last act after a success: the dialog may close.
    virtual void PostFinished() = 0;
    // True from the switch into the update loader until the drive is back with its block
    // length (or the run has given up): an interruption now would leave the drive unusable.
    virtual void DriveAtRisk(bool) {}
    // Why the run is about to stop, in plain words for a log or a terminal (the dialog shows
    // only the message). Said just before the failure's message box.
    virtual void Cause(const Told&) {}
    // The values of the model's configuration file that its compile took only in part (the
    // shipped files have none), once the programming has compiled it.
    virtual void ConfigWarnings(const std::vector<CompileWarning>& /*warnings*/) {}
    // Asks the user a yes-or-no question; true for yes. A view that cannot ask says no.
    virtual bool Confirm(const std::u16string& /*question*/) { return false; }
    // A wait of the switch or the programming as it passes: what is waited for, the pass
    // (0 outside the passes), the seconds waited and the wait's bound in seconds.
    virtual void Waiting(CBridgeMgr::WaitFor /*what*/, unsigned /*pass*/, unsigned /*seconds*/,
                         unsigned /*boundSeconds*/) {}
    // True when the user asked the run to stop (Ctrl-C): it stops at the next wait in the
    // update loader, where nothing is being written, and keeps the record.
    virtual bool StopWanted() { return false; }
    // The reading of a backup of the flash as it passes: the read (1-based), the bytes read in
    // it and the flash's size.
    virtual void BackupProgress(int /*read*/, std::uint32_t /*done*/, std::uint32_t /*size*/) {}
    // No backup of the flash could be made, for `why`: true to go on without one. A view that
    // cannot ask says no.
    virtual bool ConfirmWithoutBackup(const Told& /*why*/) { return false; }
};

// The record of an unfinished update, kept from just before the switch into the update loader
// until the drive is back with its block length: which drive it is for and what it programs.
// A record written by an older version holds the serial number (and the block length) alone.
struct UpdateMarker {
    std::u16string serial;
    std::optional<std::uint32_t> blockLength;
    std::u16string port{};        // where the drive was plugged in (DeviceRecord::usbPort)
    std::uint16_t vendorId = 0;   // the identity the drive had before the switch
    std::uint16_t productId = 0;
    std::u16string product{};
    int generation = 0;           // chip kind, 1 or 2
    int resourceId = 0;           // the configuration file programmed
    std::string configDigest{};   // SHA-256 of that file's bytes, 64 lower-case hex digits
    std::int64_t writtenAt = 0;   // seconds since 1970, UTC
    std::u16string backup{};      // the backup of the flash made before the programming
    std::u16string restoreFrom{}; // a restore's: the backup written back (an absolute path)
    // The flash is only being read (a backup or a check of it): the drive in its loader needs
    // no more than a restart. Older records, which lack it, are updates.
    bool readOnly = false;
    bool operator==(const UpdateMarker&) const = default;
};

// What a host's backup of the flash came to: none made (a host that keeps none), kept in a
// file, left out because the user said so, or failed for `why`.
struct BackupOutcome {
    enum class State { kNone, kStored, kSkipped, kFailed };
    State state = State::kNone;
    std::u16string file;  // kStored: where it is kept
    Told why{};           // kFailed
};

using BackupProgressFn = std::function<void(int read, std::uint32_t done, std::uint32_t size)>;

struct ManualRecovery {
    std::u16string serial;
    std::uint16_t productId = 0;
    std::u16string product;  // chooses between the model pairs of a product id
};

// What the runs need of the platform.
class HostServices {
  public:
    virtual ~HostServices() = default;
    virtual bool OsSupported() = 0;
    virtual std::u16string LoadText(int id) = 0;
    // The image file of a chip kind: firmware_C30.bin (1) or firmware_C311.bin (2).
    virtual std::u16string ImagePath(int chipKind) = 0;
    // Where the model's configuration file is put for programming.
    virtual std::u16string ConfigFilePath() = 0;
    // Writes a shipped configuration file there, replacing any file, and flushes it to the
    // disk; the bytes written (the run programs exactly these), or nothing (and no file left
    // behind) when it could not be written whole.
    virtual std::optional<std::vector<std::uint8_t>> WriteConfigFile(int resourceId) = 0;
    // The configuration file's bytes as they are now; nothing when there is none.
    virtual std::optional<std::vector<std::uint8_t>> ReadConfigFile() = 0;
    virtual bool FileExists(const std::u16string& path) = 0;
    virtual void RemoveFile(const std::u16string& path) = 0;
    // The records of unfinished updates, one per drive serial number. WriteMarker stores a
    // record under its serial, replacing only that serial's record (where the platform keeps
    // a single record, that one), durable when it returns true. ReadMarkers gives every record
    // there is; a record whose serial cannot be read has an empty serial. RemoveMarker
    // removes the record of that serial alone.
    virtual bool WriteMarker(const UpdateMarker& marker) = 0;
    virtual std::vector<UpdateMarker> ReadMarkers() = 0;
    virtual void RemoveMarker(const std::u16string& serial) = 0;
    // The first record there is (where the platform keeps one, that one).
    std::optional<UpdateMarker> ReadMarker() {
        std::vector<UpdateMarker> all = ReadMarkers();
        if (all.empty()) return std::nullopt;
        return all.front();
    }
    // True where records of several drives can be kept side by side; otherwise a record of
    // another drive stops an ordinary run until it is finished.
    virtual bool RecordsPerDrive() { return true; }
    // A drive found in its loader without a marker may be finished with a serial number and a
    // model the user gives (the command line's --recover-serial and --model); none by default.
    virtual std::optional<ManualRecovery> RecoveryRequest() { return std::nullopt; }
    // The drive the user named among several (the command line's --device: a serial number,
    // a USB port or a device node); none by default, and then only one drive may be attached.
    virtual std::optional<std::u16string> DriveChoice() { return std::nullopt; }
    // What on this system uses the disks behind a drive's interface paths (file systems
    // mounted from them, swap, devices built on them, programs holding them open), one line
    // each; restarting the bridge would pull the disks from under them. None by default.
    virtual std::vector<Told> DiskUses(const std::vector<std::u16string>&) { return {}; }
    // Just before the switch into the update loader: flushes each disk's write cache and takes
    // the disks from the system (Linux: opened exclusively; Windows: every volume on them
    // locked and dismounted), held until ReleaseDisks. The uses that stopped it, one line
    // each, when a disk cannot be taken; then nothing is held. Nothing to do by default.
    virtual std::vector<Told> ClaimDisks(const std::vector<std::u16string>&) { return {}; }
    virtual void ReleaseDisks() {}
    // With the drive at `index` in its update loader and before anything is written: a backup
    // of its flash, for the drive and the update `record` names (`firmwareVersion`: the text
    // the drive showed before the switch). None by default, and nothing is sent.
    virtual BackupOutcome BackupFlash(CBridgeMgr& /*mgr*/, int /*index*/,
                                      const UpdateMarker& /*record*/,
                                      const std::u16string& /*firmwareVersion*/,
                                      const BackupProgressFn& /*progress*/) {
        return {};
    }
    // The argument part of the command line, for the update switch ("/UPDATE" or "-update").
    virtual std::u16string CommandLineArguments() = 0;
    virtual std::shared_ptr<Clock> clock() = 0;
    // What the run lists and opens drives through.
    virtual DeviceAccess devices() = 0;
};

// The one drive a run is bound to, as the inspection saw it: where it is plugged in and who
// it says it is. The run finds it again by both and takes no other drive for it.
struct BoundDrive {
    std::u16string port;      // DeviceRecord::usbPort
    std::u16string serial;    // at most 64 characters
    std::uint16_t vendorId = 0;
    std::uint16_t productId = 0;
    std::u16string product{};
    int generation = 0;
    bool chosen = false;      // the user named it among several (HostServices::DriveChoice)
};

// What the inspection hands to the run: the two version numbers and their short texts, the
// image it read and checked (the run programs exactly these bytes), and whether the drive is
// the one of an unfinished update, back in its normal firmware.
struct Versions {
    std::u16string currentText = u"0.00";
    std::u16string newText = u"0.00";
    std::uint16_t current = 0;
    std::uint16_t fresh = 0;
    std::shared_ptr<const FirmwareImage> image;
    std::u16string imagePath;
    bool unfinished = false;
    // The chosen drive runs its update loader (a recovery run would follow).
    bool inLoader = false;
    // The chosen drive: where it is reached, and its serial number.
    std::u16string drivePath;
    std::u16string serial;
    // Every interface path of the chosen drive (disk and CD-ROM units).
    std::vector<std::u16string> drivePaths;
    BoundDrive bound;
    // The record a drive in its loader is finished with (matched, or confirmed by the user).
    std::optional<UpdateMarker> record;
    // The USB devices of the family the start-up census counted (a model that needs no update
    // too).
    int censusDevices = 0;
};

// A drive of the family: a model's drive with the maker's identity, or a bridge in its loader.
bool FamilyDrive(const DeviceRecord& r);
// Whether the user's --device `name` names this drive: its serial number, its USB port or one of
// its device nodes.
bool NamesDrive(const DeviceRecord& r, const std::u16string& name);
// The drive a run takes among the `count` listed: the one family drive, or the one the user
// named (its serial number, USB port or a device node). Its index (-1: none) and how many fit.
struct ChosenDrive {
    int index = -1;
    int matches = 0;
};
ChosenDrive ChooseDrive(const CBridgeMgr& mgr, int count, const std::optional<std::u16string>& name);

// A record in one line for the user: serial, product, port, generation, time.
std::string DescribeRecord(const UpdateMarker& record);

// The short text of a full version text ("V01L00R05" gives "1.05"); `shortText` keeps what it
// held where the full text is too short.
void ShortVersionText(const std::u16string& full, std::u16string& shortText);
std::uint16_t VersionNumber(const std::u16string& shortText);

// True when the dialog may be shown; every refusal has shown its message.
bool InspectAtStartup(UpdateView& view, HostServices& host, Versions& versions);

// How a run ended: 0 after success, otherwise the message id it stopped with.
int UpdateWorker(UpdateView& view, HostServices& host, const Versions& versions);
// Steps the runs that switch a drive into its loader share.
// The first drive with the maker's identity and this serial number (listing the drives anew),
// or -1.
int FindMakerDrive(CBridgeMgr& mgr, const std::u16string& serial);
// After a restart: waits until the drive with `serial` is back with the maker's identity (ten
// looks, five seconds apart), telling `notYet` each look that did not find it. Its index, or -1.
int AwaitReturn(CBridgeMgr& mgr, const std::u16string& serial, Clock& clock,
                const std::function<void(int look)>& notYet = {});
// Sets the block length the drive had before, when it differs now; the drive restarts to take
// it, and is looked at again until it shows that length (a restart that did not happen would
// leave the disk unreadable while the run said it was done). False when the length cannot be
// read or written, or the drive does not come back with it.
bool RestoreBlockLength(CBridgeMgr& mgr, int index, std::uint32_t saved,
                        const std::u16string& serial, Clock& clock);
// The SHA-256 of `bytes` as 64 lower-case hex digits (a record's configDigest); empty when it
// cannot be had.
std::string DigestText(const std::vector<std::uint8_t>& bytes);
// Seconds since 1970, UTC, now: the time a record or a backup says it was made.
std::int64_t UtcNow();
// Each wait of the manager's switch and programming told to `view`, and stopped when the user
// asked to stop.
void WatchWaits(CBridgeMgr& mgr, UpdateView& view);
// With the drive at `index` in its loader and before anything is written: the host's backup of
// its flash (firmwareVersion: what the drive showed before the switch), named in `record`,
// which is written again. kDeclined when none could be made and the user would not go on
// without one (`why` says why none), kStopWanted when the user asked to stop meanwhile.
enum class BackupStep { kGoOn, kDeclined, kStopWanted };
BackupStep BackUpBeforeWriting(UpdateView& view, HostServices& host, CBridgeMgr& mgr, int index,
                               UpdateMarker& record, const std::u16string& firmwareVersion,
                               Told* why);
// Whether a model's configuration file is one of this bridge generation's.
bool ModelFitsGeneration(const ManualRecovery& model, int generation);

}  // namespace mox3
