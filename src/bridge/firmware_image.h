// Firmware image files: a digest header, the body, and a trailer of version digits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace mox3 {

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
