// The volumes on a drive's disks: which there are, where they are mounted, and taking them
// from the system (locked and dismounted) for as long as the drive's bridge restarts.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "base/finding.h"

namespace mox3 {

// A volume of the system: its name ("\\?\Volume{...}\"), the disks its extents lie on and the
// folders it is mounted at ("E:\", "C:\Data\Backup\").
struct VolumeInfo {
    std::u16string name;
    std::vector<std::uint32_t> disks;
    std::vector<std::u16string> mountPoints;
};

// The volumes among `volumes` with an extent on one of `disks`, in their order.
std::vector<VolumeInfo> VolumesOnDisks(const std::vector<VolumeInfo>& volumes,
                                       const std::vector<std::uint32_t>& disks);

// What a user is told of a volume in use on one of `disks`: "volume E: on disk 2 is in use",
// by its first mount point, or by its name when it has none.
Told VolumeInUse(const VolumeInfo& volume, const std::vector<std::uint32_t>& disks);

// The disk numbers of the disks among `paths` (interface paths of the system's devices; the
// rest, an emulated drive's folder for one, are no disks).
std::vector<std::uint32_t> DiskNumbersOf(const std::vector<std::u16string>& paths);

// Every volume of the system with the disks it lies on and its mount points. A volume whose
// extents cannot be read (a CD, a network or virtual volume) lies on no disk.
std::vector<VolumeInfo> SystemVolumes();

// The volumes of a drive's disks taken from the system: each one locked (so that no program
// has it open) and then dismounted, its handle held until Release or the object's end, which
// give the volumes back to the system.
class DiskClaim {
  public:
    DiskClaim() = default;
    ~DiskClaim() { Release(); }
    DiskClaim(const DiskClaim&) = delete;
    DiskClaim& operator=(const DiskClaim&) = delete;

    // Takes every volume on the disks among `paths` and flushes the disks' write caches.
    // Nothing when all were taken; otherwise one line per volume that could not be locked
    // ("volume E: on disk 2 is in use"), and then nothing is held and nothing was dismounted.
    std::vector<Told> Claim(const std::vector<std::u16string>& paths);
    void Release();
    std::size_t held() const { return held_.size(); }

  private:
    std::vector<HANDLE> held_;
};

}  // namespace mox3
