// Configuration files as anyone may write them: the profile reader takes the text apart, and
// the compiler of the generation the file's [Config] Version names turns it into a block.
// Whatever the text, a compile either fails with a reason or yields a sealed block that the
// block decoder reads as that generation's.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "base/text.h"
#include "bridge/config_build.h"
#include "bridge/firmware_image.h"
#include "config/block_decode.h"
#include "config/profile_reader.h"
#include "fuzz_support.h"

namespace {

using namespace mox3;

FirmwareImage SampleImage(int generation, const char* digits, std::size_t size) {
    std::string error;
    auto bytes = MakeSampleImage({generation, digits, size, 7}, &error);
    if (bytes.empty()) fuzz::Broken(error.c_str());
    return FirmwareImage::Parse(std::move(bytes));
}

struct Setup {
    std::u16string configPath =
        Utf8ToUtf16((fuzz::ScratchFolder() / "config.ini").string());
    FirmwareImage first = SampleImage(1, "01020300", 40000);
    FirmwareImage second = SampleImage(2, "01000700", 100000);
    // The later family's larger item table.
    FirmwareImage later = SampleImage(2, "03010000", 100000);
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Setup setup;
    std::span<const std::uint8_t> bytes(data, size);

    ProfileFile profile = ProfileFile::Parse(bytes);
    const std::uint32_t version = profile.GetInt(u"Config", u"Version", 0);
    // Capacities cut values; a cut must never reach the capacity itself.
    for (std::size_t capacity : {1u, 2u, 26u}) {
        if (profile.GetString(u"Config", u"Name", u"default", capacity).size() >= capacity) {
            fuzz::Broken("GetString returned a value that does not fit its capacity");
        }
    }

    fuzz::WriteFile(fuzz::ScratchFolder() / "config.ini", bytes);
    const FirmwareImage& image =
        version == 0 ? setup.first : (size % 2 == 0 ? setup.second : setup.later);
    CBridgeMgr mgr;
    ConfigBuildResult result = BuildConfigBlock(mgr, image, setup.configPath, 0, std::nullopt);
    if (!result.ok) return 0;

    std::span<const std::uint8_t, kConfigBlockSize> block(mgr.imageBuffer.data(),
                                                           kConfigBlockSize);
    const int generation = image.generation();
    if (DetectBlockGeneration(block) != generation) {
        fuzz::Broken("a compiled block does not show its generation");
    }
    DecodedBlock decoded = DecodeConfigBlock(block, generation);
    if (!decoded.digest.holds()) fuzz::Broken("a compiled block is not sealed");
    if (!decoded.tlv.endTagOffset) fuzz::Broken("a compiled block's record list has no end");
    for (const TlvRecord& record : decoded.tlv.records) {
        if (record.truncated || !record.known) fuzz::Broken("a compiled record does not decode");
    }
    return 0;
}
