// Configuration blocks read back from a drive's flash: 4096 bytes of anything. Decoding never
// fails and never reads outside the block, whichever generation it is taken as.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>

#include "config/block_decode.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace mox3;
    // Short inputs stand for blocks whose rest is erased flash.
    static std::array<std::uint8_t, kConfigBlockSize> block;
    block.fill(0xFF);
    std::copy_n(data, std::min(size, block.size()), block.begin());

    const std::optional<int> detected = DetectBlockGeneration(block);
    for (int generation : {1, 2}) {
        DecodedBlock decoded = DecodeConfigBlock(block, generation);
        if (decoded.headerGeneration != detected) {
            fuzz::Broken("the decoded header generation differs from the detected one");
        }
        std::uint32_t previousEnd = decoded.tlv.start;
        for (const TlvRecord& record : decoded.tlv.records) {
            if (record.offset < previousEnd || record.offset >= decoded.tlv.limit ||
                decoded.tlv.limit > kConfigBlockSize) {
                fuzz::Broken("a record outside its list area or out of order");
            }
            if (!record.truncated && record.value.size() != record.length) {
                fuzz::Broken("a whole record whose value is not its length");
            }
            previousEnd = record.offset + 2 + static_cast<std::uint32_t>(record.value.size());
        }
    }
    return 0;
}
