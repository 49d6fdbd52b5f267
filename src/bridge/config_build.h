// Everything between an image file and a configuration file and the sealed configuration
// block, without a drive: generation, profile, image load, header check, item values, serial
// number, compile.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "bridge/firmware_image.h"
#include "discovery/bridge_manager.h"

namespace mox3 {

struct ConfigBuildResult {
    bool ok = false;
    int chipKind = 0;        // from the image's last two bytes
    std::string failedStep;  // "image", "generation", "config header", "compile"
    std::string reason;      // one line for the user
    // Values of the configuration file taken only in part (also when the build failed after
    // reading them), each naming the file.
    std::vector<CompileWarning> warnings;
};

// Loads the profile's item values from the configuration file at mgr.configPath (or from
// mgr.configBytes); a value cut at a NUL or to 64 characters adds to mgr.compileWarnings.
void LoadItemValues(CBridgeMgr& mgr);

// `expectedKind` 0 accepts either generation; otherwise the image must be of that kind.
// `serial`, when given, replaces the file's serial number (at most 64 characters are used).
ConfigBuildResult BuildConfigBlock(CBridgeMgr& mgr, const std::u16string& imagePath,
                                   const std::u16string& configPath, int expectedKind,
                                   const std::optional<std::u16string>& serial);
// The same from an image read already.
ConfigBuildResult BuildConfigBlock(CBridgeMgr& mgr, const FirmwareImage& image,
                                   const std::u16string& configPath, int expectedKind,
                                   const std::optional<std::u16string>& serial);

}  // namespace mox3
