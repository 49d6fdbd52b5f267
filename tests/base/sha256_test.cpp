// The program's own SHA-256 against the system's, around the padding boundaries, and the
// published test vectors.
#include "base/sha256.h"

#include <gtest/gtest.h>

#include <random>
#include <string_view>
#include <vector>

#include "base/text.h"

namespace mox3 {
namespace {

std::span<const std::uint8_t> Bytes(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

TEST(Sha256, KnownVectorsAndAgreementWithTheSystem) {
    for (const auto& [text, digest] : std::initializer_list<std::pair<const char*, const char*>>{
             {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
             {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
             {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"}}) {
        EXPECT_EQ(HexString(Sha256Builtin(Bytes(text)), HexDigits::Lower, ""), digest) << text;
    }
    // Every length around one and two padding blocks, and a large one.
    std::mt19937 random(7);
    std::vector<std::uint8_t> data(70000);
    for (auto& b : data) b = static_cast<std::uint8_t>(random());
    for (std::size_t length = 0; length <= 131; ++length) {
        const auto part = std::span<const std::uint8_t>(data).first(length > 130 ? 70000 : length);
        const auto system = Sha256(part);
        ASSERT_TRUE(system.has_value());
        EXPECT_EQ(Sha256Builtin(part), *system) << "length " << part.size();
    }
}

}  // namespace
}  // namespace mox3
