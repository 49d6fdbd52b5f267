// Writing a backup of a drive's flash (as the update keeps them) back to the drive: which drive,
// whether the backup fits it, and the run itself, with the update's record, switch, backup,
// programming passes, wait for the drive's return and block length.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "app/run/backup_store.h"
#include "app/run/update_run.h"
#include "base/finding.h"

namespace mox3 {

// What a restore is about to do, as the inspection found it.
struct RestorePlan {
    BackupFile backup;
    std::u16string backupPath;  // absolute: the record names the restore by it
    BoundDrive bound;           // the drive, where it is plugged in and who it says it is
    std::u16string drivePath;   // its first interface path
    std::u16string serial;      // its serial number (in its loader: its record's)
    std::u16string firmwareVersion;  // the text it showed (none in its loader)
    bool inLoader = false;
    // The record this restore goes on with: one of this restore made at the drive's port (a
    // drive in its loader), or the drive's own record of a run broken off.
    std::optional<UpdateMarker> record;
};

// Why a restore is refused before anything is sent: a stable code ("no-drive",
// "several-drives", "no-answer", "generation-mismatch", "serial-mismatch",
// "loader-without-record", "other-drive-unfinished") and the cause (`drives`: how many drives
// "several-drives" found).
struct RestoreRefusal {
    std::string code;
    std::optional<Told> why;
    int drives = 0;
};

// Chooses the drive (the one family drive, or the one `named`) and checks the backup against
// it: the bridge's generation, and the serial number unless `otherDrive`. A drive in its loader
// is taken only with the record of this restore made at its port.
std::optional<RestoreRefusal> InspectRestore(HostServices& host,
                                             const std::optional<std::u16string>& named,
                                             bool otherDrive, RestorePlan& plan);

// The words a restore's failure is told in (the string table's speak of the update). Its
// success the front end tells.
struct RestoreTexts {
    std::u16string failed;
};

// The restore: 0 when the drive holds the backup and its block length again, otherwise the
// message id it stopped with (kMsgStoppedWaiting when asked to stop at a wait in the loader).
// What it noted without stopping is added to `notes`.
int RestoreWorker(UpdateView& view, HostServices& host, const RestorePlan& plan,
                  const RestoreTexts& texts, std::vector<Told>& notes);

}  // namespace mox3
