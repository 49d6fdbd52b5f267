// What keeps a disk busy on this system: mounted file systems, swap, or other block devices
// built on it. Restarting the bridge takes the disk away under all of them.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace mox3 {

// One line per use of the disk `blockName` ("sdb") or its partitions, such as
// "/dev/sdb1 is mounted on /media/data"; empty when nothing uses it. The roots are those of
// sysfs and procfs (others in tests).
std::vector<std::string> DiskUses(const std::string& blockName,
                                  const std::filesystem::path& sysRoot = "/sys",
                                  const std::filesystem::path& procRoot = "/proc");

}  // namespace mox3
