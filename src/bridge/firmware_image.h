// Firmware image files: a digest header, the body, and a trailer of version digits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "base/finding.h"

namespace mox3 {

class CBridgeMgr;

struct ImageLimits {
    std::size_t smallest;
    std::size_t largest;
    std::size_t trailerDigits;
    std::size_t digestTail;      // the digest's length limit is the size less this
    std::size_t programmedTail;  // firmwareLength is the size less this, rounded up to 4096
};
inline constexpr ImageLimits kFirstGenerationImage{48, 57352, 8, 8, 8};
inline constexpr ImageLimits kSecondGenerationImage{66, 262166, 16, 26, 22};
const ImageLimits& ImageLimitsFor(int chipKind);

// Version texts of an image's trailer digits, as the loader and the version reader make them.
std::u16string LoaderVersionText(int chipKind, std::span<const std::uint8_t> digits);
std::u16string TrailerVersionText(int chipKind, std::span<const std::uint8_t> digits);

// The test of an image that failed, or None.
enum class ImageFault {
    None,
    Unreadable,  // missing, not a regular file, or a read error
    Size,        // outside the size range of its generation
    Digest,      // the digest header does not hold
    Trailer,     // the version trailer is not all digits
    Generation,  // made for the other bridge generation
};
const char* ImageFaultName(ImageFault fault);

// An image file, read once and checked completely: the very bytes that are shown, tested and
// programmed. Parsing never fails; `fault()` says which test did not pass.
class FirmwareImage {
  public:
    // The largest file any generation accepts; reading stops beyond it.
    static constexpr std::size_t kLargestFile = kSecondGenerationImage.largest;

    static FirmwareImage Parse(std::vector<std::uint8_t> bytes);
    // Reads a regular file of at most kLargestFile bytes (a larger one is a Size fault
    // without being read whole).
    static FirmwareImage Read(const std::filesystem::path& path);

    ImageFault fault() const { return fault_; }
    bool ok() const { return fault_ == ImageFault::None; }
    // A file longer than any image: a Size fault found before its bytes were read (size() is 0).
    bool tooLarge() const { return tooLarge_; }
    // What is wrong, for the user to read (one line in English; empty when nothing is), and
    // as a finding to be worded in the user's language.
    std::string problem() const { return ok() ? std::string() : InEnglish(problem_); }
    const Told& problemFound() const { return problem_; }
    // A Generation fault when the image is not for `chipKind`; the first fault stays.
    FirmwareImage& RequireGeneration(int chipKind);

    // 2 when the image ends in "0A", otherwise 1 (files shorter than 2 bytes: 1).
    int generation() const { return generation_; }
    std::span<const std::uint8_t> bytes() const { return bytes_; }
    std::size_t size() const { return bytes_.size(); }
    bool digestHolds() const { return digestHolds_; }
    // The version as the loader makes it ("V01L02R03-7 Beta4") and as the trailer reader makes
    // it ("V01L02R03 Beta4"); the loader's text is empty unless the image is sound.
    const std::u16string& loaderVersion() const { return loaderVersion_; }
    const std::u16string& trailerVersion() const { return trailerVersion_; }
    // Bytes programmed from the image's start, a multiple of 4096; 0 unless sound.
    std::uint32_t programmedLength() const { return programmedLength_; }
    // A second-generation image of the later family (second version digit 3), whose
    // configuration has the larger item table.
    bool laterFamily() const { return laterFamily_; }
    // Made by MakeSampleImage: it says so in its body. Such an image is no firmware and is
    // for emulated drives only.
    bool IsSample() const;

  private:
    void Fail(ImageFault fault, Told problem);
    bool tooLarge_ = false;

    std::vector<std::uint8_t> bytes_;
    ImageFault fault_ = ImageFault::None;
    Told problem_;
    int generation_ = 1;
    bool digestHolds_ = false;
    std::u16string loaderVersion_;
    std::u16string trailerVersion_;
    std::uint32_t programmedLength_ = 0;
    bool laterFamily_ = false;
};

// Puts a sound image into the manager as the profile's loader leaves it: the bytes in
// imageBuffer from byte 4096 on, firmwareLength, firmwareVersionText and, for the later family,
// the larger item table. 0 (with mgr.imageProblem set) when the image has a fault or does not fit.
int InstallFirmwareImage(CBridgeMgr& mgr, const FirmwareImage& image);

// A valid sample image for demonstrations and tests: digest header over a deterministic body
// that says it is a sample, the version digits, and "0A" last for the second generation.
// `digits` may be shorter than the trailer; it is filled up with '0'.
struct SampleImageRequest {
    int generation = 2;
    std::string digits;
    std::size_t size = 0;
    std::uint64_t seed = 1;
};
// Empty with `error` set when the request cannot be met.
std::vector<std::uint8_t> MakeSampleImage(const SampleImageRequest& request, std::string* error);

}  // namespace mox3
