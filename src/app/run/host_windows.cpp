#include "app/run/host_windows.h"

#include <shlwapi.h>

#include <algorithm>
#include <cwchar>
#include <fstream>
#include <iterator>
#include <span>
#include <utility>

#include "app/run/backup_store.h"
#include "app/run/os_check.h"
#include "base/text.h"
#include "platform/output_file.h"
#include "resources/resources.h"

namespace mox3 {

namespace {

constexpr DWORD kTextUnits = 1024;
constexpr DWORD kMarkerUnits = 64;       // the serial number's characters at most
constexpr DWORD kMarkerTextUnits = 256;  // the port's and the product's
constexpr DWORD kBackupPathUnits = 1024;

}  // namespace

CReg::~CReg() {
    CloseHeld();
}

void CReg::CloseHeld() {
    if (open_) RegCloseKey(key_);
    open_ = false;
    key_ = nullptr;
}

bool CReg::Open(const wchar_t* subkey) {
    CloseHeld();
    open_ = RegOpenKeyExW(root_, subkey, 0, KEY_ALL_ACCESS, &key_) == ERROR_SUCCESS;
    return open_;
}

bool CReg::Create(const wchar_t* subkey) {
    CloseHeld();
    DWORD disposition = 0;
    open_ = RegCreateKeyExW(root_, subkey, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                            nullptr, &key_, &disposition) == ERROR_SUCCESS;
    return open_;
}

bool WriteWholeFile(const wchar_t* path, const void* bytes, DWORD size) {
    HANDLE file =
        CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    bool whole = WriteFile(file, bytes, size, &written, nullptr) && written == size;
    // The file is programmed after a restart of the drive, which a power failure may follow:
    // it is on the disk before anything depends on it.
    whole = whole && FlushFileBuffers(file);
    whole = CloseHandle(file) && whole;
    // A partly written configuration file would be compiled into a wrong block: leave none.
    if (!whole) DeleteFileW(path);
    return whole;
}

namespace {

// The bytes of a resource of the program's own module; empty when it cannot be loaded.
std::span<const std::uint8_t> ResourceBytes(HRSRC resource) {
    HMODULE module = GetModuleHandleW(nullptr);
    HGLOBAL loaded = LoadResource(module, resource);
    const void* bytes = loaded ? LockResource(loaded) : nullptr;
    if (bytes == nullptr) return {};
    return {static_cast<const std::uint8_t*>(bytes), SizeofResource(module, resource)};
}

}  // namespace

int WriteResourceFile(const wchar_t* path, HRSRC resource) {
    const std::span<const std::uint8_t> bytes = ResourceBytes(resource);
    if (bytes.data() == nullptr) return 0;
    return WriteWholeFile(path, bytes.data(), static_cast<DWORD>(bytes.size())) ? 1 : 0;
}

std::wstring ProgramFolder() {
    wchar_t path[MAX_PATH + 1] = {};
    DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring text(path, n < MAX_PATH ? n : MAX_PATH);
    const auto slash = text.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring() : text.substr(0, slash + 1);
}

WindowsHost::WindowsHost(HostOptions options, bool programCommandLine)
    : options_(std::move(options)), programCommandLine_(programCommandLine) {}

bool WindowsHost::OsSupported() {
    OSVERSIONINFOW basic{};
    basic.dwOSVersionInfoSize = sizeof basic;
    if (!GetVersionExW(&basic)) return false;
    if (basic.dwPlatformId != VER_PLATFORM_WIN32_NT || basic.dwMajorVersion < 5) return false;
    OSVERSIONINFOEXW extended{};
    extended.dwOSVersionInfoSize = sizeof extended;
    if (!GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&extended))) return false;
    OsVersionRecord record;
    record.platformId = extended.dwPlatformId;
    record.major = extended.dwMajorVersion;
    record.minor = extended.dwMinorVersion;
    record.productType = extended.wProductType;
    record.servicePackMajor = extended.wServicePackMajor;
    return OsVersionAccepted(record);
}

std::u16string LoadModuleText(HMODULE module, int id) {
    wchar_t text[kTextUnits] = {};
    const int n = LoadStringW(module, static_cast<UINT>(id), text, kTextUnits);
    return Narrow16(std::wstring_view(text, n > 0 ? static_cast<std::size_t>(n) : 0));
}

std::u16string WindowsHost::LoadText(int id) {
    if (options_.texts) return options_.texts(id);
    return LoadModuleText(GetModuleHandleW(nullptr), id);
}

std::u16string WindowsHost::ImagePath(int chipKind) {
    const wchar_t* name = chipKind == 1 ? L"firmware_C30.bin" : L"firmware_C311.bin";
    if (!options_.imageDir.empty()) return (options_.imageDir / name).u16string();
    return Narrow16(ProgramFolder() + name);
}

std::u16string WindowsHost::ConfigFilePath() {
    wchar_t folder[MAX_PATH + 1] = {};
    DWORD n = GetTempPathW(MAX_PATH, folder);
    if (n == 0 || n > MAX_PATH) n = 0;
    const std::string name =
        ConfigFileName(Utf16ToUtf8(Narrow16(kConfigFileName)), options_.configTag);
    return Narrow16(std::wstring(folder, n)) + Utf8ToUtf16(name);
}

std::optional<std::vector<std::uint8_t>> WindowsHost::WriteConfigFile(int resourceId) {
    const std::wstring path = Wide(ConfigFilePath());
    // The program's resource, or, in a program built without the resource script, the copy
    // carried in its data.
    std::span<const std::uint8_t> bytes;
    if (HRSRC found = FindResourceW(nullptr, MAKEINTRESOURCEW(resourceId), kConfigResourceTypeW)) {
        bytes = ResourceBytes(found);
    } else if (const EmbeddedResource* embedded = FindConfigResource(resourceId)) {
        bytes = {embedded->bytes.data(), embedded->bytes.size()};
    }
    // No file of another model may stay behind to be programmed instead.
    if (bytes.data() == nullptr) {
        DeleteFileW(path.c_str());
        return std::nullopt;
    }
    if (!WriteWholeFile(path.c_str(), bytes.data(), static_cast<DWORD>(bytes.size()))) {
        return std::nullopt;
    }
    return std::vector<std::uint8_t>(bytes.begin(), bytes.end());
}

std::optional<std::vector<std::uint8_t>> WindowsHost::ReadConfigFile() {
    std::ifstream in(std::filesystem::path(Wide(ConfigFilePath())), std::ios::binary);
    if (!in) return std::nullopt;
    std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                    std::istreambuf_iterator<char>());
    if (in.bad()) return std::nullopt;
    return bytes;
}

bool WindowsHost::FileExists(const std::u16string& path) {
    const DWORD attributes = GetFileAttributesW(Wide(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

void WindowsHost::RemoveFile(const std::u16string& path) {
    DeleteFileW(Wide(path).c_str());
}

namespace {

bool SetText(HKEY key, const wchar_t* name, std::u16string_view text) {
    const std::wstring value = Wide(text);
    return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                          static_cast<DWORD>(2 * value.size() + 2)) == ERROR_SUCCESS;
}

bool SetNumber(HKEY key, const wchar_t* name, DWORD number) {
    return RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number),
                          sizeof number) == ERROR_SUCCESS;
}

// A REG_SZ value of at most `units` characters; nothing when there is none, it is of another
// type or longer.
std::optional<std::u16string> GetText(HKEY key, const wchar_t* name, DWORD units) {
    std::vector<wchar_t> text(units + 2, L'\0');
    DWORD bytes = (units + 1) * sizeof(wchar_t);
    DWORD type = 0;
    if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(text.data()), &bytes) !=
            ERROR_SUCCESS ||
        type != REG_SZ) {
        return std::nullopt;
    }
    // A value stored without its terminator ends where its bytes end.
    const std::size_t length = std::wcslen(text.data());
    if (length > units) return std::nullopt;
    return Narrow16(std::wstring_view(text.data(), length));
}

std::optional<DWORD> GetNumber(HKEY key, const wchar_t* name) {
    DWORD number = 0;
    DWORD bytes = sizeof number;
    DWORD type = 0;
    if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&number), &bytes) !=
            ERROR_SUCCESS ||
        type != REG_DWORD) {
        return std::nullopt;
    }
    return number;
}

bool IsDigest(std::u16string_view text) {
    return text.size() == 64 && std::all_of(text.begin(), text.end(), [](char16_t c) {
               return (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f');
           });
}

}  // namespace

bool WindowsHost::WriteMarker(const UpdateMarker& marker) {
    CReg reg(HKEY_CURRENT_USER);
    if (!reg.Open(kMarkerKey) && !reg.Create(kMarkerKey)) return false;
    const HKEY key = reg.key();
    if (marker.blockLength) {
        if (!SetNumber(key, kBlockLengthValue, *marker.blockLength)) return false;
    } else {
        RegDeleteValueW(key, kBlockLengthValue);
    }
    const std::int64_t writtenAt = marker.writtenAt;
    const bool details =
        SetText(key, kPortValue, CutToCapacity(marker.port, kMarkerTextUnits + 1)) &&
        SetNumber(key, kVendorIdValue, marker.vendorId) &&
        SetNumber(key, kProductIdValue, marker.productId) &&
        SetText(key, kProductValue, CutToCapacity(marker.product, kMarkerTextUnits + 1)) &&
        SetNumber(key, kGenerationValue, static_cast<DWORD>(marker.generation)) &&
        SetNumber(key, kResourceIdValue, static_cast<DWORD>(marker.resourceId)) &&
        SetText(key, kConfigDigestValue, Utf8ToUtf16(marker.configDigest)) &&
        RegSetValueExW(key, kWrittenAtValue, 0, REG_QWORD,
                       reinterpret_cast<const BYTE*>(&writtenAt),
                       sizeof writtenAt) == ERROR_SUCCESS;
    bool backup = true;
    if (marker.backup.empty()) {
        RegDeleteValueW(key, kBackupValue);
    } else {
        backup = SetText(key, kBackupValue, marker.backup);
    }
    if (marker.readOnly) {
        backup = backup && SetNumber(key, kReadOnlyValue, 1);
    } else {
        RegDeleteValueW(key, kReadOnlyValue);
    }
    if (marker.restoreFrom.empty()) {
        RegDeleteValueW(key, kRestoreValue);
    } else {
        backup = backup && SetText(key, kRestoreValue, marker.restoreFrom);
    }
    // The serial number last: a key that has it has the rest.
    return details && backup && SetText(key, nullptr, CutToCapacity(marker.serial, kMarkerUnits + 1)) &&
           RegFlushKey(key) == ERROR_SUCCESS;
}

std::vector<UpdateMarker> WindowsHost::ReadMarkers() {
    CReg reg(HKEY_CURRENT_USER);
    if (!reg.Open(kMarkerKey)) return {};
    const HKEY key = reg.key();
    // A key of an older version holds the serial number and perhaps the block length; the
    // other fields stay empty.
    UpdateMarker marker;
    marker.serial = GetText(key, nullptr, kMarkerUnits).value_or(u"");
    if (auto length = GetNumber(key, kBlockLengthValue); length == 512u || length == 4096u) {
        marker.blockLength = *length;
    }
    marker.port = GetText(key, kPortValue, kMarkerTextUnits).value_or(u"");
    marker.product = GetText(key, kProductValue, kMarkerTextUnits).value_or(u"");
    if (auto id = GetNumber(key, kVendorIdValue); id && *id <= 0xFFFF) {
        marker.vendorId = static_cast<std::uint16_t>(*id);
    }
    if (auto id = GetNumber(key, kProductIdValue); id && *id <= 0xFFFF) {
        marker.productId = static_cast<std::uint16_t>(*id);
    }
    if (auto generation = GetNumber(key, kGenerationValue); generation == 1u || generation == 2u) {
        marker.generation = static_cast<int>(*generation);
    }
    if (auto id = GetNumber(key, kResourceIdValue); id && *id <= 0xFFFF) {
        marker.resourceId = static_cast<int>(*id);
    }
    if (auto digest = GetText(key, kConfigDigestValue, 64); digest && IsDigest(*digest)) {
        marker.configDigest = Utf16ToUtf8(*digest);
    }
    marker.backup = GetText(key, kBackupValue, kBackupPathUnits).value_or(u"");
    marker.readOnly = GetNumber(key, kReadOnlyValue) == 1u;
    marker.restoreFrom = GetText(key, kRestoreValue, kBackupPathUnits).value_or(u"");
    std::int64_t writtenAt = 0;
    DWORD bytes = sizeof writtenAt;
    DWORD type = 0;
    if (RegQueryValueExW(key, kWrittenAtValue, nullptr, &type, reinterpret_cast<BYTE*>(&writtenAt),
                         &bytes) == ERROR_SUCCESS &&
        type == REG_QWORD && bytes == sizeof writtenAt) {
        marker.writtenAt = writtenAt;
    }
    return {marker};
}

void WindowsHost::RemoveMarker(const std::u16string& serial) {
    for (const UpdateMarker& marker : ReadMarkers()) {
        if (marker.serial != serial) return;  // the record of another drive stays
    }
    SHDeleteKeyW(HKEY_CURRENT_USER, kMarkerKey);
}

// A mounted volume is no refusal here: it is locked and dismounted just before the switch
// (ClaimDisks), and only one that cannot be locked, being in use, stops the run.
std::vector<Told> WindowsHost::DiskUses(const std::vector<std::u16string>&) {
    return {};
}

std::vector<Told> WindowsHost::ClaimDisks(const std::vector<std::u16string>& paths) {
    return claim_.Claim(paths);
}

namespace {

// A folder of backups: files written by the rule of output files, never through a reparse point.
class WindowsBackupFolder : public BackupFolder {
  public:
    explicit WindowsBackupFolder(std::wstring folder) : folder_(std::move(folder)) {}
    bool Write(const std::string& name, std::string_view bytes, std::string* error) override {
        return WriteWholeOutputFile(std::filesystem::path(folder_ + Wide(Utf8ToUtf16(name))),
                                    bytes, error);
    }
    std::vector<std::string> Names() override {
        std::vector<std::string> names;
        std::error_code ec;
        for (std::filesystem::directory_iterator it(std::filesystem::path(folder_), ec), end;
             !ec && it != end; it.increment(ec)) {
            names.push_back(Utf16ToUtf8(it->path().filename().u16string()));
        }
        return names;
    }
    void Remove(const std::string& name) override {
        DeleteFileW((folder_ + Wide(Utf8ToUtf16(name))).c_str());
    }
    std::u16string PathOf(const std::string& name) override {
        return Narrow16(folder_) + Utf8ToUtf16(name);
    }

  private:
    std::wstring folder_;  // with its trailing backslash
};

// Makes `folder` where it is missing; false when it is not a plain folder then.
bool PlainFolder(const std::wstring& folder, std::string* error) {
    CreateDirectoryW(folder.c_str(), nullptr);
    const DWORD attributes = GetFileAttributesW(folder.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
        (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
        return true;
    }
    *error = Utf16ToUtf8(Narrow16(folder)) + " is not a folder (or is a link); it is not used";
    return false;
}

}  // namespace

BackupOutcome WindowsHost::BackupFlash(CBridgeMgr& mgr, int index, const UpdateMarker& record,
                                       const std::u16string& firmwareVersion,
                                       const BackupProgressFn& progress) {
    if (programCommandLine_) return {};
    copyProblem_.clear();
    backup_ = KeepBackup(
        mgr, index, record, firmwareVersion, progress, options_.noBackup, options_.backupCopy,
        [this](std::string* error) -> std::unique_ptr<BackupFolder> {
            std::wstring state = options_.stateDir.wstring();
            if (state.empty()) {
                // The user's local application data (Windows XP has only the roaming one).
                for (const wchar_t* name : {L"LOCALAPPDATA", L"APPDATA"}) {
                    wchar_t value[MAX_PATH + 1] = {};
                    const DWORD n = GetEnvironmentVariableW(name, value, MAX_PATH);
                    if (n > 0 && n < MAX_PATH) {
                        state = std::wstring(value, n) + L"\\mox3-updater";
                        break;
                    }
                }
                if (state.empty()) {
                    *error = "the folder of application data cannot be found; give --state-dir";
                    return nullptr;
                }
            }
            if (!state.empty() && state.back() != L'\\' && state.back() != L'/') state += L'\\';
            const std::wstring folder = state + L"backups\\";
            if (!PlainFolder(state, error) || !PlainFolder(folder, error)) return nullptr;
            return std::make_unique<WindowsBackupFolder>(folder);
        },
        &copyProblem_);
    return backup_;
}

std::u16string WindowsHost::CommandLineArguments() {
    if (!programCommandLine_) return options_.force ? u"/UPDATE" : u"";
    const wchar_t* arguments = PathGetArgsW(GetCommandLineW());
    return Narrow16(arguments ? arguments : L"");
}

namespace {

// The command line's host, holding the single-instance mutex the dialog program takes too.
class LockedWindowsHost : public WindowsHost {
  public:
    LockedWindowsHost(const HostOptions& options, HANDLE mutex)
        : WindowsHost(options, false), mutex_(mutex) {}
    ~LockedWindowsHost() override { CloseHandle(mutex_); }

  private:
    HANDLE mutex_;
};

}  // namespace

std::u16string FindImagePath(const HostOptions& options, int chipKind) {
    return WindowsHost(options, false).ImagePath(chipKind);
}

std::vector<ImagePlace> SearchedImagePlaces(const HostOptions& options, int chipKind) {
    // One place only: the given folder, else the program's.
    return {InspectImagePlace(std::filesystem::path(FindImagePath(options, chipKind)), chipKind)};
}

std::unique_ptr<CliHost> MakeDriveHost(const HostOptions& options) {
    return std::make_unique<WindowsHost>(options, false);
}

SingleInstance TakeSingleInstance(const wchar_t* name) {
    SingleInstance taken;
    SetLastError(ERROR_SUCCESS);
    taken.mutex = CreateMutexW(nullptr, FALSE, name);
    taken.error = GetLastError();
    if (taken.mutex != nullptr && taken.error != ERROR_ALREADY_EXISTS) {
        taken.state = InstanceState::Only;
        taken.error = ERROR_SUCCESS;
        return taken;
    }
    if (taken.mutex != nullptr) CloseHandle(taken.mutex);
    taken.mutex = nullptr;
    const bool another = taken.error == ERROR_ALREADY_EXISTS || taken.error == ERROR_ACCESS_DENIED;
    taken.state = another ? InstanceState::AlreadyRunning : InstanceState::Failed;
    return taken;
}

std::unique_ptr<CliHost> StartCliHost(const HostOptions& options, HostStartFailure* failure,
                                      std::string* error) {
    HostStartFailure ignored;
    if (!failure) failure = &ignored;
    *failure = HostStartFailure::kLock;
    const SingleInstance instance = TakeSingleInstance();
    switch (instance.state) {
        case InstanceState::Only:
            *failure = HostStartFailure::kNone;
            return std::make_unique<LockedWindowsHost>(options, instance.mutex);
        case InstanceState::AlreadyRunning:
            *failure = HostStartFailure::kAlreadyRunning;
            if (error) *error = Utf16ToUtf8(Narrow16(kSingleInstanceMutex));
            return nullptr;
        case InstanceState::Failed:
            break;
    }
    if (error) {
        *error = "cannot create the single-instance mutex (error " +
                 std::to_string(instance.error) + ")";
    }
    return nullptr;
}

}  // namespace mox3
