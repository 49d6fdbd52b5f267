// The Windows host services: the registry key holder and the marker, the configuration file
// written from the program's resources, the image paths.
#include "app/run/host_windows.h"

#include <gtest/gtest.h>
#include <shlwapi.h>

#include <array>
#include <optional>
#include <string_view>
#include <tuple>

#include "app/run_fixture.h"
#include "base/text.h"
#include "resources/resources.h"
#include "test_support.h"

namespace mox3 {
namespace {

using namespace std::string_literals;

class WindowsHostTest : public testing::Test {
  protected:
    void SetUp() override { SHDeleteKeyW(HKEY_CURRENT_USER, kMarkerKey); }
    void TearDown() override { SHDeleteKeyW(HKEY_CURRENT_USER, kMarkerKey); }
    WindowsHost host_{HostOptions{}, false};
};

// Values as another program (or an older version) may have left them in the record's key.
void Put(const wchar_t* name, DWORD type, const void* bytes, std::size_t size) {
    CReg reg(HKEY_CURRENT_USER);
    ASSERT_TRUE(reg.Create(kMarkerKey));
    RegSetValueExW(reg.key(), name, 0, type, static_cast<const BYTE*>(bytes),
                   static_cast<DWORD>(size));
}
void PutText(const wchar_t* name, const std::wstring& text) {
    Put(name, REG_SZ, text.c_str(), 2 * text.size() + 2);
}
void PutNumber(const wchar_t* name, DWORD number) {
    Put(name, REG_DWORD, &number, 4);
}

TEST_F(WindowsHostTest, MarkerKeepsTheDrivesIdentityInNamedValues) {
    EXPECT_EQ(host_.ReadMarker(), std::nullopt);
    UpdateMarker full = test::FullRecord(u"4A3F0012B7C4D9E1", 0x1'2345'6789LL);  // past 2038
    full.port = u"USB\\ROOT_HUB30\\4&1A2B3C&0&0#3";
    full.product = u"ZR-MOX3 \u00C9dition";
    ASSERT_TRUE(host_.WriteMarker(full));
    EXPECT_EQ(host_.ReadMarkers(), std::vector<UpdateMarker>{full});
    CReg reg(HKEY_CURRENT_USER);
    ASSERT_TRUE(reg.Open(kMarkerKey));
    DWORD type = REG_NONE;
    RegQueryValueExW(reg.key(), kWrittenAtValue, nullptr, &type, nullptr, nullptr);
    EXPECT_EQ(type, static_cast<DWORD>(REG_QWORD));

    // A record of fewer details replaces every one of the last record's.
    ASSERT_TRUE(host_.WriteMarker({u"SECOND", std::nullopt}));
    EXPECT_EQ(host_.ReadMarker(), (UpdateMarker{u"SECOND", std::nullopt}));
    // 64 characters fit; a longer value written by someone else reads as no serial.
    const std::u16string longest(64, u'S');
    ASSERT_TRUE(host_.WriteMarker({longest + u"cut", 512}));
    EXPECT_EQ(host_.ReadMarker(), (UpdateMarker{longest, 512}));
    PutText(nullptr, std::wstring(80, L'L'));
    EXPECT_EQ(host_.ReadMarker(), (UpdateMarker{u"", 512}));

    // Values no run writes (out of range, of another type, too long) read as not there.
    ASSERT_TRUE(host_.WriteMarker(full));
    PutNumber(kVendorIdValue, 0x12345);
    PutNumber(kGenerationValue, 3);
    PutText(kConfigDigestValue, std::wstring(64, L'A'));
    PutText(kProductIdValue, L"7C34");
    PutText(kPortValue, std::wstring(300, L'P'));
    full.vendorId = full.productId = 0;
    full.generation = 0;
    full.configDigest.clear();
    full.port.clear();
    EXPECT_EQ(host_.ReadMarker(), full);
}

// What a version before the named values left behind: the serial number and the block length.
TEST_F(WindowsHostTest, MarkerOfAnOlderVersionReadsWithItsSerialAlone) {
    PutText(nullptr, L"4A3F0012B7C4D9E1");
    EXPECT_EQ(host_.ReadMarkers(),
              (std::vector<UpdateMarker>{{u"4A3F0012B7C4D9E1", std::nullopt}}));
    PutNumber(kBlockLengthValue, 512);
    EXPECT_EQ(host_.ReadMarker(), (UpdateMarker{u"4A3F0012B7C4D9E1", 512}));
    // A record of another drive stays; the drive's own goes with all its values.
    host_.RemoveMarker(u"OTHER");
    EXPECT_TRUE(host_.ReadMarker());
    host_.RemoveMarker(u"4A3F0012B7C4D9E1");
    EXPECT_FALSE(CReg(HKEY_CURRENT_USER).Open(kMarkerKey));
}

// The configuration file goes to the user's temporary folder, here one of the test's own.
class ConfigFileTest : public WindowsHostTest {
  protected:
    void SetUp() override {
        WindowsHostTest::SetUp();
        wchar_t saved[MAX_PATH + 1] = {};
        const DWORD n = GetEnvironmentVariableW(L"TMP", saved, MAX_PATH);
        if (n > 0 && n <= MAX_PATH) savedTmp_ = saved;
        SetEnvironmentVariableW(L"TMP", (dir_.path().wstring() + L"\\").c_str());
    }
    void TearDown() override {
        SetEnvironmentVariableW(L"TMP", savedTmp_ ? savedTmp_->c_str() : nullptr);
        WindowsHostTest::TearDown();
    }
    test::TempDir dir_;
    std::optional<std::wstring> savedTmp_;
};

TEST_F(ConfigFileTest, ComesWholeFromTheResourceAndIsWhatTheRunGets) {
    const std::u16string path = host_.ConfigFilePath();
    EXPECT_EQ(std::filesystem::path(path), dir_ / "MOX3_config.ini");
    // A longer file of the same name is replaced, not overwritten in part.
    test::WriteBytes(std::filesystem::path(path), std::vector<std::uint8_t>(100000, 'x'));
    const EmbeddedResource* shipped = FindConfigResource(117);
    ASSERT_NE(shipped, nullptr);
    const std::vector<std::uint8_t> expected(shipped->bytes.begin(), shipped->bytes.end());
    EXPECT_EQ(host_.WriteConfigFile(117), expected);
    EXPECT_EQ(test::ReadBytes(std::filesystem::path(path)), expected);
    EXPECT_TRUE(host_.ReadConfigFile() == expected && host_.FileExists(path));

    // A model without a file leaves none of another model to be programmed.
    EXPECT_EQ(host_.WriteConfigFile(999), std::nullopt);
    EXPECT_FALSE(host_.FileExists(path) || host_.ReadConfigFile());

    // A folder that cannot be written: nothing, and nothing left there.
    ASSERT_TRUE(host_.WriteConfigFile(104));
    SetEnvironmentVariableW(L"TMP", ((dir_ / "missing").wstring() + L"\\").c_str());
    EXPECT_FALSE(host_.WriteConfigFile(104) || host_.ReadConfigFile());
    host_.RemoveFile(path);
    EXPECT_FALSE(host_.FileExists(path));
}

TEST(SingleInstance, OneCopyOnTheWholeSystem) {
    SingleInstance first = TakeSingleInstance();
    ASSERT_EQ(first.state, InstanceState::Only) << "error " << first.error;
    ASSERT_NE(first.mutex, nullptr);
    // The command line refuses a second copy, and names what it found taken.
    HostStartFailure failure = HostStartFailure::kNone;
    std::string why;
    EXPECT_EQ(StartCliHost(HostOptions{}, &failure, &why), nullptr);
    EXPECT_EQ(std::tie(failure, why), std::make_tuple(HostStartFailure::kAlreadyRunning,
                                                      "Global\\KAVELIN ZR-MOX3 UPDATER"s));

    CloseHandle(first.mutex);
    auto host = StartCliHost(HostOptions{}, &failure, &why);
    EXPECT_TRUE(host != nullptr && failure == HostStartFailure::kNone);
    EXPECT_EQ(TakeSingleInstance().state, InstanceState::AlreadyRunning)
        << "the command line's host holds the mutex while it lives";
    host.reset();

    // A name that cannot be a mutex's is an error, not another copy.
    EXPECT_EQ(TakeSingleInstance(L"Nonexistent\\namespace\\x").state, InstanceState::Failed);

    // A copy of another user made the mutex, and this user may not open it: another copy.
    std::array<DWORD, 64> aclSpace{};  // DWORD elements keep the list aligned
    auto* emptyList = reinterpret_cast<ACL*>(aclSpace.data());
    SECURITY_DESCRIPTOR denyAll{};
    ASSERT_TRUE(InitializeAcl(emptyList, sizeof aclSpace, ACL_REVISION) &&
                InitializeSecurityDescriptor(&denyAll, SECURITY_DESCRIPTOR_REVISION) &&
                SetSecurityDescriptorDacl(&denyAll, TRUE, emptyList, FALSE));
    SECURITY_ATTRIBUTES attributes{sizeof attributes, &denyAll, FALSE};
    constexpr wchar_t kOthers[] = L"Global\\mox3-updater-tests another user's copy";
    HANDLE others = CreateMutexW(&attributes, FALSE, kOthers);
    ASSERT_NE(others, nullptr);
    const SingleInstance beside = TakeSingleInstance(kOthers);
    if (beside.mutex != nullptr) CloseHandle(beside.mutex);
    CloseHandle(others);
    if (beside.error != ERROR_ACCESS_DENIED) {
        GTEST_SKIP() << "the system lets this user open a mutex that denies all access";
    }
    EXPECT_EQ(beside.state, InstanceState::AlreadyRunning);
}

TEST_F(WindowsHostTest, ImagesLieBesideTheProgram) {
    // The second generation's image is found there by the dialog driver's update run.
    EXPECT_EQ(host_.ImagePath(1), Narrow16(ProgramFolder()) + u"firmware_C30.bin");
    EXPECT_FALSE(host_.FileExists(Narrow16(ProgramFolder()))) << "a folder is no file";
}

}  // namespace
}  // namespace mox3
