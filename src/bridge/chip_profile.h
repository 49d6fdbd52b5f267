// Chip profiles: what differs between the two bridge generations.
#pragma once

#include <cstdint>

#include "discovery/bridge_manager.h"

namespace mox3 {

// Flash addresses of the configuration block.
inline constexpr std::uint32_t kFirstGenerationBlockAddress = 4096;
inline constexpr std::uint32_t kSecondGenerationBlockAddress = 0;

// Fill the manager's chip profile for a generation; every profile field is overwritten.
int FillFirstGenerationProfile(CBridgeMgr& mgr);
int FillSecondGenerationProfile(CBridgeMgr& mgr);

// The generation of an image file from its last two bytes: "0A" marks the second.
int ChipKindFromImageTail(std::uint8_t secondLast, std::uint8_t last);

// The profile operations.
int LoadFirmwareImageGen1(CBridgeMgr& mgr);
int LoadFirmwareImageGen2(CBridgeMgr& mgr);
int CompileConfigBlockGen1(CBridgeMgr& mgr, int deviceIndex);
int CompileConfigBlockGen2(CBridgeMgr& mgr, int deviceIndex);
int CheckConfigHeaderGen1(CBridgeMgr& mgr);
int CheckConfigHeaderGen2(CBridgeMgr& mgr);

}  // namespace mox3
