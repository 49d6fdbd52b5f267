// What keeps a disk busy on this system: mounted file systems (in any mount namespace), swap,
// other block devices built on it, processes holding it open. Restarting the bridge takes the
// disk away under all of them.
#pragma once

#include <cstddef>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "base/finding.h"
#include "transport/passthrough.h"

namespace mox3 {

// One finding per use of the disk `blockName` ("sdb") or its partitions, such as
// "/dev/sdb1 is mounted on /media/data" or "/dev/sdb is held open by process 1234 (dd)";
// empty when nothing uses it. Mounts of other mount namespaces are named with a process that
// sees them, unless this namespace shows the same mount; this process's own open files do not
// count. The roots are those of sysfs and procfs (others in tests).
std::vector<Told> DiskUses(const std::string& blockName,
                           const std::filesystem::path& sysRoot = "/sys",
                           const std::filesystem::path& procRoot = "/proc");

// Disks taken from the system while the bridge restarts under them. Each node is opened
// exclusively, which the kernel refuses while a file system of the disk or of one of its
// partitions is mounted (in any mount namespace) or another exclusive user (a RAID or LVM
// volume, a program) has it, and which keeps anyone from mounting or claiming it while held.
class DiskClaim {
  public:
    // Opens a node as ::open does: a descriptor, or -1 with errno set.
    using OpenNode = std::function<int(const char* path, int flags)>;
    explicit DiskClaim(OpenNode open = {});
    ~DiskClaim();
    DiskClaim(const DiskClaim&) = delete;
    DiskClaim& operator=(const DiskClaim&) = delete;

    // Takes every node ("/dev/sdb") that is not held yet. When one cannot be had, releases
    // everything and returns a finding for each node that stopped it.
    std::vector<Told> Claim(const std::vector<std::string>& nodes);
    // Writes out what the system keeps for the disks held, then has each disk write its own
    // cache to the medium (SYNCHRONIZE CACHE, sent through `backend`). What failed, one finding
    // each; nothing stops.
    std::vector<Told> Flush(PassThroughBackend& backend);
    void Release();
    std::size_t held() const { return held_.size(); }

  private:
    OpenNode open_;
    std::vector<std::pair<std::string, int>> held_;  // node, descriptor
};

// The disks behind a drive's interface paths, claimed and flushed: "/dev/sd*" nodes only (a
// CD-ROM unit "/dev/sr*" is no disk; an emulated drive's folder needs none). The uses that
// stopped the claim; flushes that failed are added to `notes`.
std::vector<Told> ClaimDriveDisks(DiskClaim& claim, PassThroughBackend& backend,
                                  const std::vector<std::string>& paths, std::vector<Told>* notes);

}  // namespace mox3
