#include "app/update_run.h"

#include <algorithm>
#include <cstdio>

#include "bridge/programming.h"
#include "config/text.h"
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

// The failure exit of a run.
int AbortRun(UpdateView& view, HostServices& host, int id) {
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
    const int kind = mgr->IdentifyChip(chosen);
    if (kind == -1) return false;

    std::u16string current(
        CutToCapacity(mgr->deviceTable[static_cast<std::size_t>(chosen)].firmwareVersion, 42));
    ShortVersionText(current, versions.currentText);
    versions.current = VersionNumber(versions.currentText);

    const std::u16string imagePath = host.ImagePath(kind);
    if (!host.FileExists(imagePath)) {
        view.MessageBox(host.LoadText(kMsgError), kImageMissingText);
        return false;
    }
    std::u16string imageText;
    if (std::FILE* file = std::fopen(Utf16ToUtf8(imagePath).c_str(), "rb")) {
        mgr->ReadImageVersion(file, imageText, kind);
    }
    ShortVersionText(imageText, versions.newText);
    versions.fresh = VersionNumber(versions.newText);
    view.SetVersionTexts(versions.currentText, versions.newText);
    return true;
}

int UpdateWorker(UpdateView& view, HostServices& host, const Versions& versions) {
    // 1. The run's own manager, released on every way out.
    auto mgr = std::make_unique<CBridgeMgr>();
    std::shared_ptr<Clock> clock = host.clock();
    mgr->clock = clock;
    std::u16string serial;

    // 2. Only an older drive is updated, unless the switch says so.
    if (!(versions.fresh > versions.current) && !UpdateSwitch(host.CommandLineArguments())) {
        return AbortRun(view, host, kMsgNoUpdateNeeded);
    }
    // 3.
    view.EnableButtons(false);
    view.SetStatusText(host.LoadText(kMsgInProgress));
    view.StartBlinkTimer();
    view.InitProgress();

    // 4., 5. Exactly one drive, of the maker's or the bridge's own identity.
    if (mgr->EnumerateDevices(ALL_DEVICES) != 1) return AbortRun(view, host, kMsgNotConnected);
    const int index = 0;
    const DeviceRecord drive = mgr->deviceTable[index];
    bool recovery = false;
    if (BareBridgeIdentity(drive)) {
        recovery = true;
    } else if (!MakerIdentity(drive)) {
        return AbortRun(view, host, kMsgNotConnected);
    }
    // 6.
    const int kind = mgr->IdentifyChip(index);
    if (kind != 1 && kind != 2) return AbortRun(view, host, kMsgNoUpdateNeeded);

    // 7., 8. The serial number: the drive's own, kept in the marker; or back from the marker.
    if (!recovery) {
        serial.assign(CutToCapacity(drive.serialNumber, kShortTextUnits));
        host.WriteMarker(serial);  // a failure is not reported: the run goes on without a marker
    } else {
        serial.assign(CutToCapacity(host.ReadMarker().value_or(u""), kShortTextUnits));
        if (serial.empty() || drive.normalMode == 1) return AbortRun(view, host, kMsgNotConnected);
    }
    // 9.
    std::uint32_t savedLength = 0;
    if (ReadSectorSize(*mgr, index, &savedLength) < 0)
        return AbortRun(view, host, kMsgNotConnected);
    // 10. to 12. The model's configuration file; a recovery run uses the one left behind.
    const std::u16string imagePath = host.ImagePath(kind);
    const std::u16string configPath = host.ConfigFilePath();
    if (int resource = ConfigResourceFor(drive.productId, drive.product); resource != 0) {
        // A file that could not be written whole is removed, so that the check below stops.
        host.WriteConfigFile(resource);
    }
    if (!host.FileExists(configPath)) return AbortRun(view, host, kMsgFailed);

    // 13., 14.
    view.SetProgress(10);
    if (PrepareDevice(*mgr, index) == 0) return AbortRun(view, host, kMsgFailed);
    view.SetProgress(20);
    bool programmed = false;
    for (int attempt = 0; attempt < kProgrammingTries && !programmed; ++attempt) {
        programmed = ProgramDevice(imagePath, *mgr, index, kind, configPath, serial) != 0;
        if (!programmed) clock->SleepMs(kRetryWaitMs);
    }
    if (!programmed) return AbortRun(view, host, kMsgFailed);

    // 15. The update is in the flash: file and marker go.
    host.RemoveFile(configPath);
    host.RemoveMarker();
    view.SetProgress(75);

    // 16. Wait for the drive to come back with the maker's identity.
    int found = -1;
    for (int look = 0; look < kReturnLooks && found < 0; ++look) {
        clock->SleepMs(kReturnWaitMs);
        const int count = mgr->EnumerateDevices(ALL_DEVICES);
        for (int i = 0; i < count; ++i) {
            if (MakerIdentity(mgr->deviceTable[static_cast<std::size_t>(i)])) {
                found = i;
                break;
            }
        }
        if (found < 0) view.SetProgress(80 + look);
    }
    if (found < 0) return AbortRun(view, host, kMsgFailed);

    // 17. The logical-block length the drive had before.
    std::uint32_t length = 0;
    if (ReadSectorSize(*mgr, found, &length) < 0) return AbortRun(view, host, kMsgFailed);
    if (length != savedLength) {
        if (WriteSectorSize(*mgr, found, savedLength) == 0) return AbortRun(view, host, kMsgFailed);
        RestartDevice(*mgr, found);
        clock->SleepMs(kReturnWaitMs);
    }
    // 18.
    view.SetProgress(100);
    view.StopBlinkTimer();
    view.ShowStatusText();
    view.SetStatusText(u"");
    view.MessageBox(host.LoadText(kMsgComplete), host.LoadText(kMsgCompleteText));
    view.EnableButtons(true);
    view.PostFinished();
    return 0;
}

}  // namespace mox3
