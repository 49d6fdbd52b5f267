// Chip profiles: what differs between the two bridge generations.
#pragma once

#include <cstdint>

#include "config/block_layout.h"
#include "discovery/bridge_manager.h"

namespace mox3 {

// Fill the manager's chip profile for a generation; every profile field is overwritten.
int FillFirstGenerationProfile(CBridgeMgr& mgr);
int FillSecondGenerationProfile(CBridgeMgr& mgr);

// The generation of an image file from its last two bytes: "0A" marks the second.
int ChipKindFromImageTail(std::uint8_t secondLast, std::uint8_t last);

// The profile operations. Compile and header check hand the manager's fields to the
// configuration compilers and store their results.
int LoadFirmwareImageGen1(CBridgeMgr& mgr);
int LoadFirmwareImageGen2(CBridgeMgr& mgr);
int CompileConfigBlockGen1(CBridgeMgr& mgr, int deviceIndex);
int CompileConfigBlockGen2(CBridgeMgr& mgr, int deviceIndex);
int CheckConfigHeaderGen1(CBridgeMgr& mgr);
int CheckConfigHeaderGen2(CBridgeMgr& mgr);

}  // namespace mox3
