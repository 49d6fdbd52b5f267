#include "app/run/update_run.h"

#include <algorithm>
#include <cstdio>

#include "base/text.h"
#include "bridge/programming.h"
#include "config/profile_reader.h"
#include "discovery/bridge_manager.h"
#include "discovery/census.h"

namespace mox3 {

namespace {

constexpr std::uint16_t kMakerVendor = 0x5E3B;
constexpr std::uint16_t kBareVendor = 0x04C5;
constexpr std::uint32_t kRetryWaitMs = 1000;
constexpr std::uint32_t kReturnWaitMs = 5000;
constexpr int kProgrammingTries = 3;
constexpr int kReturnLooks = 10;

bool MakerIdentity(const DeviceRecord& r) {
    return r.vendorId == kMakerVendor && r.productId >= 0x7C31 && r.productId <= 0x7C36;
}

bool BareBridgeIdentity(const DeviceRecord& r) {
    return r.vendorId == kBareVendor && (r.productId == 0x201D || r.productId == 0x2026);
}

bool IsModel(const std::u16string& product) {
    return product.compare(0, 7, u"ZR-MOX3") == 0 || product.compare(0, 8, u"ZR-MOXE3") == 0;
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

UpdateMarker MarkerOf(const std::u16string& serial, std::optional<std::uint32_t> length) {
    UpdateMarker marker;
    marker.serial = serial;
    marker.blockLength = length;
    return marker;
}

// The failure exit of a run.
int AbortRun(UpdateView& view, HostServices& host, int id) {
    view.DriveAtRisk(false);
    view.StopBlinkTimer();
    view.ShowStatusText();
    view.SetStatusText(u"");
    view.MessageBox(host.LoadText(kMsgError), host.LoadText(id));
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

int ConfigResourceFor(std::uint16_t productId, const std::u16string& product) {
    const bool mox3 = product.compare(0, 7, u"ZR-MOX3") == 0;
    const bool moxe3 = product.compare(0, 8, u"ZR-MOXE3") == 0;
    switch (productId) {
        case 0x7C31:
            return 104;
        case 0x7C32:
            return 106;
        case 0x7C33:
            return 116;
        case 0x7C34:
            return mox3 ? 117 : moxe3 ? 118 : 0;
        case 0x7C35:
            return mox3 ? 119 : moxe3 ? 120 : 0;
        case 0x7C36:
            return mox3 ? 121 : moxe3 ? 123 : 0;
        default:
            break;
    }
    return 0;
}

bool InspectAtStartup(UpdateView& view, HostServices& host, Versions& versions) {
    if (!host.OsSupported()) {
        view.MessageBox(host.LoadText(kMsgError), host.LoadText(kMsgOsNotSupported));
        return false;
    }
    switch (CountKnownDrives()) {
        case kCensusNone:
            view.MessageBox(u"", host.LoadText(kMsgNotConnected));
            return false;
        case kCensusMany:
            view.MessageBox(u"", host.LoadText(kMsgMultiple));
            return false;
        case kCensusNoUpdate:
            view.MessageBox(u"", host.LoadText(kMsgNoUpdateNeeded));
            break;
        default:
            break;
    }
    // The manager lives only as long as this scope, whatever path leaves it.
    auto mgr = std::make_unique<CBridgeMgr>();
    mgr->clock = host.clock();
    const int count = mgr->EnumerateDevices(ALL_DEVICES);
    if (count < 1) {
        view.MessageBox(u"", host.LoadText(kMsgNotConnected));
        return false;
    }
    int counted = 0, chosen = -1;
    for (int i = 0; i < count; ++i) {
        const DeviceRecord& r = mgr->deviceTable[static_cast<std::size_t>(i)];
        if ((MakerIdentity(r) && IsModel(r.product)) || BareBridgeIdentity(r)) {
            ++counted;
            chosen = i;
        }
    }
    if (counted >= 2) {
        view.MessageBox(u"", host.LoadText(kMsgMultiple));
        return false;
    }
    if (counted == 0) {
        view.MessageBox(u"", host.LoadText(kMsgNotConnected));
        return false;
    }
    const DeviceRecord& drive = mgr->deviceTable[static_cast<std::size_t>(chosen)];
    versions.drivePath = drive.interfacePath[0];
    versions.inLoader = BareBridgeIdentity(drive);
    versions.serial = drive.serialNumber;
    const int kind = mgr->IdentifyChip(chosen);
    if (kind != kChipFirstGeneration && kind != kChipSecondGeneration) {
        view.MessageBox(host.LoadText(kMsgError), host.LoadText(kMsgNoAnswer));
        return false;
    }

    // A drive in its loader can only be finished with the serial number it had.
    const std::vector<UpdateMarker> markers = host.ReadMarkers();
    const std::optional<UpdateMarker> marker =
        markers.empty() ? std::nullopt : std::optional<UpdateMarker>(markers.front());
    const bool markerNamesIt = marker && !marker->serial.empty();
    if (BareBridgeIdentity(drive) && !markerNamesIt && !host.RecoveryRequest()) {
        view.MessageBox(host.LoadText(kMsgError), host.LoadText(kMsgLoaderWithoutRecord));
        return false;
    }

    std::u16string current(CutToCapacity(drive.firmwareVersion, 42));
    ShortVersionText(current, versions.currentText);
    versions.current = VersionNumber(versions.currentText);

    // The image is read once and tested completely before anything is sent to the drive.
    const std::u16string imagePath = host.ImagePath(kind);
    if (!host.FileExists(imagePath)) {
        view.MessageBox(host.LoadText(kMsgError), kImageMissingText);
        return false;
    }
    auto image = std::make_shared<FirmwareImage>(FirmwareImage::Read(PathFromText(imagePath)));
    image->RequireGeneration(kind);
    versions.image = image;
    versions.imagePath = imagePath;
    if (!image->ok()) {
        view.MessageBox(host.LoadText(kMsgError), host.LoadText(kMsgImageDamaged));
        return false;
    }
    ShortVersionText(image->trailerVersion(), versions.newText);
    versions.fresh = VersionNumber(versions.newText);
    view.SetVersionTexts(versions.currentText, versions.newText);

    // An update of this very drive was broken off after its flash was written: Start finishes
    // it (the block length and the marker), whatever the versions say.
    versions.unfinished = MakerIdentity(drive) && markerNamesIt && !drive.serialNumber.empty() &&
                          marker->serial == CutToCapacity(drive.serialNumber, kShortTextUnits);
    if (versions.unfinished) view.MessageBox(u"", host.LoadText(kMsgUnfinishedFound));
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
    view.MessageBox(host.LoadText(kMsgComplete), host.LoadText(kMsgCompleteText));
    view.EnableButtons(true);
    view.PostFinished();
    return 0;
}

// The first drive with the maker's identity and this serial number, or -1.
int FindDrive(CBridgeMgr& mgr, const std::u16string& serial) {
    const int count = mgr.EnumerateDevices(ALL_DEVICES);
    for (int i = 0; i < count; ++i) {
        const DeviceRecord& r = mgr.deviceTable[static_cast<std::size_t>(i)];
        if (MakerIdentity(r) && CutToCapacity(r.serialNumber, kShortTextUnits) == serial) return i;
    }
    return -1;
}

// Sets the block length the drive had before its update, when it differs now; the drive
// restarts to take it, and is looked at again until it shows that length (a restart that did
// not happen would leave the disk unreadable while the run said it was done). False when the
// length cannot be read or written, or the drive does not come back with it.
bool RestoreBlockLength(CBridgeMgr& mgr, int index, std::uint32_t saved,
                        const std::u16string& serial, Clock& clock) {
    std::uint32_t length = 0;
    if (ReadSectorSize(mgr, index, &length) < 0) return false;
    if (length == saved) return true;
    if (WriteSectorSize(mgr, index, saved) == 0) return false;
    RestartDevice(mgr, index);
    for (int look = 0; look < kReturnLooks; ++look) {
        clock.SleepMs(kReturnWaitMs);
        const int back = FindDrive(mgr, serial);
        if (back >= 0 && ReadSectorSize(mgr, back, &length) >= 0 && length == saved) return true;
    }
    return false;
}

}  // namespace

int UpdateWorker(UpdateView& view, HostServices& host, const Versions& versions) {
    // The run's own manager, released on every way out.
    auto mgr = std::make_unique<CBridgeMgr>();
    std::shared_ptr<Clock> clock = host.clock();
    mgr->clock = clock;

    // Only an older drive is updated, unless the switch says so or an unfinished update of
    // this drive is to be finished.
    const bool wanted = versions.fresh > versions.current || UpdateSwitch(host.CommandLineArguments());
    if (!wanted && !versions.unfinished) return AbortRun(view, host, kMsgNoUpdateNeeded);

    view.EnableButtons(false);
    view.SetStatusText(host.LoadText(kMsgInProgress));
    view.StartBlinkTimer();
    view.InitProgress();

    // Exactly one drive, of the maker's or the bridge's own identity.
    if (const int count = mgr->EnumerateDevices(ALL_DEVICES); count != 1) {
        view.Cause(count < 1 ? "no drive is attached now"
                             : std::to_string(count) + " drives are attached now");
        return AbortRun(view, host, kMsgNotConnected);
    }
    const int index = 0;
    const DeviceRecord drive = mgr->deviceTable[index];
    const bool recovery = BareBridgeIdentity(drive);
    if (!recovery && !MakerIdentity(drive)) {
        view.Cause("the attached drive's USB identity is not one of this family's");
        return AbortRun(view, host, kMsgNotConnected);
    }
    const int kind = mgr->IdentifyChip(index);
    if (kind != kChipFirstGeneration && kind != kChipSecondGeneration) {
        view.Cause("the bridge did not answer the request for its chip name");
        return AbortRun(view, host, kMsgNoAnswer);
    }

    // The image: the one the inspection checked, or read now; it must fit this drive's bridge.
    FirmwareImage image = versions.image ? *versions.image
                                         : FirmwareImage::Read(PathFromText(host.ImagePath(kind)));
    image.RequireGeneration(kind);
    if (!image.ok()) {
        view.Cause(image.problem());
        return AbortRun(view, host, kMsgImageDamaged);
    }

    const std::vector<UpdateMarker> markers = host.ReadMarkers();
    const std::optional<UpdateMarker> marker =
        markers.empty() ? std::nullopt : std::optional<UpdateMarker>(markers.front());
    const std::u16string configPath = host.ConfigFilePath();
    std::u16string serial;
    std::optional<std::uint32_t> savedLength;

    if (!recovery) {
        serial.assign(CutToCapacity(drive.serialNumber, kShortTextUnits));
        const bool ours = marker && !serial.empty() && marker->serial == serial;
        if (ours && !wanted) {
            // The flash holds the update already: restore the block length kept with the
            // marker, then clear what the broken-off run left.
            view.DriveAtRisk(true);
            if (marker->blockLength &&
                !RestoreBlockLength(*mgr, index, *marker->blockLength, serial, *clock)) {
                view.Cause("the drive's block length could not be restored");
                return AbortRun(view, host, kMsgFailed);
            }
            host.RemoveFile(configPath);
            host.RemoveMarker(serial);
            return Succeed(view, host);
        }
        if (!wanted) return AbortRun(view, host, kMsgNoUpdateNeeded);
        // Without its serial number the drive would lose it for good.
        if (serial.empty()) return AbortRun(view, host, kMsgSerialUnreadable);
        std::uint32_t length = 0;
        if (ReadSectorSize(*mgr, index, &length) < 0) {
            view.Cause("the drive did not answer READ CAPACITY");
            return AbortRun(view, host, kMsgNotConnected);
        }
        // A drive whose earlier update was broken off may not have its own length now.
        savedLength = ours && marker->blockLength ? *marker->blockLength : length;

        // This run's configuration file, written whole, never one left from before.
        const int resource = ConfigResourceFor(drive.productId, drive.product);
        if (resource == 0 || !host.WriteConfigFile(resource)) {
            view.Cause(resource == 0 ? "there is no configuration file for this model"
                                     : "the model's configuration file could not be written");
            return AbortRun(view, host, kMsgFailed);
        }
        // Without a marker a broken-off update could not be finished.
        if (!host.WriteMarker(MarkerOf(serial, savedLength))) {
            view.Cause("the record of the update (marker) could not be written");
            return AbortRun(view, host, kMsgFailed);
        }
    } else {
        if (marker && !marker->serial.empty()) {
            serial.assign(CutToCapacity(marker->serial, kShortTextUnits));
            savedLength = marker->blockLength;
        } else if (std::optional<ManualRecovery> manual = host.RecoveryRequest();
                   manual && !manual->serial.empty()) {
            serial.assign(CutToCapacity(manual->serial, kShortTextUnits));
            const int resource = ConfigResourceFor(manual->productId, manual->product);
            if (resource == 0 || !host.WriteConfigFile(resource))
                return AbortRun(view, host, kMsgFailed);
            if (!host.WriteMarker(MarkerOf(serial, std::nullopt))) return AbortRun(view, host, kMsgFailed);
        } else {
            return AbortRun(view, host, kMsgLoaderWithoutRecord);
        }
        if (drive.normalMode == 1) return AbortRun(view, host, kMsgNotConnected);
        std::uint32_t length = 0;
        if (ReadSectorSize(*mgr, index, &length) < 0) return AbortRun(view, host, kMsgNotConnected);
        // A marker of an older version keeps no length: the loader's is all there is.
        if (!savedLength) savedLength = length;
        // A recovery run uses the file the broken-off run left.
        if (!host.FileExists(configPath)) {
            view.Cause("the configuration file the interrupted update left is gone");
            return AbortRun(view, host, kMsgFailed);
        }
    }

    // The restart would pull the disk from under whatever the system has on it.
    if (const auto uses = host.DiskUses({drive.interfacePath[0]}); !uses.empty()) {
        view.Cause(uses.front());
        return AbortRun(view, host, kMsgDriveInUse);
    }

    view.SetProgress(10);
    view.DriveAtRisk(true);
    if (PrepareDevice(*mgr, index) == 0) {
        view.Cause("the bridge did not come back in its update mode");
        return AbortRun(view, host, kMsgFailed);
    }
    view.SetProgress(20);
    bool programmed = false;
    for (int attempt = 0; attempt < kProgrammingTries && !programmed; ++attempt) {
        programmed = ProgramDevice(image, *mgr, index, kind, configPath, serial) != 0;
        if (!programmed) clock->SleepMs(kRetryWaitMs);
    }
    if (!programmed) {
        std::string why = !mgr->imageError.empty()   ? mgr->imageError
                          : !mgr->compileError.empty() ? "the configuration: " + mgr->compileError
                                                       : "writing or reading back the flash failed";
        if (!mgr->diagnosticText.empty()) why += " (bridge: " + Utf16ToUtf8(mgr->diagnosticText) + ")";
        view.Cause(why);
        return AbortRun(view, host, kMsgFailed);
    }
    view.SetProgress(75);

    // Wait for this drive to come back with the maker's identity and its own serial number;
    // another drive attached meanwhile is not it.
    int found = -1;
    for (int look = 0; look < kReturnLooks && found < 0; ++look) {
        clock->SleepMs(kReturnWaitMs);
        found = FindDrive(*mgr, serial);
        if (found < 0) view.SetProgress(80 + look);
    }
    if (found < 0) {
        view.Cause("the drive did not come back with its identity and serial number within 50 s");
        return AbortRun(view, host, kMsgFailed);
    }

    // The logical-block length the drive had before; only then are marker and file cleared,
    // so that a run broken off until here can still be finished.
    if (!RestoreBlockLength(*mgr, found, *savedLength, serial, *clock)) {
        view.Cause("the drive's block length of " + std::to_string(*savedLength) +
                   " bytes could not be restored");
        return AbortRun(view, host, kMsgFailed);
    }
    host.RemoveFile(configPath);
    host.RemoveMarker(serial);
    return Succeed(view, host);
}

}  // namespace mox3
