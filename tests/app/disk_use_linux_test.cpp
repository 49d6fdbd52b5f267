// What keeps a disk busy, read from a sysfs and procfs of the test's own.
#include "app/run/disk_use.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <fstream>

#include "test_support.h"

namespace mox3 {
namespace {

void Write(const std::filesystem::path& file, const std::string& text) {
    std::filesystem::create_directories(file.parent_path());
    std::ofstream(file) << text;
}

// A fake sysfs with the disk sdb (8:16) and its partitions sdb1 (8:17) and sdb2 (8:18), and
// a fake procfs with no uses of them yet.
void MakeDisk(const std::filesystem::path& sys, const std::filesystem::path& proc) {
    for (const auto& [file, text] : std::initializer_list<std::pair<const char*, const char*>>{
             {"sdb/dev", "8:16"}, {"sdb/sdb1/dev", "8:17"}, {"sdb/sdb1/partition", "1"},
             {"sdb/sdb2/dev", "8:18"}, {"sdb/sdb2/partition", "2"}, {"sdc/dev", "8:32"}}) {
        Write(sys / "block" / file, std::string(text) + "\n");
    }
    Write(proc / "swaps", "Filename Type Size Used Priority\n");
}

// A process of the fake procfs: its name, mount namespace and mount table.
void MakeProcess(const std::filesystem::path& proc, long id, const std::string& name,
                 const std::string& space, const std::string& mountinfo) {
    const auto dir = proc / std::to_string(id);
    Write(dir / "comm", name + "\n");
    Write(dir / "mountinfo", mountinfo);
    std::filesystem::create_directories(dir / "ns");
    std::filesystem::create_directory_symlink(space, dir / "ns/mnt");
    std::filesystem::create_directories(dir / "fd");
}

// Mounts, swap and holders of the disk and its partitions, in this mount namespace and in
// others (each table read once, a mount seen here not named again).
TEST(DiskUses, MountsSwapAndHoldersOfTheDiskAndItsPartitions) {
    test::TempDir dir;
    const auto sys = dir / "sys", proc = dir / "proc";
    MakeDisk(sys, proc);
    std::filesystem::create_directories(sys / "block/sdb/sdb2/holders");
    const std::string root = "22 1 8:1 / / rw,relatime shared:1 - ext4 /dev/sda1 rw\n";
    Write(proc / "self/mountinfo", root + "40 22 8:32 / /mnt/other rw - ext4 /dev/sdc rw\n");
    EXPECT_TRUE(DiskUses("sdb", sys, proc).empty());

    const std::string data = "41 22 8:17 / /media/my\\040data rw,nosuid - vfat /dev/sdb1 rw\n";
    Write(proc / "self/mountinfo", root + data + "42 22 0:45 / /srv rw - btrfs /dev/sdb2 rw\n");
    std::filesystem::create_directories(proc / "self/ns");
    std::filesystem::create_directory_symlink("mnt:[1]", proc / "self/ns/mnt");
    Write(proc / "swaps", "Filename Type Size Used Priority\n/dev/sdb2 partition 1024 0 -2\n");
    std::filesystem::create_directories(sys / "block/sdb/holders/dm-0");
    // Same namespace as this process: its table is not read again.
    MakeProcess(proc, 1, "systemd", "mnt:[1]", root + "50 22 8:18 / /never rw - ext4 x rw\n");
    // A service's copy of this namespace, plus a mount of its own.
    MakeProcess(proc, 700, "nginx", "mnt:[7]",
                root + data + "60 22 8:18 / /srv/www\\040x rw - ext4 /dev/sdb2 rw\n");
    // Another process of that namespace: read once.
    MakeProcess(proc, 701, "nginx", "mnt:[7]", "61 22 8:16 / /twice rw - ext4 /dev/sdb rw\n");
    // A container whose /dev names the disk otherwise: found by its device number.
    MakeProcess(proc, 900, "sh", "mnt:[9]", "70 22 8:16 / /mnt rw - ext4 /dev/xvdb rw\n");
    // Unreadable namespace link: skipped.
    Write(proc / "950/comm", "ghost\n");
    Write(proc / "950/mountinfo", "80 22 8:16 / /ghost rw - ext4 /dev/sdb rw\n");
    EXPECT_EQ(
        InEnglish(DiskUses("sdb", sys, proc)),
        (std::vector<std::string>{
            "/dev/sdb is used by /dev/dm-0", "/dev/sdb1 is mounted on /media/my data",
            "/dev/sdb2 is mounted on /srv", "/dev/sdb2 is used as swap",
            "/dev/sdb2 is mounted on /srv/www x in the mount namespace of process 700 (nginx)",
            "/dev/sdb is mounted on /mnt in the mount namespace of process 900 (sh)"}));
    // Names that are not a disk of this system name nothing.
    EXPECT_TRUE(DiskUses("../sdb", sys, proc).empty());
    EXPECT_TRUE(DiskUses("sdz", sys, proc).empty());
}

TEST(DiskUses, ProcessesHoldingTheDiskOpenAreNamedButNotThisOne) {
    if (::geteuid() != 0) GTEST_SKIP() << "making block device nodes needs root";
    test::TempDir dir;
    const auto sys = dir / "sys", proc = dir / "proc", nodes = dir / "nodes";
    MakeDisk(sys, proc);
    Write(proc / "self/mountinfo", "");
    // Nodes of the test's own, never opened: only their device numbers count.
    std::filesystem::create_directories(nodes);
    for (auto [name, minor] : {std::pair{"sdb", 16u}, {"sdb1", 17u}, {"sda", 0u}}) {
        ASSERT_EQ(::mknod((nodes / name).c_str(), S_IFBLK | 0600, makedev(8, minor)), 0);
    }
    Write(nodes / "file", "x");
    const auto holds = [&](long id, int fd, const char* node) {
        std::filesystem::create_symlink(nodes / node,
                                        proc / std::to_string(id) / "fd" / std::to_string(fd));
    };
    MakeProcess(proc, 300, "dd", "mnt:[1]", "");
    holds(300, 0, "file");
    holds(300, 3, "sdb1");
    holds(300, 4, "sdb1");  // the same node twice is one use
    holds(300, 5, "sdb");
    MakeProcess(proc, 40, "smartd", "mnt:[1]", "");
    holds(40, 3, "sda");  // another disk
    std::filesystem::create_symlink(dir / "gone", proc / "40/fd/4");
    MakeProcess(proc, ::getpid(), "mox3-updater", "mnt:[1]", "");
    holds(::getpid(), 3, "sdb");  // this process's own handle on the drive

    EXPECT_EQ(InEnglish(DiskUses("sdb", sys, proc)),
              (std::vector<std::string>{"/dev/sdb is held open by process 300 (dd)",
                                        "/dev/sdb1 is held open by process 300 (dd)"}));
}

}  // namespace
}  // namespace mox3
