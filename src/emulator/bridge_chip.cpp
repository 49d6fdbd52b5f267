#include "emulator/bridge_chip.h"

#include <algorithm>
#include <cstring>

#include "emulator/flash_layout.h"

namespace mox3 {

namespace {

// Standard opcodes and vendor function codes the bridge answers.
constexpr std::uint8_t kOpInquiry = 0x12;
constexpr std::uint8_t kOpReadCapacity10 = 0x25;
constexpr std::uint8_t kOpServiceActionIn16 = 0x9E;
constexpr std::uint8_t kServiceReadCapacity16 = 0x10;
constexpr std::uint8_t kOpWriteBuffer = 0x3B;
constexpr std::uint8_t kOpReadBuffer = 0x3C;
constexpr std::uint8_t kVendorMode = 0x01;

constexpr std::uint8_t kFnHeader = 0x10;
constexpr std::uint8_t kFnBeginFlashUpdate = 0x20;
constexpr std::uint8_t kFnWriteFlash = 0x21;
constexpr std::uint8_t kFnReadFlash = 0x22;
constexpr std::uint8_t kFnSetFlashParameters = 0x24;
constexpr std::uint8_t kFnRestartBridge = 0x50;
constexpr std::uint8_t kFnReadBridgeStatus = 0x51;
constexpr std::uint8_t kFnReadFirmwareVersion = 0x52;
constexpr std::uint8_t kFnSelectUpdateMode = 0x53;
constexpr std::uint8_t kFnReadChipName = 0x55;
constexpr std::uint8_t kFnReadBridgeInfo = 0x59;
constexpr std::uint8_t kFnSetSectorMode = 0x8A;

// Further additional sense codes of the bridge's answers.
constexpr std::uint8_t kAscParameterListLength = 0x1A;
constexpr std::uint8_t kAscAddressOutOfRange = 0x21;
constexpr std::uint8_t kAscCommandSequence = 0x2C;
constexpr std::uint8_t kAscNotReady = 0x04;  // with ASCQ 0x07: operation in progress
constexpr std::uint8_t kAscInternalFailure = 0x44;

constexpr std::uint32_t kStatusBytes = 12;
constexpr std::uint32_t kVersionBytes = 8;
constexpr std::uint32_t kInfoBytes = 7;
constexpr std::uint32_t kChipNameBytes = 72;

struct VendorCommand {
    std::uint8_t function;
    std::uint8_t opcode;  // WRITE BUFFER for commands that send data or none, else READ BUFFER
};
constexpr VendorCommand kVendorCommands[] = {
    {kFnHeader, kOpWriteBuffer},
    {kFnBeginFlashUpdate, kOpWriteBuffer},
    {kFnWriteFlash, kOpWriteBuffer},
    {kFnReadFlash, kOpReadBuffer},
    {kFnSetFlashParameters, kOpWriteBuffer},
    {kFnRestartBridge, kOpWriteBuffer},
    {kFnReadBridgeStatus, kOpReadBuffer},
    {kFnReadFirmwareVersion, kOpReadBuffer},
    {kFnSelectUpdateMode, kOpWriteBuffer},
    {kFnReadChipName, kOpReadBuffer},
    {kFnReadBridgeInfo, kOpReadBuffer},
    {kFnSetSectorMode, kOpWriteBuffer},
};

bool IsVendor(const ScsiRequest& request) {
    return request.cdb[0] == kOpWriteBuffer || request.cdb[0] == kOpReadBuffer;
}

std::uint32_t FlashAddress(const ScsiRequest& request) {
    return request.cdb[4] | (request.cdb[5] << 8) | (request.cdb[6] << 16);
}

std::uint32_t FlashLength(const ScsiRequest& request) {
    return request.cdb[7] | (request.cdb[8] << 8);
}

void PutBe(std::uint8_t* out, std::uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) {
        out[i] = static_cast<std::uint8_t>(value >> (8 * (bytes - 1 - i)));
    }
}

// The checksum a header carries for the 10-byte command block that follows it: the five
// big-endian 16-bit words added and negated.
std::uint16_t HeaderChecksum(const std::uint8_t* cdb) {
    std::uint32_t sum = 0;
    for (int i = 0; i < 10; i += 2) sum += static_cast<std::uint32_t>(cdb[i] << 8 | cdb[i + 1]);
    return static_cast<std::uint16_t>(0x10000u - (sum & 0xFFFFu));
}

}  // namespace

void BridgeChip::Start(bool loaderRequested) {
    s_.bus = EmulatedBus::Present;
    s_.returnAtMs = 0;
    s_.absentReason.clear();
    s_.restartIntoLoader = false;
    if (IsBridge()) {
        PresentedIdentity id =
            StartIdentity(s_.generation, s_.chipName, s_.diskSerial, drive_.flash, loaderRequested);
        s_.loader = id.loader;
        s_.usb = id.usb;
        s_.inquiry = id.inquiry;
        s_.versionBlock = id.versionBlock;
        s_.blockLength = StoredBlockLength(s_.generation, drive_.flash);
    }
    s_.updateModeSelected = false;
    s_.busyLeft = 0;
    s_.headerArmed = false;
    s_.headerFunction = 0;
    s_.headerChecksum = 0;
    s_.flashParameters.reset();
    s_.lastFailedCode = 0;
    s_.lastSenseKey = 0;
    s_.commandsSinceStart = 0;
}

void BridgeChip::Settle() {
    if (s_.bus == EmulatedBus::Restarting && now_ >= s_.returnAtMs) Start(s_.restartIntoLoader);
}

void BridgeChip::PowerCycle() {
    ++s_.session;
    Start(false);
}

void BridgeChip::LeaveBus(EmulatedBus bus, std::string reason) {
    ++s_.session;
    s_.bus = bus;
    s_.absentReason = std::move(reason);
}

bool BridgeChip::Busy() const {
    return s_.faults.stayBusy || s_.busyLeft > 0;
}

bool BridgeChip::Refuse(ScsiReply& reply, std::uint8_t key, std::uint8_t asc, std::uint8_t ascq) {
    reply.status = kScsiStatusCheckCondition;
    reply.sense = FixedSense(key, asc, ascq);
    reply.transferred = 0;
    s_.lastSenseKey = key;
    s_.lastFailedCode = code_;
    return true;
}

bool BridgeChip::Answer(const ScsiRequest& request, ScsiReply& reply, const std::uint8_t* bytes,
                        std::uint32_t size) {
    if (request.direction != DataDirection::In) {
        return Refuse(reply, kSenseIllegalRequest, kAscInvalidFieldInCdb);
    }
    std::uint32_t n = std::min(size, request.length);
    if (n > 0 && request.data == nullptr) {
        return Refuse(reply, kSenseIllegalRequest, kAscInvalidFieldInCdb);
    }
    if (n > 0) std::memcpy(request.data, bytes, n);
    reply.status = kScsiStatusGood;
    reply.transferred = n;
    return true;
}

bool BridgeChip::Execute(std::uint64_t session, const ScsiRequest& request, ScsiReply& reply) {
    Settle();
    if (!Present() || session != s_.session) return false;
    ++s_.commandsTotal;
    ++s_.commandsSinceStart;
    DriveFaults& f = s_.faults;
    if (f.pullCableAt && s_.commandsTotal >= *f.pullCableAt) {
        f.pullCableAt.reset();
        LeaveBus(EmulatedBus::Absent, "cable pulled");
        return false;
    }
    reply = ScsiReply{};
    code_ = IsVendor(request) ? request.cdb[2] : request.cdb[0];

    // A header arms exactly the command that follows it, whatever that is.
    const bool headerArmed = s_.headerArmed;
    const bool headerMatched = headerArmed && s_.headerFunction == request.cdb[2] &&
                               s_.headerChecksum == HeaderChecksum(request.cdb.data());
    s_.headerArmed = false;

    if (f.failCommandAt && s_.commandsTotal == *f.failCommandAt) {
        f.failCommandAt.reset();
        return Refuse(reply, kSenseHardwareError, kAscInternalFailure);
    }
    if (f.failKind && *f.failKind == code_ && ++f.failKindSeen >= f.failKindFrom &&
        (f.failKindTimes == 0 || f.failKindSeen < f.failKindFrom + f.failKindTimes)) {
        return Refuse(reply, kSenseHardwareError, kAscInternalFailure);
    }

    if (request.cdbLength < 6) return Refuse(reply, kSenseIllegalRequest, kAscInvalidFieldInCdb);
    switch (request.cdb[0]) {
        case kOpInquiry: {
            if ((request.cdb[1] & 0x01) != 0 || request.cdb[2] != 0) {
                return Refuse(reply, kSenseIllegalRequest, kAscInvalidFieldInCdb);
            }
            std::uint32_t allocation = request.cdb[3] << 8 | request.cdb[4];
            return Answer(request, reply, s_.inquiry.data(),
                          std::min<std::uint32_t>(allocation, 36));
        }
        case kOpReadCapacity10:
        case kOpServiceActionIn16: {
            const bool sixteen = request.cdb[0] == kOpServiceActionIn16;
            if (sixteen &&
                ((request.cdb[1] & 0x1F) != kServiceReadCapacity16 || request.cdbLength < 16)) {
                return Refuse(reply, kSenseIllegalRequest, kAscInvalidFieldInCdb);
            }
            std::uint64_t blocks = s_.diskBlocks / (s_.blockLength / 512);
            std::uint64_t last = blocks == 0 ? 0 : blocks - 1;
            std::uint8_t answer[32] = {};
            if (!sixteen) {
                PutBe(answer, std::min<std::uint64_t>(last, 0xFFFFFFFFull), 4);
                PutBe(answer + 4, s_.blockLength, 4);
                return Answer(request, reply, answer, 8);
            }
            PutBe(answer, last, 8);
            PutBe(answer + 8, s_.blockLength, 4);
            std::uint32_t allocation =
                static_cast<std::uint32_t>(request.cdb[10] << 24 | request.cdb[11] << 16 |
                                           request.cdb[12] << 8 | request.cdb[13]);
            return Answer(request, reply, answer, std::min<std::uint32_t>(allocation, 32));
        }
        case kOpWriteBuffer:
        case kOpReadBuffer:
            // A disk without the bridge knows no vendor-specific buffer mode.
            if (request.cdbLength < 10 || request.cdb[1] != kVendorMode || !IsBridge()) {
                return Refuse(reply, kSenseIllegalRequest, kAscInvalidFieldInCdb);
            }
            return Vendor(request, reply, headerMatched, headerArmed);
        default:
            return Refuse(reply, kSenseIllegalRequest, kAscInvalidOpcode);
    }
}

bool BridgeChip::Vendor(const ScsiRequest& request, ScsiReply& reply, bool headerMatched,
                        bool headerArmed) {
    const std::uint8_t function = request.cdb[2];
    auto known = std::find_if(std::begin(kVendorCommands), std::end(kVendorCommands),
                              [&](const VendorCommand& c) { return c.function == function; });
    if (known == std::end(kVendorCommands) || known->opcode != request.cdb[0]) {
        return Refuse(reply, kSenseIllegalRequest, kAscInvalidFieldInCdb);
    }
    const bool headed =
        function == kFnBeginFlashUpdate || function == kFnWriteFlash || function == kFnReadFlash;
    if (headed) {
        if (!headerArmed) return Refuse(reply, kSenseIllegalRequest, kAscCommandSequence);
        if (!headerMatched) return Refuse(reply, kSenseIllegalRequest, kAscInvalidFieldInCdb);
        if (!FlashCommandsAllowed()) {
            return Refuse(reply, kSenseIllegalRequest, kAscInvalidFieldInCdb);
        }
    }
    std::vector<std::uint8_t>& flash = drive_.flash;
    switch (function) {
        case kFnHeader: {
            const auto& c = request.cdb;
            bool signature = c[6] == 'F' && c[7] == 'M' && c[8] == 'L' && c[9] == 0;
            bool target =
                c[3] == kFnBeginFlashUpdate || c[3] == kFnWriteFlash || c[3] == kFnReadFlash;
            if (!signature || !target) {
                return Refuse(reply, kSenseIllegalRequest, kAscInvalidFieldInCdb);
            }
            s_.headerArmed = true;
            s_.headerFunction = c[3];
            s_.headerChecksum = static_cast<std::uint16_t>(c[4] | c[5] << 8);
            return true;
        }
        case kFnBeginFlashUpdate:
            if (request.cdb[3] != 0x80) {
                return Refuse(reply, kSenseIllegalRequest, kAscInvalidFieldInCdb);
            }
            // A whole-chip erase; the status reads report it busy for a while.
            std::fill(flash.begin(), flash.end(), 0xFF);
            drive_.flashChanged = true;
            s_.busyLeft = s_.busyReads;
            return true;
        case kFnWriteFlash:
        case kFnReadFlash: {
            if (Busy()) return Refuse(reply, kSenseNotReady, kAscNotReady, 0x07);
            const std::uint64_t address = FlashAddress(request);
            const std::uint32_t length = FlashLength(request);
            if (address + length > flash.size()) {
                return Refuse(reply, kSenseIllegalRequest, kAscAddressOutOfRange);
            }
            if (function == kFnReadFlash) {
                if (request.direction != DataDirection::In || request.length < length) {
                    return Refuse(reply, kSenseIllegalRequest, kAscInvalidFieldInCdb);
                }
                std::vector<std::uint8_t> bytes(
                    flash.begin() + static_cast<std::ptrdiff_t>(address),
                    flash.begin() + static_cast<std::ptrdiff_t>(address + length));
                const auto& corrupt = s_.faults.corruptReadAddress;
                if (corrupt && *corrupt >= address && *corrupt < address + length) {
                    bytes[static_cast<std::size_t>(*corrupt - address)] ^= 0xFF;
                }
                return Answer(request, reply, bytes.data(), length);
            }
            if (request.direction != DataDirection::Out || request.length != length ||
                (length > 0 && request.data == nullptr)) {
                return Refuse(reply, kSenseIllegalRequest, kAscInvalidFieldInCdb);
            }
            // A serial flash only clears bits: programming over old data mixes both.
            for (std::uint32_t i = 0; i < length; ++i) {
                flash[static_cast<std::size_t>(address + i)] &= request.data[i];
            }
            drive_.flashChanged = true;
            reply.transferred = length;
            return true;
        }
        case kFnSetFlashParameters: {
            if (request.direction != DataDirection::Out || request.length < 8 ||
                request.data == nullptr) {
                return Refuse(reply, kSenseIllegalRequest, kAscParameterListLength);
            }
            std::array<std::uint8_t, 8> parameters{};
            std::memcpy(parameters.data(), request.data, 8);
            s_.flashParameters = parameters;
            reply.transferred = 8;
            return true;
        }
        case kFnRestartBridge:
            // The answer goes out first; then the bridge drops off the bus.
            if (s_.faults.noReturn) {
                LeaveBus(EmulatedBus::Absent, "no return after restart");
            } else {
                s_.restartIntoLoader = s_.updateModeSelected || s_.faults.returnInLoader;
                s_.returnAtMs = now_ + s_.restartDelayMs;
                LeaveBus(EmulatedBus::Restarting, "restarting");
            }
            return true;
        case kFnReadBridgeStatus: {
            std::uint8_t status[kStatusBytes] = {};
            const bool busy = Busy();
            status[0] = static_cast<std::uint8_t>(
                (s_.loader ? 0x01 : 0) |
                (StoredBlockLength(s_.generation, flash) != s_.blockLength ? 0x10 : 0) |
                (s_.updateModeSelected ? 0x20 : 0) | (FlashCommandsAllowed() ? 0x40 : 0) |
                (busy ? 0x80 : 0));
            if (s_.busyLeft > 0) --s_.busyLeft;
            status[1] = 0x01;  // disk attached
            status[2] = s_.generation == 1 ? 0x30 : 0x31;
            status[3] = s_.lastSenseKey;
            const std::uint16_t words[4] = {
                static_cast<std::uint16_t>(s_.commandsSinceStart), s_.lastFailedCode,
                static_cast<std::uint16_t>(s_.flashSize / 1024),
                static_cast<std::uint16_t>(std::min<std::uint32_t>(s_.busyLeft, 0xFFFF))};
            for (int i = 0; i < 4; ++i) {
                // The loader reports its words big-endian, the normal firmware little-endian.
                std::uint8_t hi = static_cast<std::uint8_t>(words[i] >> 8);
                std::uint8_t lo = static_cast<std::uint8_t>(words[i]);
                status[4 + 2 * i] = s_.loader ? hi : lo;
                status[5 + 2 * i] = s_.loader ? lo : hi;
            }
            return Answer(request, reply, status, kStatusBytes);
        }
        case kFnReadFirmwareVersion:
            return Answer(request, reply, s_.versionBlock.data(), kVersionBytes);
        case kFnSelectUpdateMode:
            if (s_.faults.refuseUpdateMode) {
                return Refuse(reply, kSenseIllegalRequest, kAscInvalidFieldInCdb);
            }
            s_.updateModeSelected = true;
            return true;
        case kFnReadChipName: {
            if (request.cdb[3] != 0x01) {
                return Refuse(reply, kSenseIllegalRequest, kAscInvalidFieldInCdb);
            }
            std::uint8_t name[kChipNameBytes] = {};
            std::memcpy(name, s_.chipName.data(), std::min<std::size_t>(s_.chipName.size(), 71));
            return Answer(request, reply, name, kChipNameBytes);
        }
        case kFnReadBridgeInfo: {
            const std::uint32_t kib = s_.flashSize / 1024;
            std::uint8_t info[kInfoBytes] = {
                static_cast<std::uint8_t>(s_.generation == 1 ? 0x30 : 0x31),
                0x01,
                static_cast<std::uint8_t>(kib),
                static_cast<std::uint8_t>(kib >> 8),
                static_cast<std::uint8_t>(s_.blockLength == 4096 ? 1 : 0),
                0x01,  // logical units
                static_cast<std::uint8_t>(s_.loader ? 1 : 0)};
            return Answer(request, reply, info, kInfoBytes);
        }
        case kFnSetSectorMode:
            if (request.cdb[4] > 1) {
                return Refuse(reply, kSenseIllegalRequest, kAscInvalidFieldInCdb);
            }
            // Kept in the parameter area of the flash; read when the bridge next starts.
            StoreBlockLength(s_.generation, flash, request.cdb[4] == 1 ? 4096 : 512);
            drive_.flashChanged = true;
            return true;
        default:
            return Refuse(reply, kSenseIllegalRequest, kAscInvalidFieldInCdb);
    }
}

}  // namespace mox3
