#include <openssl/evp.h>

#include "base/sha256.h"

namespace mox3 {

std::optional<Sha256Digest> Sha256(std::span<const std::uint8_t> data) {
    Sha256Digest digest{};
    unsigned int length = 0;
    if (EVP_Digest(data.data(), data.size(), digest.data(), &length, EVP_sha256(), nullptr) != 1 ||
        length != digest.size()) {
        return std::nullopt;
    }
    return digest;
}

}  // namespace mox3
