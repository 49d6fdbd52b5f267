// The format check of a configuration file's [Config] section.
#include "base/text.h"
#include "bridge/chip_profile.h"
#include "config/profile_reader.h"

namespace mox3 {

namespace {

int CheckHeader(CBridgeMgr& mgr, std::uint32_t wantedVersion, bool secondGeneration) {
    std::string error;
    auto file = ProfileFile::Load(PathFromText(mgr.configPath), &error);
    // A missing file reads as empty, as the platform's reader would see it; one that is there
    // but cannot be read or decoded is refused with the reason.
    ProfileFile profile = file ? std::move(*file) : ProfileFile::Parse({});
    std::uint32_t version = profile.GetInt(u"Config", u"Version", 0);
    std::error_code ec;
    if (version != wantedVersion ||
        (!file && std::filesystem::exists(PathFromText(mgr.configPath), ec))) {
        mgr.compileError = file ? "[Config] Version is " + std::to_string(version) +
                                      ", this generation needs " + std::to_string(wantedVersion)
                                : error;
        return 0;
    }
    mgr.configNameText = profile.GetString(u"Config", u"Name", u"", kShortTextUnits);
    if (secondGeneration)
        mgr.bcdUsbOverride = profile.GetInt(u"USB Device Descriptor", u"bcdUSB", 0);
    return 1;
}

}  // namespace

int CheckConfigHeaderGen1(CBridgeMgr& mgr) {
    return CheckHeader(mgr, 0, false);
}
int CheckConfigHeaderGen2(CBridgeMgr& mgr) {
    return CheckHeader(mgr, 2, true);
}

}  // namespace mox3
