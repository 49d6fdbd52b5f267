#include "app/run/host_windows.h"

#include <fstream>
#include <iterator>

#include <shlwapi.h>

#include <utility>

#include "app/run/os_check.h"
#include "base/text.h"
#include "platform/platform.h"
#include "resources/resources.h"

namespace mox3 {

namespace {

constexpr DWORD kTextUnits = 1024;
constexpr DWORD kMarkerUnits = 65;  // 64 characters and the terminator

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

int WriteResourceFile(const wchar_t* path, HRSRC resource) {
    HMODULE module = GetModuleHandleW(nullptr);
    HGLOBAL loaded = LoadResource(module, resource);
    const void* bytes = loaded ? LockResource(loaded) : nullptr;
    if (bytes == nullptr) return 0;
    const DWORD size = SizeofResource(module, resource);
    HANDLE file =
        CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 0;
    DWORD written = 0;
    const bool whole = WriteFile(file, bytes, size, &written, nullptr) && written == size;
    CloseHandle(file);
    // A partly written configuration file would be compiled into a wrong block: leave none.
    if (!whole) {
        DeleteFileW(path);
        return 0;
    }
    return 1;
}

std::wstring ProgramFolder() {
    wchar_t path[MAX_PATH + 1] = {};
    DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring text(path, n < MAX_PATH ? n : MAX_PATH);
    const auto slash = text.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring() : text.substr(0, slash + 1);
}

WindowsHost::WindowsHost(HostOptions options, bool programCommandLine)
    : options_(std::move(options)), programCommandLine_(programCommandLine) {
    if (!options_.clock) options_.clock = SystemClock();
}

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
    lastTextId_ = id;
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
    return Narrow16(std::wstring(folder, n) + kConfigFileName);
}

std::optional<std::vector<std::uint8_t>> WindowsHost::WriteConfigFile(int resourceId) {
    const std::wstring path = Wide(ConfigFilePath());
    HRSRC found = FindResourceW(nullptr, MAKEINTRESOURCEW(resourceId), kConfigResourceTypeW);
    if (found != nullptr) {
        if (WriteResourceFile(path.c_str(), found) != 1) return std::nullopt;
        return ReadConfigFile();
    }
    // A program built without the resource script carries the files in its data.
    const EmbeddedResource* embedded = FindConfigResource(resourceId);
    if (embedded == nullptr) return std::nullopt;
    std::string why;
    const std::string_view bytes(reinterpret_cast<const char*>(embedded->bytes.data()),
                                 embedded->bytes.size());
    if (!ReplaceFileAtomically(path, bytes, true, &why)) {
        DeleteFileW(path.c_str());
        return std::nullopt;
    }
    return std::vector<std::uint8_t>(embedded->bytes.begin(), embedded->bytes.end());
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

bool WindowsHost::WriteMarker(const UpdateMarker& marker) {
    CReg reg(HKEY_CURRENT_USER);
    if (!reg.Open(kMarkerKey) && !reg.Create(kMarkerKey)) return false;
    if (marker.blockLength) {
        const DWORD length = *marker.blockLength;
        if (RegSetValueExW(reg.key(), kBlockLengthValue, 0, REG_DWORD,
                           reinterpret_cast<const BYTE*>(&length), sizeof length) != ERROR_SUCCESS) {
            return false;
        }
    } else {
        RegDeleteValueW(reg.key(), kBlockLengthValue);
    }
    const std::wstring text = Wide(CutToCapacity(marker.serial, kMarkerUnits));
    const DWORD bytes = static_cast<DWORD>(2 * text.size() + 2);
    return RegSetValueExW(reg.key(), nullptr, 0, REG_SZ,
                          reinterpret_cast<const BYTE*>(text.c_str()), bytes) == ERROR_SUCCESS &&
           RegFlushKey(reg.key()) == ERROR_SUCCESS;
}

std::vector<UpdateMarker> WindowsHost::ReadMarkers() {
    CReg reg(HKEY_CURRENT_USER);
    if (!reg.Open(kMarkerKey)) return {};
    UpdateMarker marker;
    wchar_t text[kMarkerUnits + 1] = {};
    DWORD bytes = kMarkerUnits * sizeof(wchar_t);
    DWORD type = 0;
    if (RegQueryValueExW(reg.key(), nullptr, nullptr, &type, reinterpret_cast<BYTE*>(text),
                         &bytes) == ERROR_SUCCESS &&
        type == REG_SZ) {
        text[kMarkerUnits] = L'\0';  // a value stored without its terminator ends here
        marker.serial = Narrow16(text);
    }
    DWORD length = 0;
    bytes = sizeof length;
    if (RegQueryValueExW(reg.key(), kBlockLengthValue, nullptr, &type,
                         reinterpret_cast<BYTE*>(&length), &bytes) == ERROR_SUCCESS &&
        type == REG_DWORD && (length == 512 || length == 4096)) {
        marker.blockLength = length;
    }
    return {marker};
}

void WindowsHost::RemoveMarker(const std::u16string& serial) {
    for (const UpdateMarker& marker : ReadMarkers()) {
        if (marker.serial != serial) return;  // the record of another drive stays
    }
    SHDeleteKeyW(HKEY_CURRENT_USER, kMarkerKey);
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

std::unique_ptr<CliHost> StartCliHost(const HostOptions& options, bool* alreadyRunning,
                                      std::string* error) {
    if (alreadyRunning) *alreadyRunning = false;
    HANDLE mutex = CreateMutexW(nullptr, FALSE, kSingleInstanceMutex);
    if (mutex == nullptr || GetLastError() == ERROR_ALREADY_EXISTS) {
        if (mutex != nullptr) CloseHandle(mutex);
        if (alreadyRunning) *alreadyRunning = mutex != nullptr;
        if (error && mutex == nullptr) *error = "cannot create the single-instance mutex";
        return nullptr;
    }
    return std::make_unique<LockedWindowsHost>(options, mutex);
}

}  // namespace mox3
