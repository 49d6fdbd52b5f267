// Medium files on Windows: marked sparse (on a file system that keeps holes, what is never
// written takes no room), their data found with FSCTL_QUERY_ALLOCATED_RANGES; where the system
// cannot tell, all of a file counts as data.
#include <windows.h>
#include <winioctl.h>

#include <algorithm>

#include "emulator/disk_medium.h"
#include "platform/windows_error.h"

namespace mox3 {

namespace fs = std::filesystem;

namespace {

struct Handle {
    HANDLE h;
    ~Handle() {
        if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    }
};

}  // namespace

bool CreateSparseFile(const fs::path& file, std::uint64_t /*size*/, std::string* error) {
    Handle f{CreateFileW(file.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                         OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr)};
    if (f.h == INVALID_HANDLE_VALUE) {
        if (error) *error = LastErrorText("cannot make " + file.string());
        return false;
    }
    // The file grows as it is written; sparse, the gaps a write leaves take no room.
    DWORD returned = 0;
    DeviceIoControl(f.h, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &returned, nullptr);
    return true;
}

std::optional<std::vector<MediumExtent>> FileDataExtents(const fs::path& file, std::uint64_t limit,
                                                         std::string* error) {
    std::error_code ec;
    const std::uint64_t size = fs::file_size(file, ec);
    if (ec) {
        if (error) *error = "cannot read " + file.string() + ": " + ec.message();
        return std::nullopt;
    }
    const std::uint64_t stop = std::min(size, limit);
    std::vector<MediumExtent> extents;
    if (stop == 0) return extents;
    const std::vector<MediumExtent> whole = {{0, stop}};
    Handle f{CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)};
    // Only a sparse file has holes to find.
    BY_HANDLE_FILE_INFORMATION info{};
    if (f.h == INVALID_HANDLE_VALUE || !GetFileInformationByHandle(f.h, &info) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_SPARSE_FILE) == 0) {
        return whole;
    }
    FILE_ALLOCATED_RANGE_BUFFER query{};
    query.FileOffset.QuadPart = 0;
    query.Length.QuadPart = static_cast<LONGLONG>(stop);
    FILE_ALLOCATED_RANGE_BUFFER ranges[64];
    for (;;) {
        DWORD returned = 0;
        const BOOL done = DeviceIoControl(f.h, FSCTL_QUERY_ALLOCATED_RANGES, &query, sizeof query,
                                          ranges, sizeof ranges, &returned, nullptr);
        if (!done && GetLastError() != ERROR_MORE_DATA) return whole;  // the system cannot tell
        const DWORD count = returned / sizeof ranges[0];
        for (DWORD i = 0; i < count; ++i) {
            const auto from = static_cast<std::uint64_t>(ranges[i].FileOffset.QuadPart);
            const std::uint64_t to =
                std::min(stop, from + static_cast<std::uint64_t>(ranges[i].Length.QuadPart));
            if (from < to) extents.push_back({from, to - from});
        }
        if (done || count == 0) break;
        // More ranges than fit: ask again from the end of the last one.
        const LONGLONG next = ranges[count - 1].FileOffset.QuadPart + ranges[count - 1].Length.QuadPart;
        query.Length.QuadPart -= next - query.FileOffset.QuadPart;
        query.FileOffset.QuadPart = next;
        if (query.Length.QuadPart <= 0) break;
    }
    return extents;
}

}  // namespace mox3
