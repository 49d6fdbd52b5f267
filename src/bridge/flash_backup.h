// Reading a drive's whole flash through its update loader, for a backup before an update.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "discovery/bridge_manager.h"

namespace mox3 {

// How much flash a backup reads: a first-generation bridge carries 64 KiB; a second-generation
// one the flash size its configuration block stores, rounded up as the block's firmware room
// is (64, 128 or 256 KiB), and 256 KiB when the block holds none (erased, 0 or beyond 256 KiB).
std::uint32_t BackupFlashSize(int generation, std::span<const std::uint8_t> configBlock);

// How often the flash is read at most before the reads are given up as never agreeing.
inline constexpr int kFlashImageReads = 4;

struct FlashImage {
    enum class Problem { kNone, kRefused, kUnsteady };
    Problem problem = Problem::kNone;
    std::vector<std::uint8_t> bytes;  // the flash from address 0; empty unless problem is kNone
    int reads = 0;                    // whole reads made
};

// Reads the flash of the drive at `index` (in its update loader) from address 0, page by page
// with ReadFlash, the whole region twice; reads that differ are a bad read and the region is
// read again, up to kFlashImageReads reads, until two reads in a row agree. `progress` is told
// each page: the read (1-based), the bytes read in it and the region's size.
FlashImage ReadFlashImage(
    CBridgeMgr& mgr, int index, int generation,
    const std::function<void(int read, std::uint32_t done, std::uint32_t size)>& progress = {});

}  // namespace mox3
