#include "discovery/drive_models.h"

#include <algorithm>

namespace mox3 {

namespace {

constexpr DriveModel kModels[] = {
    {0x7C31, u"", 104},         {0x7C32, u"", 106},         {0x7C33, u"", 116},
    {0x7C34, u"ZR-MOX3", 117},  {0x7C34, u"ZR-MOXE3", 118}, {0x7C35, u"ZR-MOX3", 119},
    {0x7C35, u"ZR-MOXE3", 120}, {0x7C36, u"ZR-MOX3", 121},  {0x7C36, u"ZR-MOXE3", 123},
    {0x7C37, u"", 0},           {0x7C3A, u"", 0},           {0x7C39, u"", 0},
};

bool StartsWith(const std::u16string& text, std::u16string_view start) {
    return std::u16string_view(text).substr(0, start.size()) == start;
}

}  // namespace

std::span<const DriveModel> DriveModels() {
    return kModels;
}

bool IsUpdatableProductId(std::uint16_t productId) {
    return std::any_of(std::begin(kModels), std::end(kModels), [&](const DriveModel& m) {
        return m.productId == productId && m.configResource != 0;
    });
}

bool IsBareBridgeIdentity(std::uint16_t vendorId, std::uint16_t productId) {
    return vendorId == kBareBridgeVendorId && (productId == kFirstGenerationBareProductId ||
                                               productId == kSecondGenerationBareProductId);
}

bool IsModelName(const std::u16string& product) {
    return std::any_of(std::begin(kModelNames), std::end(kModelNames),
                       [&](std::u16string_view name) { return StartsWith(product, name); });
}

int ConfigResourceFor(std::uint16_t productId, const std::u16string& product) {
    for (const DriveModel& m : kModels) {
        if (m.productId == productId && StartsWith(product, m.name)) return m.configResource;
    }
    return 0;
}

}  // namespace mox3
