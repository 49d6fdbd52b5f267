// The backups of drives' flash the command line keeps: a file of the flash's bytes and a JSON
// sidecar describing it, named by the drive's serial number and the time, the newest few of
// each drive kept in a folder of the host's.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/run/update_run.h"
#include "base/finding.h"

namespace mox3 {

// How many backups of one drive are kept.
inline constexpr std::size_t kBackupsKept = 5;

// The folder backups are kept in, as a host reaches it.
class BackupFolder {
  public:
    virtual ~BackupFolder() = default;
    // Writes `name` whole (replacing a file of that name); false with `error` saying why.
    virtual bool Write(const std::string& name, std::string_view bytes, std::string* error) = 0;
    virtual std::vector<std::string> Names() = 0;
    virtual void Remove(const std::string& name) = 0;
    // Where `name` is, for the user.
    virtual std::u16string PathOf(const std::string& name) = 0;
};

// "SERIAL-20261208T174500Z": the serial number with every character but ASCII letters and
// digits written as "_XX" (its UTF-8 bytes in hexadecimal; a serial too long for a file name
// by its SHA-256), and the time in UTC.
std::string BackupBaseName(const std::u16string& serial, std::int64_t utcSeconds);

// What the sidecar says of a backup.
struct BackupFacts {
    const UpdateMarker* record = nullptr;  // serial, identity, generation, block length
    std::u16string firmwareVersion;
    std::int64_t takenAt = 0;              // seconds since 1970, UTC
};
std::string BackupSidecar(const BackupFacts& facts, const std::vector<std::uint8_t>& flash);

// Reads the flash of the drive at `index` (ReadFlashImage) and keeps it in `folder`, then
// removes that drive's backups but the newest kBackupsKept. With `copy`, a copy of both files
// goes there too (the sidecar as copy + ".json"), by the rule of output files; a copy that
// cannot be written is said in `copyProblem` and does not fail the backup.
BackupOutcome TakeBackup(CBridgeMgr& mgr, int index, const BackupFacts& facts,
                         const BackupProgressFn& progress, BackupFolder& folder,
                         const std::filesystem::path& copy, std::string* copyProblem);

// The command line's backup: none with `noBackup`; otherwise read and kept in the folder `open`
// gives (nothing, with its error set, when it cannot be had), and copied to `copy` (see
// TakeBackup).
BackupOutcome KeepBackup(CBridgeMgr& mgr, int index, const UpdateMarker& record,
                         const std::u16string& firmwareVersion, const BackupProgressFn& progress,
                         bool noBackup, const std::filesystem::path& copy,
                         const std::function<std::unique_ptr<BackupFolder>(std::string* error)>& open,
                         std::string* copyProblem);

// A backup as it is read back: the flash's bytes and what its description says of them.
struct BackupFile {
    std::vector<std::uint8_t> flash;
    std::string sha256;  // 64 lower-case hex digits, checked against `flash`
    std::u16string serial;
    std::uint16_t vendorId = 0;
    std::uint16_t productId = 0;
    std::u16string product;
    int generation = 0;  // 1 or 2
    std::u16string firmwareVersion;
    std::optional<std::uint32_t> blockLength;
    std::string time;    // "2026-12-08T17:45:00Z"
};

// The description that goes with the backup `path`: path + ".json" where that exists, else
// the same name with ".json" for its ".bin" (as the backups folder keeps them).
std::filesystem::path BackupSidecarPath(const std::filesystem::path& path);

// Reads the backup `path` (a regular file, at most the largest flash) and its description.
// Nothing, with `why` set, when either cannot be read, the description is not one this program
// writes, the size is not a flash size of the generation it names, or the bytes' SHA-256 is
// not the recorded one.
std::optional<BackupFile> ReadBackupFile(const std::filesystem::path& path, Told* why);

}  // namespace mox3
