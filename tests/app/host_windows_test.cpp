// The Windows host services: the registry key holder and the marker, the configuration file
// written from the program's resources, the image paths.
#include "app/run/host_windows.h"

#include <gtest/gtest.h>
#include <shlwapi.h>

#include "base/text.h"
#include "resources/resources.h"
#include "test_support.h"

namespace mox3 {
namespace {

constexpr wchar_t kTestKey[] = L"Software\\mox3-updater-tests\\holder";

class WindowsHostTest : public testing::Test {
  protected:
    void SetUp() override { host_.RemoveMarker(host_.ReadMarker() ? host_.ReadMarker()->serial : u""); }
    void TearDown() override {
        host_.RemoveMarker(host_.ReadMarker() ? host_.ReadMarker()->serial : u"");
        SHDeleteKeyW(HKEY_CURRENT_USER, L"Software\\mox3-updater-tests");
    }
    WindowsHost host_{HostOptions{}, false};
};

TEST_F(WindowsHostTest, RegistryHolderOpensCreatesAndReopens) {
    CReg reg(HKEY_CURRENT_USER);
    EXPECT_FALSE(reg.isOpen());
    EXPECT_FALSE(reg.Open(kTestKey)) << "the key does not exist yet";
    EXPECT_FALSE(reg.isOpen());
    EXPECT_TRUE(reg.Create(kTestKey));
    EXPECT_TRUE(reg.Create(kTestKey)) << "creating an existing key opens it";
    EXPECT_TRUE(reg.Open(kTestKey));
    EXPECT_FALSE(reg.Open(L"Software\\mox3-updater-tests\\missing"));
    EXPECT_FALSE(reg.isOpen()) << "a failed open leaves nothing held";
}

TEST_F(WindowsHostTest, MarkerKeepsTheSerialUntilRemoved) {
    EXPECT_EQ(host_.ReadMarker(), std::nullopt);
    ASSERT_TRUE(host_.WriteMarker({u"4A3F0012B7C4D9E1", 4096}));
    EXPECT_EQ(host_.ReadMarker(), (UpdateMarker{u"4A3F0012B7C4D9E1", 4096}));
    ASSERT_TRUE(host_.WriteMarker({u"SECOND", std::nullopt}));
    EXPECT_EQ(host_.ReadMarker(), (UpdateMarker{u"SECOND", std::nullopt}))
        << "a new run overwrites the value, and a run without a length leaves none";

    // 64 characters fit; a longer value written by someone else reads as no serial.
    const std::u16string longest(64, u'S');
    ASSERT_TRUE(host_.WriteMarker({longest + u"cut", 512}));
    EXPECT_EQ(host_.ReadMarker(), (UpdateMarker{longest, 512}));
    CReg reg(HKEY_CURRENT_USER);
    ASSERT_TRUE(reg.Open(kMarkerKey));
    const std::wstring tooLong(80, L'L');
    RegSetValueExW(reg.key(), nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(tooLong.c_str()),
                   static_cast<DWORD>(2 * tooLong.size() + 2));
    EXPECT_EQ(host_.ReadMarker(), (UpdateMarker{u"", 512}));

    host_.RemoveMarker(host_.ReadMarker() ? host_.ReadMarker()->serial : u"");
    EXPECT_EQ(host_.ReadMarker(), std::nullopt);
}

TEST_F(WindowsHostTest, ConfigurationFileComesWholeFromTheResource) {
    const std::u16string path = host_.ConfigFilePath();
    EXPECT_TRUE(path.ends_with(u"\\MOX3_config.ini")) << Utf16ToUtf8(path);
    // A longer file of the same name is replaced, not overwritten in part.
    test::WriteBytes(std::filesystem::path(path), std::vector<std::uint8_t>(100000, 'x'));
    ASSERT_TRUE(host_.WriteConfigFile(117));
    const EmbeddedResource* shipped = FindConfigResource(117);
    ASSERT_NE(shipped, nullptr);
    EXPECT_EQ(test::ReadBytes(std::filesystem::path(path)),
              std::vector<std::uint8_t>(shipped->bytes.begin(), shipped->bytes.end()));
    EXPECT_TRUE(host_.FileExists(path));
    EXPECT_FALSE(host_.WriteConfigFile(999));
    host_.RemoveFile(path);
    EXPECT_FALSE(host_.FileExists(path));

    // The resource functions themselves: a found resource, written twice over.
    HRSRC found = FindResourceW(nullptr, MAKEINTRESOURCEW(104), kConfigResourceTypeW);
    ASSERT_NE(found, nullptr) << "the configuration files are resources of the program";
    test::TempDir dir;
    const std::wstring target = (dir / "out.ini").wstring();
    EXPECT_EQ(WriteResourceFile(target.c_str(), found), 1);
    EXPECT_EQ(WriteResourceFile(target.c_str(), found), 1);
    EXPECT_EQ(test::ReadBytes(dir / "out.ini").size(), FindConfigResource(104)->bytes.size());
    EXPECT_EQ(WriteResourceFile((dir / "no" / "such" / "folder.ini").wstring().c_str(), found), 0);
}

TEST_F(WindowsHostTest, ImagesLieBesideTheProgram) {
    const std::u16string image = host_.ImagePath(2);
    EXPECT_EQ(image, Narrow16(ProgramFolder()) + u"firmware_C311.bin");
    EXPECT_TRUE(host_.ImagePath(1).ends_with(u"\\firmware_C30.bin"));
    EXPECT_FALSE(host_.FileExists(Narrow16(ProgramFolder()))) << "a folder is no file";
    EXPECT_EQ(host_.CommandLineArguments(), u"");
}

}  // namespace
}  // namespace mox3
