// The drives of the family in one table: the maker's USB identity with each product id and
// model name, the configuration resource each model's update writes, the models that need no
// update, and the bare bridge's identity a drive shows in its update loader.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace mox3 {

inline constexpr std::uint16_t kMakerVendorId = 0x5E3B;
// The USB identity of a bridge without the maker's configuration.
inline constexpr std::uint16_t kBareBridgeVendorId = 0x04C5;
inline constexpr std::uint16_t kFirstGenerationBareProductId = 0x201D;
inline constexpr std::uint16_t kSecondGenerationBareProductId = 0x2026;

struct DriveModel {
    std::uint16_t productId;
    // The start of the product name this row is for; empty: any name.
    std::u16string_view name;
    // The configuration resource the update writes; 0 for a model that needs no update.
    int configResource;
};

// Every model of the maker's identity, those to update first (by product id), then those
// that need no update.
std::span<const DriveModel> DriveModels();

// The model names a product id's name starts with.
inline constexpr std::u16string_view kModelNames[] = {u"ZR-MOX3", u"ZR-MOXE3"};

// A product id of the maker's identity that the update takes (0x7C31 to 0x7C36).
bool IsUpdatableProductId(std::uint16_t productId);
// The identity a bridge shows in its update loader, of either generation.
bool IsBareBridgeIdentity(std::uint16_t vendorId, std::uint16_t productId);
// Whether `product` starts with one of the model names.
bool IsModelName(const std::u16string& product);
// The configuration resource of a model; 0 when the product id and name are no model to update.
int ConfigResourceFor(std::uint16_t productId, const std::u16string& product);

}  // namespace mox3
