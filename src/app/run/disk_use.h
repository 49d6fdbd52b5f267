// What keeps a disk busy on this system: mounted file systems (in any mount namespace), swap,
// other block devices built on it, processes holding it open. Restarting the bridge takes the
// disk away under all of them.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace mox3 {

// One line per use of the disk `blockName` ("sdb") or its partitions, such as
// "/dev/sdb1 is mounted on /media/data" or "/dev/sdb is held open by process 1234 (dd)";
// empty when nothing uses it. Mounts of other mount namespaces are named with a process that
// sees them, unless this namespace shows the same mount; this process's own open files do not
// count. The roots are those of sysfs and procfs (others in tests).
std::vector<std::string> DiskUses(const std::string& blockName,
                                  const std::filesystem::path& sysRoot = "/sys",
                                  const std::filesystem::path& procRoot = "/proc");

}  // namespace mox3
