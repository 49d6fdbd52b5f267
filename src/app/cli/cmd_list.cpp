// list: the drive census and every bridge drive found.
#include <algorithm>

#include "app/cli/cli_args.h"
#include "app/cli/cli_report.h"
#include "app/cli/cli_texts.h"
#include "app/cli/commands.h"
#include "app/cli/finding_texts.h"
#include "app/cli/json_out.h"
#include "app/run/host.h"
#include "app/run/update_run.h"
#include "app/session/session.h"
#include "base/text.h"
#include "bridge/firmware_image.h"
#include "config/profile_reader.h"
#include "discovery/bridge_manager.h"
#include "discovery/census.h"
#include "discovery/device_tree.h"
#include "emulator/emulator_backend.h"
#include "platform/platform.h"

namespace mox3 {

namespace {

constexpr const char* kUsage =
    "usage: mox3-updater [--emulator DIR] list [--json] [--image-dir DIR]\n"
    "Without --emulator (or MOX3_EMULATOR) the attached drives are listed, each with the\n"
    "image an update would write to it and whether that image is newer.\n";

// What an update would write to a drive of this chip kind, in words, and whether it is newer.
struct ImageNote {
    std::string version;  // the image's version text; empty without a sound image
    std::string text;
    bool newer = false;
    std::string damaged;               // what is wrong with the image an update would take
    std::vector<ImagePlace> searched;  // where it was looked for, and what was there
};

ImageNote NoteImage(const HostOptions& options, int chipKind, const std::u16string& driveVersion,
                    LanguageId lang) {
    ImageNote note;
    if (chipKind != 1 && chipKind != 2) {
        note.text = CliString(CliText::kImageChipUnknown, lang);
        return note;
    }
    note.searched = SearchedImagePlaces(options, chipKind);
    const std::u16string path = FindImagePath(options, chipKind);
    FirmwareImage image = FirmwareImage::Read(PathFromText(path));
    image.RequireGeneration(chipKind);
    if (image.fault() == ImageFault::Unreadable) {
        // Every place searched, each with what it held.
        note.text =
            FormatCliText(CliText::kImageMissing, lang, {SearchedPlacesText(note.searched, lang)});
        return note;
    }
    if (!image.ok()) {
        note.damaged = image.problem();
        note.text = FormatCliText(CliText::kImageDamaged, lang,
                                  {Utf16ToUtf8(path), Said(image.problemFound(), lang)});
        return note;
    }
    std::u16string imageShort = u"0.00", driveShort = u"0.00";
    ShortVersionText(image.trailerVersion(), imageShort);
    ShortVersionText(driveVersion, driveShort);
    note.version = Utf16ToUtf8(image.trailerVersion());
    note.newer = VersionNumber(imageShort) > VersionNumber(driveShort);
    note.text = FormatCliText(note.newer ? CliText::kImageNewer : CliText::kImageNotNewer, lang,
                              {note.version});
    return note;
}

// True when every disk the device tree shows is an emulated drive's folder.
bool OnlyEmulatedDisks(const DeviceAccess& devices) {
    const std::shared_ptr<DeviceTree>& tree = devices.tree;
    const auto disks = tree ? tree->PresentInterfaces(InterfaceClass::Disk) : std::nullopt;
    return disks && std::all_of(disks->begin(), disks->end(), [](const DeviceInterface& disk) {
               return IsEmulatedDevicePath(disk.path);
           });
}

std::string CensusText(int census, LanguageId lang) {
    switch (census) {
        case kCensusNone:
            return CliString(CliText::kCensusNone, lang);
        case kCensusOne:
            return CliString(CliText::kCensusOne, lang);
        case kCensusMany:
            return CliString(CliText::kCensusMany, lang);
        default:
            break;
    }
    return CliString(CliText::kCensusNoUpdate, lang);
}

}  // namespace

int RunListCommand(const Session& session, Args args, std::ostream& out, std::ostream& err) {
    CommandReport report("list", WantsJson(args), out, err, session.trace);
    if (IsHelp(args)) return report.Help(kUsage);
    CliArgs cli(args, {"--image-dir"}, {"--json"});
    if (!cli.ok()) return report.Usage(cli.error(), kUsage);
    if (!cli.positional().empty()) {
        return report.Usage("unexpected argument " + cli.positional()[0], kUsage);
    }
    HostOptions hostOptions;
    hostOptions.imageDir = Utf8Path(cli.value("--image-dir").value_or(""));
    // Nothing is asked of a drive that an update is changing. With --emulator the drives
    // share the lock of their bus folder with the updates on that bus; emulated drives in a
    // tree without one have their folders' own locks.
    hostOptions.lockDir = Utf8Path(session.emulatedBusFolder);
    hostOptions.clock = session.clock;
    std::unique_ptr<DriveReadersLock> readers;
    if (!hostOptions.lockDir.empty() || !OnlyEmulatedDisks(session.devices)) {
        bool updateRunning = false;
        std::string lockWhy;
        readers = session.services.state->ShareLock(hostOptions, &updateRunning, &lockWhy);
        if (!readers) {
            return updateRunning ? report.Fail("update-running", UpdateRunningText(lockWhy))
                                 : report.Fail("lock-failed", lockWhy);
        }
    }
    const int census = CountKnownDrives(session.devices);
    CBridgeMgr mgr(session.devices, session.clock);
    const int count = mgr.EnumerateDevices(ALL_DEVICES);
    std::string why;
    const int unopened = UnopenedDisks(session.devices, &why);
    // The text speaks the language of the environment; JSON stays English.
    const LanguageId lang = CurrentLanguage(std::nullopt);

    // The listing is gathered once, as text and as the object's fields.
    Json j = Json::object();
    j["census"] = static_cast<std::int64_t>(census);
    j["censusText"] = CensusText(census, kLanguageNeutral);
    j["deviceCount"] = static_cast<std::int64_t>(count);
    Json& drives = j["drives"] = Json::array();
    std::string text =
        FormatCliText(CliText::kCensusLine, lang, {std::to_string(census), CensusText(census, lang)}) +
        "\n" + FormatCliText(CliText::kBridgeDrives, lang, {std::to_string(count)}) + "\n";
    for (int slot = 0; slot < count; ++slot) {
        const DeviceRecord& r = mgr.deviceTable[static_cast<std::size_t>(slot)];
        const int chip = mgr.IdentifyChip(slot);
        Json& drive = drives.emplace_back(Json::object());
        drive["slot"] = static_cast<std::int64_t>(slot);
        drive["vendorId"] = Utf16ToUtf8(r.vendorIdText);
        drive["productId"] = Utf16ToUtf8(r.productIdText);
        drive["manufacturer"] = Utf16ToUtf8(r.manufacturer);
        drive["product"] = Utf16ToUtf8(r.product);
        drive["serialNumber"] = Utf16ToUtf8(r.serialNumber);
        drive["port"] = Utf16ToUtf8(r.usbPort);
        drive["firmwareVersion"] = Utf16ToUtf8(r.firmwareVersion);
        drive["normalMode"] = r.normalMode != 0;
        drive["chipKind"] = static_cast<std::int64_t>(chip);
        const ImageNote image = NoteImage(hostOptions, chip, r.firmwareVersion, lang);
        drive["imageVersion"] = image.version;
        drive["imageNewer"] = image.newer;
        if (!image.damaged.empty()) drive["imageDamaged"] = image.damaged;
        Json& searched = drive["imageSearched"] = Json::array();
        for (const ImagePlace& place : image.searched) {
            Json& o = searched.emplace_back(Json::object());
            o["path"] = Utf16ToUtf8(place.path);
            o["finding"] = InEnglish(place.finding);
        }
        Json& paths = drive["paths"] = Json::array();
        text += FormatCliText(CliText::kSlotLine, lang,
                              {std::to_string(slot),
                               Utf16ToUtf8(r.vendorIdText) + ":" + Utf16ToUtf8(r.productIdText),
                               EscapedForDisplay(r.manufacturer), EscapedForDisplay(r.product),
                               EscapedForDisplay(r.serialNumber)}) +
                "\n  USB port " + EscapedForDisplay(r.usbPort) + "\n  " +
                FormatCliText(CliText::kFirmwareLine, lang,
                              {Utf16ToUtf8(r.firmwareVersion),
                               CliString(r.normalMode ? CliText::kNormalFirmware
                                                      : CliText::kUpdateLoader,
                                         lang),
                               std::to_string(chip)}) +
                "\n  " + image.text + "\n";
        for (std::uint32_t k = 0; k < r.pathCount && k < kMaxPaths; ++k) {
            Json& o = paths.emplace_back(Json::object());
            o["path"] = Utf16ToUtf8(r.interfacePath[k]);
            o["lun"] = static_cast<std::int64_t>(r.lun[k]);
            o["deviceNumber"] = static_cast<std::int64_t>(r.deviceNumber[k]);
            o["diskLength"] = static_cast<std::int64_t>(r.diskLength[k]);
            text += "  " +
                    FormatCliText(CliText::kPathLine, lang,
                                  {Utf16ToUtf8(r.interfacePath[k]), std::to_string(r.lun[k]),
                                   std::to_string(r.deviceNumber[k]),
                                   std::to_string(r.diskLength[k])}) +
                    "\n";
        }
    }
    if (unopened > 0) {
        const std::string disks = std::to_string(unopened);
        j["note"] = FormatCliText(CliText::kUnopenedDisks, kLanguageNeutral, {disks, why});
        err << FormatCliText(CliText::kLeadNote, lang,
                             {FormatCliText(CliText::kUnopenedDisks, lang, {disks, why})})
            << "\n";
    }
    if (!report.json()) out << text;
    return report.Done([&](Json& into) { into.update(j); });
}

}  // namespace mox3
