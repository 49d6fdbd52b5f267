// Reading configuration files and their values.
#include "config/profile_reader.h"

#include <gtest/gtest.h>

#include "base/number_parse.h"
#include "base/text.h"
#include "config/compile_fixture.h"

namespace mox3 {
namespace {

using test::Utf16Le;

TEST(ProfileFile, ReadsLikeThePlatformReader) {
    ProfileFile f =
        ProfileFile::Parse(Utf16Le(u"; * comment\r\n"
                                   u"key0=before any section\r\n"
                                   u"[Config]\r\n"
                                   u"  Version = 2  \r\n"
                                   u"single='x'\r\n"
                                   u"lone=\"\r\n"
                                   u";Commented=1\r\n"
                                   u"Empty=\r\n"
                                   u"NoEquals\r\n"
                                   u"Dup=first\r\n"
                                   u"dup=second\r\n"
                                   u"Inline=5 ; not a comment\r\n"
                                   u"[ config ]\r\n"
                                   u"Later=ignored, the first section of a name wins\n"
                                   u"[Other]\rKey=cr only\r\n"));
    EXPECT_EQ(f.GetString(u"config", u"VERSION", u"d", 65), u"2");
    EXPECT_EQ(f.GetString(u"Config", u"single", u"", 65), u"x");
    EXPECT_EQ(f.GetString(u"Config", u"lone", u"", 65), u"\"");
    EXPECT_FALSE(f.Find(u"Config", u"Commented"));
    EXPECT_EQ(f.GetString(u"Config", u"Empty", u"default", 65), u"");
    EXPECT_EQ(f.GetInt(u"Config", u"Empty", 7), 7u);
    EXPECT_EQ(f.GetString(u"Config", u"NoEquals", u"default", 65), u"default");
    EXPECT_EQ(f.GetString(u"Config", u"DUP", u"", 65), u"first");
    EXPECT_EQ(f.GetString(u"Config", u"Inline", u"", 65), u"5 ; not a comment");
    EXPECT_FALSE(f.Find(u"Config", u"Later"));
    EXPECT_FALSE(f.Find(u"", u"key0"));
    EXPECT_EQ(f.GetString(u"Other", u"Key", u"", 65), u"cr only");
    EXPECT_EQ(f.GetString(u"Missing", u"Key", u"dflt", 3), u"df");
}

TEST(ProfileFile, DecodesOtherEncodings) {
    std::string utf8 =
        "\xEF\xBB\xBF[S]\nK=Gr\xC3\xB6\xC3\x9F"
        "e\n";
    ProfileFile u =
        ProfileFile::Parse({reinterpret_cast<const std::uint8_t*>(utf8.data()), utf8.size()});
    EXPECT_EQ(u.GetString(u"S", u"K", u"", 65), u"Gr\u00F6\u00DFe");
    std::string ansi = "[S]\nK=\x80uro\n";
    ProfileFile a =
        ProfileFile::Parse({reinterpret_cast<const std::uint8_t*>(ansi.data()), ansi.size()});
    EXPECT_EQ(a.GetString(u"S", u"K", u"", 65), u"\u20ACuro");
    std::vector<std::uint8_t> be = {0xFE, 0xFF, 0, '[', 0, 'S', 0, ']',
                                    0,    '\n', 0, 'K', 0, '=', 0, '1'};
    EXPECT_EQ(ProfileFile::Parse(be).GetInt(u"S", u"K", 0), 1u);
}

TEST(ProfileFile, Utf16WithoutItsMarkIsRefusedWithTheReason) {
    test::TempDir dir;
    const std::u16string text =
        u"[Config]\r\nVersion=2\r\n[USB Device Descriptor]\r\nPID=0x7C34\r\n";
    std::vector<std::uint8_t> le = Utf16Le(text);
    le.erase(le.begin(), le.begin() + 2);
    std::vector<std::uint8_t> be;
    for (std::size_t i = 0; i + 1 < le.size(); i += 2) be.insert(be.end(), {le[i + 1], le[i]});
    // Single-byte text with a stray zero byte is read as before.
    const std::string ansi = std::string("[Config]\r\nVersion=2\r\n") + '\0' + "\r\n";
    const std::pair<std::vector<std::uint8_t>, std::string> kFiles[] = {
        {le, "little-endian UTF-16 text without its byte-order mark"},
        {be, "big-endian"},
        {std::vector<std::uint8_t>(ansi.begin(), ansi.end()), ""}};
    for (const auto& [bytes, refusal] : kFiles) {
        test::WriteBytes(dir / "file.ini", bytes);
        std::string error;
        auto file = ProfileFile::Load(dir / "file.ini", &error);
        EXPECT_EQ(file.has_value(), refusal.empty()) << refusal;
        EXPECT_NE(error.find(refusal), std::string::npos) << error;
        EXPECT_EQ(file ? file->GetInt(u"Config", u"Version", 0) : 0u, file ? 2u : 0u);
    }
}

TEST(NumberParsing, FollowsTheScanRule) {
    // C's rules: octal and hex prefixes, a sign, trailing junk ignored, wrapping to 32 bits.
    const std::pair<const char16_t*, std::optional<std::uint32_t>> kScans[] = {
        {u"010", 8},           {u"08", 0},         {u"0x10", 16},      {u"0X1f", 31},
        {u"  -1", 0xFFFFFFFF}, {u"+7up", 7},       {u"4294967296", 0}, {u"abc", std::nullopt},
        {u"-", std::nullopt},  {u"", std::nullopt}};
    for (const auto& [text, value] : kScans) EXPECT_EQ(ScanInt32(text), value) << Utf16ToUtf8(text);
    std::uint32_t v[8] = {};
    EXPECT_EQ(ScanInts(u"1 2 x 4", v, 8), 2u);

    // The platform's integer reader knows no octal: 010 is ten there.
    const std::pair<const char16_t*, std::uint32_t> kProfileInts[] = {
        {u"010", 10}, {u"0x2", 2}, {u"-2", 0xFFFFFFFE}, {u"two", 0}};
    for (const auto& [text, value] : kProfileInts) EXPECT_EQ(ParseProfileInt(text), value);
}

}  // namespace
}  // namespace mox3
