// Reads a compiled configuration block back into a readable structure, for the people who
// write drive configurations. Decoding never fails and never reads outside the block: every
// length inside the block is untrusted, and whatever does not fit is reported as a note.
#pragma once

#include <cstdint>
#include <optional>

#include "config/decoded_block.h"

namespace mox3 {

// 1 or 2 when the header's fixed fields name exactly one generation, nothing otherwise.
// Second generation: bytes 48..51 hold 1792. First generation: bytes 44..47 hold 5120 and
// bytes 36..39 hold 8192.
std::optional<int> DetectBlockGeneration(ConfigBlockView block);

// Decodes `block` as a block of `generation` (1 or 2; anything else is taken as 2).
DecodedBlock DecodeConfigBlock(ConfigBlockView block, int generation);

}  // namespace mox3
