// The format check of a configuration file's [Config] section.
#include "base/text.h"
#include "config/compile_input.h"
#include "config/profile_reader.h"

namespace mox3 {

ConfigHeaderCheck CheckConfigHeader(const ProfileFile& profile, int generation) {
    const bool secondGeneration = generation != 1;
    const std::uint32_t wantedVersion = secondGeneration ? 2 : 0;
    ConfigHeaderCheck check;
    const std::uint32_t version = profile.GetInt(u"Config", u"Version", 0);
    if (version != wantedVersion) {
        check.error = "[Config] Version is " + std::to_string(version) +
                      ", this generation needs " + std::to_string(wantedVersion);
        return check;
    }
    check.name = profile.GetString(u"Config", u"Name", u"", kShortTextUnits);
    if (secondGeneration) check.bcdUsb = profile.GetInt(u"USB Device Descriptor", u"bcdUSB", 0);
    check.ok = true;
    return check;
}

ConfigHeaderCheck CheckConfigHeader(std::u16string_view configPath, int generation) {
    const bool secondGeneration = generation != 1;
    const std::uint32_t wantedVersion = secondGeneration ? 2 : 0;
    ConfigHeaderCheck check;
    std::string error;
    auto file = ProfileFile::Load(PathFromText(configPath), &error);
    // A missing file reads as empty, as the platform's reader would see it; one that is there
    // but cannot be read or decoded is refused with the reason.
    ProfileFile profile = file ? std::move(*file) : ProfileFile::Parse({});
    std::uint32_t version = profile.GetInt(u"Config", u"Version", 0);
    std::error_code ec;
    if (version != wantedVersion ||
        (!file && std::filesystem::exists(PathFromText(configPath), ec))) {
        check.error = file ? "[Config] Version is " + std::to_string(version) +
                                 ", this generation needs " + std::to_string(wantedVersion)
                           : error;
        return check;
    }
    check.name = profile.GetString(u"Config", u"Name", u"", kShortTextUnits);
    if (secondGeneration) check.bcdUsb = profile.GetInt(u"USB Device Descriptor", u"bcdUSB", 0);
    check.ok = true;
    return check;
}

}  // namespace mox3
