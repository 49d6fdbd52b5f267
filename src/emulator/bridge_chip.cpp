// The emulated bridge chip: every command it takes, in normal firmware and in its loader.
// Size: one switch over the command set, which tests compare against the real command blocks.
#include "emulator/bridge_chip.h"

#include <algorithm>
#include <cstring>

#include "base/bytes.h"
#include "bridge/vendor_codes.h"
#include "emulator/disk_medium.h"
#include "emulator/flash_layout.h"
#include "transport/emulator_mark.h"

namespace mox3 {

namespace {

// Standard opcodes the bridge answers besides those of the vendor command set.
constexpr std::uint8_t kOpTestUnitReady = 0x00;
constexpr std::uint8_t kOpRequestSense = 0x03;
constexpr std::uint8_t kOpModeSense6 = 0x1A;
constexpr std::uint8_t kOpRead10 = 0x28;
constexpr std::uint8_t kOpWrite10 = 0x2A;
constexpr std::uint8_t kOpSynchronizeCache10 = 0x35;
constexpr std::uint8_t kOpModeSense10 = 0x5A;
constexpr std::uint8_t kOpRead16 = 0x88;
constexpr std::uint8_t kOpWrite16 = 0x8A;
constexpr std::uint8_t kOpSynchronizeCache16 = 0x91;

// Further additional sense codes of the bridge's answers.
constexpr std::uint8_t kAscParameterListLength = 0x1A;
constexpr std::uint8_t kAscAddressOutOfRange = 0x21;  // also: logical block address out of range
constexpr std::uint8_t kAscCommandSequence = 0x2C;
constexpr std::uint8_t kAscNotReady = 0x04;  // with ASCQ 0x07: operation in progress
constexpr std::uint8_t kAscInternalFailure = 0x44;
constexpr std::uint8_t kAscUnrecoveredReadError = 0x11;
constexpr std::uint8_t kAscWriteError = 0x0C;
constexpr std::uint8_t kAscSavingNotSupported = 0x39;
// The loader does not run the disk: until firmware is written, it stays "not ready, manual
// intervention required" (a host gives up at once rather than waiting for a spin-up).
constexpr std::uint8_t kAscqManualIntervention = 0x03;

// Mode pages: caching (write cache on, so that hosts send SYNCHRONIZE CACHE) and control.
constexpr std::uint8_t kPageCaching = 0x08;
constexpr std::uint8_t kPageControl = 0x0A;
constexpr std::uint8_t kPageAll = 0x3F;
constexpr std::uint8_t kCachingWriteCacheEnabled = 0x04;
// A 512-byte block is one eighth of the disk's 4096-byte sectors.
constexpr std::uint8_t kLogicalPerPhysicalExponent512 = 3;

constexpr std::uint32_t kStatusBytes = kStatusBlockSize;
constexpr std::uint32_t kVersionBytes = kVersionBlockSize;
constexpr std::uint32_t kInfoBytes = kBridgeInfoSize;
constexpr std::uint32_t kChipNameBytes = kChipNameSize;

bool IsVendor(const ScsiRequest& request) {
    return request.cdb[0] == kOpWriteBuffer || request.cdb[0] == kOpReadBuffer;
}

std::uint32_t FlashAddress(const ScsiRequest& request) {
    const auto& c = request.cdb;
    return c[kFlashAddressByte] | (c[kFlashAddressByte + 1] << 8) |
           (c[kFlashAddressByte + 2] << 16);
}

std::uint32_t FlashLength(const ScsiRequest& request) {
    return request.cdb[kFlashLengthByte] | (request.cdb[kFlashLengthByte + 1] << 8);
}

// The checksum a header must carry for this command block.
std::uint16_t ExpectedChecksum(const ScsiRequest& request) {
    return HeaderChecksum(std::span<const std::uint8_t>(request.cdb).first<10>());
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
    s_.flashUpdateBegun = false;
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
    programmed_ = 0;
    code_ = IsVendor(request) ? request.cdb[2] : request.cdb[0];

    // A header arms exactly the command that follows it, whatever that is.
    const bool headerArmed = s_.headerArmed;
    const bool headerMatched = headerArmed && s_.headerFunction == request.cdb[2] &&
                               s_.headerChecksum == ExpectedChecksum(request);
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
            std::uint32_t allocation = request.cdb[3] << 8 | request.cdb[4];
            if ((request.cdb[1] & 0x01) != 0 && request.cdb[2] == kEmulatorMarkPage) {
                // The emulator's mark, which no real bridge answers: the program's testing
                // aids hold only for drives that carry it.
                std::uint8_t page[4 + kEmulatorMarkText.size()] = {0x00, kEmulatorMarkPage, 0,
                                                                   kEmulatorMarkPageLength - 4};
                std::memcpy(page + 4, kEmulatorMarkText.data(), kEmulatorMarkText.size());
                return Answer(request, reply, page,
                              std::min<std::uint32_t>(allocation, sizeof page));
            }
            if ((request.cdb[1] & 0x01) != 0 || request.cdb[2] != 0) {
                return Refuse(reply, kSenseIllegalRequest, kAscInvalidFieldInCdb);
            }
            return Answer(request, reply, s_.inquiry.data(),
                          std::min<std::uint32_t>(allocation, 36));
        }
        case kOpReadCapacity10:
        case kOpServiceActionIn16: {
            const bool sixteen = request.cdb[0] == kOpServiceActionIn16;
            if (sixteen &&
                ((request.cdb[1] & 0x1F) != kSaReadCapacity16 || request.cdbLength < 16)) {
                return Refuse(reply, kSenseIllegalRequest, kAscInvalidFieldInCdb);
            }
            std::uint64_t blocks = s_.diskBlocks / (s_.blockLength / 512);
            std::uint64_t last = blocks == 0 ? 0 : blocks - 1;
            std::uint8_t answer[32] = {};
            if (!sixteen) {
                WriteBe(answer, 0, std::min<std::uint64_t>(last, 0xFFFFFFFFull), 4);
                WriteBe(answer, 4, s_.blockLength, 4);
                return Answer(request, reply, answer, 8);
            }
            WriteBe(answer, 0, last, 8);
            WriteBe(answer, 8, s_.blockLength, 4);
            if (IsBridge() && s_.blockLength == 512) answer[13] = kLogicalPerPhysicalExponent512;
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
        case kOpTestUnitReady:
            return s_.loader ? NotReady(reply) : true;
        case kOpRequestSense:
            return RequestSense(request, reply);
        case kOpModeSense6:
        case kOpModeSense10:
            return ModeSense(request, reply);
        case kOpRead10:
        case kOpRead16:
        case kOpWrite10:
        case kOpWrite16:
        case kOpSynchronizeCache10:
        case kOpSynchronizeCache16:
            return Medium(request, reply);
        default:
            return Refuse(reply, kSenseIllegalRequest, kAscInvalidOpcode);
    }
}

bool BridgeChip::NotReady(ScsiReply& reply) {
    return Refuse(reply, kSenseNotReady, kAscNotReady, kAscqManualIntervention);
}

bool BridgeChip::RequestSense(const ScsiRequest& request, ScsiReply& reply) {
    // Sense goes back with every failed command; asked for, the unit reports its condition.
    if ((request.cdb[1] & 0x01) != 0) {
        return Refuse(reply, kSenseIllegalRequest, kAscInvalidFieldInCdb);  // descriptor format
    }
    const std::vector<std::uint8_t> sense =
        s_.loader ? FixedSense(kSenseNotReady, kAscNotReady, kAscqManualIntervention)
                  : FixedSense(0, 0, 0);
    return Answer(
        request, reply, sense.data(),
        std::min<std::uint32_t>(request.cdb[4], static_cast<std::uint32_t>(sense.size())));
}

bool BridgeChip::ModeSense(const ScsiRequest& request, ScsiReply& reply) {
    const auto& c = request.cdb;
    const bool ten = c[0] == kOpModeSense10;
    if (request.cdbLength < (ten ? 10 : 6)) {
        return Refuse(reply, kSenseIllegalRequest, kAscInvalidFieldInCdb);
    }
    const bool blockDescriptor = (c[1] & 0x08) == 0;
    const bool longLba = ten && (c[1] & 0x10) != 0;
    const std::uint8_t control = c[2] >> 6;  // current, changeable, default or saved values
    const std::uint8_t page = c[2] & 0x3F;
    if (control == 3) return Refuse(reply, kSenseIllegalRequest, kAscSavingNotSupported);
    if (c[3] != 0 && !(page == kPageAll && c[3] == 0xFF)) {
        return Refuse(reply, kSenseIllegalRequest, kAscInvalidFieldInCdb);
    }
    const bool changeable = control == 1;  // nothing can be changed
    std::vector<std::uint8_t> pages;
    if (page == kPageCaching || page == kPageAll) {
        std::uint8_t caching[20] = {kPageCaching, sizeof caching - 2};
        if (!changeable) caching[2] = kCachingWriteCacheEnabled;
        pages.insert(pages.end(), std::begin(caching), std::end(caching));
    }
    if (page == kPageControl || page == kPageAll) {
        std::uint8_t controlPage[12] = {kPageControl, sizeof controlPage - 2};
        pages.insert(pages.end(), std::begin(controlPage), std::end(controlPage));
    }
    if (pages.empty()) return Refuse(reply, kSenseIllegalRequest, kAscInvalidFieldInCdb);

    std::vector<std::uint8_t> descriptor;
    if (blockDescriptor) {
        descriptor.assign(longLba ? 16 : 8, 0);
        if (longLba) {
            WriteBe(descriptor, 0, LogicalBlocks(), 8);
            WriteBe(descriptor, 12, s_.blockLength, 4);
        } else {
            WriteBe(descriptor, 0, std::min<std::uint64_t>(LogicalBlocks(), 0xFFFFFFFFull), 4);
            WriteBe(descriptor, 5, s_.blockLength, 3);
        }
    }
    const std::size_t headerSize = ten ? 8 : 4;
    std::vector<std::uint8_t> data(headerSize, 0);
    data.insert(data.end(), descriptor.begin(), descriptor.end());
    data.insert(data.end(), pages.begin(), pages.end());
    std::uint32_t allocation;
    if (ten) {
        WriteBe(data, 0, data.size() - 2, 2);
        data[4] = longLba ? 0x01 : 0x00;
        WriteBe(data, 6, descriptor.size(), 2);
        allocation = static_cast<std::uint32_t>(ReadBe(c, 7, 2));
    } else {
        data[0] = static_cast<std::uint8_t>(data.size() - 1);
        data[3] = static_cast<std::uint8_t>(descriptor.size());
        allocation = c[4];
    }
    return Answer(request, reply, data.data(),
                  std::min(allocation, static_cast<std::uint32_t>(data.size())));
}

bool BridgeChip::Medium(const ScsiRequest& request, ScsiReply& reply) {
    if (s_.loader) return NotReady(reply);
    const auto& c = request.cdb;
    const bool sixteen = c[0] == kOpRead16 || c[0] == kOpWrite16 || c[0] == kOpSynchronizeCache16;
    if (request.cdbLength < (sixteen ? 16 : 10)) {
        return Refuse(reply, kSenseIllegalRequest, kAscInvalidFieldInCdb);
    }
    const std::uint64_t lba = sixteen ? ReadBe(c, 2, 8) : ReadBe(c, 2, 4);
    const std::uint64_t count = sixteen ? ReadBe(c, 10, 4) : ReadBe(c, 7, 2);
    const std::uint64_t blocks = LogicalBlocks();
    if (lba >= blocks || count > blocks - lba) {
        return Refuse(reply, kSenseIllegalRequest, kAscAddressOutOfRange);
    }
    // The writes went to the disk as they came: there is no cache to flush.
    if (c[0] == kOpSynchronizeCache10 || c[0] == kOpSynchronizeCache16) return true;
    if ((c[1] & 0xE0) != 0) {
        return Refuse(reply, kSenseIllegalRequest, kAscInvalidFieldInCdb);  // protection info
    }
    const bool read = c[0] == kOpRead10 || c[0] == kOpRead16;
    const std::uint64_t bytes = count * s_.blockLength;
    const DiskMedium medium(drive_.dir / kMediumFileName, s_.diskBlocks * 512);
    std::string why;
    if (read) {
        if (bytes > 0 && (request.direction != DataDirection::In || request.data == nullptr)) {
            return Refuse(reply, kSenseIllegalRequest, kAscInvalidFieldInCdb);
        }
        // What the host's buffer takes; the transport reports the rest as not transferred.
        const std::uint32_t n =
            static_cast<std::uint32_t>(std::min<std::uint64_t>(bytes, request.length));
        if (!medium.Read(lba * s_.blockLength, {request.data, n}, &why)) {
            return Refuse(reply, kSenseMediumError, kAscUnrecoveredReadError);
        }
        reply.transferred = n;
        return true;
    }
    if (bytes > 0 && (request.direction != DataDirection::Out || request.data == nullptr ||
                      request.length < bytes)) {
        return Refuse(reply, kSenseIllegalRequest, kAscInvalidFieldInCdb);
    }
    if (!medium.Write(lba * s_.blockLength, {request.data, static_cast<std::size_t>(bytes)},
                      &why)) {
        return Refuse(reply, kSenseMediumError, kAscWriteError);
    }
    reply.transferred = static_cast<std::uint32_t>(bytes);
    return true;
}

bool BridgeChip::Vendor(const ScsiRequest& request, ScsiReply& reply, bool headerMatched,
                        bool headerArmed) {
    const std::uint8_t function = request.cdb[2];
    const bool known = std::find(std::begin(kVendorFunctions), std::end(kVendorFunctions),
                                 function) != std::end(kVendorFunctions);
    if (!known || VendorOpcode(function) != request.cdb[0]) {
        return Refuse(reply, kSenseIllegalRequest, kAscInvalidFieldInCdb);
    }
    if (NeedsHeader(function)) {
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
            bool signature = std::equal(kHeaderSignature.begin(), kHeaderSignature.end(),
                                        c.begin() + kHeaderSignatureByte);
            if (!signature || !NeedsHeader(c[kHeaderTargetByte])) {
                return Refuse(reply, kSenseIllegalRequest, kAscInvalidFieldInCdb);
            }
            s_.headerArmed = true;
            s_.headerFunction = c[kHeaderTargetByte];
            s_.headerChecksum = static_cast<std::uint16_t>(c[kHeaderChecksumByte] |
                                                           c[kHeaderChecksumByte + 1] << 8);
            return true;
        }
        case kFnBeginFlashUpdate:
            if (request.cdb[3] != kWholeChipErase) {
                return Refuse(reply, kSenseIllegalRequest, kAscInvalidFieldInCdb);
            }
            // A whole-chip erase; the status reads report it busy for a while.
            std::fill(flash.begin(), flash.end(), 0xFF);
            drive_.flashChanged = true;
            s_.flashUpdateBegun = true;
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
                if (s_.faults.refuseReadBeforeErase && !s_.flashUpdateBegun) {
                    return Refuse(reply, kSenseIllegalRequest, kAscInvalidFieldInCdb);
                }
                std::vector<std::uint8_t> bytes(
                    flash.begin() + static_cast<std::ptrdiff_t>(address),
                    flash.begin() + static_cast<std::ptrdiff_t>(address + length));
                const auto& corrupt = s_.faults.corruptReadAddress;
                if (corrupt && *corrupt >= address && *corrupt < address + length) {
                    bytes[static_cast<std::size_t>(*corrupt - address)] ^= 0xFF;
                }
                DriveFaults& f = s_.faults;
                const auto& unsteady = f.unsteadyReadAddress;
                if (unsteady && *unsteady >= address && *unsteady < address + length &&
                    ++f.unsteadyReadsSeen % 2 == 1 &&
                    (f.unsteadyReadTimes == 0 || f.unsteadyReadsSeen < 2 * f.unsteadyReadTimes)) {
                    bytes[static_cast<std::size_t>(*unsteady - address)] ^= 0xFF;
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
            drive_.FlashWritten(static_cast<std::uint32_t>(address), length);
            programmed_ = length;
            reply.transferred = length;
            return true;
        }
        case kFnSetFlashParameters: {
            if (request.direction != DataDirection::Out || request.length < kFlashParametersSize ||
                request.data == nullptr) {
                return Refuse(reply, kSenseIllegalRequest, kAscParameterListLength);
            }
            std::array<std::uint8_t, kFlashParametersSize> parameters{};
            std::memcpy(parameters.data(), request.data, kFlashParametersSize);
            s_.flashParameters = parameters;
            reply.transferred = kFlashParametersSize;
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
                (s_.loader ? kStatusLoader : 0) |
                (StoredBlockLength(s_.generation, flash) != s_.blockLength
                     ? kStatusSectorModePending
                     : 0) |
                (s_.updateModeSelected ? kStatusUpdateModeSelected : 0) |
                (FlashCommandsAllowed() ? kStatusReady : 0) | (busy ? kStatusBusy : 0));
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
            if (request.cdb[3] != kChipNameSelector) {
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
            if (request.cdb[kSectorModeByte] > 1) {
                return Refuse(reply, kSenseIllegalRequest, kAscInvalidFieldInCdb);
            }
            // Kept in the parameter area of the flash; read when the bridge next starts.
            StoreBlockLength(s_.generation, flash, request.cdb[kSectorModeByte] == 1 ? 4096 : 512);
            drive_.FlashWritten(EmulatedBlockAddress(s_.generation) + kSectorSettingByte, 1);
            programmed_ = 1;
            return true;
        default:
            return Refuse(reply, kSenseIllegalRequest, kAscInvalidFieldInCdb);
    }
}

}  // namespace mox3
