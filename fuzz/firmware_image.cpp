// Image files as they come: any bytes of any length. Parsing never fails; a sound image
// installs into a manager with its bytes where the programming takes them from.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "bridge/firmware_image.h"
#include "discovery/bridge_manager.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace mox3;
    static CBridgeMgr mgr;
    FirmwareImage image = FirmwareImage::Parse(std::vector<std::uint8_t>(data, data + size));
    if (image.ok() != image.problem().empty()) {
        fuzz::Broken("a fault without a problem text, or the other way round");
    }
    const int generation = image.generation();
    const int other = generation == 1 ? 2 : 1;
    if (FirmwareImage(image).RequireGeneration(generation).fault() != image.fault()) {
        fuzz::Broken("requiring the image's own generation changed its fault");
    }
    if (image.ok() && FirmwareImage(image).RequireGeneration(other).ok()) {
        fuzz::Broken("an image passed for both generations");
    }
    if (!image.ok()) {
        if (image.programmedLength() != 0 || !image.loaderVersion().empty()) {
            fuzz::Broken("an unsound image has a programmed length or a loader version");
        }
        return 0;
    }
    if (image.programmedLength() % 4096 != 0 ||
        image.programmedLength() + ImageLimitsFor(generation).programmedTail < image.size()) {
        fuzz::Broken("the programmed length is no whole number of pages covering the image");
    }
    if (InstallFirmwareImage(mgr, image) != 1) fuzz::Broken("a sound image did not install");
    if (!std::equal(image.bytes().begin(), image.bytes().end(),
                    mgr.imageBuffer.begin() + kImageOffset)) {
        fuzz::Broken("the installed image differs from the file");
    }
    return 0;
}
