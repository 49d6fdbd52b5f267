// The bridge's vendor commands, carried in WRITE BUFFER and READ BUFFER command blocks, and
// the standard commands the program sends.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "bridge/vendor_codes.h"
#include "discovery/bridge_manager.h"
#include "transport/nt_dev_ctrl.h"

namespace mox3 {

inline constexpr std::uint32_t kVendorTimeoutSeconds = 120;
inline constexpr std::uint32_t kCapacityTimeoutSeconds = 2;

// Command blocks.
CommandBlock VendorBlock(std::uint8_t function, std::uint8_t byte3 = 0);
CommandBlock BeginFlashUpdateBlock();
// The address goes out as 24 bits, least significant byte first.
CommandBlock WriteFlashBlock(std::uint32_t address, std::uint32_t length);
CommandBlock ReadFlashBlock(std::uint32_t address);
CommandBlock SetSectorModeBlock(bool blocks4096);
// The header that precedes `next`: its function code, checksum and signature.
CommandBlock HeaderBlock(const CommandBlock& next);

// The text of a firmware version block: "V%02dL%02dR%02d" and its suffixes.
std::u16string FirmwareVersionText(const std::uint8_t* block8);
// The diagnostic text of a status block read after a failed flash command.
std::u16string DiagnosticText(const std::uint8_t* status12);

// Direct commands: one request on an open handle. Each returns 1 on success, 0 on failure;
// a read that fails leaves its buffer zeroed.
int SendDirect(CNtDevCtrl& handle, const std::uint8_t* cdb, std::uint8_t cdbLength, bool dataIn,
               void* data, std::uint32_t length);
int VendorCommandHeader(const CommandBlock& next, CNtDevCtrl& handle);
int BeginFlashUpdate(CBridgeMgr& mgr, CNtDevCtrl& handle);
int WriteFlash(CBridgeMgr& mgr, CNtDevCtrl& handle, std::uint32_t address, std::uint32_t length,
               const std::uint8_t* data);
int ReadFlash(CNtDevCtrl& handle, std::uint8_t* buffer, CBridgeMgr& mgr, std::uint32_t address);
int SetFlashParameters(CNtDevCtrl& handle, const std::uint8_t* buffer8);
int RestartBridge(CBridgeMgr& mgr, CNtDevCtrl& handle);
int ReadBridgeStatus(std::uint8_t* buffer12, CNtDevCtrl& handle);
int ReadFirmwareVersion(std::uint8_t* buffer8, CNtDevCtrl& handle);
int ReadBridgeInfo(std::uint8_t* buffer7, CNtDevCtrl& handle);
int Inquiry(std::uint8_t* buffer36, CNtDevCtrl& handle);
// True when the device answers the emulated drive's own INQUIRY page with its mark; no real
// bridge does.
bool CarriesEmulatorMark(CNtDevCtrl& handle);

// Commands through a pass-through request opened on the drive.
bool ReadBridgeStatus(CSpti& request, std::uint8_t* buffer, std::uint32_t length);
bool SelectUpdateMode(CSpti& request);
bool RestartBridge(CSpti& request);
bool SetSectorMode(CSpti& request, int blocks4096);
bool ReadChipName(CSpti& request, std::uint8_t* buffer72);
// READ CAPACITY(16), then (10) when it fails: number of blocks (a last block of 0 gives 0)
// and the block length; -1 when both fail.
std::int64_t ReadCapacity(CSpti& request, std::uint32_t& blockLength);

}  // namespace mox3
