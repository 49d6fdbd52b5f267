#include "config/block_layout.h"

#include <algorithm>

namespace mox3 {

RecordWalk ReadRecords(std::span<const std::uint8_t> block, std::uint32_t start,
                       std::uint32_t limit) {
    RecordWalk walk;
    limit = static_cast<std::uint32_t>(std::min<std::size_t>(limit, block.size()));
    walk.endOffset = limit;
    std::uint32_t pos = start;
    while (true) {
        if (pos >= limit) {
            walk.end = RecordWalk::End::AreaEnd;
            return walk;
        }
        if (block[pos] == 0) {
            walk.end = RecordWalk::End::EndTag;
            walk.endOffset = pos;
            return walk;
        }
        BlockRecord record;
        record.offset = pos;
        record.tag = block[pos];
        if (pos + 1 >= limit) {
            record.truncated = true;
            walk.records.push_back(record);
            walk.end = RecordWalk::End::NoLengthByte;
            return walk;
        }
        record.length = block[pos + 1];
        const std::uint32_t valueStart = pos + 2;
        const std::uint32_t valueEnd = std::min<std::uint32_t>(valueStart + record.length, limit);
        record.truncated = valueStart + record.length > limit;
        record.value = block.subspan(valueStart, valueEnd - valueStart);
        walk.records.push_back(record);
        if (record.truncated) {
            walk.end = RecordWalk::End::Overrun;
            return walk;
        }
        pos = valueEnd;
    }
}

}  // namespace mox3
