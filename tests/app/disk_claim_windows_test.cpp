// The volumes on a drive's disks: which of the system's volumes count, and how they are named to
// the user.
#include "app/run/disk_claim_windows.h"

#include <gtest/gtest.h>

namespace mox3 {
namespace {

const std::vector<VolumeInfo> kVolumes = {
    {u"\\\\?\\Volume{11111111-0000-0000-0000-000000000000}\\", {0}, {u"C:\\"}},
    // Spanned over the system disk and the drive's.
    {u"\\\\?\\Volume{22222222-0000-0000-0000-000000000000}\\", {0, 2}, {}},
    {u"\\\\?\\Volume{33333333-0000-0000-0000-000000000000}\\",
     {2},
     {u"E:\\", u"C:\\Backup\\Drive\\"}},
    {u"\\\\?\\Volume{44444444-0000-0000-0000-000000000000}\\", {}, {u"D:\\"}},  // a CD
};

TEST(DiskVolumes, VolumesWithAnExtentOnTheDrivesDisks) {
    auto onDrive = VolumesOnDisks(kVolumes, {2});
    ASSERT_EQ(onDrive.size(), 2u);
    EXPECT_EQ(onDrive[0].name + onDrive[1].name, kVolumes[1].name + kVolumes[2].name);
    EXPECT_TRUE(VolumesOnDisks(kVolumes, {}).empty() && VolumesOnDisks(kVolumes, {5}).empty());
    EXPECT_EQ(VolumesOnDisks(kVolumes, {5, 0}).size(), 2u);
}

TEST(DiskVolumes, NamedByFirstMountPointAndTheDrivesDisk) {
    EXPECT_EQ(InEnglish(VolumeInUse(kVolumes[2], {2})), "volume E: on disk 2 is in use");
    // Spanned: the disk named is the drive's, not the first extent's.
    EXPECT_EQ(InEnglish(VolumeInUse(kVolumes[1], {2})),
              "volume \\\\?\\Volume{22222222-0000-0000-0000-000000000000} on disk 2 is in use");
    VolumeInfo folder{u"\\\\?\\Volume{5}\\", {3}, {u"C:\\Data\\Backup\\"}};
    EXPECT_EQ(InEnglish(VolumeInUse(folder, {3})), "volume C:\\Data\\Backup on disk 3 is in use");
    EXPECT_EQ(InEnglish(VolumeInUse(folder, {4})), "volume C:\\Data\\Backup is in use");
}

}  // namespace
}  // namespace mox3
