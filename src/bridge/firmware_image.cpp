#include "bridge/firmware_image.h"

#include <algorithm>
#include <cstdio>
#include <fstream>

#include "bridge/chip_profile.h"
#include "config/digest_header.h"
#include "config/profile_reader.h"
#include "config/sha256.h"
#include "config/text.h"

namespace mox3 {

namespace {

constexpr std::size_t kPage = 4096;
constexpr std::string_view kSampleMarker = "MOX3 SAMPLE IMAGE - NOT FIRMWARE";

// The value of a two-digit field, computed from the characters as they stand.
int Pair(std::span<const std::uint8_t> d, std::size_t i) {
    return 10 * (d[i] - '0') + (d[i + 1] - '0');
}

bool AllDigits(std::span<const std::uint8_t> bytes) {
    return std::all_of(bytes.begin(), bytes.end(),
                       [](std::uint8_t c) { return c >= '0' && c <= '9'; });
}

int LoadFirmwareImage(CBridgeMgr& mgr, int chipKind) {
    const ImageLimits& limits = ImageLimitsFor(chipKind);
    mgr.firmwareVersionText.clear();
    mgr.imageError.clear();
    auto fail = [&](std::string why) {
        mgr.imageError = std::move(why);
        return 0;
    };
    std::filesystem::path path = PathFromText(mgr.firmwarePath);
    std::ifstream in(path, std::ios::binary);
    if (!in) return fail("cannot open the image file " + path.string());
    in.seekg(0, std::ios::end);
    auto end = in.tellg();
    if (end < 0) return fail("cannot read the size of " + path.string());
    auto size = static_cast<std::size_t>(end);
    if (size < limits.smallest || size > limits.largest) {
        return fail("image size " + std::to_string(size) + " is outside " +
                    std::to_string(limits.smallest) + " to " + std::to_string(limits.largest) +
                    " bytes");
    }
    std::span<std::uint8_t> image(mgr.imageBuffer.data() + kImageOffset, size);
    std::fill(mgr.imageBuffer.begin() + kImageOffset, mgr.imageBuffer.end(), 0);
    in.seekg(0);
    if (!in.read(reinterpret_cast<char*>(image.data()), static_cast<std::streamsize>(size))) {
        return fail("short read of " + path.string());
    }
    if (!DigestHolds(image, size - limits.digestTail)) {
        return fail("the image's digest header does not hold");
    }
    std::span<const std::uint8_t> digits =
        image.subspan(size - (chipKind == kChipSecondGeneration ? 18 : 8), limits.trailerDigits);
    if (!AllDigits(digits)) return fail("the image's version trailer is not all digits");
    mgr.firmwareVersionText = LoaderVersionText(chipKind, digits);
    std::size_t programmed = size - limits.programmedTail;
    mgr.firmwareLength = static_cast<std::uint32_t>((programmed + kPage - 1) / kPage * kPage);
    if (chipKind == kChipSecondGeneration && mgr.firmwareVersionText.size() > 2 &&
        mgr.firmwareVersionText[2] == u'3') {
        std::span<ConfigItem> later = ItemTable(ItemTableKind::SecondGenerationLater);
        mgr.itemTable = later.data();
        mgr.itemCount = static_cast<std::uint32_t>(later.size());
    }
    return 1;
}

}  // namespace

const ImageLimits& ImageLimitsFor(int chipKind) {
    return chipKind == kChipSecondGeneration ? kSecondGenerationImage : kFirstGenerationImage;
}

std::u16string LoaderVersionText(int chipKind, std::span<const std::uint8_t> d) {
    std::u16string text = FormatText("V%02dL%02dR%02d", Pair(d, 0), Pair(d, 2), Pair(d, 4));
    if (chipKind != kChipSecondGeneration) {
        int suffix = Pair(d, 6);
        if (suffix != 0) text += FormatText("-%d", suffix);
        return text;
    }
    int beta = Pair(d, 6), minor = Pair(d, 8), major = Pair(d, 10);
    if (major != 0) {
        text += FormatText("-%d:%d", major, minor);
    } else if (minor != 0) {
        text += FormatText("-%d", minor);
    }
    if (beta != 0) text += FormatText(" Beta%d", beta);
    return text;
}

std::u16string TrailerVersionText(int chipKind, std::span<const std::uint8_t> d) {
    auto c = [&](std::size_t i) { return static_cast<char16_t>(d[i]); };
    std::u16string text = {u'V', c(0), c(1), u'L', c(2), c(3), u'R', c(4), c(5)};
    if (chipKind != kChipSecondGeneration) {
        text += {u'-', c(6), c(7)};
        return text;
    }
    if (!(d[10] == '0' && d[11] == '0')) text += FormatText("-%d:%d", Pair(d, 10), Pair(d, 8));
    if (!(d[6] == '0' && d[7] == '0')) text += FormatText(" Beta%d", Pair(d, 6));
    return text;
}

int CBridgeMgr::ReadImageVersion(std::FILE* file, std::u16string& text, int chipKind) const {
    text.clear();
    if (file == nullptr) return 1;
    const bool second = chipKind == kChipSecondGeneration;
    const long back = second ? 18 : 8;
    std::uint8_t digits[12] = {};
    const std::size_t want = second ? 12 : 8;
    bool ok = std::fseek(file, -back, SEEK_END) == 0 && std::fread(digits, 1, want, file) == want;
    std::fclose(file);
    // A file shorter than its trailer gives an empty text.
    if (ok) text = TrailerVersionText(chipKind, std::span<const std::uint8_t>(digits, want));
    return 1;
}

int LoadFirmwareImageGen1(CBridgeMgr& mgr) {
    return LoadFirmwareImage(mgr, kChipFirstGeneration);
}
int LoadFirmwareImageGen2(CBridgeMgr& mgr) {
    return LoadFirmwareImage(mgr, kChipSecondGeneration);
}

std::vector<std::uint8_t> MakeSampleImage(const SampleImageRequest& request, std::string* error) {
    auto fail = [&](std::string why) {
        if (error) *error = std::move(why);
        return std::vector<std::uint8_t>{};
    };
    if (request.generation != 1 && request.generation != 2)
        return fail("generation must be 1 or 2");
    const int kind = request.generation;
    const ImageLimits& limits = ImageLimitsFor(kind);
    if (request.size < limits.smallest || request.size > limits.largest) {
        return fail("size must be " + std::to_string(limits.smallest) + " to " +
                    std::to_string(limits.largest) + " bytes for generation " +
                    std::to_string(kind));
    }
    if (request.digits.size() < 6 || request.digits.size() > limits.trailerDigits ||
        !AllDigits(std::span(reinterpret_cast<const std::uint8_t*>(request.digits.data()),
                             request.digits.size()))) {
        return fail("version must be 6 to " + std::to_string(limits.trailerDigits) +
                    " digits (VVLLRR...) for generation " + std::to_string(kind));
    }
    const std::size_t size = request.size;
    std::vector<std::uint8_t> image(size, 0);
    const std::size_t body = size - limits.digestTail - kDigestHeaderSize;
    WriteLe32(image, kDigestLengthOffset, static_cast<std::uint32_t>(body));
    // Deterministic body: a few seed-dependent bytes, the sample marker, then pseudo-random.
    std::uint64_t state = request.seed * 0x9E3779B97F4A7C15ull + 0x2545F4914F6CDD1Dull;
    auto next = [&state] {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return static_cast<std::uint8_t>(state >> 24);
    };
    for (std::size_t i = 0; i < body; ++i) {
        std::size_t m = i >= 3 ? i - 3 : kSampleMarker.size();
        image[kDigestHeaderSize + i] =
            m < kSampleMarker.size() ? static_cast<std::uint8_t>(kSampleMarker[m]) : next();
    }
    std::string digits = request.digits;
    digits.resize(limits.trailerDigits, '0');
    std::size_t trailer = size - (kind == kChipSecondGeneration ? 18 : 8);
    std::copy(digits.begin(), digits.end(), image.begin() + static_cast<std::ptrdiff_t>(trailer));
    if (kind == kChipSecondGeneration) {
        image[size - 2] = '0';
        image[size - 1] = 'A';
    }
    auto digest =
        Sha256(std::span<const std::uint8_t>(image).subspan(kDigestLengthOffset, body + 4));
    if (!digest) return fail("hashing failed");
    std::copy(digest->begin(), digest->end(), image.begin());
    return image;
}

}  // namespace mox3
