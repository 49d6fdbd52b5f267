#include "bridge/vendor_commands.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "base/bytes.h"
#include "base/text.h"
#include "transport/emulator_mark.h"

namespace mox3 {

namespace {

constexpr std::uint32_t kDiagnosticWaitMs = 1000;
// The direct request addresses target 1.
constexpr std::uint8_t kDirectTargetId = 1;

// A command preceded by its header; after a failure the bridge status explains it.
int HeadedCommand(CBridgeMgr& mgr, CNtDevCtrl& handle, const CommandBlock& block, bool dataIn,
                  void* data, std::uint32_t length) {
    mgr.diagnosticText.clear();
    if (!VendorCommandHeader(block, handle)) return 0;
    if (SendDirect(handle, block.data(), 10, dataIn, data, length)) return 1;
    mgr.clock->SleepMs(kDiagnosticWaitMs);
    std::uint8_t status[kStatusBlockSize];
    if (ReadBridgeStatus(status, handle)) mgr.diagnosticText = DiagnosticText(status);
    return 0;
}

bool SendThroughRequest(CSpti& request, const CommandBlock& block, DataDirection direction,
                        void* buffer, std::uint32_t length) {
    request.Setup(direction, 10, buffer, length, kVendorTimeoutSeconds);
    std::memcpy(request.cdb, block.data(), block.size());
    return request.Execute();
}

}  // namespace

CommandBlock VendorBlock(std::uint8_t function, std::uint8_t byte3) {
    return {VendorOpcode(function), kVendorMode, function, byte3, 0, 0, 0, 0, 0, 0};
}

CommandBlock BeginFlashUpdateBlock() {
    return VendorBlock(kFnBeginFlashUpdate, kWholeChipErase);
}

CommandBlock WriteFlashBlock(std::uint32_t address, std::uint32_t length) {
    CommandBlock b = VendorBlock(kFnWriteFlash);
    for (std::size_t i = 0; i < 3; ++i) {
        b[kFlashAddressByte + i] = static_cast<std::uint8_t>(address >> (8 * i));
    }
    b[kFlashLengthByte] = static_cast<std::uint8_t>(length);
    b[kFlashLengthByte + 1] = static_cast<std::uint8_t>(length >> 8);
    return b;
}

CommandBlock ReadFlashBlock(std::uint32_t address) {
    CommandBlock b = WriteFlashBlock(address, kFlashPageSize);
    b[0] = VendorOpcode(kFnReadFlash);
    b[2] = kFnReadFlash;
    return b;
}

CommandBlock SetSectorModeBlock(bool blocks4096) {
    CommandBlock b = VendorBlock(kFnSetSectorMode);
    b[kSectorModeByte] = blocks4096 ? 1 : 0;
    return b;
}

CommandBlock HeaderBlock(const CommandBlock& next) {
    std::uint16_t checksum = HeaderChecksum(next);
    CommandBlock b = VendorBlock(kFnHeader, next[2]);
    b[kHeaderChecksumByte] = static_cast<std::uint8_t>(checksum);
    b[kHeaderChecksumByte + 1] = static_cast<std::uint8_t>(checksum >> 8);
    std::copy(kHeaderSignature.begin(), kHeaderSignature.end(), b.begin() + kHeaderSignatureByte);
    return b;
}

std::u16string FirmwareVersionText(const std::uint8_t* b) {
    std::u16string text = FormatText("V%02dL%02dR%02d", b[2], b[4], b[6]);
    if (b[1] != 0) {
        text += FormatText("-%d:%d", b[1], b[0]);
    } else if (b[0] != 0) {
        text += FormatText("-%d", b[0]);
    }
    if (b[7] != 0) text += FormatText(" Beta%d", b[7]);
    return text;
}

std::u16string DiagnosticText(const std::uint8_t* b) {
    if (b[0] & kStatusLoader) {
        return FormatText("(%02X %02X %02X %02X %04X %04X %04X %04X)", b[0], b[1], b[2], b[3],
                          b[4] * 256 + b[5], b[6] * 256 + b[7], b[8] * 256 + b[9],
                          b[10] * 256 + b[11]);
    }
    return FormatText("(%02X %02X %02X %02X %04X %04X %d %d)", b[0], b[1], b[2], b[3],
                      b[5] * 256 + b[4], b[7] * 256 + b[6], b[9] * 256 + b[8], b[11] * 256 + b[10]);
}

int SendDirect(CNtDevCtrl& handle, const std::uint8_t* cdb, std::uint8_t cdbLength, bool dataIn,
               void* data, std::uint32_t length) {
    ScsiRequest request;
    request.targetId = kDirectTargetId;
    request.cdbLength = cdbLength;
    std::memcpy(request.cdb.data(), cdb, std::min<std::size_t>(cdbLength, request.cdb.size()));
    request.direction = dataIn ? DataDirection::In : DataDirection::Out;
    request.data = length != 0 ? static_cast<std::uint8_t*>(data) : nullptr;
    request.length = length;
    request.timeoutSeconds = kVendorTimeoutSeconds;
    ScsiReply reply;
    if (!handle.Send(request, reply)) return 0;
    // The direct senders go by the status alone.
    return reply.status == kScsiStatusGood ? 1 : 0;
}

int VendorCommandHeader(const CommandBlock& next, CNtDevCtrl& handle) {
    CommandBlock header = HeaderBlock(next);
    return SendDirect(handle, header.data(), 10, false, nullptr, 0);
}

int BeginFlashUpdate(CBridgeMgr& mgr, CNtDevCtrl& handle) {
    return HeadedCommand(mgr, handle, BeginFlashUpdateBlock(), false, nullptr, 0);
}

int WriteFlash(CBridgeMgr& mgr, CNtDevCtrl& handle, std::uint32_t address, std::uint32_t length,
               const std::uint8_t* data) {
    return HeadedCommand(mgr, handle, WriteFlashBlock(address, length), false,
                         const_cast<std::uint8_t*>(data), length);
}

int ReadFlash(CNtDevCtrl& handle, std::uint8_t* buffer, CBridgeMgr& mgr, std::uint32_t address) {
    std::memset(buffer, 0, kFlashPageSize);
    return HeadedCommand(mgr, handle, ReadFlashBlock(address), true, buffer, kFlashPageSize);
}

int SetFlashParameters(CNtDevCtrl& handle, const std::uint8_t* buffer8) {
    CommandBlock b = VendorBlock(kFnSetFlashParameters);
    return SendDirect(handle, b.data(), 10, false, const_cast<std::uint8_t*>(buffer8),
                      kFlashParametersSize);
}

int RestartBridge(CBridgeMgr& /*mgr*/, CNtDevCtrl& handle) {
    CommandBlock b = VendorBlock(kFnRestartBridge);
    return SendDirect(handle, b.data(), 10, false, nullptr, 0);
}

namespace {
int ReadDirect(std::uint8_t function, std::uint8_t* buffer, std::size_t length,
               CNtDevCtrl& handle) {
    std::memset(buffer, 0, length);
    CommandBlock b = VendorBlock(function);
    return SendDirect(handle, b.data(), 10, true, buffer, static_cast<std::uint32_t>(length));
}
}  // namespace

int ReadBridgeStatus(std::uint8_t* buffer12, CNtDevCtrl& handle) {
    return ReadDirect(kFnReadBridgeStatus, buffer12, kStatusBlockSize, handle);
}

int ReadFirmwareVersion(std::uint8_t* buffer8, CNtDevCtrl& handle) {
    return ReadDirect(kFnReadFirmwareVersion, buffer8, kVersionBlockSize, handle);
}

int ReadBridgeInfo(std::uint8_t* buffer7, CNtDevCtrl& handle) {
    return ReadDirect(kFnReadBridgeInfo, buffer7, kBridgeInfoSize, handle);
}

int Inquiry(std::uint8_t* buffer36, CNtDevCtrl& handle) {
    std::memset(buffer36, 0, kInquirySize);
    const std::uint8_t cdb[6] = {kOpInquiry, 0, 0, 0, static_cast<std::uint8_t>(kInquirySize), 0};
    return SendDirect(handle, cdb, 6, true, buffer36, kInquirySize);
}

bool CarriesEmulatorMark(CNtDevCtrl& handle) {
    std::uint8_t page[kEmulatorMarkPageLength] = {};
    const std::uint8_t cdb[6] = {kOpInquiry, 0x01, kEmulatorMarkPage, 0, sizeof page, 0};
    if (!SendDirect(handle, cdb, 6, true, page, sizeof page)) return false;
    const std::string_view text(reinterpret_cast<const char*>(page + 4), kEmulatorMarkText.size());
    return page[1] == kEmulatorMarkPage && page[3] == kEmulatorMarkText.size() &&
           text == kEmulatorMarkText;
}

bool ReadBridgeStatus(CSpti& request, std::uint8_t* buffer, std::uint32_t length) {
    return SendThroughRequest(request, VendorBlock(kFnReadBridgeStatus), DataDirection::In, buffer,
                              length);
}

bool SelectUpdateMode(CSpti& request) {
    return SendThroughRequest(request, VendorBlock(kFnSelectUpdateMode), DataDirection::None,
                              nullptr, 0);
}

bool RestartBridge(CSpti& request) {
    return SendThroughRequest(request, VendorBlock(kFnRestartBridge), DataDirection::None, nullptr,
                              0);
}

bool SetSectorMode(CSpti& request, int blocks4096) {
    return SendThroughRequest(request, SetSectorModeBlock(blocks4096 != 0), DataDirection::None,
                              nullptr, 0);
}

bool ReadChipName(CSpti& request, std::uint8_t* buffer72) {
    return SendThroughRequest(request, VendorBlock(kFnReadChipName, kChipNameSelector),
                              DataDirection::In, buffer72, kChipNameSize);
}

std::int64_t ReadCapacity(CSpti& request, std::uint32_t& blockLength) {
    blockLength = 0;
    std::uint8_t answer[12];
    std::uint64_t lastBlock = 0;
    request.Setup(DataDirection::In, 16, answer, 12, kCapacityTimeoutSeconds);
    request.cdb[0] = kOpServiceActionIn16;
    request.cdb[1] = kSaReadCapacity16;
    request.cdb[13] = 12;
    if (request.Execute()) {
        lastBlock = ReadBe(answer, 0, 8);
        blockLength = static_cast<std::uint32_t>(ReadBe(answer, 8, 4));
    } else {
        request.Setup(DataDirection::In, 10, answer, 8, kCapacityTimeoutSeconds);
        request.cdb[0] = kOpReadCapacity10;
        if (!request.Execute()) return -1;
        lastBlock = ReadBe(answer, 0, 4);
        blockLength = static_cast<std::uint32_t>(ReadBe(answer, 4, 4));
    }
    return lastBlock == 0 ? 0 : static_cast<std::int64_t>(lastBlock + 1);
}

}  // namespace mox3
