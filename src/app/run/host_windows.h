// The update application's platform services on Windows: the registry key holder, resources
// written to files, the marker in the registry, the configuration file in the user's temporary
// folder, the images beside the program and the version check of the system.
#pragma once

#include <windows.h>

#include <string>

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

// Writes a resource of the program's own module to `path`, replacing any file there. 1 when
// the file holds the whole resource; 0 otherwise, and then no file is left behind.
int WriteResourceFile(const wchar_t* path, HRSRC resource);

inline constexpr wchar_t kMarkerKey[] = L"Software\\KAVELIN\\ZR-MOX3_UPDATE";
// The drive's block length before the update, beside the serial number in the default value.
inline constexpr wchar_t kBlockLengthValue[] = L"BlockLength";
inline constexpr wchar_t kConfigFileName[] = L"MOX3_config.ini";
inline constexpr wchar_t kSingleInstanceMutex[] = L"KAVELIN ZR-MOX3 UPDATER";
inline constexpr wchar_t kConfigResourceTypeW[] = L"CONFIG_FILE";

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
    std::u16string CommandLineArguments() override;
    std::shared_ptr<Clock> clock() override { return options_.clock; }
    int lastTextId() const override { return lastTextId_; }

  private:
    HostOptions options_;
    bool programCommandLine_;
    int lastTextId_ = 0;
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
