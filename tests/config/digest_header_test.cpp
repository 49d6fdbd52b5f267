// The digest header and the sealing of a configuration block.
#include "config/digest_header.h"

#include <gtest/gtest.h>

#include "base/sha256.h"
#include "config/block_bytes.h"

namespace mox3 {
namespace {

// A buffer with a sealed image of `body` bytes at `position`.
std::vector<std::uint8_t> WithImage(std::size_t position, std::uint32_t body) {
    std::vector<std::uint8_t> buffer(position + 36 + body + 64, 0);
    for (std::size_t i = 0; i < body; ++i)
        buffer[position + 36 + i] = static_cast<std::uint8_t>(i * 7);
    WriteLe32(buffer, position + 32, body);
    test::Seal(buffer, position);
    return buffer;
}

TEST(DigestHeader, VerifiesWithoutWriting) {
    auto image = WithImage(0, 100);
    auto before = image;
    EXPECT_EQ(VerifyAndSeal(0, image, 136, 1), kSealOk);
    EXPECT_EQ(image, before);
    EXPECT_EQ(VerifyAndSeal(0, image, 135, 0), kSealMismatch);  // n + 36 above the limit
    image[36 + 99] ^= 1;
    EXPECT_EQ(VerifyAndSeal(0, image, 136, 0), kSealMismatch);
    image = before;
    image[31] ^= 0x80;
    EXPECT_EQ(VerifyAndSeal(0, image, 136, 0), kSealMismatch);
    // A length near 2^32 must not wrap below the limit.
    image = before;
    WriteLe32(image, 32, 0xFFFFFFF0u);
    EXPECT_EQ(VerifyAndSeal(0, image, 0xFFFFFFFFu, 0), kSealMismatch);
    EXPECT_FALSE(DigestHolds(image, 0xFFFFFFFFull));
}

TEST(DigestHeader, SealsTheBlockInFrontOfAnIntactImage) {
    auto buffer = WithImage(4096, 5000);
    WriteLe32(buffer, 32, 3036);
    for (std::size_t i = 36; i < 3072; ++i) buffer[i] = static_cast<std::uint8_t>(i);
    std::vector<std::uint8_t> key(buffer.begin() + 92, buffer.begin() + 124);

    auto plain = buffer;
    EXPECT_EQ(VerifyAndSeal(4096, plain, 8192, 0), kSealOk);
    EXPECT_TRUE(DigestHolds(plain, 4096));
    EXPECT_TRUE(std::equal(key.begin(), key.end(), plain.begin() + 92));

    auto hashed = buffer;
    EXPECT_EQ(VerifyAndSeal(4096, hashed, 8192, 1), kSealOk);
    auto keyDigest = Sha256(key);
    EXPECT_TRUE(std::equal(keyDigest->begin(), keyDigest->end(), hashed.begin() + 92));
    EXPECT_TRUE(DigestHolds(hashed, 4096));
    EXPECT_NE(std::vector(hashed.begin(), hashed.begin() + 32),
              std::vector(plain.begin(), plain.begin() + 32));

    // A damaged image leaves the block unsealed.
    auto damaged = buffer;
    damaged[4096 + 40] ^= 1;
    EXPECT_EQ(VerifyAndSeal(4096, damaged, 8192, 1), kSealMismatch);
    EXPECT_TRUE(std::equal(damaged.begin(), damaged.begin() + 124, buffer.begin()));
}

}  // namespace
}  // namespace mox3
