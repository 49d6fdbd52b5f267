// The update application's platform services on Windows: the registry key holder, resources
// written to files, the record in the registry, the configuration file in the user's temporary
// folder, the images beside the program, the version check of the system, the single-instance
// mutex and the volumes on a drive's disks.
#pragma once

#include <windows.h>

#include <cassert>
#include <string>

#include "app/run/disk_claim_windows.h"
#include "app/run/host.h"

namespace mox3 {

// Holds one open registry key under a root key.
class CReg {
  public:
    explicit CReg(HKEY root) : root_(root) {}
    virtual ~CReg();
    CReg(const CReg&) = delete;
    CReg& operator=(const CReg&) = delete;

    // Opens the subkey with full access; true when it is open.
    bool Open(const wchar_t* subkey);
    // Creates the subkey (or opens it where it exists); true when it is open.
    bool Create(const wchar_t* subkey);

    bool isOpen() const { return open_; }
    HKEY key() const { return key_; }

  private:
    void CloseHeld();

    HKEY root_;
    HKEY key_ = nullptr;
    bool open_ = false;
};

// Writes `size` bytes to `path` through one handle, replacing any file there, and flushes them
// to the disk before the handle is closed. False when any step fails; then no file is left.
bool WriteWholeFile(const wchar_t* path, const void* bytes, DWORD size);

// Writes a resource of the program's own module to `path` (WriteWholeFile). 1 when the file
// holds the whole resource; 0 otherwise, and then no file is left behind.
int WriteResourceFile(const wchar_t* path, HRSRC resource);

// The record of an unfinished update: the serial number in the key's default value (all that
// older versions write and read), the rest in named values beside it.
inline constexpr wchar_t kMarkerKey[] = L"Software\\KAVELIN\\ZR-MOX3_UPDATE";
inline constexpr wchar_t kBlockLengthValue[] = L"BlockLength";    // REG_DWORD, 512 or 4096
inline constexpr wchar_t kPortValue[] = L"Port";                  // REG_SZ
inline constexpr wchar_t kVendorIdValue[] = L"VendorId";          // REG_DWORD
inline constexpr wchar_t kProductIdValue[] = L"ProductId";        // REG_DWORD
inline constexpr wchar_t kProductValue[] = L"Product";            // REG_SZ
inline constexpr wchar_t kGenerationValue[] = L"Generation";      // REG_DWORD
inline constexpr wchar_t kResourceIdValue[] = L"ResourceId";      // REG_DWORD
inline constexpr wchar_t kConfigDigestValue[] = L"ConfigDigest";  // REG_SZ, 64 hex digits
inline constexpr wchar_t kWrittenAtValue[] = L"WrittenAt";        // REG_QWORD, seconds since 1970
inline constexpr wchar_t kBackupValue[] = L"Backup";              // REG_SZ, only where there is one
inline constexpr wchar_t kReadOnlyValue[] = L"ReadOnly";          // REG_DWORD 1, only where it is
inline constexpr wchar_t kRestoreValue[] = L"RestoreFrom";        // REG_SZ, a restore's only

inline constexpr wchar_t kConfigFileName[] = L"MOX3_config.ini";
inline constexpr wchar_t kConfigResourceTypeW[] = L"CONFIG_FILE";

// One copy of the programs at a time on the whole system, whichever user or session runs it:
// the mutex lives in the global namespace, which every session sees.
inline constexpr wchar_t kSingleInstanceMutex[] = L"Global\\KAVELIN ZR-MOX3 UPDATER";

enum class InstanceState { Only, AlreadyRunning, Failed };
struct SingleInstance {
    InstanceState state = InstanceState::Failed;
    HANDLE mutex = nullptr;  // held by this copy (state Only) until closed
    DWORD error = 0;         // why it failed
};
// Takes the single-instance mutex `name`. A mutex of that name that this user may not open (a
// copy of another user made it) means another copy runs as well.
SingleInstance TakeSingleInstance(const wchar_t* name = kSingleInstanceMutex);

class WindowsHost : public CliHost {
  public:
    // `programCommandLine`: the update switch comes from the program's own command line (the
    // dialog program); otherwise from `options.force` (the command line's --force).
    WindowsHost(HostOptions options, bool programCommandLine);

    bool OsSupported() override;
    std::u16string LoadText(int id) override;
    std::u16string ImagePath(int chipKind) override;
    std::u16string ConfigFilePath() override;
    std::optional<std::vector<std::uint8_t>> WriteConfigFile(int resourceId) override;
    std::optional<std::vector<std::uint8_t>> ReadConfigFile() override;
    bool FileExists(const std::u16string& path) override;
    void RemoveFile(const std::u16string& path) override;
    bool WriteMarker(const UpdateMarker& marker) override;
    std::vector<UpdateMarker> ReadMarkers() override;
    bool RecordsPerDrive() override { return false; }
    std::optional<std::u16string> DriveChoice() override { return options_.device; }
    std::optional<ManualRecovery> RecoveryRequest() override { return options_.recovery; }
    void RemoveMarker(const std::u16string& serial) override;
    // The volumes on the drive's disks, by mount point ("volume E: on disk 2 is mounted").
    std::vector<Told> DiskUses(const std::vector<std::u16string>& paths) override;
    // Every volume on the drive's disks locked and dismounted (DiskClaim) until ReleaseDisks.
    std::vector<Told> ClaimDisks(const std::vector<std::u16string>& paths) override;
    void ReleaseDisks() override { claim_.Release(); }
    // The command line's only (the dialog program keeps none): kept in "backups" of the state
    // folder, the one --state-dir gives or %LOCALAPPDATA%\mox3-updater (%APPDATA% where none is).
    BackupOutcome BackupFlash(CBridgeMgr& mgr, int index, const UpdateMarker& record,
                              const std::u16string& firmwareVersion,
                              const BackupProgressFn& progress) override;
    std::u16string CommandLineArguments() override;
    std::shared_ptr<Clock> clock() override {
        assert(options_.clock && "a host that runs updates is given the session's clock");
        return options_.clock;
    }
    DeviceAccess devices() override { return options_.devices; }

  private:
    HostOptions options_;
    bool programCommandLine_;
    DiskClaim claim_;
};

// A string-table text of `module` (at most 1023 characters); empty when it has none.
std::u16string LoadModuleText(HMODULE module, int id);

// The folder of the program's own file, with its trailing backslash.
std::wstring ProgramFolder();

inline std::wstring Wide(std::u16string_view text) {
    return std::wstring(text.begin(), text.end());
}
inline std::u16string Narrow16(std::wstring_view text) {
    return std::u16string(text.begin(), text.end());
}

}  // namespace mox3
