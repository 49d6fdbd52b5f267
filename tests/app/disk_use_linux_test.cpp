// What keeps a disk busy, read from a sysfs and procfs of the test's own.
#include "app/run/disk_use.h"

#include <gtest/gtest.h>

#include <fstream>

#include "test_support.h"

namespace mox3 {
namespace {

void Write(const std::filesystem::path& file, const std::string& text) {
    std::filesystem::create_directories(file.parent_path());
    std::ofstream(file) << text;
}

TEST(DiskUses, MountsSwapAndHoldersOfTheDiskAndItsPartitions) {
    test::TempDir dir;
    const auto sys = dir / "sys", proc = dir / "proc";
    Write(sys / "block/sdb/dev", "8:16\n");
    Write(sys / "block/sdb/sdb1/dev", "8:17\n");
    Write(sys / "block/sdb/sdb1/partition", "1\n");
    Write(sys / "block/sdb/sdb2/dev", "8:18\n");
    Write(sys / "block/sdb/sdb2/partition", "2\n");
    Write(sys / "block/sdc/dev", "8:32\n");
    std::filesystem::create_directories(sys / "block/sdb/holders");
    std::filesystem::create_directories(sys / "block/sdb/sdb2/holders");
    Write(proc / "swaps", "Filename Type Size Used Priority\n");
    Write(proc / "self/mountinfo",
          "22 1 8:1 / / rw,relatime shared:1 - ext4 /dev/sda1 rw\n"
          "40 22 8:32 / /mnt/other rw - ext4 /dev/sdc rw\n");
    EXPECT_TRUE(DiskUses("sdb", sys, proc).empty());

    Write(proc / "self/mountinfo",
          "22 1 8:1 / / rw,relatime shared:1 - ext4 /dev/sda1 rw\n"
          "41 22 8:17 / /media/my\\040data rw,nosuid - vfat /dev/sdb1 rw\n"
          "42 22 0:45 / /srv rw - btrfs /dev/sdb2 rw\n");
    Write(proc / "swaps", "Filename Type Size Used Priority\n/dev/sdb2 partition 1024 0 -2\n");
    std::filesystem::create_directories(sys / "block/sdb/holders/dm-0");
    const std::vector<std::string> expected = {
        "/dev/sdb is used by /dev/dm-0", "/dev/sdb1 is mounted on /media/my data",
        "/dev/sdb2 is mounted on /srv", "/dev/sdb2 is used as swap"};
    auto uses = DiskUses("sdb", sys, proc);
    std::sort(uses.begin(), uses.end());
    EXPECT_EQ(uses, expected);
    // Names that are not a disk of this system name nothing.
    EXPECT_TRUE(DiskUses("../sdb", sys, proc).empty());
    EXPECT_TRUE(DiskUses("sdz", sys, proc).empty());
}

}  // namespace
}  // namespace mox3
