// The output rule on Windows: a reparse point (symbolic link, junction, mount point) or a
// folder is refused by its attributes, a device (CON, NUL, COM1, a named pipe, \\.\ paths) by
// its name or by the file type of what opens. The new file is renamed over its target written
// through.
#include <io.h>
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cwctype>
#include <random>

#include "platform/output_file.h"
#include "platform/windows_error.h"

namespace mox3 {

namespace fs = std::filesystem;

namespace {

// The names Windows gives to devices in every folder: CON, NUL, COM1, LPT1, ... with any
// extension.
bool IsDeviceName(const fs::path& path) {
    const std::wstring whole = path.wstring();
    if (whole.rfind(L"\\\\.\\", 0) == 0 || whole.rfind(L"//./", 0) == 0) return true;
    std::wstring stem = path.filename().wstring();
    stem = stem.substr(0, stem.find(L'.'));
    while (!stem.empty() && (stem.back() == L' ' || stem.back() == L':')) stem.pop_back();
    for (wchar_t& c : stem) c = static_cast<wchar_t>(std::towupper(c));
    static const wchar_t* const kNames[] = {L"CON", L"PRN", L"AUX", L"NUL", L"CONIN$", L"CONOUT$"};
    for (const wchar_t* name : kNames) {
        if (stem == name) return true;
    }
    return stem.size() == 4 && (stem.rfind(L"COM", 0) == 0 || stem.rfind(L"LPT", 0) == 0) &&
           stem[3] >= L'1' && stem[3] <= L'9';
}

fs::path FolderOf(const fs::path& file) {
    return file.has_parent_path() ? file.parent_path() : fs::path(".");
}

HANDLE AsHandle(std::intptr_t h) {
    return reinterpret_cast<HANDLE>(h);
}

bool SeekTo(HANDLE h, std::uint64_t offset) {
    LONG high = static_cast<LONG>(offset >> 32);
    SetLastError(NO_ERROR);
    const DWORD low = SetFilePointer(h, static_cast<LONG>(offset & 0xFFFFFFFFu), &high, FILE_BEGIN);
    return !(low == INVALID_SET_FILE_POINTER && GetLastError() != NO_ERROR);
}

}  // namespace

std::optional<FileIdentity> IdentifyFile(const fs::path& path) {
    HANDLE h = CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return std::nullopt;
    BY_HANDLE_FILE_INFORMATION info{};
    const BOOL ok = GetFileInformationByHandle(h, &info);
    CloseHandle(h);
    if (!ok) return std::nullopt;
    return FileIdentity{info.dwVolumeSerialNumber,
                        (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow};
}

std::string OutputPathProblem(const fs::path& path) {
    const std::string name = path.filename().string();
    if (name.empty() || name == "." || name == "..") {
        return "cannot write " + path.string() + ": it names a folder, not a file";
    }
    if (IsDeviceName(path)) return path.string() + " is a device, not a regular file";
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD code = GetLastError();
        if (code != ERROR_FILE_NOT_FOUND && code != ERROR_PATH_NOT_FOUND) {
            return LastErrorText("cannot write " + path.string(), code);
        }
        const DWORD folder = GetFileAttributesW(FolderOf(path).c_str());
        if (folder == INVALID_FILE_ATTRIBUTES || !(folder & FILE_ATTRIBUTE_DIRECTORY)) {
            return "cannot write " + path.string() + ": there is no folder " + FolderOf(path).string();
        }
        return {};
    }
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        return path.string() + " is a link (a reparse point); an output is never written through a link";
    }
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) return path.string() + " is a folder, not a regular file";
    HANDLE h = CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) return LastErrorText("cannot write " + path.string());
    const DWORD type = GetFileType(h);
    CloseHandle(h);
    if (type != FILE_TYPE_DISK) return path.string() + " is a device, not a regular file";
    return {};
}

bool StderrIsTerminal() {
    return _isatty(_fileno(stderr)) != 0;
}

OutputFile::~OutputFile() {
    if (file_ != -1) {
        CloseHandle(AsHandle(file_));
        DeleteFileW(temp_.c_str());
    }
}

bool OutputFile::Open(std::string* error) {
    if (std::string why = OutputPathProblem(target_); !why.empty()) {
        if (error) *error = why;
        return false;
    }
    std::random_device random;
    temp_ = target_;
    temp_ += ".tmp" + std::to_string(random());
    HANDLE h = CreateFileW(temp_.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        if (error) *error = LastErrorText("cannot write " + target_.string());
        return false;
    }
    file_ = reinterpret_cast<std::intptr_t>(h);
    return true;
}

bool OutputFile::Resize(std::uint64_t size, std::string* error) {
    // Sparse first, so that what is never written takes no room; a file system without sparse
    // files keeps it whole, which is only room.
    DWORD returned = 0;
    DeviceIoControl(AsHandle(file_), FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &returned, nullptr);
    if (!SeekTo(AsHandle(file_), size) || !SetEndOfFile(AsHandle(file_))) {
        if (error) *error = LastErrorText("cannot write " + target_.string());
        return false;
    }
    return true;
}

bool OutputFile::WriteAt(std::uint64_t offset, const void* data, std::size_t size,
                         std::string* error) {
    const char* bytes = static_cast<const char*>(data);
    if (!SeekTo(AsHandle(file_), offset)) {
        if (error) *error = LastErrorText("cannot write " + target_.string());
        return false;
    }
    std::size_t done = 0;
    while (done < size) {
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(size - done, 1 << 20));
        DWORD written = 0;
        if (!WriteFile(AsHandle(file_), bytes + done, chunk, &written, nullptr) || written == 0) {
            if (error) *error = LastErrorText("cannot write " + target_.string());
            return false;
        }
        done += written;
    }
    return true;
}

bool OutputFile::Commit(std::string* error) {
    HANDLE h = AsHandle(file_);
    const bool flushed = FlushFileBuffers(h) != 0;
    const DWORD code = GetLastError();
    CloseHandle(h);
    file_ = -1;
    auto fail = [&](std::string why) {
        DeleteFileW(temp_.c_str());
        if (error) *error = std::move(why);
        return false;
    };
    if (!flushed) return fail(LastErrorText("cannot flush " + target_.string(), code));
    // Whatever was made at the target meanwhile must still be a file the rule lets go.
    if (std::string why = OutputPathProblem(target_); !why.empty()) return fail(why);
    if (!MoveFileExW(temp_.c_str(), target_.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        return fail(LastErrorText("cannot replace " + target_.string()));
    }
    return true;
}

AppendFile::~AppendFile() {
    if (file_ != -1) CloseHandle(AsHandle(file_));
}

bool AppendFile::Open(const fs::path& path, std::string* firstLine, std::string* error) {
    path_ = path;
    if (std::string why = OutputPathProblem(path); !why.empty()) {
        if (error) *error = why;
        return false;
    }
    // Appending access alone: every write goes to the end.
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ | FILE_APPEND_DATA, FILE_SHARE_READ, nullptr,
                           OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        if (error) *error = LastErrorText("cannot write " + path.string());
        return false;
    }
    file_ = reinterpret_cast<std::intptr_t>(h);
    if (GetFileType(h) != FILE_TYPE_DISK) {
        if (error) *error = path.string() + " is a device, not a regular file";
        return false;
    }
    char head[4096];
    DWORD n = 0;
    if (!ReadFile(h, head, sizeof head, &n, nullptr)) {
        if (error) *error = LastErrorText("cannot read " + path.string());
        return false;
    }
    std::string text(head, n);
    if (auto end = text.find('\n'); end != std::string::npos) text.resize(end);
    if (!text.empty() && text.back() == '\r') text.pop_back();
    if (firstLine) *firstLine = std::move(text);
    return true;
}

bool AppendFile::Append(std::string_view text, std::string* error) {
    std::size_t done = 0;
    while (done < text.size()) {
        DWORD written = 0;
        if (!WriteFile(AsHandle(file_), text.data() + done, static_cast<DWORD>(text.size() - done),
                       &written, nullptr) ||
            written == 0) {
            if (error) *error = LastErrorText("cannot write " + path_.string());
            return false;
        }
        done += written;
    }
    return true;
}

}  // namespace mox3
