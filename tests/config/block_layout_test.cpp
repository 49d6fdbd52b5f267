// The one reader of a block's record list, and the digest check, on hand-made bytes.
#include "config/block_layout.h"

#include <gtest/gtest.h>

#include <vector>

#include "config/digest_header.h"

namespace mox3 {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Value(const BlockRecord& r) {
    return {r.value.begin(), r.value.end()};
}

TEST(RecordWalk, StopsAtTheEndTagOrTheAreaWithoutTrustingLengths) {
    // An area of 12 bytes from offset 2: two records, then the end tag at 9.
    Bytes block = {0xEE, 0xEE, 0x21, 0x02, 0xAA, 0xBB, 0x03,
                   0x01, 0x7F, 0x00, 0x55, 0x55, 0x55, 0x55};
    RecordWalk walk = ReadRecords(block, 2, 14);
    ASSERT_EQ(walk.records.size(), 2u);
    EXPECT_EQ(walk.records[0].offset, 2u);
    EXPECT_EQ(walk.records[0].tag, 0x21);
    EXPECT_EQ(Value(walk.records[0]), (Bytes{0xAA, 0xBB}));
    EXPECT_EQ(walk.records[1].offset, 6u);
    EXPECT_EQ(Value(walk.records[1]), (Bytes{0x7F}));
    EXPECT_FALSE(walk.records[1].truncated);
    EXPECT_EQ(walk.end, RecordWalk::End::EndTag);
    EXPECT_EQ(walk.endOffset, 9u);

    // A value byte past the limit makes the record truncated, with the value cut there.
    walk = ReadRecords(block, 6, 8);
    ASSERT_EQ(walk.records.size(), 1u);
    EXPECT_EQ(walk.records[0].length, 1);
    EXPECT_TRUE(walk.records[0].truncated) << "its one value byte lies past the limit";
    EXPECT_TRUE(walk.records[0].value.empty());
    EXPECT_EQ(walk.end, RecordWalk::End::Overrun);
    // An empty record that ends exactly at the limit is whole; then the area ends.
    Bytes empty = {0x30, 0x00, 0x00};
    walk = ReadRecords(empty, 0, 2);
    ASSERT_EQ(walk.records.size(), 1u);
    EXPECT_FALSE(walk.records[0].truncated);
    EXPECT_EQ(walk.end, RecordWalk::End::AreaEnd);
    EXPECT_EQ(walk.endOffset, 2u);

    // A tag on the area's last byte has no length byte.
    walk = ReadRecords(block, 2, 7);
    ASSERT_EQ(walk.records.size(), 2u);
    EXPECT_TRUE(walk.records[1].truncated);
    EXPECT_EQ(walk.records[1].tag, 0x03);
    EXPECT_EQ(walk.end, RecordWalk::End::NoLengthByte);

    // A length past the block's own end is cut at the block, never read beyond it.
    Bytes shortBlock = {0x10, 0xFF, 0x01, 0x02};
    walk = ReadRecords(shortBlock, 0, 4096);
    ASSERT_EQ(walk.records.size(), 1u);
    EXPECT_EQ(Value(walk.records[0]), (Bytes{0x01, 0x02}));
    EXPECT_EQ(walk.end, RecordWalk::End::Overrun);
}

TEST(DigestCheck, SmallHandMadeHeader) {
    // SHA-256 of 03 00 00 00 'a' 'b' 'c': the length field and the payload.
    const Bytes digest = {0x3d, 0xa9, 0x86, 0x5b, 0x43, 0xfa, 0x2e, 0xc4, 0x90, 0xf7, 0x8d,
                          0xa9, 0xdb, 0x16, 0xac, 0xd5, 0x63, 0x87, 0x04, 0xdb, 0xce, 0x5c,
                          0xc7, 0xb3, 0xdf, 0x2e, 0x3c, 0x7a, 0x23, 0xad, 0xdf, 0x19};
    Bytes bytes = digest;
    bytes.insert(bytes.end(), {0x03, 0x00, 0x00, 0x00, 'a', 'b', 'c', 0xFF});
    DigestReading reading = ReadDigest(bytes, bytes.size());
    EXPECT_EQ(reading.status, DigestStatus::Holds);
    EXPECT_EQ(reading.payloadLength, 3u);
    ASSERT_TRUE(reading.computed);
    EXPECT_EQ(Bytes(reading.computed->begin(), reading.computed->end()), digest);
    EXPECT_EQ(ReadDigest(bytes, 39).status, DigestStatus::Holds) << "the payload ends at 39";
    EXPECT_EQ(ReadDigest(bytes, 38).status, DigestStatus::LengthOutOfRange);
    EXPECT_EQ(ReadDigest(std::span(bytes).first(35), 100).status, DigestStatus::LengthOutOfRange);

    Bytes changed = bytes;
    changed[38] = 'd';
    EXPECT_EQ(ReadDigest(changed, changed.size()).status, DigestStatus::Mismatch);
    changed = bytes;
    changed[39] = 0x00;  // after the payload: not covered
    EXPECT_EQ(ReadDigest(changed, changed.size()).status, DigestStatus::Holds);
    changed = bytes;
    changed[35] = 0xFF;  // n near 2^32 must not wrap below the limit
    EXPECT_EQ(ReadDigest(changed, 0xFFFFFFFFull).status, DigestStatus::LengthOutOfRange);
}

}  // namespace
}  // namespace mox3
