#include "bridge/firmware_image.h"

#include <algorithm>
#include <cstdio>
#include <fstream>

#include "base/sha256.h"
#include "base/text.h"
#include "bridge/chip_profile.h"
#include "config/digest_header.h"
#include "config/profile_reader.h"

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

// Puts a sound image into the manager as the loader leaves it: the bytes from imageBuffer's
// byte 4096 on, the programmed length, the version text and, for the later family, the larger
// item table.
int LoadFirmwareImage(CBridgeMgr& mgr, int chipKind) {
    mgr.firmwareVersionText.clear();
    mgr.imageProblem.reset();
    FirmwareImage image = FirmwareImage::Read(PathFromText(mgr.firmwarePath));
    image.RequireGeneration(chipKind);
    return InstallFirmwareImage(mgr, image);
}

}  // namespace

const char* ImageFaultName(ImageFault fault) {
    switch (fault) {
        case ImageFault::None:
            return "none";
        case ImageFault::Unreadable:
            return "unreadable";
        case ImageFault::Size:
            return "size";
        case ImageFault::Digest:
            return "digest";
        case ImageFault::Trailer:
            return "trailer";
        case ImageFault::Generation:
            return "generation";
    }
    return "unknown";
}

void FirmwareImage::Fail(ImageFault fault, Told problem) {
    if (fault_ != ImageFault::None) return;
    fault_ = fault;
    problem_ = std::move(problem);
    loaderVersion_.clear();
    programmedLength_ = 0;
    laterFamily_ = false;
}

FirmwareImage FirmwareImage::Parse(std::vector<std::uint8_t> bytes) {
    FirmwareImage image;
    image.bytes_ = std::move(bytes);
    const std::size_t size = image.bytes_.size();
    const std::span<const std::uint8_t> all(image.bytes_);
    if (size >= 2) image.generation_ = ChipKindFromImageTail(all[size - 2], all[size - 1]);
    const int kind = image.generation_;
    const bool second = kind == kChipSecondGeneration;
    const ImageLimits& limits = ImageLimitsFor(kind);
    const std::size_t trailerAt = second ? 18 : 8;
    const std::size_t shown = second ? 12 : 8;
    if (size >= trailerAt) image.trailerVersion_ = TrailerVersionText(kind, all.subspan(size - trailerAt, shown));
    image.digestHolds_ = size >= limits.digestTail && DigestHolds(all, size - limits.digestTail);

    if (size < limits.smallest || size > limits.largest) {
        image.Fail(ImageFault::Size,
                   Tell(Finding::kImageSize, {std::to_string(size), std::to_string(kind),
                                              std::to_string(limits.smallest),
                                              std::to_string(limits.largest)}));
        return image;
    }
    if (!image.digestHolds_) {
        image.Fail(ImageFault::Digest, Tell(Finding::kImageDigest));
        return image;
    }
    const std::span<const std::uint8_t> digits = all.subspan(size - trailerAt, limits.trailerDigits);
    if (!AllDigits(digits)) {
        image.Fail(ImageFault::Trailer, Tell(Finding::kImageTrailer));
        return image;
    }
    image.loaderVersion_ = LoaderVersionText(kind, digits);
    const std::size_t programmed = size - limits.programmedTail;
    image.programmedLength_ = static_cast<std::uint32_t>((programmed + kPage - 1) / kPage * kPage);
    image.laterFamily_ = second && digits[1] == '3';
    return image;
}

FirmwareImage FirmwareImage::Read(const std::filesystem::path& path) {
    FirmwareImage image;
    auto unreadable = [&](Finding why) {
        image.Fail(ImageFault::Unreadable, Tell(why, {path.string()}));
        return image;
    };
    std::error_code ec;
    const auto status = std::filesystem::status(path, ec);
    if (ec || !std::filesystem::exists(status)) return unreadable(Finding::kImageNoFile);
    if (!std::filesystem::is_regular_file(status)) return unreadable(Finding::kImageNotRegular);
    const std::uintmax_t length = std::filesystem::file_size(path, ec);
    if (ec) return unreadable(Finding::kImageNoSize);
    if (length > kLargestFile) {
        image.tooLarge_ = true;
        image.Fail(ImageFault::Size, Tell(Finding::kImageTooLarge,
                                          {std::to_string(length), std::to_string(kLargestFile)}));
        return image;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) return unreadable(Finding::kImageCannotOpen);
    // Read to the end, whatever the size said: the file may have changed since.
    std::vector<std::uint8_t> bytes(kLargestFile + 1);
    in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (in.bad()) return unreadable(Finding::kImageCannotRead);
    bytes.resize(static_cast<std::size_t>(in.gcount()));
    if (bytes.size() > kLargestFile) {
        image.tooLarge_ = true;
        image.Fail(ImageFault::Size, Tell(Finding::kImageLongerThan, {std::to_string(kLargestFile)}));
        return image;
    }
    return Parse(std::move(bytes));
}

FirmwareImage& FirmwareImage::RequireGeneration(int chipKind) {
    if (generation_ != chipKind) {
        Fail(ImageFault::Generation, Tell(Finding::kImageGeneration,
                                          {std::to_string(generation_), std::to_string(chipKind)}));
    }
    return *this;
}

int InstallFirmwareImage(CBridgeMgr& mgr, const FirmwareImage& image) {
    mgr.firmwareVersionText.clear();
    mgr.imageProblem.reset();
    if (!image.ok()) {
        mgr.imageProblem = image.problemFound();
        return 0;
    }
    if (kImageOffset + image.size() > mgr.imageBuffer.size()) {
        mgr.imageProblem = Tell(Finding::kImageBuffer);
        return 0;
    }
    std::fill(mgr.imageBuffer.begin() + kImageOffset, mgr.imageBuffer.end(), 0);
    std::copy(image.bytes().begin(), image.bytes().end(), mgr.imageBuffer.begin() + kImageOffset);
    mgr.firmwareVersionText = image.loaderVersion();
    mgr.firmwareLength = image.programmedLength();
    if (image.laterFamily()) {
        mgr.UseItemTable(ItemTableKind::SecondGenerationLater);
    }
    return 1;
}

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

bool FirmwareImage::IsSample() const {
    return std::search(bytes_.begin(), bytes_.end(), kSampleMarker.begin(), kSampleMarker.end()) !=
           bytes_.end();
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
