// The portable configuration reader against the system's private-profile reader, on many
// generated files: every lookup must give the same text.
#include <gtest/gtest.h>
#include <windows.h>

#include <random>
#include <string>
#include <vector>

#include "base/text.h"
#include "config/compile_fixture.h"
#include "config/profile_reader.h"

namespace mox3 {
namespace {

constexpr std::size_t kCapacity = 65;

// Pieces the generated lines are made of, chosen to meet the reader's rules: case, blanks,
// quotes, comments, repeated names, lines without '=', long and empty values.
const std::vector<std::u16string> kNames = {u"Config", u"config", u"CONFIG",  u"Device",
                                            u"Key",    u"key",    u"Version", u"Serial Number",
                                            u"a",      u"A",      u"x y",     u"\u00e9t\u00e9"};
const std::vector<std::u16string> kBlanks = {u"", u" ", u"  ", u"\t", u" \t "};

std::u16string Pick(std::mt19937& r, const std::vector<std::u16string>& from) {
    return from[r() % from.size()];
}

const std::vector<std::u16string> kValues = {u"",         u"\"quoted value\"",
                                             u"'single'", u"\"unbalanced",
                                             u"0x1234",   u"a=b=c",
                                             u"\"\"",     u"text with  spaces ; not a comment"};

std::u16string Value(std::mt19937& r) {
    if (r() % 9 == 0) return std::u16string(40 + r() % 60, u'v');  // about the 64-character cut
    return Pick(r, kValues);
}

// Lines of sections, comments, keys without '=', empty lines and keys with values.
std::u16string GenerateFile(std::mt19937& r) {
    std::u16string text;
    const int lines = 5 + static_cast<int>(r() % 25);
    for (int i = 0; i < lines; ++i) {
        const unsigned kind = r() % 7;
        if (kind == 0) {
            text += Pick(r, kBlanks) + u"[" + Pick(r, kBlanks) + Pick(r, kNames) +
                    Pick(r, kBlanks) + u"]";
        } else if (kind == 1) {
            text += u";" + Pick(r, kNames) + u"=commented";
        } else if (kind == 2) {
            text += Pick(r, kNames);
        } else if (kind > 3) {
            text += Pick(r, kBlanks) + Pick(r, kNames) + Pick(r, kBlanks) + u"=" +
                    Pick(r, kBlanks) + Value(r) + Pick(r, kBlanks);
        }
        text += u"\r\n";
    }
    return text;
}

TEST(ProfileReader, GivesWhatTheSystemReaderGives) {
    test::TempDir dir;
    std::mt19937 random(2024);
    int compared = 0, found = 0;
    for (int round = 0; round < 80; ++round) {
        // A new name for every file: the system reader keeps recently read files cached.
        const auto file = dir / ("f" + std::to_string(round) + ".ini");
        test::WriteBytes(file, test::Utf16Le(GenerateFile(random)));
        auto ours = ProfileFile::Load(file, nullptr);
        ASSERT_TRUE(ours.has_value());
        for (const auto& section : kNames) {
            for (const auto& key : kNames) {
                wchar_t buffer[kCapacity] = {};
                DWORD n = GetPrivateProfileStringW(
                    reinterpret_cast<const wchar_t*>(section.c_str()),
                    reinterpret_cast<const wchar_t*>(key.c_str()), L"(default)", buffer, kCapacity,
                    file.wstring().c_str());
                const std::u16string system(buffer, buffer + n);
                EXPECT_EQ(ours->GetString(section, key, u"(default)", kCapacity), system)
                    << "file " << file.string() << " [" << Utf16ToUtf8(section) << "] "
                    << Utf16ToUtf8(key);
                ++compared;
                if (system != u"(default)") ++found;
            }
        }
    }
    EXPECT_EQ(compared, 80 * 144);
    EXPECT_GT(found, compared / 20) << "the files must hold values the lookups find";
}

}  // namespace
}  // namespace mox3
