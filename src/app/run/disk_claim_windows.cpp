#include "app/run/disk_claim_windows.h"

#include <winioctl.h>

#include <algorithm>
#include <cstring>

#include "base/text.h"
#include "platform/storage_device_windows.h"

namespace mox3 {

namespace {

const wchar_t* Wide(const std::u16string& text) {
    return reinterpret_cast<const wchar_t*>(text.c_str());
}

bool IsDevicePath(std::u16string_view path) {
    return path.starts_with(u"\\\\?\\") || path.starts_with(u"\\\\.\\");
}

// A volume or device opened with `access`; INVALID_HANDLE_VALUE when it cannot be. A volume's
// name opens the volume only without its trailing backslash (with it, its root folder).
HANDLE OpenDevice(std::u16string path, DWORD access) {
    if (path.ends_with(u'\\')) path.pop_back();
    return CreateFileW(Wide(path), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                       OPEN_EXISTING, 0, nullptr);
}

bool Control(HANDLE handle, DWORD code, void* out = nullptr, DWORD outSize = 0) {
    DWORD returned = 0;
    return DeviceIoControl(handle, code, nullptr, 0, out, outSize, &returned, nullptr) != FALSE;
}

// The disks a volume's extents lie on, each once.
std::vector<std::uint32_t> ExtentDisks(const std::u16string& volume) {
    HANDLE handle = OpenDevice(volume, 0);  // the query needs no access rights
    if (handle == INVALID_HANDLE_VALUE) return {};
    std::vector<std::uint32_t> disks;
    // Room for the extents of any volume but a large spanned one, which says how many it has.
    DWORD extents = 16;
    for (int attempt = 0; attempt < 2; ++attempt) {
        std::vector<LONGLONG> buffer(
            (sizeof(VOLUME_DISK_EXTENTS) + extents * sizeof(DISK_EXTENT)) / sizeof(LONGLONG) + 1);
        auto* answer = reinterpret_cast<VOLUME_DISK_EXTENTS*>(buffer.data());
        const DWORD size = static_cast<DWORD>(buffer.size() * sizeof(LONGLONG));
        if (Control(handle, IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS, answer, size)) {
            for (DWORD i = 0; i < answer->NumberOfDiskExtents && i < extents; ++i) {
                const auto disk = static_cast<std::uint32_t>(answer->Extents[i].DiskNumber);
                if (std::find(disks.begin(), disks.end(), disk) == disks.end()) {
                    disks.push_back(disk);
                }
            }
            break;
        }
        if (GetLastError() != ERROR_MORE_DATA) break;
        extents = answer->NumberOfDiskExtents;
    }
    CloseHandle(handle);
    return disks;
}

// The folders a volume is mounted at (a list of texts, each ending in a null, the list in two).
std::vector<std::u16string> MountPoints(const std::u16string& volume) {
    std::vector<wchar_t> buffer(MAX_PATH + 1, L'\0');
    DWORD needed = 0;
    if (!GetVolumePathNamesForVolumeNameW(Wide(volume), buffer.data(),
                                          static_cast<DWORD>(buffer.size()), &needed)) {
        if (GetLastError() != ERROR_MORE_DATA || needed == 0) return {};
        buffer.assign(needed + 1, L'\0');
        if (!GetVolumePathNamesForVolumeNameW(Wide(volume), buffer.data(),
                                              static_cast<DWORD>(buffer.size()), &needed)) {
            return {};
        }
    }
    std::vector<std::u16string> points;
    for (const wchar_t* at = buffer.data(); *at != L'\0'; at += std::wcslen(at) + 1) {
        points.emplace_back(reinterpret_cast<const char16_t*>(at));
    }
    return points;
}

}  // namespace

std::vector<VolumeInfo> VolumesOnDisks(const std::vector<VolumeInfo>& volumes,
                                       const std::vector<std::uint32_t>& disks) {
    std::vector<VolumeInfo> found;
    for (const VolumeInfo& volume : volumes) {
        if (std::any_of(volume.disks.begin(), volume.disks.end(), [&](std::uint32_t disk) {
                return std::find(disks.begin(), disks.end(), disk) != disks.end();
            })) {
            found.push_back(volume);
        }
    }
    return found;
}

Told VolumeInUse(const VolumeInfo& volume, const std::vector<std::uint32_t>& disks) {
    std::u16string label = volume.mountPoints.empty() ? volume.name : volume.mountPoints.front();
    if (label.size() > 1 && label.ends_with(u'\\')) label.pop_back();
    const auto disk =
        std::find_first_of(volume.disks.begin(), volume.disks.end(), disks.begin(), disks.end());
    if (disk == volume.disks.end()) return Tell(Finding::kVolumeInUse, {Utf16ToUtf8(label)});
    return Tell(Finding::kVolumeOnDiskInUse, {Utf16ToUtf8(label), std::to_string(*disk)});
}

std::vector<std::uint32_t> DiskNumbersOf(const std::vector<std::u16string>& paths) {
    std::vector<std::uint32_t> disks;
    for (const std::u16string& path : paths) {
        if (!IsDevicePath(path)) continue;
        HANDLE handle = OpenDevice(path, 0);
        if (handle == INVALID_HANDLE_VALUE) continue;
        const auto number = QueryStorageNumber(handle);
        CloseHandle(handle);
        if (number && number->deviceType == FILE_DEVICE_DISK &&
            std::find(disks.begin(), disks.end(), number->deviceNumber) == disks.end()) {
            disks.push_back(number->deviceNumber);
        }
    }
    return disks;
}

std::vector<VolumeInfo> SystemVolumes() {
    std::vector<VolumeInfo> volumes;
    wchar_t name[MAX_PATH + 1] = {};
    HANDLE search = FindFirstVolumeW(name, MAX_PATH);
    if (search == INVALID_HANDLE_VALUE) return volumes;
    do {
        VolumeInfo volume;
        volume.name = reinterpret_cast<const char16_t*>(name);
        volume.disks = ExtentDisks(volume.name);
        volume.mountPoints = MountPoints(volume.name);
        volumes.push_back(std::move(volume));
    } while (FindNextVolumeW(search, name, MAX_PATH));
    FindVolumeClose(search);
    return volumes;
}

std::vector<Told> DiskClaim::Claim(const std::vector<std::u16string>& paths) {
    Release();
    const std::vector<std::uint32_t> disks = DiskNumbersOf(paths);
    if (disks.empty()) return {};
    // Every volume is locked before any is dismounted: a volume in use leaves all as they were.
    std::vector<Told> refused;
    for (const VolumeInfo& volume : VolumesOnDisks(SystemVolumes(), disks)) {
        HANDLE handle = OpenDevice(volume.name, GENERIC_READ | GENERIC_WRITE);
        if (handle != INVALID_HANDLE_VALUE && Control(handle, FSCTL_LOCK_VOLUME)) {
            FlushFileBuffers(handle);
            held_.push_back(handle);
            continue;
        }
        if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
        refused.push_back(VolumeInUse(volume, disks));
    }
    if (!refused.empty()) {
        Release();
        return refused;
    }
    for (HANDLE handle : held_) Control(handle, FSCTL_DISMOUNT_VOLUME);
    // What the disks' own caches hold reaches the platters before the bridge restarts; a disk
    // that does not take the request loses nothing by it.
    for (const std::u16string& path : paths) {
        if (!IsDevicePath(path)) continue;
        HANDLE disk = OpenDevice(path, GENERIC_READ | GENERIC_WRITE);
        if (disk == INVALID_HANDLE_VALUE) continue;
        FlushFileBuffers(disk);
        CloseHandle(disk);
    }
    return {};
}

void DiskClaim::Release() {
    // Closing a locked volume's handle unlocks it; the system mounts it again when next used.
    for (HANDLE handle : held_) CloseHandle(handle);
    held_.clear();
}

}  // namespace mox3
