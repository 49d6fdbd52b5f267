// The format check of a configuration file's [Config] section.
#include "base/number_parse.h"
#include "base/text.h"
#include "config/compile_input.h"
#include "config/profile_reader.h"

namespace mox3 {

namespace {

// The value text as the platform's reader gives it, with a warning when it is only part of
// what the file holds.
std::u16string HeaderText(const ProfileFile& profile, std::u16string_view section,
                          std::u16string_view key, std::vector<CompileWarning>& warnings) {
    std::u16string text = profile.GetString(section, key, u"", kShortTextUnits);
    if (auto written = profile.FindAsWritten(section, key)) {
        std::string what = TextTakenText(*written, text);
        if (!what.empty()) {
            AddWarning(warnings, {{},
                                  Utf16ToUtf8(section),
                                  Utf16ToUtf8(key),
                                  Utf16ToUtf8(*written),
                                  std::move(what)});
        }
    }
    return text;
}

// The platform's integer reader on a header value, with a warning when it took only part of it.
std::uint32_t HeaderInt(const ProfileFile& profile, std::u16string_view section,
                        std::u16string_view key, std::vector<CompileWarning>& warnings) {
    const std::uint32_t value = profile.GetInt(section, key, 0);
    const std::u16string text = HeaderText(profile, section, key, warnings);
    if (text.empty()) return value;
    NumberTaken taken;
    ParseProfileInt(text, &taken);
    std::string what = NumberTakenText(text, taken, value, 32);
    if (!what.empty()) {
        auto written = profile.FindAsWritten(section, key);
        AddWarning(warnings, {{},
                              Utf16ToUtf8(section),
                              Utf16ToUtf8(key),
                              Utf16ToUtf8(written ? *written : text),
                              std::move(what)});
    }
    return value;
}

std::string GenerationName(std::uint32_t version) {
    return version == 0 ? "first" : "second";
}

}  // namespace

ConfigHeaderCheck CheckConfigHeader(const ProfileFile& profile, int generation) {
    const bool secondGeneration = generation != 1;
    const std::uint32_t wantedVersion = secondGeneration ? 2 : 0;
    ConfigHeaderCheck check;
    if (!profile.notText().empty()) {
        check.error = "the configuration file is not text (" + profile.notText() + ")";
        return check;
    }
    if (profile.blank()) {
        check.error = "the configuration file is empty";
        return check;
    }
    const std::uint32_t version = HeaderInt(profile, u"Config", u"Version", check.warnings);
    if (version != wantedVersion) {
        const bool present = profile.Find(u"Config", u"Version").has_value();
        if (!present) {
            check.error = "[Config] Version is missing, this generation needs " +
                          std::to_string(wantedVersion);
        } else if (version == 0 || version == 2) {
            check.error =
                "this is a " + GenerationName(version) +
                "-generation configuration file ([Config] Version=" + std::to_string(version) +
                "), not one of the " + GenerationName(wantedVersion) +
                " generation (Version=" + std::to_string(wantedVersion) + ")";
        } else {
            check.error = "[Config] Version is " + std::to_string(version) +
                          ", this generation needs " + std::to_string(wantedVersion);
        }
        return check;
    }
    check.name = HeaderText(profile, u"Config", u"Name", check.warnings);
    if (secondGeneration) {
        check.bcdUsb = HeaderInt(profile, u"USB Device Descriptor", u"bcdUSB", check.warnings);
    }
    check.ok = true;
    return check;
}

ConfigHeaderCheck CheckConfigHeader(std::u16string_view configPath, int generation) {
    std::string error;
    auto file = ProfileFile::Load(PathFromText(configPath), &error);
    if (!file) {
        ConfigHeaderCheck check;
        check.error = error;
        return check;
    }
    return CheckConfigHeader(*file, generation);
}

}  // namespace mox3
