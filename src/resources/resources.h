// The configuration files carried inside the program, found by resource id.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace mox3 {

inline constexpr std::string_view kConfigResourceType = "CONFIG_FILE";

struct EmbeddedResource {
    int id;
    std::string_view fileName;            // name of the source file under resources/config
    std::span<const std::uint8_t> bytes;  // the exact bytes of that file
};

// Every configuration file, ordered by id.
std::span<const EmbeddedResource> ConfigResources();
// nullptr when no configuration file has this id.
const EmbeddedResource* FindConfigResource(int id);

}  // namespace mox3
