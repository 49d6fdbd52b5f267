#include "bridge/flash_backup.h"

#include <algorithm>

#include "base/bytes.h"
#include "bridge/vendor_commands.h"
#include "config/block_layout.h"

namespace mox3 {

namespace {

// `length` bytes from `address` into `out`, page by page; false when the bridge refuses one.
bool ReadRegion(CBridgeMgr& mgr, CNtDevCtrl& disk, std::uint32_t address, std::uint32_t length,
                std::uint8_t* out, const std::function<void(std::uint32_t)>& onPage) {
    for (std::uint32_t at = 0; at < length; at += kFlashPageSize) {
        if (!ReadFlash(disk, mgr.scratchBuffer.data(), mgr, address + at)) return false;
        std::copy_n(mgr.scratchBuffer.begin(), kFlashPageSize, out + at);
        if (onPage) onPage(at + kFlashPageSize);
    }
    return true;
}

}  // namespace

std::uint32_t BackupFlashSize(int generation, std::span<const std::uint8_t> configBlock) {
    if (generation == 1) return kFirstGenerationFlashSize;
    const std::uint32_t stored = configBlock.size() >= gen2::kFlashSizeField + 4
                                     ? ReadLe32(configBlock, gen2::kFlashSizeField)
                                     : 0;
    // The rounding of the block's firmware room; a block that holds none: the largest.
    return stored == 0 ? kSecondGenerationFlashSize : gen2::FlashRoomEnd(stored);
}

FlashImage ReadFlashImage(
    CBridgeMgr& mgr, int index, int generation,
    const std::function<void(int read, std::uint32_t done, std::uint32_t size)>& progress) {
    FlashImage image;
    image.problem = FlashImage::Problem::kRefused;
    if (index < 0 || static_cast<std::uint32_t>(index) >= mgr.deviceCount) return image;
    CNtDevCtrl disk;
    if (!OpenListedPath(mgr.devices, disk, mgr.deviceTable[static_cast<std::size_t>(index)])) {
        return image;
    }
    std::vector<std::uint8_t> block(kConfigBlockSize);
    if (generation != 1 && !ReadRegion(mgr, disk, 0, kConfigBlockSize, block.data(), {})) {
        return image;
    }
    const std::uint32_t size = BackupFlashSize(generation, block);
    std::vector<std::uint8_t> previous;
    for (int read = 1; read <= kFlashImageReads; ++read) {
        std::vector<std::uint8_t> current(size);
        image.reads = read;
        const auto onPage = [&](std::uint32_t done) {
            if (progress) progress(read, done, size);
        };
        if (!ReadRegion(mgr, disk, 0, size, current.data(), onPage)) return image;
        if (current == previous) {
            image.problem = FlashImage::Problem::kNone;
            image.bytes = std::move(current);
            return image;
        }
        previous = std::move(current);
    }
    image.problem = FlashImage::Problem::kUnsteady;
    return image;
}

}  // namespace mox3
