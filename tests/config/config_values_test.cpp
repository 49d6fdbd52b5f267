// Values of configuration files that the reader takes only in part: the compile goes on as the
// reader took them and names each, and files that are no model file of this generation are
// named as such.
#include <gtest/gtest.h>

#include "config/compile_fixture.h"
#include "config/profile_reader.h"
#include "resources/resources.h"

namespace mox3::test {
namespace {

using namespace std::string_view_literals;

const ImageSpec kFirstImage{1, "01020300", 40000, 1};

// What a compile of the shipped second-generation file with one value changed must do.
struct ValueCase {
    const char* name;
    std::string section;
    std::string key;
    std::string value;
    std::string taken;      // the one warning's text; empty: the compile fails instead
    std::string error;      // what the failure says when `taken` is empty
    std::string read = "";  // a value that must compile to the same block, when set
    const char* also = "";  // other keys of the section, "key=value ..."
};

std::string Nul(std::string_view before, std::string_view after) {
    std::string text(before);
    text.push_back('\0');
    text += after;
    return text;
}

TEST(ConfigValues, ValuesTakenInPartAreNamedAndCompiledAsRead) {
    const std::string longVid = std::string(65, '0') + "1";  // 66 characters, read as 0
    const ValueCase kCases[] = {
        {"hex prefix without hex digits", "USB Device Descriptor", "VID", "0xZZZZ",
         "took \"0\" as 0, ignored \"xZZZZ\"", "", "0"},
        {"trailing junk", "USB Device Descriptor", "VID", "0x5E3Bjunk",
         "took \"0x5E3B\" as 24123 (0x5E3B), ignored \"junk\"", "", "0x5E3B"},
        {"wider than 32 bits", "USB Configuration Descriptor", "bMaxPower-HS", "0x1000000FF",
         "the number does not fit in 32 bits, read as 255 (0xFF)", "", "255"},
        {"wider than 64 bits", "LUN NORMAL", "0-Size", "99999999999999999999999",
         "the number does not fit in 64 bits, read as 200376420520689663 (0x2C7E14AF67FFFFF)", ""},
        {"wider than its byte field", "Status LED", "0-Flag", "300",
         "the field holds one byte: took 44 (0x2C) of 300 (0x12C)", "", "44"},
        {"a flag byte wider than a byte", "Capacity LED 2", "Flag", "258",
         "the field holds one byte: took 2 (0x2) of 258 (0x102)", "", "2", "Count=1"},
        {"NUL inside a text", "USB String Descriptor", "Product", Nul("ZR", "-MOX3"),
         "a NUL after 2 characters ends it, took \"ZR\"", "", "ZR"},
        {"longer than an item holds", "USB Device Descriptor", "VID", longVid,
         "66 characters, took the first 64: \"" + longVid.substr(0, 64) + "\"", "", "0"},
        {"NUL in the header's name", "Config", "Name", Nul("Model", "X"),
         "a NUL after 5 characters ends it, took \"Model\"", ""},
        {"junk after the format version", "Config", "Version", "2x",
         "took \"2\" as 2, ignored \"x\"", ""},
        {"text too long, by its length in the file", "USB String Descriptor", "Manufacturer",
         std::string(70, 'M'), "", "length 70 not within 1 to 24 characters"},
        {"INQUIRY text too long", "SCSI INQUIRY", "0-Vendor", std::string(12, 'V'), "",
         "12 characters, longer than 8"},
        {"no digits at all", "USB Device Descriptor", "PID", "ZZZZ", "", "not a number"},
    };
    for (const ValueCase& c : kCases) {
        SCOPED_TRACE(c.name);
        Ini ini = SecondGenerationIni();
        ini.Set(c.section, c.key, c.value).SetAll(c.section, c.also);
        Compiled compiled = CompileIni(ini);
        const auto& warnings = compiled.result.warnings;
        if (c.taken.empty()) {
            EXPECT_FALSE(compiled.result.ok);
            EXPECT_NE(compiled.result.reason.find(c.error), std::string::npos)
                << compiled.result.reason;
            continue;
        }
        ASSERT_TRUE(compiled.result.ok) << compiled.result.reason;
        ASSERT_EQ(warnings.size(), 1u) << (warnings.size() > 1 ? warnings[1].taken : "");
        const auto& w = warnings[0];
        EXPECT_EQ(std::tuple(w.section, w.key, w.value, w.taken),
                  std::tuple(c.section, c.key, c.value, c.taken));
        EXPECT_NE(w.file.find("config.ini"), std::string::npos) << w.file;
        // The block is what the reader took.
        if (!c.read.empty()) {
            EXPECT_EQ(
                compiled.block,
                CompileIni(
                    SecondGenerationIni().Set(c.section, c.key, c.read).SetAll(c.section, c.also))
                    .block);
        }
    }
}

TEST(ConfigValues, FilesThatAreNoModelFileOfThisGenerationAreNamed) {
    auto shipped = [](int id) {
        const EmbeddedResource* r = FindConfigResource(id);
        return std::vector<std::uint8_t>(r->bytes.begin(), r->bytes.end());
    };
    auto bytes = [](std::string_view text) {
        return std::vector<std::uint8_t>(text.begin(), text.end());
    };
    struct FileCase {
        const char* name;
        std::vector<std::uint8_t> bytes;
        bool firstImage;
        std::string error;
    };
    const FileCase kCases[] = {
        {"no bytes", {}, false, "the configuration file is empty"},
        {"white space alone", Utf16Le(u" \r\n\r\n"), true, "the configuration file is empty"},
        {"NUL bytes", bytes("[C]\0\1\2\3"sv), false, "not text (a NUL byte at byte 3)"},
        {"control bytes", bytes("[C]\x1B\x04"), false, "not text (control byte 0x1B at byte 3)"},
        {"invalid UTF-8", bytes("\xEF\xBB\xBF[\xC0\x80]"), false, "invalid UTF-8 at byte 4"},
        {"odd UTF-16", bytes("\xFF\xFE[\0C"sv), false, "UTF-16 text of an odd number of bytes"},
        {"lone surrogate", bytes("\xFF\xFE[\0\0\xD8]\0"sv), false, "invalid UTF-16 at byte 4"},
        {"first generation's file for the second", shipped(104), false,
         "a first-generation configuration file ([Config] Version=0), not one of the second"},
        {"second generation's file for the first", shipped(117), true,
         "a second-generation configuration file ([Config] Version=2), not one of the first"},
        {"no version", Utf16Le(u"[Config]\r\nName=X\r\n"), false, "[Config] Version is missing"},
        {"unknown version", Utf16Le(u"[Config]\r\nVersion=3\r\n"), false,
         "[Config] Version is 3, this generation needs 2"},
    };
    for (const FileCase& c : kCases) {
        SCOPED_TRACE(c.name);
        Compiled compiled =
            CompileBytes(c.bytes, c.firstImage ? kFirstImage : ImageSpec{}, std::nullopt);
        EXPECT_FALSE(compiled.result.ok);
        EXPECT_EQ(compiled.result.failedStep, "config header");
        EXPECT_NE(compiled.result.reason.find(c.error), std::string::npos)
            << compiled.result.reason;
    }
    // Single-byte text may use the code page's upper half; UTF-16 may hold a NUL in a value.
    const std::vector<std::uint8_t> ansi = {'[', 'C', ']', '\r', '\n', 'K', '=', 0xE9, 0x80};
    EXPECT_EQ(ProfileFile::Parse(ansi).notText(), "");
    EXPECT_EQ(ProfileFile::Parse(Utf16Le(std::u16string(u"[C]\r\nK=a\0b", 10))).notText(), "");
}

}  // namespace
}  // namespace mox3::test
