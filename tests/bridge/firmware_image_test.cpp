// Image files: loading, version texts, sizes and the chip profile they select.
#include "bridge/firmware_image.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <tuple>
#ifndef _WIN32
#include <sys/stat.h>
#endif

#include "base/bytes.h"
#include "base/text.h"
#include "bridge/chip_profile.h"
#include "bridge/config_build.h"
#include "test_support.h"

namespace mox3 {
namespace {

struct Loaded {
    int result = 0;
    std::string loaderText;
    std::string trailerText;
    std::uint32_t firmwareLength = 0;
};

Loaded Load(const std::vector<std::uint8_t>& image, int kind) {
    test::TempDir dir;
    test::WriteBytes(dir / "image.bin", image);
    CBridgeMgr mgr;
    if (kind == 2) {
        FillSecondGenerationProfile(mgr);
    } else {
        FillFirstGenerationProfile(mgr);
    }
    mgr.firmwarePath = Utf8ToUtf16((dir / "image.bin").string());
    Loaded l;
    l.result = mgr.LoadFirmwareImage(mgr);
    l.loaderText = Utf16ToUtf8(mgr.firmwareVersionText);
    l.firmwareLength = mgr.firmwareLength;
    std::u16string text;
    EXPECT_EQ(
        mgr.ReadImageVersion(std::fopen((dir / "image.bin").string().c_str(), "rb"), text, kind),
        1);
    l.trailerText = Utf16ToUtf8(text);
    return l;
}

std::vector<std::uint8_t> Sample(int generation, const std::string& digits, std::size_t size) {
    std::string error;
    auto image = MakeSampleImage({generation, digits, size, 3}, &error);
    EXPECT_FALSE(image.empty()) << error;
    return image;
}

TEST(FirmwareImage, VersionTexts) {
    // generation, digits; the loader's text, the trailer's text
    for (auto [generation, digits, loader, trailer] :
         {std::tuple{1, "01020300", "V01L02R03", "V01L02R03-00"},
          {1, "01020305", "V01L02R03-5", "V01L02R03-05"},
          {2, "0102030407000000", "V01L02R03-7 Beta4", "V01L02R03 Beta4"},
          {2, "0102030007020000", "V01L02R03-2:7", "V01L02R03-2:7"}}) {
        const Loaded l = Load(Sample(generation, digits, 5000), generation);
        EXPECT_EQ(l.result, 1) << digits;
        EXPECT_EQ(l.loaderText, loader);
        EXPECT_EQ(l.trailerText, trailer);
    }
}

TEST(FirmwareImage, SizesAndProgrammedLength) {
    // generation, image size; the programmed length (0: loads, not checked)
    for (auto [generation, size, length] : {std::tuple{1, 57352, 0u},
                                            {1, 48, 0u},
                                            {1, 4104, 4096u},
                                            {1, 4105, 8192u},
                                            {2, 66, 0u},
                                            {2, 262166, 262144u}}) {
        const Loaded l = Load(Sample(generation, "01000000", size), generation);
        EXPECT_EQ(l.result, 1) << size;
        EXPECT_EQ(length == 0 ? 0u : l.firmwareLength, length) << size;
    }
    // One byte more or less than the limits does not load, whatever else holds.
    auto tooLarge = Sample(1, "01000000", 57352);
    tooLarge.push_back('0');
    EXPECT_EQ(Load(tooLarge, 1).result, 0);
    const Loaded tooSmall = Load(std::vector<std::uint8_t>(47, '0'), 1);
    EXPECT_EQ(std::pair(tooSmall.result, tooSmall.loaderText), std::pair(0, std::string()));
    EXPECT_EQ(Load(std::vector<std::uint8_t>(5, '1'), 2).trailerText, "");
}

TEST(FirmwareImage, EachTestNamesItsFault) {
    const auto good = Sample(2, "01000700", 9000);
    EXPECT_EQ(FirmwareImage::Parse(good).fault(), ImageFault::None);
    EXPECT_EQ(FirmwareImage::Parse(good).RequireGeneration(1).fault(), ImageFault::Generation);
    auto digest = good;
    digest[100] ^= 1;
    EXPECT_EQ(FirmwareImage::Parse(digest).fault(), ImageFault::Digest);
    auto trailer = good;
    trailer[9000 - 18] = ' ';
    EXPECT_EQ(FirmwareImage::Parse(trailer).fault(), ImageFault::Trailer);
    // A byte of header, length or body changed, a trailer digit that is none, or a length near
    // 2^32 is refused; the bytes between the body and the trailer are not covered.
    const std::size_t body = 9000 - 26 - 36;
    const std::size_t changed[] = {0, 31, 32, 36, 36 + body - 1, 36 + body};
    for (std::size_t at : changed) {
        auto bad = good;
        bad[at] ^= 0x01;
        EXPECT_EQ(FirmwareImage::Parse(bad).ok(), at == 36 + body) << at;
    }
    auto bad = good;
    bad[9000 - 5] = 'x';
    EXPECT_EQ(FirmwareImage::Parse(bad).fault(), ImageFault::Trailer);
    bad = good;
    WriteLe32(bad, 32, 0xFFFFFFF0);
    EXPECT_FALSE(FirmwareImage::Parse(bad).ok());
    // The first fault stays: a damaged image of the wrong generation is reported as damaged.
    EXPECT_EQ(FirmwareImage::Parse(digest).RequireGeneration(1).fault(), ImageFault::Digest);
    // A damaged image shows its trailer but has no loader version and nothing to program.
    const FirmwareImage damaged = FirmwareImage::Parse(digest);
    EXPECT_EQ(std::tuple(Utf16ToUtf8(damaged.trailerVersion()), damaged.loaderVersion().empty(),
                         damaged.programmedLength()),
              std::tuple("V01L00R07", true, 0u));
}

TEST(FirmwareImage, OnlyRegularFilesOfAPlausibleSizeAreRead) {
    test::TempDir dir;
    EXPECT_EQ(FirmwareImage::Read(dir / "missing.bin").fault(), ImageFault::Unreadable);
    EXPECT_EQ(FirmwareImage::Read(dir.path()).fault(), ImageFault::Unreadable);
#ifndef _WIN32
    // A FIFO would block a reader forever; a huge sparse file would be read whole.
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
    EXPECT_EQ(FirmwareImage::Read(dir / "fifo").fault(), ImageFault::Unreadable);
#endif
    test::MakeLongFile(dir / "huge.bin", 3ull << 30);
    EXPECT_EQ(FirmwareImage::Read(dir / "huge.bin").fault(), ImageFault::Size);
    test::WriteBytes(dir / "good.bin", Sample(1, "01000700", 5000));
    const FirmwareImage good = FirmwareImage::Read(dir / "good.bin");
    EXPECT_TRUE(good.ok()) << good.problem();
    EXPECT_EQ(good.size(), 5000u);
}

// How long the run waits for the bridge and how often it tries a pass.
TEST(ChipProfile, Limits) {
    CBridgeMgr mgr;
    EXPECT_EQ(std::pair(mgr.pollLimit, mgr.attemptLimit), std::pair(600u, 10u));
}

TEST(ConfigBuild, GenerationComesFromTheImage) {
    test::TempDir dir;
    test::WriteBytes(dir / "gen2.bin", Sample(2, "01000000", 5000));
    test::WriteBytes(dir / "tiny.bin", {0x30});
    test::WriteUtf16Ini(dir / "c.ini", "[Config]\nVersion=2\n");
    CBridgeMgr mgr;
    auto path = [&](const char* n) { return Utf8ToUtf16((dir / n).string()); };
    ConfigBuildResult r = BuildConfigBlock(mgr, path("gen2.bin"), path("c.ini"), 1, std::nullopt);
    EXPECT_EQ(r.failedStep, "generation");
    r = BuildConfigBlock(mgr, path("tiny.bin"), path("c.ini"), 0, std::nullopt);
    EXPECT_EQ(r.failedStep, "image");
    r = BuildConfigBlock(mgr, path("gen2.bin"), path("c.ini"), 2, std::nullopt);
    EXPECT_EQ(r.failedStep, "compile");
    EXPECT_NE(r.reason.find("VID"), std::string::npos);

    // One manager, two images: the later family's table only while its image is loaded.
    test::WriteBytes(dir / "v3.bin", Sample(2, "03000000", 5000));
    BuildConfigBlock(mgr, path("v3.bin"), path("c.ini"), 2, std::nullopt);
    EXPECT_EQ(mgr.itemCount, 407u);
    BuildConfigBlock(mgr, path("gen2.bin"), path("c.ini"), 2, std::nullopt);
    EXPECT_EQ(mgr.itemCount, 254u);
}

}  // namespace
}  // namespace mox3
