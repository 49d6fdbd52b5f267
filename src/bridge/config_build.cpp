#include "bridge/config_build.h"

#include <fstream>

#include "base/text.h"
#include "bridge/chip_profile.h"
#include "config/profile_reader.h"

namespace mox3 {

void LoadItemValues(CBridgeMgr& mgr) {
    std::optional<ProfileFile> file = mgr.configBytes
                                          ? ProfileFile::Parse(*mgr.configBytes)
                                          : ProfileFile::Load(PathFromText(mgr.configPath), nullptr);
    ProfileFile profile = file ? std::move(*file) : ProfileFile::Parse({});
    for (std::uint32_t i = 0; i < mgr.itemCount; ++i) {
        ConfigItem& item = mgr.itemTable[i];
        if (item.enabled == 0) continue;
        item.SetValue(profile.GetString(item.section, item.key, u"", kShortTextUnits));
        // A value cut at a NUL or to the record's 64 characters.
        auto written = profile.FindAsWritten(item.section, item.key);
        if (!written) continue;
        std::string what = TextTakenText(*written, item.value);
        if (what.empty()) continue;
        item.fullText = *written;
        AddWarning(mgr.compileWarnings, {{}, Utf16ToUtf8(item.section), Utf16ToUtf8(item.key),
                                         Utf16ToUtf8(*written), std::move(what)});
    }
}

ConfigBuildResult BuildConfigBlock(CBridgeMgr& mgr, const std::u16string& imagePath,
                                   const std::u16string& configPath, int expectedKind,
                                   const std::optional<std::u16string>& serial) {
    mgr.firmwarePath.assign(CutToCapacity(imagePath, kLongTextUnits));
    return BuildConfigBlock(mgr, FirmwareImage::Read(PathFromText(mgr.firmwarePath)), configPath,
                            expectedKind, serial);
}

ConfigBuildResult BuildConfigBlock(CBridgeMgr& mgr, const FirmwareImage& image,
                                   const std::u16string& configPath, int expectedKind,
                                   const std::optional<std::u16string>& serial) {
    ConfigBuildResult result;
    mgr.compileWarnings.clear();
    // Every warning names the file; the update run's compile names the file it wrote.
    auto finish = [&] {
        for (CompileWarning& w : mgr.compileWarnings) w.file = Utf16ToUtf8(mgr.configPath);
        result.warnings = mgr.compileWarnings;
        return result;
    };
    auto fail = [&](std::string step, std::string reason) {
        result.failedStep = std::move(step);
        result.reason = std::move(reason);
        return finish();
    };
    mgr.configPath.assign(CutToCapacity(configPath, kLongTextUnits));
    if (image.fault() == ImageFault::Unreadable || image.tooLarge()) {
        return fail("image", image.problem());
    }
    if (image.size() < 2) return fail("image", "the image file is shorter than 2 bytes");
    // The generation comes from the image's last two bytes.
    result.chipKind = image.generation();
    if (expectedKind != 0 && expectedKind != result.chipKind) {
        // A damaged image's last bytes say nothing: the damage is what is wrong.
        if (!image.ok()) return fail("image", "the image is damaged: " + image.problem());
        return fail("generation", "the image is for generation " + std::to_string(result.chipKind) +
                                      ", the drive is generation " + std::to_string(expectedKind));
    }
    if (result.chipKind == kChipSecondGeneration) {
        FillSecondGenerationProfile(mgr);
    } else {
        FillFirstGenerationProfile(mgr);
    }
    if (!InstallFirmwareImage(mgr, image)) return fail("image", InEnglish(*mgr.imageProblem));
    if (!mgr.CheckConfigHeader(mgr)) return fail("config header", mgr.compileError);
    LoadItemValues(mgr);
    if (serial) {
        // The file's serial number is not used: neither is what its reading took.
        ConfigItem& item = mgr.itemTable[mgr.serialItemIndex];
        std::erase_if(mgr.compileWarnings, [&](const CompileWarning& w) {
            return w.section == Utf16ToUtf8(item.section) && w.key == Utf16ToUtf8(item.key);
        });
        item.SetValue(*serial);
    }
    if (!mgr.CompileConfigBlock(mgr, 0)) return fail("compile", mgr.compileError);
    result.ok = true;
    return finish();
}

}  // namespace mox3
