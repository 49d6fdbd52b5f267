#include "bridge/programming.h"

#include <algorithm>
#include <cstring>

#include "base/finding.h"
#include "base/text.h"
#include "bridge/config_build.h"
#include "bridge/vendor_commands.h"
#include "config/profile_reader.h"

namespace mox3 {

namespace {

constexpr std::uint32_t kPollWaitMs = 500;

bool ValidIndex(const CBridgeMgr& mgr, int index) {
    return index >= 0 && static_cast<std::uint32_t>(index) < mgr.deviceCount;
}

DeviceRecord& Record(CBridgeMgr& mgr, int index) {
    return mgr.deviceTable[static_cast<std::size_t>(index)];
}

// Tells the manager's watcher how a wait stands; false when the operation is to stop here.
bool Waited(CBridgeMgr& mgr, CBridgeMgr::WaitFor what, std::uint32_t pass, std::uint32_t waitedMs,
            std::uint32_t boundMs) {
    if (mgr.stopped) return false;
    if (mgr.onWait && !mgr.onWait({what, pass, waitedMs, boundMs})) mgr.stopped = true;
    return !mgr.stopped;
}

// Waits until the bridge's status says it is no longer busy.
bool WaitUntilReady(CBridgeMgr& mgr, CNtDevCtrl& disk, std::uint32_t pass) {
    const std::uint32_t bound = mgr.pollLimit * kPollWaitMs;
    for (std::uint32_t look = 0; look < mgr.pollLimit; ++look) {
        if (!Waited(mgr, CBridgeMgr::WaitFor::kErasing, pass, look * kPollWaitMs, bound)) {
            return false;
        }
        mgr.clock->SleepMs(kPollWaitMs);
        if (ReadBridgeStatus(mgr.scratchBuffer.data(), disk) &&
            (mgr.scratchBuffer[0] & kStatusBusy) == 0) {
            return true;
        }
    }
    mgr.waitProblem = Tell(Finding::kStayedBusy, {std::to_string(bound / 1000), std::to_string(pass)});
    return false;
}

bool AllErased(const std::uint8_t* page) {
    return std::all_of(page, page + kFlashPageSize, [](std::uint8_t b) { return b == 0xFF; });
}

// Writes a region page by page; with `skipErased`, pages that hold nothing but 0xFF are left
// as the whole-chip erase left them.
bool WritePages(CBridgeMgr& mgr, CNtDevCtrl& disk, const FlashRegion& region, bool skipErased) {
    const std::uint8_t* source = region.bytes.data();
    for (std::uint32_t at = 0; at < region.bytes.size(); at += kFlashPageSize) {
        if (skipErased && AllErased(source + at)) continue;
        if (!WriteFlash(mgr, disk, region.address + at, kFlashPageSize, source + at)) return false;
    }
    return true;
}

// Reads every page of a region back and compares it.
bool VerifyPages(CBridgeMgr& mgr, CNtDevCtrl& disk, const FlashRegion& region) {
    const std::uint8_t* source = region.bytes.data();
    for (std::uint32_t at = 0; at < region.bytes.size(); at += kFlashPageSize) {
        if (!ReadFlash(disk, mgr.scratchBuffer.data(), mgr, region.address + at) ||
            !std::equal(source + at, source + at + kFlashPageSize, mgr.scratchBuffer.begin())) {
            return false;
        }
    }
    return true;
}

// One pass: flash parameters, begin, wait, write every region, verify every region, restart.
bool ProgrammingPass(CBridgeMgr& mgr, CNtDevCtrl& disk, std::uint32_t pass,
                     std::span<const FlashRegion> regions, bool skipErased) {
    if (mgr.flashParameters[0] != 0) {
        std::copy(mgr.flashParameters.begin(), mgr.flashParameters.end(),
                  mgr.scratchBuffer.begin());
        if (!SetFlashParameters(disk, mgr.scratchBuffer.data())) return false;
    }
    if (!BeginFlashUpdate(mgr, disk)) return false;
    if (!WaitUntilReady(mgr, disk, pass)) return false;
    for (const FlashRegion& region : regions) {
        if (!WritePages(mgr, disk, region, skipErased)) return false;
    }
    for (const FlashRegion& region : regions) {
        if (!VerifyPages(mgr, disk, region)) return false;
    }
    if (mgr.restartAfterProgramming != 0) RestartBridge(mgr, disk);  // its result does not matter
    return true;
}

}  // namespace

int PrepareDevice(CBridgeMgr& mgr, int index) {
    if (!ValidIndex(mgr, index)) return 0;
    DeviceRecord& record = Record(mgr, index);
    record.prepareState = 0;
    if (record.normalMode == 0) {  // already in the loader
        record.prepareState = 1;
        return 1;
    }
    CSpti disk;
    if (!OpenListedPath(mgr.devices, disk, record)) return 0;
    if (!ReadBridgeStatus(disk, mgr.scratchBuffer.data(), kStatusBlockSize)) return 0;
    if (mgr.scratchBuffer[0] & kStatusReady) return 1;

    record.modeSwitched = 0;
    record.prepareState = 1;
    if (SelectUpdateMode(disk)) {
        if (RestartBridge(disk)) {
            record.modeSwitched = 1;
        } else {
            record.prepareState = 0;
        }
    }
    // A refused switch is not reported here: programming finds out.
    if (record.modeSwitched == 0) return 1;

    // Only the loader at the port of the drive just switched is that drive: another drive's
    // loader, attached meanwhile and listed first, is not.
    const std::u16string port = record.usbPort;
    const std::u16string bound = mgr.boundPort;
    if (mgr.boundPort.empty()) mgr.boundPort = port;
    int ready = 0;
    const CBridgeMgr::WaitFor what = CBridgeMgr::WaitFor::kLoaderReturn;
    const std::uint32_t restartMs = mgr.restartWaitSeconds * 1000;
    const std::uint32_t boundMs = restartMs + mgr.pollLimit * kPollWaitMs;
    if (Waited(mgr, what, 0, 0, boundMs)) mgr.clock->SleepMs(restartMs);
    for (std::uint32_t look = 0; look < mgr.pollLimit && ready == 0 && !mgr.stopped; ++look) {
        if (mgr.EnumerateDevices(index) > 0 && Record(mgr, index).normalMode == 0 &&
            Record(mgr, index).usbPort == port) {
            ready = 1;
        } else if (Waited(mgr, what, 0, restartMs + look * kPollWaitMs, boundMs)) {
            mgr.clock->SleepMs(kPollWaitMs);
        }
    }
    mgr.boundPort = bound;
    return ready;
}

int ProgramDevice(const std::u16string& firmwarePath, CBridgeMgr& mgr, int index, int chipKind,
                  const std::u16string& configPath, const std::u16string& serial) {
    if (!ValidIndex(mgr, index)) return 0;
    mgr.firmwarePath.assign(CutToCapacity(firmwarePath, kLongTextUnits));
    return ProgramDevice(FirmwareImage::Read(PathFromText(mgr.firmwarePath)), mgr, index,
                         chipKind, configPath, serial);
}

int ProgramDevice(const FirmwareImage& image, CBridgeMgr& mgr, int index, int chipKind,
                  const std::u16string& configPath, const std::u16string& serial) {
    if (!ValidIndex(mgr, index)) return 0;
    ConfigBuildResult built = BuildConfigBlock(
        mgr, image, configPath, chipKind, std::u16string(CutToCapacity(serial, kShortTextUnits)));
    if (!built.ok) return 0;

    const FlashRegion regions[] = {
        {mgr.configBlockAddress, std::span(mgr.imageBuffer.data(), kConfigBlockSize)},
        {mgr.firmwareAddress, std::span(mgr.imageBuffer.data() + kImageOffset, mgr.firmwareLength)},
    };
    return ProgramRegions(mgr, index, regions, false);
}

int ProgramRegions(CBridgeMgr& mgr, int index, std::span<const FlashRegion> regions,
                   bool skipErased) {
    if (!ValidIndex(mgr, index)) return 0;
    for (const FlashRegion& region : regions) {
        if (region.bytes.size() % kFlashPageSize != 0) return 0;
    }
    DeviceRecord& record = Record(mgr, index);
    CNtDevCtrl disk;
    const bool opened = OpenListedPath(mgr.devices, disk, record);
    record.prepareState = 0;
    if (!opened) return 0;
    mgr.waitProblem.reset();
    for (std::uint32_t pass = 0; pass < mgr.attemptLimit && record.prepareState == 0 && !mgr.stopped;
         ++pass) {
        if (ProgrammingPass(mgr, disk, pass + 1, regions, skipErased)) record.prepareState = 1;
    }
    return record.prepareState;
}

std::int64_t ReadSectorSize(CBridgeMgr& mgr, int index, std::uint32_t* blockLength) {
    if (blockLength) *blockLength = 0;
    if (!ValidIndex(mgr, index)) return -1;
    CSpti disk;
    if (!OpenListedPath(mgr.devices, disk, Record(mgr, index))) return -1;
    std::uint32_t length = 0;
    std::int64_t blocks = ReadCapacity(disk, length);
    if (blocks < 0) return -1;
    if (blockLength) *blockLength = length;
    return blocks;
}

int WriteSectorSize(CBridgeMgr& mgr, int index, std::uint32_t blockLength) {
    if (!ValidIndex(mgr, index) || (blockLength != 512 && blockLength != 4096)) return 0;
    CSpti disk;
    if (!OpenListedPath(mgr.devices, disk, Record(mgr, index))) return 0;
    return SetSectorMode(disk, blockLength == 4096 ? 1 : 0) ? 1 : 0;
}

int RestartDevice(CBridgeMgr& mgr, int index) {
    if (!ValidIndex(mgr, index)) return 0;
    CSpti disk;
    if (!OpenListedPath(mgr.devices, disk, Record(mgr, index))) return 0;
    return RestartBridge(disk) ? 1 : 0;
}

}  // namespace mox3
