// Writing firmware and configuration block into the bridge's flash, and the logical-block
// length setting.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "bridge/firmware_image.h"
#include "discovery/bridge_manager.h"

namespace mox3 {

// Brings the drive at `index` into its update loader and waits until it is back there.
// 1 when the drive is ready for programming, 0 on failure.
int PrepareDevice(CBridgeMgr& mgr, int index);

// Loads and checks the image, compiles the configuration file with the drive's serial number,
// writes block and firmware page by page, reads both back and restarts the bridge. Nonzero when
// everything was written and verified.
int ProgramDevice(const std::u16string& firmwarePath, CBridgeMgr& mgr, int index, int chipKind,
                  const std::u16string& configPath, const std::u16string& serial);
// The same with an image read and checked already: exactly its bytes are programmed.
int ProgramDevice(const FirmwareImage& image, CBridgeMgr& mgr, int index, int chipKind,
                  const std::u16string& configPath, const std::u16string& serial);

// A stretch of the flash and the bytes it is to hold, a whole number of pages long.
struct FlashRegion {
    std::uint32_t address = 0;
    std::span<const std::uint8_t> bytes;
};

// The programming passes (up to the manager's attempt limit): the flash parameters where the
// manager holds some, the whole-chip erase, the wait until the bridge is no longer busy, every
// region written page by page, every page read back and compared, the restart. With
// `skipErased`, pages of nothing but 0xFF are not written (the erase left them so) but still
// read back. Nonzero when a pass wrote and verified everything. ProgramDevice writes the block
// at the block's address and the firmware at the firmware's address this way.
int ProgramRegions(CBridgeMgr& mgr, int index, std::span<const FlashRegion> regions,
                   bool skipErased);

// The number of logical blocks of the drive's disk (-1 on failure) and, when `blockLength` is
// given, their length in bytes (0 on failure).
std::int64_t ReadSectorSize(CBridgeMgr& mgr, int index, std::uint32_t* blockLength);
// Sets 512- or 4096-byte logical blocks; they take effect at the bridge's next start.
int WriteSectorSize(CBridgeMgr& mgr, int index, std::uint32_t blockLength);
// Restarts the bridge.
int RestartDevice(CBridgeMgr& mgr, int index);

}  // namespace mox3
