// The read-only run: one sequence of steps, each refusal beside the step it guards.
#include "app/run/flash_read_run.h"

#include <algorithm>
#include <chrono>
#include <memory>

#include "base/text.h"
#include "bridge/programming.h"
#include "discovery/bridge_manager.h"
#include "discovery/drive_models.h"

namespace mox3 {

namespace {

// The record at the drive's port, of its generation (or of an older version that kept none).
const UpdateMarker* RecordAtPort(const std::vector<UpdateMarker>& records,
                                 const DeviceRecord& drive, int kind) {
    for (const UpdateMarker& r : records) {
        if (!r.serial.empty() && !r.port.empty() && r.port == drive.usbPort &&
            (r.generation == 0 || r.generation == kind)) {
            return &r;
        }
    }
    return nullptr;
}

}  // namespace

FlashReadEnd RunFlashRead(UpdateView& view, HostServices& host, FlashReadJob& job) {
    FlashReadEnd end;
    auto finish = [&](FlashReadEnd::State state, std::string code = {},
                      std::optional<Told> why = std::nullopt) {
        view.DriveAtRisk(false);
        end.state = state;
        end.stop = {std::move(code), std::move(why)};
        return end;
    };
    std::shared_ptr<Clock> clock = host.clock();
    auto mgr = std::make_unique<CBridgeMgr>(host.devices(), clock);
    const std::optional<std::u16string> named = host.DriveChoice();
    const int count = mgr->EnumerateDevices(ALL_DEVICES);
    const ChosenDrive choice = ChooseDrive(*mgr, count, named);
    end.matches = choice.matches;
    if (choice.matches >= 2) return finish(FlashReadEnd::State::kRefused, "several-drives");
    if (choice.matches == 0) {
        return finish(FlashReadEnd::State::kRefused, "no-drive",
                      named ? std::optional(Tell(Finding::kNoDriveNamed, {EscapedForDisplay(*named)}))
                            : std::nullopt);
    }
    // From here on the manager sees that drive alone, as its first record.
    const DeviceRecord drive = mgr->deviceTable[static_cast<std::size_t>(choice.index)];
    mgr->deviceTable[0] = drive;
    mgr->deviceCount = 1;
    mgr->boundPort = drive.usbPort;
    const int index = 0;
    FlashReadDrive& found = end.drive;
    found.path = drive.interfacePath[0];
    found.paths = {drive.interfacePath.begin(), drive.interfacePath.begin() + drive.pathCount};
    found.port = drive.usbPort;
    found.inLoader = IsBareBridgeIdentity(drive.vendorId, drive.productId);
    const int kind = mgr->IdentifyChip(index);
    if (kind != kChipFirstGeneration && kind != kChipSecondGeneration) {
        return finish(FlashReadEnd::State::kRefused, "no-answer", Tell(Finding::kNoChipName));
    }
    found.generation = kind;

    const std::vector<UpdateMarker> records = host.ReadMarkers();
    UpdateMarker record;
    if (found.inLoader) {
        // Only a read of this program's own, broken off, left a drive waiting here with a
        // flash that is whole; after any other run the flash may be half written.
        const UpdateMarker* own = RecordAtPort(records, drive, kind);
        if (!own) {
            std::string all;
            for (const UpdateMarker& r : records) {
                if (!all.empty()) all += "; ";
                all += DescribeRecord(r);
            }
            return finish(FlashReadEnd::State::kRefused, "loader-without-record",
                          records.empty() ? std::nullopt
                                          : std::optional(Tell(Finding::kNoRecordAtPort,
                                                               {EscapedForDisplay(drive.usbPort), all})));
        }
        if (!own->readOnly) {
            return finish(FlashReadEnd::State::kRefused, "unfinished-update",
                          Tell(Finding::kFlashHalfWritten, {EscapedForDisplay(own->serial)}));
        }
        record = *own;
        if (!record.blockLength) {
            std::uint32_t length = 0;
            if (ReadSectorSize(*mgr, index, &length) < 0) {
                return finish(FlashReadEnd::State::kRefused, "no-drive", Tell(Finding::kNoCapacity));
            }
            record.blockLength = length;
        }
    } else {
        record.serial.assign(CutToCapacity(drive.serialNumber, kShortTextUnits));
        if (record.serial.empty()) return finish(FlashReadEnd::State::kRefused, "serial-unreadable");
        if (HasControlCharacters(record.serial)) {
            return finish(FlashReadEnd::State::kRefused, "serial-unreadable",
                          Tell(Finding::kDriveSerialControl, {EscapedForDisplay(record.serial)}));
        }
        std::optional<std::uint32_t> saved;
        for (const UpdateMarker& r : records) {
            if (r.serial.empty()) continue;
            if (r.serial == record.serial && !r.readOnly) {
                return finish(FlashReadEnd::State::kRefused, "unfinished-update",
                              Tell(Finding::kFlashHalfWritten, {EscapedForDisplay(r.serial)}));
            }
            // A read broken off before the drive had its length back: that length is its own.
            if (r.serial == record.serial) saved = r.blockLength;
            // Where one record is kept, this run's would replace another drive's.
            if (r.serial != record.serial && !host.RecordsPerDrive()) {
                return finish(FlashReadEnd::State::kRefused, "other-drive-unfinished",
                              Tell(Finding::kOtherUnfinished, {EscapedForDisplay(r.serial)}));
            }
        }
        std::uint32_t length = 0;
        if (ReadSectorSize(*mgr, index, &length) < 0) {
            return finish(FlashReadEnd::State::kRefused, "no-drive", Tell(Finding::kNoCapacity));
        }
        record.blockLength = saved ? *saved : length;
        record.port = drive.usbPort;
        record.vendorId = drive.vendorId;
        record.productId = drive.productId;
        record.product = drive.product;
        record.generation = kind;
        found.firmwareVersion.assign(CutToCapacity(drive.firmwareVersion, 42));
    }
    found.serial = record.serial;
    found.vendorId = record.vendorId;
    found.productId = record.productId;
    found.product = record.product;

    if (std::optional<FlashReadStop> stop = job.Check(found)) {
        return finish(FlashReadEnd::State::kRefused, std::move(stop->code), std::move(stop->why));
    }
    // The restart would pull the disks from under whatever the system has on them.
    if (const auto uses = host.DiskUses(found.paths); !uses.empty()) {
        return finish(FlashReadEnd::State::kRefused, "drive-in-use", uses.front());
    }
    if (!job.Confirm(found)) return finish(FlashReadEnd::State::kDeclined);
    if (const auto uses = host.ClaimDisks(found.paths); !uses.empty()) {
        return finish(FlashReadEnd::State::kRefused, "drive-in-use", uses.front());
    }
    const bool hadRecord = std::any_of(records.begin(), records.end(), [&](const UpdateMarker& r) {
        return r.serial == record.serial;
    });
    record.readOnly = true;
    record.writtenAt = UtcNow();
    if (!host.WriteMarker(record)) {
        host.ReleaseDisks();
        return finish(FlashReadEnd::State::kFailed, "record-not-written", Tell(Finding::kRecordNotWritten));
    }

    view.DriveAtRisk(true);
    WatchWaits(*mgr, view);
    const auto stopped = [&] {
        return finish(FlashReadEnd::State::kStopped, "stopped-waiting", Tell(Finding::kReadStopped));
    };
    const bool prepared = PrepareDevice(*mgr, index) != 0;
    host.ReleaseDisks();
    if (prepared && mgr->deviceTable[index].normalMode != 0) {
        // The bridge stayed in its normal firmware: nothing to bring back.
        if (!hadRecord) host.RemoveMarker(record.serial);
        return finish(FlashReadEnd::State::kFailed, "switch-refused", Tell(Finding::kSwitchRefused));
    }
    if (!prepared) {
        if (mgr->stopped) return stopped();
        return finish(FlashReadEnd::State::kFailed, "loader-not-back",
                      Tell(Finding::kLoaderNotBack, {EscapedForDisplay(drive.usbPort)}));
    }
    const std::optional<Told> readWhy = job.Read(*mgr, index, record);
    // Asked to stop while the flash was read: the drive waits in its loader, and the next run
    // brings it back.
    if (view.StopWanted()) return stopped();

    // Nothing was written: a restart brings the drive back with the flash it had.
    RestartDevice(*mgr, index);
    const int back = AwaitReturn(*mgr, record.serial, *clock);
    if (back < 0) return finish(FlashReadEnd::State::kFailed, "not-back", Tell(Finding::kNotBack));
    if (!RestoreBlockLength(*mgr, back, *record.blockLength, record.serial, *clock)) {
        return finish(FlashReadEnd::State::kFailed, "length-not-restored",
                      Tell(Finding::kLengthBytesNotRestored, {std::to_string(*record.blockLength)}));
    }
    host.RemoveMarker(record.serial);
    if (readWhy) return finish(FlashReadEnd::State::kFailed, "read-failed", readWhy);
    return finish(FlashReadEnd::State::kRead);
}

}  // namespace mox3
