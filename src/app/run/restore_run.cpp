// The restore run: a backup of the flash written back through the update loader, by the same
// programming passes as an update, with the same record so that a broken-off restore can be
// finished by running it again.
#include "app/run/restore_run.h"

#include <algorithm>
#include <chrono>
#include <memory>

#include "base/sha256.h"
#include "base/text.h"
#include "bridge/programming.h"
#include "config/block_layout.h"
#include "discovery/bridge_manager.h"
#include "discovery/drive_models.h"
#include "resources/resources.h"

namespace mox3 {

namespace {

constexpr std::uint32_t kRetryWaitMs = 1000;
constexpr int kProgrammingTries = 3;

bool InLoader(const DeviceRecord& r) {
    return IsBareBridgeIdentity(r.vendorId, r.productId);
}

std::vector<std::u16string> PathsOf(const DeviceRecord& r) {
    return {r.interfacePath.begin(), r.interfacePath.begin() + r.pathCount};
}

// A message of the run with the restore's own words.
void Say(UpdateView& view, HostServices& host, int captionId, int textId, const std::u16string& words) {
    view.Message({captionId, textId, host.LoadText(captionId), words});
}

int Fail(UpdateView& view, HostServices& host, const RestoreTexts& texts, int id,
         std::optional<Told> why = std::nullopt) {
    view.DriveAtRisk(false);
    if (why) view.Cause(*why);
    Say(view, host, kMsgError, id, texts.failed);
    return id;
}

// The digest of the shipped configuration file of the model the backup is of: an update that
// meets the drive left by a broken-off restore writes that model's file.
std::string ConfigDigestOf(int resourceId) {
    const EmbeddedResource* resource = FindConfigResource(resourceId);
    if (!resource) return {};
    return DigestText({resource->bytes.begin(), resource->bytes.end()});
}

// The flash parameters a second-generation block carries, unless it holds none (zero or
// erased); the first generation's block carries none.
std::array<std::uint8_t, 8> FlashParametersOf(const BackupFile& backup) {
    std::array<std::uint8_t, 8> parameters{};
    if (backup.generation != 2 || backup.flash.size() < gen2::kFlashInfoField + gen2::kFlashInfoSize) {
        return parameters;
    }
    const auto first = backup.flash.begin() + gen2::kFlashInfoField;
    if (std::all_of(first, first + gen2::kFlashInfoSize, [](std::uint8_t b) { return b == 0xFF; })) {
        return parameters;
    }
    std::copy(first, first + gen2::kFlashInfoSize, parameters.begin());
    return parameters;
}

}  // namespace

std::optional<RestoreRefusal> InspectRestore(HostServices& host,
                                             const std::optional<std::u16string>& named,
                                             bool otherDrive, RestorePlan& plan) {
    auto mgr = std::make_unique<CBridgeMgr>(host.devices(), host.clock());
    const int count = mgr->EnumerateDevices(ALL_DEVICES);
    const ChosenDrive choice = ChooseDrive(*mgr, std::max(count, 0), named);
    if (choice.matches == 0) {
        if (named) return RestoreRefusal{"no-drive", Tell(Finding::kNoDriveNamed, {EscapedForDisplay(*named)})};
        return RestoreRefusal{"no-drive", std::nullopt};
    }
    if (choice.matches >= 2) return RestoreRefusal{"several-drives", std::nullopt, choice.matches};
    const DeviceRecord& drive = mgr->deviceTable[static_cast<std::size_t>(choice.index)];
    plan.drivePath = drive.interfacePath[0];
    plan.inLoader = InLoader(drive);
    plan.firmwareVersion = plan.inLoader ? u"" : drive.firmwareVersion;
    const int kind = mgr->IdentifyChip(choice.index);
    if (kind != kChipFirstGeneration && kind != kChipSecondGeneration) {
        return RestoreRefusal{"no-answer", Tell(Finding::kNoChipName)};
    }
    plan.bound = {drive.usbPort, std::u16string(CutToCapacity(drive.serialNumber, kShortTextUnits)),
                  drive.vendorId, drive.productId, drive.product, kind, named.has_value()};
    const std::vector<UpdateMarker> records = host.ReadMarkers();
    plan.record.reset();
    if (plan.inLoader) {
        // Only the record of this very restore, made at this port, says which drive this is.
        for (const UpdateMarker& r : records) {
            if (!r.serial.empty() && r.port == drive.usbPort && r.generation == kind &&
                r.restoreFrom == plan.backupPath) {
                plan.record = r;
            }
        }
        if (!plan.record) {
            return RestoreRefusal{"loader-without-record",
                                  Tell(Finding::kNoRestoreRecord, {Utf16ToUtf8(plan.backupPath),
                                                                   EscapedForDisplay(drive.usbPort)})};
        }
        plan.serial = plan.record->serial;
    } else {
        plan.serial = plan.bound.serial;
        for (const UpdateMarker& r : records) {
            if (!r.serial.empty() && r.serial == plan.serial) plan.record = r;
        }
        if (!host.RecordsPerDrive()) {
            for (const UpdateMarker& r : records) {
                if (r.serial.empty() || r.serial == plan.serial) continue;
                return RestoreRefusal{"other-drive-unfinished",
                                      Tell(Finding::kOtherUnfinished, {EscapedForDisplay(r.serial)})};
            }
        }
    }
    if (kind != plan.backup.generation) {
        return RestoreRefusal{"generation-mismatch",
                              Tell(Finding::kBackupOtherGeneration,
                                   {Utf16ToUtf8(plan.backupPath), std::to_string(plan.backup.generation),
                                    std::to_string(kind)})};
    }
    if (plan.backup.serial != plan.serial && !otherDrive) {
        return RestoreRefusal{"serial-mismatch",
                              Tell(Finding::kBackupOtherSerial,
                                   {Utf16ToUtf8(plan.backupPath), EscapedForDisplay(plan.backup.serial),
                                    EscapedForDisplay(plan.serial)})};
    }
    return std::nullopt;
}

int RestoreWorker(UpdateView& view, HostServices& host, const RestorePlan& plan,
                  const RestoreTexts& texts, std::vector<Told>& notes) {
    std::shared_ptr<Clock> clock = host.clock();
    auto mgr = std::make_unique<CBridgeMgr>(host.devices(), clock);
    view.InitProgress();

    // The drive inspected, found again at its port and as it was.
    const int count = mgr->EnumerateDevices(ALL_DEVICES);
    const BoundDrive& bound = plan.bound;
    int at = -1;
    for (int i = 0; i < count; ++i) {
        if (mgr->deviceTable[static_cast<std::size_t>(i)].usbPort == bound.port) at = i;
    }
    if (at < 0) return Fail(view, host, texts, kMsgNotConnected, Tell(Finding::kDriveGoneAt, {EscapedForDisplay(bound.port)}));
    const DeviceRecord drive = mgr->deviceTable[static_cast<std::size_t>(at)];
    if (CutToCapacity(drive.serialNumber, kShortTextUnits) != bound.serial ||
        drive.vendorId != bound.vendorId || drive.productId != bound.productId) {
        return Fail(view, host, texts, kMsgDriveChanged,
                    Tell(Finding::kAnotherDrive, {EscapedForDisplay(drive.serialNumber),
                                                  EscapedForDisplay(bound.serial)}));
    }
    // From here on the manager sees that port alone, and the drive is its first record.
    mgr->deviceTable[0] = drive;
    mgr->deviceCount = 1;
    mgr->boundPort = bound.port;
    const int index = 0;
    const int kind = mgr->IdentifyChip(index);
    if (kind != plan.backup.generation) {
        return Fail(view, host, texts, kMsgDriveChanged,
                    Tell(Finding::kGenerationChanged,
                         {std::to_string(kind), std::to_string(plan.backup.generation)}));
    }

    // The block length the drive had before (before a broken-off run, where its record kept
    // it): the data on its disk depends on it.
    std::uint32_t length = 0;
    if (ReadSectorSize(*mgr, index, &length) < 0) {
        return Fail(view, host, texts, kMsgNotConnected, Tell(Finding::kNoCapacity));
    }
    const std::uint32_t savedLength =
        plan.record && plan.record->blockLength ? *plan.record->blockLength : length;
    // The drive comes back as the backup's drive, with the backup's serial number.
    const std::u16string returning(CutToCapacity(plan.backup.serial, kShortTextUnits));

    UpdateMarker record;
    if (plan.inLoader) {
        record = *plan.record;
    } else {
        record.serial = plan.serial;
        record.port = drive.usbPort;
        record.vendorId = drive.vendorId;
        record.productId = drive.productId;
        record.product = drive.product;
    }
    record.blockLength = savedLength;
    record.generation = kind;
    record.resourceId = ConfigResourceFor(plan.backup.productId, plan.backup.product);
    record.configDigest = ConfigDigestOf(record.resourceId);
    record.writtenAt = UtcNow();
    record.restoreFrom = plan.backupPath;

    const std::vector<std::u16string> paths = PathsOf(drive);
    if (const auto uses = host.DiskUses(paths); !uses.empty()) {
        return Fail(view, host, texts, kMsgDriveInUse, uses.front());
    }
    if (const auto uses = host.ClaimDisks(paths); !uses.empty()) {
        return Fail(view, host, texts, kMsgDriveInUse, uses.front());
    }
    // The record first: without it a broken-off restore could not be finished.
    if (!host.WriteMarker(record)) {
        host.ReleaseDisks();
        return Fail(view, host, texts, kMsgFailed, Tell(Finding::kRecordNotWritten));
    }

    view.SetProgress(10);
    view.DriveAtRisk(true);
    WatchWaits(*mgr, view);
    // Stopped by the user while the drive waited in its loader: the record stays.
    const auto stopped = [&] {
        return Fail(view, host, texts, kMsgStoppedWaiting, Tell(Finding::kRestoreStopped));
    };
    const bool prepared = PrepareDevice(*mgr, index) != 0;
    host.ReleaseDisks();
    const DeviceRecord& now = mgr->deviceTable[index];
    if (prepared && !plan.inLoader && now.normalMode == 1 && now.prepareState == 1 &&
        now.modeSwitched == 0) {
        // The bridge refused the switch: nothing was written.
        if (!plan.record) host.RemoveMarker(record.serial);
        return Fail(view, host, texts, kMsgFailed, Tell(Finding::kSwitchRefused));
    }
    if (!prepared) {
        if (mgr->stopped) return stopped();
        return Fail(view, host, texts, kMsgFailed,
                    Tell(Finding::kLoaderNotBack, {EscapedForDisplay(bound.port)}));
    }
    // The flash as it is now, before it is erased: nothing is lost. A drive left in its loader
    // by this restore was backed up by the run that switched it.
    if (!plan.inLoader || record.backup.empty()) {
        Told why;
        switch (BackUpBeforeWriting(view, host, *mgr, index, record, plan.firmwareVersion, &why)) {
            case BackupStep::kGoOn:
                break;
            case BackupStep::kDeclined:
                return Fail(view, host, texts, kMsgStoppedWaiting, Tell(Finding::kNoBackup, {}, {why}));
            case BackupStep::kStopWanted:
                return stopped();
        }
    }
    view.SetProgress(20);

    mgr->flashParameters = FlashParametersOf(plan.backup);
    const FlashRegion whole[] = {{0, plan.backup.flash}};
    bool programmed = false;
    for (int attempt = 0; attempt < kProgrammingTries && !programmed && !mgr->stopped; ++attempt) {
        programmed = ProgramRegions(*mgr, index, whole, true) != 0;
        if (!programmed && !mgr->stopped) {
            view.Waiting(CBridgeMgr::WaitFor::kNextTry, 0, 0, kRetryWaitMs / 1000);
            clock->SleepMs(kRetryWaitMs);
            if (view.StopWanted()) mgr->stopped = true;
        }
    }
    if (!programmed && mgr->stopped) return stopped();
    if (!programmed) {
        return Fail(view, host, texts, kMsgFailed,
                    mgr->waitProblem ? *mgr->waitProblem : Tell(Finding::kFlashFailed));
    }
    view.SetProgress(75);

    const int found = AwaitReturn(*mgr, returning, *clock, [&view](int look) { view.SetProgress(80 + look); });
    if (found < 0) return Fail(view, host, texts, kMsgFailed, Tell(Finding::kNotBack));
    // The length the drive had, not the backup's: the disk's data is written in it.
    if (plan.backup.blockLength && *plan.backup.blockLength != savedLength) {
        notes.push_back(Tell(Finding::kBackupOtherLength,
                             {std::to_string(*plan.backup.blockLength), std::to_string(savedLength)}));
    }
    if (!RestoreBlockLength(*mgr, found, savedLength, returning, *clock)) {
        return Fail(view, host, texts, kMsgFailed,
                    Tell(Finding::kLengthBytesNotRestored, {std::to_string(savedLength)}));
    }
    host.RemoveMarker(record.serial);
    view.DriveAtRisk(false);
    view.SetProgress(100);
    return 0;
}

}  // namespace mox3
