// The update run: the start-up inspection and the worker, in the order the dialog shows them.
// Size: one sequence of steps, each refusal beside the step it guards; read top to bottom.
#include "app/run/update_run.h"

#include <algorithm>
#include <cstdio>
#include <chrono>

#include "base/text.h"
#include "bridge/programming.h"
#include "bridge/vendor_commands.h"
#include "base/sha256.h"
#include "config/compile_input.h"
#include "config/profile_reader.h"
#include "discovery/bridge_manager.h"
#include "discovery/census.h"
#include "resources/resources.h"

namespace mox3 {

namespace {

constexpr std::uint32_t kRetryWaitMs = 1000;
constexpr std::uint32_t kReturnWaitMs = 5000;
constexpr int kProgrammingTries = 3;
constexpr int kReturnLooks = 10;

bool MakerIdentity(const DeviceRecord& r) {
    return r.vendorId == kMakerVendorId && IsUpdatableProductId(r.productId);
}

bool BareBridgeIdentity(const DeviceRecord& r) {
    return IsBareBridgeIdentity(r.vendorId, r.productId);
}

// The update switch: "/" or "-" and then exactly "UPDATE" in any case.
bool UpdateSwitch(const std::u16string& arguments) {
    if (arguments.size() != 7 || (arguments[0] != u'/' && arguments[0] != u'-')) return false;
    const std::u16string_view word = u"UPDATE";
    for (std::size_t i = 0; i < word.size(); ++i) {
        char16_t c = arguments[i + 1];
        if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - 32);
        if (c != word[i]) return false;
    }
    return true;
}

// The value of a text read as hexadecimal digits up to the first that is none.
unsigned HexPrefix(std::u16string_view text) {
    unsigned value = 0;
    for (char16_t c : text) {
        int digit = c >= u'0' && c <= u'9'   ? c - u'0'
                    : c >= u'a' && c <= u'f' ? c - u'a' + 10
                    : c >= u'A' && c <= u'F' ? c - u'A' + 10
                                             : -1;
        if (digit < 0) break;
        value = value * 16 + static_cast<unsigned>(digit);
    }
    return value;
}

// Shows a message box of the run: caption and text by their ids, the text's own words when
// given (a text with an argument filled in, or one the table does not hold).
void Show(UpdateView& view, HostServices& host, int captionId, int textId,
          std::optional<std::u16string> words = std::nullopt) {
    RunMessage message;
    message.captionId = captionId;
    message.textId = textId;
    message.caption = captionId != 0 ? host.LoadText(captionId) : u"";
    message.text = words ? std::move(*words) : host.LoadText(textId);
    view.Message(message);
}

// The failure exit of a run.
int AbortRun(UpdateView& view, HostServices& host, int id) {
    view.DriveAtRisk(false);
    view.StopBlinkTimer();
    view.ShowStatusText();
    view.SetStatusText(u"");
    Show(view, host, kMsgError, id);
    view.SetProgress(0);
    view.EnableButtons(true);
    return id;
}

}  // namespace

void ShortVersionText(const std::u16string& full, std::u16string& shortText) {
    if (full.size() < 9 || shortText.size() < 4) return;  // no version: the text stays as it is
    shortText[0] = full[2];
    shortText[2] = full[7];
    shortText[3] = full[8];
}

std::uint16_t VersionNumber(const std::u16string& shortText) {
    unsigned a = HexPrefix(shortText);
    unsigned b = shortText.size() > 2 ? HexPrefix(std::u16string_view(shortText).substr(2)) : 0;
    return static_cast<std::uint16_t>((a << 8) | (b & 0xFF));
}

namespace {



std::vector<std::u16string> PathsOf(const DeviceRecord& r) {
    return {r.interfacePath.begin(), r.interfacePath.begin() + r.pathCount};
}

// A text with its "%1" replaced by `argument`; a text without the mark gets it on a line of
// its own.
std::u16string WithArgument(std::u16string text, const std::u16string& argument) {
    const std::size_t at = text.find(u"%1");
    if (at != std::u16string::npos) return text.replace(at, 2, argument);
    return text + u"\n" + argument;
}

// The record a drive in its loader is finished with: the one made at its port for its
// generation. Nothing when none is; `ask` then names the one record there is, when there is
// exactly one that may be it (made elsewhere, or by an older version that kept no port).
std::optional<UpdateMarker> RecordFor(const DeviceRecord& drive, int kind,
                                      const std::vector<UpdateMarker>& records,
                                      std::optional<UpdateMarker>* ask) {
    std::vector<const UpdateMarker*> here;
    for (const UpdateMarker& r : records) {
        if (!r.serial.empty() && !r.port.empty() && r.port == drive.usbPort && r.generation == kind)
            here.push_back(&r);
    }
    if (here.size() == 1) return *here.front();
    if (here.empty() && records.size() == 1 && !records.front().serial.empty() &&
        (records.front().generation == 0 || records.front().generation == kind)) {
        *ask = records.front();
    }
    return std::nullopt;
}

}  // namespace

bool NamesDrive(const DeviceRecord& r, const std::u16string& name) {
    if (name.empty()) return false;
    if (r.serialNumber == name || r.usbPort == name) return true;
    return std::any_of(r.interfacePath.begin(), r.interfacePath.begin() + r.pathCount,
                       [&](const std::u16string& path) { return path == name; });
}

bool FamilyDrive(const DeviceRecord& r) {
    return (MakerIdentity(r) && IsModelName(r.product)) || BareBridgeIdentity(r);
}

ChosenDrive ChooseDrive(const CBridgeMgr& mgr, int count, const std::optional<std::u16string>& name) {
    ChosenDrive choice;
    for (int i = 0; i < count; ++i) {
        const DeviceRecord& r = mgr.deviceTable[static_cast<std::size_t>(i)];
        if (!FamilyDrive(r) || (name && !NamesDrive(r, *name))) continue;
        ++choice.matches;
        choice.index = i;
    }
    return choice;
}

std::string DescribeRecord(const UpdateMarker& record) {
    std::string text = "serial " + EscapedForDisplay(record.serial);
    if (record.productId != 0) text += ", product id " + Utf16ToUtf8(HexText16(record.productId));
    if (!record.product.empty()) {
        text += ' ';
        text += EscapedForDisplay(record.product);
    }
    if (record.port.empty()) {
        text += ", port not recorded";
    } else {
        text += ", port ";
        text += EscapedForDisplay(record.port);
    }
    if (record.generation != 0) {
        text += ", generation ";
        text += std::to_string(record.generation);
    }
    if (record.blockLength) {
        text += ", ";
        text += std::to_string(*record.blockLength);
        text += "-byte blocks";
    }
    if (record.readOnly) text += ", a read of the flash (nothing written)";
    if (!record.restoreFrom.empty()) text += ", a restore of " + EscapedForDisplay(record.restoreFrom);
    if (record.writtenAt > 0) {
        text += ", written ";
        text += UtcText(record.writtenAt);
    }
    return text;
}

bool InspectAtStartup(UpdateView& view, HostServices& host, Versions& versions) {
    if (!host.OsSupported()) {
        Show(view, host, kMsgError, kMsgOsNotSupported);
        return false;
    }
    // With several drives attached the user may name one (the command line's --device).
    const std::optional<std::u16string> named = host.DriveChoice();
    const int census = CountKnownDrives(host.devices(), &versions.censusDevices);
    switch (census) {
        case kCensusNone:
            Show(view, host, 0, kMsgNotConnected);
            return false;
        case kCensusMany:
            if (named) break;
            Show(view, host, 0, kMsgMultiple);
            return false;
        case kCensusNoUpdate:
            Show(view, host, 0, kMsgNoUpdateNeeded);
            break;
        default:
            break;
    }
    // The manager lives only as long as this scope, whatever path leaves it.
    auto mgr = std::make_unique<CBridgeMgr>(host.devices(), host.clock());
    const int count = mgr->EnumerateDevices(ALL_DEVICES);
    // A drive of a model that needs no update, alone: it has been told, once.
    if (count < 1 && census == kCensusNoUpdate) return false;
    if (count < 1) {
        Show(view, host, 0, kMsgNotConnected);
        return false;
    }
    const ChosenDrive choice = ChooseDrive(*mgr, count, named);
    if (choice.matches >= 2) {
        Show(view, host, 0, kMsgMultiple);
        return false;
    }
    if (choice.matches == 0 && census == kCensusNoUpdate && !named) return false;
    if (choice.matches == 0) {
        if (named) view.Cause(Tell(Finding::kNoDriveNamed, {EscapedForDisplay(*named)}));
        Show(view, host, 0, kMsgNotConnected);
        return false;
    }
    const int chosen = choice.index;
    const DeviceRecord& drive = mgr->deviceTable[static_cast<std::size_t>(chosen)];
    versions.drivePath = drive.interfacePath[0];
    versions.drivePaths = PathsOf(drive);
    versions.inLoader = BareBridgeIdentity(drive);
    versions.serial = drive.serialNumber;
    const int kind = mgr->IdentifyChip(chosen);
    if (kind != kChipFirstGeneration && kind != kChipSecondGeneration) {
        Show(view, host, kMsgError, kMsgNoAnswer);
        return false;
    }
    // The run is bound to this drive: its port, its serial number and who it says it is.
    versions.bound = {drive.usbPort, std::u16string(CutToCapacity(drive.serialNumber, kShortTextUnits)),
                      drive.vendorId, drive.productId, drive.product, kind, named.has_value()};

    const std::vector<UpdateMarker> records = host.ReadMarkers();
    if (BareBridgeIdentity(drive)) {
        // A drive in its loader is finished only with the record made at its port for its
        // generation; another record only when the user says so, and a serial number the
        // user gives is asked about by the front end.
        std::optional<UpdateMarker> ask;
        versions.record = RecordFor(drive, kind, records, &ask);
        if (!versions.record && ask && !host.RecoveryRequest()) {
            const std::u16string question =
                WithArgument(host.LoadText(kMsgRecordQuestion), Utf8ToUtf16(DescribeRecord(*ask)));
            if (!view.Confirm(question)) {
                view.Cause(Tell(Finding::kRecordOtherPort,
                                {EscapedForDisplay(ask->serial), EscapedForDisplay(drive.usbPort)}));
                Show(view, host, kMsgError, kMsgLoaderWithoutRecord);
                return false;
            }
            versions.record = ask;
        }
        if (!versions.record && !host.RecoveryRequest()) {
            if (!records.empty()) {
                std::string all;
                for (const UpdateMarker& r : records) {
                    if (!all.empty()) all += "; ";
                    all += DescribeRecord(r);
                }
                view.Cause(Tell(Finding::kNoRecordAtPort, {EscapedForDisplay(drive.usbPort), all}));
            }
            Show(view, host, kMsgError, kMsgLoaderWithoutRecord);
            return false;
        }
    }

    std::u16string current(CutToCapacity(drive.firmwareVersion, 42));
    ShortVersionText(current, versions.currentText);
    versions.current = VersionNumber(versions.currentText);

    // The image is read once and tested completely before anything is sent to the drive.
    const std::u16string imagePath = host.ImagePath(kind);
    versions.imagePath = imagePath;
    if (!host.FileExists(imagePath)) {
        Show(view, host, kMsgError, kMsgImageMissing, kImageMissingText);
        return false;
    }
    auto image = std::make_shared<FirmwareImage>(FirmwareImage::Read(PathFromText(imagePath)));
    image->RequireGeneration(kind);
    versions.image = image;
    if (!image->ok()) {
        Show(view, host, kMsgError, kMsgImageDamaged);
        return false;
    }
    // A sample image is no firmware: only an emulated drive may take it.
    if (image->IsSample()) {
        CSpti probe;
        if (!OpenListedPath(mgr->devices, probe, drive) || !CarriesEmulatorMark(probe)) {
            view.Cause(Tell(Finding::kSampleImage, {Utf16ToUtf8(imagePath)}));
            Show(view, host, kMsgError, kMsgImageDamaged);
            return false;
        }
    }
    ShortVersionText(image->trailerVersion(), versions.newText);
    versions.fresh = VersionNumber(versions.newText);
    view.SetVersionTexts(versions.currentText, versions.newText);

    // Where only one record can be kept, another drive's unfinished update comes first.
    if (MakerIdentity(drive) && !host.RecordsPerDrive()) {
        for (const UpdateMarker& r : records) {
            if (r.serial.empty() || r.serial == versions.bound.serial) continue;
            view.Cause(Tell(Finding::kOtherUnfinished, {EscapedForDisplay(r.serial)}));
            Show(view, host, kMsgError, kMsgOtherUnfinished,
                 WithArgument(host.LoadText(kMsgOtherUnfinished), r.serial));
            return false;
        }
    }

    // An update of this very drive was broken off after its flash was written: Start finishes
    // it (the block length and the record), whatever the versions say.
    versions.unfinished =
        MakerIdentity(drive) && !versions.bound.serial.empty() &&
        std::any_of(records.begin(), records.end(),
                    [&](const UpdateMarker& r) { return r.serial == versions.bound.serial; });
    if (versions.unfinished) Show(view, host, 0, kMsgUnfinishedFound);
    return true;
}

namespace {

// The end of a run that reached its goal.
int Succeed(UpdateView& view, HostServices& host) {
    view.DriveAtRisk(false);
    view.SetProgress(100);
    view.StopBlinkTimer();
    view.ShowStatusText();
    view.SetStatusText(u"");
    Show(view, host, kMsgComplete, kMsgCompleteText);
    view.EnableButtons(true);
    view.PostFinished();
    return 0;
}

// The record of an update of `drive` as the run is about to begin it.
UpdateMarker RecordOf(const DeviceRecord& drive, int kind, int resource,
                      const std::vector<std::uint8_t>& configBytes) {
    UpdateMarker record;
    record.port = drive.usbPort;
    record.vendorId = drive.vendorId;
    record.productId = drive.productId;
    record.product = drive.product;
    record.generation = kind;
    record.resourceId = resource;
    record.configDigest = DigestText(configBytes);
    record.writtenAt = UtcNow();
    return record;
}

// Whether a configuration file is one of this generation's (its format version says so).
bool ConfigFitsGeneration(const std::vector<std::uint8_t>& bytes, int kind) {
    return CheckConfigHeader(ProfileFile::Parse(bytes), kind).ok;
}

}  // namespace

bool ModelFitsGeneration(const ManualRecovery& model, int generation) {
    const EmbeddedResource* resource =
        FindConfigResource(ConfigResourceFor(model.productId, model.product));
    return resource != nullptr &&
           ConfigFitsGeneration({resource->bytes.begin(), resource->bytes.end()}, generation);
}

int FindMakerDrive(CBridgeMgr& mgr, const std::u16string& serial) {
    const int count = mgr.EnumerateDevices(ALL_DEVICES);
    for (int i = 0; i < count; ++i) {
        const DeviceRecord& r = mgr.deviceTable[static_cast<std::size_t>(i)];
        if (MakerIdentity(r) && CutToCapacity(r.serialNumber, kShortTextUnits) == serial) return i;
    }
    return -1;
}

int AwaitReturn(CBridgeMgr& mgr, const std::u16string& serial, Clock& clock,
                const std::function<void(int look)>& notYet) {
    int found = -1;
    for (int look = 0; look < kReturnLooks && found < 0; ++look) {
        clock.SleepMs(kReturnWaitMs);
        found = FindMakerDrive(mgr, serial);
        if (found < 0 && notYet) notYet(look);
    }
    return found;
}

bool RestoreBlockLength(CBridgeMgr& mgr, int index, std::uint32_t saved,
                        const std::u16string& serial, Clock& clock) {
    std::uint32_t length = 0;
    if (ReadSectorSize(mgr, index, &length) < 0) return false;
    if (length == saved) return true;
    if (WriteSectorSize(mgr, index, saved) == 0) return false;
    RestartDevice(mgr, index);
    for (int look = 0; look < kReturnLooks; ++look) {
        clock.SleepMs(kReturnWaitMs);
        const int back = FindMakerDrive(mgr, serial);
        if (back >= 0 && ReadSectorSize(mgr, back, &length) >= 0 && length == saved) return true;
    }
    return false;
}

BackupStep BackUpBeforeWriting(UpdateView& view, HostServices& host, CBridgeMgr& mgr, int index,
                               UpdateMarker& record, const std::u16string& firmwareVersion,
                               Told* why) {
    const BackupOutcome backup =
        host.BackupFlash(mgr, index, record, firmwareVersion,
                         [&view](int read, std::uint32_t done, std::uint32_t size) {
                             view.BackupProgress(read, done, size);
                         });
    if (backup.state == BackupOutcome::State::kStored) {
        // The record names it; a record that cannot be rewritten still holds the rest.
        record.backup = backup.file;
        host.WriteMarker(record);
    }
    if (backup.state == BackupOutcome::State::kFailed && !view.ConfirmWithoutBackup(backup.why)) {
        *why = backup.why;
        return BackupStep::kDeclined;
    }
    if (backup.state != BackupOutcome::State::kNone && view.StopWanted()) return BackupStep::kStopWanted;
    return BackupStep::kGoOn;
}

std::string DigestText(const std::vector<std::uint8_t>& bytes) {
    const std::optional<Sha256Digest> digest = Sha256(bytes);
    return digest ? HexString(*digest, HexDigits::Lower) : std::string();
}

std::int64_t UtcNow() {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

void WatchWaits(CBridgeMgr& mgr, UpdateView& view) {
    mgr.onWait = [&view](const CBridgeMgr::Wait& wait) {
        view.Waiting(wait.what, wait.pass, wait.waitedMs / 1000, wait.boundMs / 1000);
        return !view.StopWanted();
    };
}

int UpdateWorker(UpdateView& view, HostServices& host, const Versions& versions) {
    // The run's own manager, released on every way out.
    std::shared_ptr<Clock> clock = host.clock();
    auto mgr = std::make_unique<CBridgeMgr>(host.devices(), clock);
    const bool forced = UpdateSwitch(host.CommandLineArguments());

    // Only an older drive is updated, unless the switch says so or an unfinished update of
    // this drive is to be finished.
    if (versions.fresh <= versions.current && !forced && !versions.unfinished) {
        return AbortRun(view, host, kMsgNoUpdateNeeded);
    }

    view.EnableButtons(false);
    view.SetStatusText(host.LoadText(kMsgInProgress));
    view.StartBlinkTimer();
    view.InitProgress();

    // Exactly one drive, unless the user named one among several.
    const int count = mgr->EnumerateDevices(ALL_DEVICES);
    if (count < 1 || (count != 1 && !versions.bound.chosen)) {
        view.Cause(count < 1 ? Tell(Finding::kNoDriveNow)
                             : Tell(Finding::kDrivesNow, {std::to_string(count)}));
        return AbortRun(view, host, kMsgNotConnected);
    }
    // The drive shown, found again by its port and its serial number; nothing is sent to a
    // drive that stands in its place. A run started without an inspection has seen no drive:
    // it takes the one attached.
    BoundDrive bound = versions.bound;
    if (bound.port.empty() && bound.serial.empty() && bound.vendorId == 0 && count == 1) {
        const DeviceRecord& only = mgr->deviceTable[0];
        bound = {only.usbPort, std::u16string(CutToCapacity(only.serialNumber, kShortTextUnits)),
                 only.vendorId, only.productId, only.product, 0, false};
    }
    int at = -1;
    for (int i = 0; i < count; ++i) {
        if (mgr->deviceTable[static_cast<std::size_t>(i)].usbPort == bound.port) at = i;
    }
    if (at < 0) {
        view.Cause(bound.port.empty() ? Tell(Finding::kDriveGone)
                                      : Tell(Finding::kDriveGoneAt, {EscapedForDisplay(bound.port)}));
        return AbortRun(view, host, kMsgNotConnected);
    }
    const DeviceRecord drive = mgr->deviceTable[static_cast<std::size_t>(at)];
    const std::vector<UpdateMarker> records = host.ReadMarkers();
    // The record the inspection chose, as it is now: one removed since is not used.
    std::optional<UpdateMarker> finishing;
    for (const UpdateMarker& r : records) {
        if (versions.record && !r.serial.empty() && r.serial == versions.record->serial &&
            r.port == versions.record->port) {
            finishing = r;
        }
    }
    bool same = CutToCapacity(drive.serialNumber, kShortTextUnits) == bound.serial &&
                drive.vendorId == bound.vendorId && drive.productId == bound.productId &&
                drive.product == bound.product;
    if (!same && BareBridgeIdentity(drive) && bound.vendorId == kMakerVendorId) {
        // The drive shown has fallen into its update loader since (a run broke off): it is
        // that drive when the record of its update was made at this port.
        for (const UpdateMarker& r : records) {
            if (!r.serial.empty() && r.serial == bound.serial && r.port == bound.port &&
                (r.generation == 0 || r.generation == bound.generation)) {
                finishing = r;
                same = true;
            }
        }
    }
    if (!same) {
        view.Cause(Tell(Finding::kAnotherDrive, {EscapedForDisplay(drive.serialNumber),
                                                 EscapedForDisplay(bound.serial)}));
        return AbortRun(view, host, kMsgDriveChanged);
    }
    // From here on the manager sees that port alone, and the drive is its first record.
    mgr->deviceTable[0] = drive;
    mgr->deviceCount = 1;
    mgr->boundPort = bound.port;
    const int index = 0;
    const bool recovery = BareBridgeIdentity(drive);
    if (!recovery && !MakerIdentity(drive)) {
        view.Cause(Tell(Finding::kNotFamily));
        return AbortRun(view, host, kMsgNotConnected);
    }
    const int kind = mgr->IdentifyChip(index);
    if (kind != kChipFirstGeneration && kind != kChipSecondGeneration) {
        view.Cause(Tell(Finding::kNoChipName));
        return AbortRun(view, host, kMsgNoAnswer);
    }
    if (bound.generation != 0 && kind != bound.generation) {
        view.Cause(Tell(Finding::kGenerationChanged,
                        {std::to_string(kind), std::to_string(bound.generation)}));
        return AbortRun(view, host, kMsgDriveChanged);
    }

    // Whether it needs an update is decided for the drive found, not the one shown.
    std::u16string currentText = u"0.00";
    ShortVersionText(std::u16string(CutToCapacity(drive.firmwareVersion, 42)), currentText);
    const bool wanted = versions.fresh > VersionNumber(currentText) || forced;

    // The image: the one the inspection checked, or read now; it must fit this drive's bridge.
    FirmwareImage image = versions.image ? *versions.image
                                         : FirmwareImage::Read(PathFromText(host.ImagePath(kind)));
    image.RequireGeneration(kind);
    if (!image.ok()) {
        view.Cause(image.problemFound());
        return AbortRun(view, host, kMsgImageDamaged);
    }

    const std::u16string configPath = host.ConfigFilePath();
    std::u16string serial;
    std::optional<std::uint32_t> savedLength;
    std::optional<std::vector<std::uint8_t>> configBytes;
    UpdateMarker record;      // written just before the switch
    bool keepRecord = false;  // a recovery run keeps the record it finishes
    bool hadRecord = false;   // a record of this drive was there before this run

    if (!recovery) {
        serial = bound.serial;
        const auto own = std::find_if(records.begin(), records.end(),
                                      [&](const UpdateMarker& r) { return r.serial == serial; });
        const bool ours = !serial.empty() && own != records.end();
        hadRecord = ours;
        if (ours && !wanted) {
            // The flash holds the update already: restore the block length kept with the
            // record, then clear what the broken-off run left.
            view.DriveAtRisk(true);
            if (own->blockLength &&
                !RestoreBlockLength(*mgr, index, *own->blockLength, serial, *clock)) {
                view.Cause(Tell(Finding::kLengthNotRestored));
                return AbortRun(view, host, kMsgFailed);
            }
            host.RemoveFile(configPath);
            host.RemoveMarker(serial);
            return Succeed(view, host);
        }
        if (!wanted) return AbortRun(view, host, kMsgNoUpdateNeeded);
        // Without its serial number the drive would lose it for good; a serial number with
        // control characters is not written into a record or a block.
        if (serial.empty()) return AbortRun(view, host, kMsgSerialUnreadable);
        if (HasControlCharacters(serial)) {
            view.Cause(Tell(Finding::kDriveSerialControl, {EscapedForDisplay(serial)}));
            return AbortRun(view, host, kMsgSerialUnreadable);
        }
        if (!host.RecordsPerDrive()) {
            for (const UpdateMarker& r : records) {
                if (r.serial.empty() || r.serial == serial) continue;
                view.Cause(Tell(Finding::kOtherUnfinished, {EscapedForDisplay(r.serial)}));
                return AbortRun(view, host, kMsgOtherUnfinished);
            }
        }
        std::uint32_t length = 0;
        if (ReadSectorSize(*mgr, index, &length) < 0) {
            view.Cause(Tell(Finding::kNoCapacity));
            return AbortRun(view, host, kMsgNotConnected);
        }
        // A drive whose earlier update was broken off may not have its own length now.
        savedLength = ours && own->blockLength ? *own->blockLength : length;

        // This run's configuration file, written whole, never one left from before; its bytes
        // are what is compiled.
        const int resource = ConfigResourceFor(drive.productId, drive.product);
        if (resource != 0) configBytes = host.WriteConfigFile(resource);
        if (!configBytes) {
            view.Cause(Tell(resource == 0 ? Finding::kNoConfigFile : Finding::kConfigNotWritten));
            return AbortRun(view, host, kMsgFailed);
        }
        record = RecordOf(drive, kind, resource, *configBytes);
        record.serial = serial;
        record.blockLength = savedLength;
    } else {
        if (drive.normalMode == 1) return AbortRun(view, host, kMsgNotConnected);
        std::optional<ManualRecovery> manual = host.RecoveryRequest();
        if (finishing && !finishing->serial.empty()) {
            record = *finishing;
            keepRecord = true;
            serial.assign(CutToCapacity(record.serial, kShortTextUnits));
            savedLength = record.blockLength;
            if (record.readOnly) {
                // A read of the flash broke off here: the flash is whole, and this run updates
                // the model recorded, under a record rewritten as an update's before anything
                // is written.
                record.readOnly = false;
                record.resourceId = ConfigResourceFor(record.productId, record.product);
                if (record.resourceId != 0) configBytes = host.WriteConfigFile(record.resourceId);
                if (configBytes) record.configDigest = DigestText(*configBytes);
                keepRecord = false;
            } else {
                // The bytes the record names: the file left, when it is still the one recorded;
                // otherwise made again from the recorded resource.
                configBytes = host.ReadConfigFile();
                const bool recorded = !record.configDigest.empty();
                if (recorded && (!configBytes || DigestText(*configBytes) != record.configDigest)) {
                    configBytes.reset();
                    if (record.resourceId != 0) configBytes = host.WriteConfigFile(record.resourceId);
                }
            }
            if (!configBytes) {
                view.Cause(Tell(Finding::kConfigGone));
                return AbortRun(view, host, kMsgFailed);
            }
        } else if (manual && !manual->serial.empty()) {
            serial.assign(CutToCapacity(manual->serial, kShortTextUnits));
            const int resource = ConfigResourceFor(manual->productId, manual->product);
            if (resource != 0) configBytes = host.WriteConfigFile(resource);
            if (!configBytes) {
                view.Cause(Tell(resource == 0 ? Finding::kNoConfigFile : Finding::kConfigNotWritten));
                return AbortRun(view, host, kMsgFailed);
            }
            if (!ConfigFitsGeneration(*configBytes, kind)) {
                view.Cause(Tell(Finding::kModelOtherGeneration, {std::to_string(kind)}));
                return AbortRun(view, host, kMsgFailed);
            }
            record = RecordOf(drive, kind, resource, *configBytes);
            record.serial = serial;
            record.vendorId = kMakerVendorId;
            record.productId = manual->productId;
            record.product = manual->product;
        } else {
            return AbortRun(view, host, kMsgLoaderWithoutRecord);
        }
        if (HasControlCharacters(serial)) {
            view.Cause(Tell(Finding::kGivenSerialControl, {EscapedForDisplay(serial)}));
            return AbortRun(view, host, kMsgSerialUnreadable);
        }
        std::uint32_t length = 0;
        if (ReadSectorSize(*mgr, index, &length) < 0) return AbortRun(view, host, kMsgNotConnected);
        // A record of an older version keeps no length: the loader's is all there is.
        if (!savedLength) savedLength = length;
        record.blockLength = savedLength;
    }

    // The restart would pull the disks from under whatever the system has on them.
    const std::vector<std::u16string> paths = PathsOf(drive);
    if (const auto uses = host.DiskUses(paths); !uses.empty()) {
        view.Cause(uses.front());
        return AbortRun(view, host, kMsgDriveInUse);
    }
    if (const auto uses = host.ClaimDisks(paths); !uses.empty()) {
        view.Cause(uses.front());
        return AbortRun(view, host, kMsgDriveInUse);
    }
    // Only now, with every refusal behind, the record: without it a broken-off update could
    // not be finished.
    if (!keepRecord) {
        if (!host.WriteMarker(record)) {
            host.ReleaseDisks();
            view.Cause(Tell(Finding::kRecordNotWritten));
            return AbortRun(view, host, kMsgFailed);
        }
    }

    view.SetProgress(10);
    view.DriveAtRisk(true);
    WatchWaits(*mgr, view);
    // Stopped by the user while the drive waited in its loader: the record stays, and the
    // next run finishes the drive.
    const auto stopped = [&] {
        view.Cause(Tell(Finding::kStoppedWaiting));
        return AbortRun(view, host, kMsgStoppedWaiting);
    };
    const bool prepared = PrepareDevice(*mgr, index) != 0;
    host.ReleaseDisks();
    const DeviceRecord& now = mgr->deviceTable[index];
    if (prepared && !recovery && now.normalMode == 1 && now.prepareState == 1 && now.modeSwitched == 0) {
        // The bridge refused the switch: nothing was written, and nothing is left to finish
        // (unless an earlier run of this drive left its record).
        if (!hadRecord) host.RemoveMarker(serial);
        view.Cause(Tell(Finding::kSwitchRefused));
        return AbortRun(view, host, kMsgFailed);
    }
    if (!prepared) {
        if (mgr->stopped) return stopped();
        view.Cause(Tell(Finding::kLoaderNotBack, {EscapedForDisplay(bound.port)}));
        return AbortRun(view, host, kMsgFailed);
    }
    // A copy of the flash as it is, before anything is written (where the host keeps one); a
    // run that finishes an update whose record names its backup has one already.
    if (!keepRecord || record.backup.empty()) {
        Told why;
        switch (BackUpBeforeWriting(view, host, *mgr, index, record, drive.firmwareVersion, &why)) {
            case BackupStep::kGoOn:
                break;
            // Nothing is written yet, and the record lets the next run finish the drive.
            case BackupStep::kDeclined:
                view.Cause(Tell(Finding::kNoBackup, {}, {why}));
                return AbortRun(view, host, kMsgStoppedWaiting);
            // Asked to stop while the flash was read: stop now, before the erase, with the
            // flash as it was.
            case BackupStep::kStopWanted:
                return stopped();
        }
    }
    view.SetProgress(20);
    mgr->configBytes = configBytes;
    bool programmed = false;
    for (int attempt = 0; attempt < kProgrammingTries && !programmed && !mgr->stopped; ++attempt) {
        programmed = ProgramDevice(image, *mgr, index, kind, configPath, serial) != 0;
        if (!programmed && !mgr->stopped) {
            view.Waiting(CBridgeMgr::WaitFor::kNextTry, 0, 0, kRetryWaitMs / 1000);
            clock->SleepMs(kRetryWaitMs);
            if (view.StopWanted()) mgr->stopped = true;
        }
    }
    if (!mgr->compileWarnings.empty()) view.ConfigWarnings(mgr->compileWarnings);
    if (!programmed && mgr->stopped) return stopped();
    if (!programmed) {
        Told why = mgr->imageProblem           ? *mgr->imageProblem
                   : !mgr->compileError.empty() ? Tell(Finding::kConfigFailed, {mgr->compileError})
                   : mgr->waitProblem           ? *mgr->waitProblem
                                                : Tell(Finding::kFlashFailed);
        if (!mgr->diagnosticText.empty()) {
            why = Tell(Finding::kBridgeSays, {Utf16ToUtf8(mgr->diagnosticText)}, {std::move(why)});
        }
        view.Cause(why);
        return AbortRun(view, host, kMsgFailed);
    }
    view.SetProgress(75);

    // Wait for this drive to come back at its port with the maker's identity and its own
    // serial number; another drive attached meanwhile is not it.
    const int found = AwaitReturn(*mgr, serial, *clock, [&view](int look) { view.SetProgress(80 + look); });
    if (found < 0) {
        view.Cause(Tell(Finding::kNotBack));
        return AbortRun(view, host, kMsgFailed);
    }

    // The logical-block length the drive had before; only then are record and file cleared,
    // so that a run broken off until here can still be finished.
    if (!RestoreBlockLength(*mgr, found, *savedLength, serial, *clock)) {
        view.Cause(Tell(Finding::kLengthBytesNotRestored, {std::to_string(*savedLength)}));
        return AbortRun(view, host, kMsgFailed);
    }
    host.RemoveFile(configPath);
    host.RemoveMarker(serial);
    return Succeed(view, host);
}

}  // namespace mox3
