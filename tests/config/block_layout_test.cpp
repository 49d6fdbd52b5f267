// The one reader of a block's record list, on hand-made bytes.
#include "config/block_layout.h"

#include <gtest/gtest.h>

#include <vector>

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

}  // namespace
}  // namespace mox3
