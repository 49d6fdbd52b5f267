#include "bridge/config_build.h"

#include <fstream>

#include "bridge/chip_profile.h"
#include "config/profile_reader.h"
#include "config/text.h"

namespace mox3 {

void LoadItemValues(CBridgeMgr& mgr) {
    auto file = ProfileFile::Load(PathFromText(mgr.configPath), nullptr);
    ProfileFile profile = file ? std::move(*file) : ProfileFile::Parse({});
    for (std::uint32_t i = 0; i < mgr.itemCount; ++i) {
        ConfigItem& item = mgr.itemTable[i];
        if (item.enabled == 0) continue;
        item.SetValue(profile.GetString(item.section, item.key, u"", kShortTextUnits));
    }
}

ConfigBuildResult BuildConfigBlock(CBridgeMgr& mgr, const std::u16string& imagePath,
                                   const std::u16string& configPath, int expectedKind,
                                   const std::optional<std::u16string>& serial) {
    ConfigBuildResult result;
    auto fail = [&](std::string step, std::string reason) {
        result.failedStep = std::move(step);
        result.reason = std::move(reason);
        return result;
    };
    mgr.firmwarePath.assign(CutToCapacity(imagePath, kLongTextUnits));
    mgr.configPath.assign(CutToCapacity(configPath, kLongTextUnits));

    // The generation comes from the image's last two bytes.
    std::ifstream in(PathFromText(mgr.firmwarePath), std::ios::binary);
    if (!in) return fail("image", "cannot open the image file " + Utf16ToUtf8(mgr.firmwarePath));
    in.seekg(0, std::ios::end);
    auto size = in.tellg();
    if (size < 2) return fail("image", "the image file is shorter than 2 bytes");
    char tail[2] = {};
    in.seekg(-2, std::ios::end);
    if (!in.read(tail, 2)) return fail("image", "cannot read the end of the image file");
    in.close();
    result.chipKind = ChipKindFromImageTail(static_cast<std::uint8_t>(tail[0]),
                                            static_cast<std::uint8_t>(tail[1]));
    if (expectedKind != 0 && expectedKind != result.chipKind) {
        return fail("generation", "the image is for generation " + std::to_string(result.chipKind) +
                                      ", the drive is generation " + std::to_string(expectedKind));
    }
    if (result.chipKind == kChipSecondGeneration) {
        FillSecondGenerationProfile(mgr);
    } else {
        FillFirstGenerationProfile(mgr);
    }
    if (!mgr.LoadFirmwareImage(mgr)) return fail("image", mgr.imageError);
    if (!mgr.CheckConfigHeader(mgr)) return fail("config header", mgr.compileError);
    LoadItemValues(mgr);
    if (serial) mgr.itemTable[mgr.serialItemIndex].SetValue(*serial);
    if (!mgr.CompileConfigBlock(mgr, 0)) return fail("compile", mgr.compileError);
    result.ok = true;
    return result;
}

}  // namespace mox3
