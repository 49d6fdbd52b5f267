// The one reader of a block's record list, on hand-made bytes.
#include "config/block_layout.h"

#include <gtest/gtest.h>

#include <sstream>
#include <vector>

namespace mox3 {
namespace {

using Bytes = std::vector<std::uint8_t>;

// The walk of `block` from `start` to `limit` in one line: each record as
// "offset:tag/length=value bytes", "(cut)" when truncated, then how and where it ended.
std::string Walk(const Bytes& block, std::uint32_t start, std::uint32_t limit) {
    const RecordWalk walk = ReadRecords(block, start, limit);
    const char* ends[] = {"end tag", "area end", "no length byte", "overrun"};
    std::ostringstream out;
    out << std::hex;
    for (const BlockRecord& r : walk.records) {
        out << r.offset << ":" << +r.tag << "/" << +r.length << "=";
        for (std::uint8_t v : r.value) out << +v << " ";
        out << (r.truncated ? "(cut); " : "; ");
    }
    out << ends[static_cast<int>(walk.end)] << " at " << walk.endOffset;
    return out.str();
}

TEST(RecordWalk, StopsAtTheEndTagOrTheAreaWithoutTrustingLengths) {
    // An area of 12 bytes from offset 2: two records, then the end tag at 9.
    const Bytes block = {0xEE, 0xEE, 0x21, 0x02, 0xAA, 0xBB, 0x03,
                         0x01, 0x7F, 0x00, 0x55, 0x55, 0x55, 0x55};
    const struct {
        Bytes block;
        std::uint32_t start, limit;
        std::string walk;
    } kCases[] = {
        {block, 2, 14, "2:21/2=aa bb ; 6:3/1=7f ; end tag at 9"},
        // A value byte past the limit: the record is truncated, its value cut there.
        {block, 6, 8, "6:3/1=(cut); overrun at 8"},
        // An empty record that ends exactly at the limit is whole; then the area ends.
        {{0x30, 0x00, 0x00}, 0, 2, "0:30/0=; area end at 2"},
        // A tag on the area's last byte has no length byte.
        {block, 2, 7, "2:21/2=aa bb ; 6:3/0=(cut); no length byte at 7"},
        // A length past the block's own end is cut at the block, never read beyond it.
        {{0x10, 0xFF, 0x01, 0x02}, 0, 4096, "0:10/ff=1 2 (cut); overrun at 4"},
    };
    for (const auto& c : kCases) EXPECT_EQ(Walk(c.block, c.start, c.limit), c.walk);
}

}  // namespace
}  // namespace mox3
