// Files written whole: old content or new, nothing left beside them, links not followed.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "platform/platform.h"
#include "test_support.h"

namespace mox3 {
namespace {

namespace fs = std::filesystem;

mode_t Mode(const fs::path& file) {
    struct stat st {};
    EXPECT_EQ(::stat(file.c_str(), &st), 0) << file;
    return st.st_mode & 0777;
}

TEST(ReplaceFileAtomically, ReplacesWholeWithTheRightModeAndLeavesNothingBeside) {
    test::TempDir dir;
    const fs::path file = dir / "marker";
    test::WriteBytes(file, std::vector<std::uint8_t>(5000, 'x'));
    std::string error;
    ASSERT_TRUE(ReplaceFileAtomically(file, "new", true, &error)) << error;
    EXPECT_EQ(test::ReadText(file), "new");
    EXPECT_EQ(Mode(file), 0600u);
    ASSERT_TRUE(ReplaceFileAtomically(dir / "shared", "", false, &error)) << error;
    EXPECT_EQ(Mode(dir / "shared") & 0044, 0044u);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), {}), 2);

    // A link in the file's place is replaced, not written through.
    test::WriteBytes(dir / "target", {'t'});
    fs::create_symlink(dir / "target", dir / "link");
    ASSERT_TRUE(ReplaceFileAtomically(dir / "link", "mine", false, &error)) << error;
    EXPECT_FALSE(fs::is_symlink(dir / "link"));
    EXPECT_EQ(test::ReadText(dir / "target"), "t");
}

TEST(ReplaceFileAtomically, AFailureKeepsTheOldFileAndNamesTheFile) {
    test::TempDir dir;
    std::string error;
    EXPECT_FALSE(ReplaceFileAtomically(dir / "missing" / "file", "x", false, &error));
    EXPECT_NE(error.find((dir / "missing" / "file").string()), std::string::npos) << error;
    // A folder in the way cannot be replaced; the temporary file goes again.
    fs::create_directory(dir / "busy");
    test::WriteBytes(dir / "busy" / "inside", {'1'});
    EXPECT_FALSE(ReplaceFileAtomically(dir / "busy", "x", false, &error));
    EXPECT_TRUE(fs::is_directory(dir / "busy"));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), {}), 1);
}

}  // namespace
}  // namespace mox3
