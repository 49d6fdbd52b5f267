// update: the update run on the command line.
// Size: the run's every way out, each with its exit code, message and JSON, side by side.

#include <algorithm>
#include <cstdio>
#include <iostream>
#include <sstream>

#include "app/cli/cli_args.h"
#include "app/cli/cli_report.h"
#include "app/cli/cli_texts.h"
#include "app/cli/commands.h"
#include "app/cli/finding_texts.h"
#include "app/cli/json_out.h"
#include "app/cli/terminal_view.h"
#include "app/cli/update_drives.h"
#include "app/cli/warning_report.h"
#include "app/run/host.h"
#include "app/run/strings.h"
#include "app/run/update_run.h"
#include "app/session/session.h"
#include "base/text.h"
#include "discovery/bridge_manager.h"
#include "bridge/firmware_image.h"
#include "platform/output_file.h"
#include "platform/platform.h"
#include "platform/services.h"

namespace mox3 {

namespace {

namespace fs = std::filesystem;

constexpr const char* kUpdateUsage =
    "usage: mox3-updater [--emulator DIR] update [--force] [--yes] [--json] [--lang LANG]\n"
    "                                           [--image-dir DIR] [--state-dir DIR]\n"
    "                                           [--all | --device SERIAL|PORT|NODE ...]\n"
    "                                           [--recover-serial TEXT --model PID[:NAME]]\n"
    "                                           [--check] [--backup FILE | --no-backup]\n"
    "       mox3-updater update --records [--json] [--state-dir DIR]\n"
    "       mox3-updater update --forget SERIAL [--yes] [--json] [--state-dir DIR]\n"
    "Updates the one attached drive: shows the firmware on the drive and in the image file,\n"
    "asks to start (unless --yes) and runs the update. --force updates a drive that is not\n"
    "older than the image. A drive left in its update mode by an update whose record is\n"
    "lost is finished with --recover-serial (the serial number printed on the drive) and\n"
    "--model (its USB product id, and ZR-MOX3 or ZR-MOXE3 where a product id has both);\n"
    "the program then always asks. --check only says whether an update would run and sends\n"
    "the drive nothing that changes it. --json prints one JSON object and never asks (it\n"
    "needs --yes or --check). With several drives attached, --device names the one to\n"
    "update by its serial number, its USB port (as `list` shows it) or a device node.\n"
    "--all updates every attached drive of the family, --device given more than once the\n"
    "drives it names: all at once, each in its own thread, after one question listing them\n"
    "(not with --backup FILE, --recover-serial or --model). Each drive's progress is shown\n"
    "on its own line (not on a terminal: each line begins with the drive's serial number),\n"
    "then one line per drive tells how it ended; --json gives a list \"drives\" of one\n"
    "object per drive. A failure of one drive never stops the others. The exit code is the\n"
    "worst of the drives': 1 before 4 before 3 before 0. On Windows, which keeps one record\n"
    "of an unfinished update for all drives, the drives are updated one after another.\n"
    "--records lists the records that unfinished updates left (one per drive); --forget\n"
    "removes the record of one drive after a question.\n"
    "Before it writes, the update reads the drive's whole flash twice and keeps it in the\n"
    "folder backups of the state folder (the newest 5 of each drive); --backup also writes a\n"
    "copy to FILE and FILE.json, --no-backup skips it. When the flash cannot be read, the\n"
    "update asks whether to go on without a backup (with --json it stops).\n"
    "Exit codes: 0 updated (--check: an update is available); 1 refused or failed; 2 bad\n"
    "usage; 3 nothing to do (up to date, declined, --check found nothing); 4 interrupted by a\n"
    "signal, after the drive was finished.\n";

constexpr std::string_view kUpdateErrorCodes[] = {
    "already-running", "no-drive", "several-drives", "update-failed", "system-not-supported",
    "image-damaged", "image-missing", "serial-unreadable", "loader-without-record", "no-answer",
    "drive-in-use", "drive-changed", "other-drive-unfinished", "stopped-waiting", "refused",
    "confirmation-needed", "model-mismatch", "recovery-refused", "needs-root", "lock-failed",
    "state-folder", "interrupted", "usage", "backup-failed",
};

// Stable names of the ways an update ends, for scripts.
const char* ErrorCode(int messageId) {
    switch (messageId) {
        case kMsgAlreadyRunning: return "already-running";
        case kMsgNotConnected: return "no-drive";
        case kMsgMultiple: return "several-drives";
        case kMsgFailed: return "update-failed";
        case kMsgOsNotSupported: return "system-not-supported";
        case kMsgImageDamaged: return "image-damaged";
        case kMsgSerialUnreadable: return "serial-unreadable";
        case kMsgLoaderWithoutRecord: return "loader-without-record";
        case kMsgNoAnswer: return "no-answer";
        case kMsgDriveInUse: return "drive-in-use";
        case kMsgDriveChanged: return "drive-changed";
        case kMsgOtherUnfinished: return "other-drive-unfinished";
        case kMsgStoppedWaiting: return "stopped-waiting";
        default: return "refused";
    }
}

std::string FormatProductId(std::uint16_t id) {
    return Utf16ToUtf8(HexText16(id));
}

// The answers that mean yes: "y" and "yes" always, and the words of the question's
// language.
bool SaysYes(const std::string& answer, LanguageId lang) {
    return IsYesAnswer(answer, lang);
}

// Asks `question` in `lang` with the language's answer letters; true when the answer read
// from the prompts means yes.
bool Confirm(std::ostream& out, Prompts& prompts, const std::string& question, LanguageId lang) {
    out << question << " " << CliString(CliText::kYesNo, lang) << " " << std::flush;
    std::string answer;
    return prompts.ReadLine(&answer) && SaysYes(answer, lang);
}

// One family drive as the refusal of several drives names it.
struct AttachedDrive {
    std::string serial, port, path, productId, product;
};

std::vector<AttachedDrive> AttachedDrives(const Session& session) {
    std::vector<AttachedDrive> drives;
    CBridgeMgr mgr(session.devices, session.clock);
    const int count = mgr.EnumerateDevices(ALL_DEVICES);
    for (int i = 0; i < count; ++i) {
        const DeviceRecord& r = mgr.deviceTable[static_cast<std::size_t>(i)];
        if (r.vendorId != kMakerVendorId && r.vendorId != kBareBridgeVendorId) continue;
        drives.push_back({EscapedForDisplay(r.serialNumber), EscapedForDisplay(r.usbPort),
                          EscapedForDisplay(r.interfacePath[0]), FormatProductId(r.productId),
                          EscapedForDisplay(r.product)});
    }
    return drives;
}

// The serial number the drive has, or gets: a drive in its loader shows none, and is given
// the one of its record or the one the user named.
std::u16string DriveSerial(const Versions& versions, const RunOptions& options) {
    if (!versions.inLoader) return versions.serial;
    if (versions.record && !versions.record->serial.empty()) return versions.record->serial;
    return options.recovery ? options.recovery->serial : versions.serial;
}

}  // namespace

HostOptions UpdateHostOptions(const Session& session, const RunOptions& options, LanguageId lang) {
    HostOptions hostOptions;
    hostOptions.imageDir = options.imageDir;
    hostOptions.stateDir = options.stateDir;
    hostOptions.force = options.force;
    hostOptions.texts = [lang](int id) { return LoadTableString(id, lang); };
    hostOptions.recovery = options.recovery;
    hostOptions.device = options.device;
    hostOptions.devices = session.devices;
    // Updates of emulated drives exclude each other per bus folder, so that tests in parallel
    // do not collide; real drives, per system.
    hostOptions.lockDir = options.lockDir;
    hostOptions.noBackup = options.noBackup;
    hostOptions.backupCopy = options.backupCopy;
    hostOptions.clock = session.clock;
    return hostOptions;
}

void NoteUnopenedDisks(const Session& session, LanguageId lang, bool quiet, std::ostream& err) {
    std::string why;
    if (int unopened = UnopenedDisks(session.devices, &why); unopened > 0 && !quiet) {
        err << FormatCliText(CliText::kLeadNote, lang,
                             {FormatCliText(CliText::kUnopenedDisks, lang, {std::to_string(unopened), why})})
            << "\n";
    }
}

int RunUpdate(const Session& session, const RunOptions& options, std::ostream& out,
              std::ostream& err) {
    const LanguageId lang = CurrentLanguage(options.lang);
    HostOptions hostOptions = UpdateHostOptions(session, options, lang);
    Console& console = *session.services.console;
    TerminalView view(out, err, options.json, lang, session.clock, session.services);
    hostOptions.clock = std::make_shared<TickingClock>(session.clock, [&view] { view.Tick(); });
    // The durations shown are real time, whatever the run's clock makes of its waits (the
    // demonstration's and the testing aid's clocks shorten them).
    const std::shared_ptr<Clock> wall = ScaledSystemClock(1);
    const std::uint64_t startMs = wall->NowMs();
    Versions versions;
    std::vector<AttachedDrive> attached;  // listed when several drives stop the run
    std::vector<Told> notes;              // what the run noted without stopping
    std::string driveState;               // where the run left the drive, when it sent anything
    std::string backupFile;               // where the backup of the flash is kept

    // Every way out: the exit code, and with --json one object of the common shape.
    auto finish = [&](int code, int messageId, const std::string& errorCode = "",
                      const std::string& errorText = "") {
        if (!options.json && code != kExitOk && code != kExitNothingToDo) {
            if (std::string line = FailedRequestLine(session.trace.get()); !line.empty()) err << line << "\n";
        }
        if (options.json) {
            Json j = Json::object();
            j["ok"] = code == kExitOk || code == kExitNothingToDo;
            j["command"] = options.check ? "update --check" : "update";
            if (!versions.serial.empty() || !versions.drivePath.empty()) {
                j["drive"] = Utf16ToUtf8(versions.drivePath);
                j["serial"] = EscapedForDisplay(DriveSerial(versions, options));
                j["port"] = EscapedForDisplay(versions.bound.port);
            }
            if (!attached.empty()) {
                Json& drives = j["drives"] = Json::array();
                for (const AttachedDrive& d : attached) {
                    Json& o = drives.emplace_back(Json::object());
                    o["serial"] = d.serial;
                    o["port"] = d.port;
                    o["drive"] = d.path;
                    o["productId"] = d.productId;
                    o["product"] = d.product;
                }
            }
            // Only what is known: a drive's version once it was read (a loader has none), the
            // image's once the image was read and found sound.
            if (!versions.drivePath.empty() && !versions.inLoader) {
                j["currentVersion"] = Utf16ToUtf8(versions.currentText);
            }
            if (versions.image && versions.image->ok()) {
                j["newVersion"] = Utf16ToUtf8(versions.newText);
            }
            if (messageId != 0) j["messageId"] = static_cast<std::int64_t>(messageId);
            if (!view.lastMessage().empty()) j["message"] = ForTerminal(view.lastMessage());
            j["durationMs"] = static_cast<std::int64_t>(wall->NowMs() - startMs);
            if (options.check) j["updateAvailable"] = code == kExitOk;
            if (console.InterruptionArrived()) j["interrupted"] = true;
            if (!driveState.empty()) j["driveState"] = driveState;
            if (!backupFile.empty()) {
                j["backup"] = backupFile;
                if (!options.backupCopy.empty()) j["backupCopy"] = options.backupCopy.string();
            }
            if (!view.warnings().empty()) WriteWarningsJson(j, view.warnings());
            if (!notes.empty()) {
                Json& list = j["notes"] = Json::array();
                for (const Told& note : notes) list.push_back(InEnglish(note));
            }
            if (code != kExitOk && code != kExitNothingToDo) {
                const std::string text = !errorText.empty()          ? errorText
                                         : !view.lastCause().empty() ? view.lastCause()
                                                                     : ForTerminal(view.lastMessage());
                Json& error = j["error"] = Json::object();
                error["code"] = errorCode.empty() ? std::string(ErrorCode(messageId)) : errorCode;
                error["text"] = text;
                WriteFailedRequest(error, session.trace.get());
            }
            out << JsonText(j);
            console.SetInterruptionOutput("");  // one object, whatever comes after
        }
        return code;
    };

    console.InstallInterruptionHandling(kExitInterrupted);
    if (options.json) {
        Json j = Json::object();
        j["ok"] = false;
        j["command"] = options.check ? "update --check" : "update";
        j["interrupted"] = true;
        j["driveState"] = "unchanged";
        j["error"]["code"] = "interrupted";
        j["error"]["text"] =
            "interrupted before anything was sent to the drive that needs finishing";
        console.SetInterruptionOutput(JsonText(j));
    }
    // Real drives take rights that emulated ones do not: say so rather than find no drive.
    if (options.lockDir.empty() && !options.records && !options.forget) {
        if (std::string rights; !session.services.privileges->MayWriteDrives(&rights)) {
            err << FormatCliText(CliText::kLeadError, lang, {rights}) << "\n";
            return finish(kExitFailed, 0, "needs-root", rights);
        }
    }
    std::string why;
    HostStartFailure failure = HostStartFailure::kNone;
    std::unique_ptr<CliHost> started = session.services.state->StartHost(hostOptions, &failure, &why);
    if (!started && failure == HostStartFailure::kAlreadyRunning) {
        view.Message({kMsgError, kMsgAlreadyRunning, LoadTableString(kMsgError, lang),
                      LoadTableString(kMsgAlreadyRunning, lang)});
        if (!options.json) {
            err << FormatCliText(CliText::kLeadCause, lang,
                                 {FormatCliText(CliText::kAnotherRunning, lang, {why})})
                << "\n";
        }
        return finish(kExitFailed, kMsgAlreadyRunning, "",
                      FormatCliText(CliText::kAnotherRunning, kLanguageNeutral, {why}));
    }
    if (!started) {
        err << FormatCliText(CliText::kLeadError, lang, {why}) << "\n";
        return finish(kExitFailed, 0,
                      failure == HostStartFailure::kLock ? "lock-failed" : "state-folder", why);
    }
    CliHost& host = *started;
    if (options.records) return ListUpdateRecords(host, options.json, out, err);
    if (options.forget) {
        return ForgetUpdateRecord(host, *options.forget, options.yes, options.json, out, err,
                                  [&](const std::string& question) {
                                      return AskOnTerminal(out, *session.services.prompts, question);
                                  });
    }
    NoteUnopenedDisks(session, lang, options.json, err);
    if (!InspectAtStartup(view, host, versions)) {
        if (!view.confirmationNeeded().empty()) {
            return finish(kExitFailed, 0, "confirmation-needed",
                          "a question must be answered first: " + view.confirmationNeeded());
        }
        if (view.declined()) {
            out << CliString(CliText::kNothingChanged, lang) << "\n";
            return finish(kExitNothingToDo, 0);
        }
        const int outcome = view.lastTextId();
        if (outcome == kMsgNoUpdateNeeded) return finish(kExitNothingToDo, kMsgNoUpdateNeeded);
        // A cause of the command line's own where the run gave none: said in the user's
        // language, and in English in the JSON.
        auto causeOf = [&](CliText key, std::initializer_list<std::string_view> values) {
            const std::string said = FormatCliText(key, lang, values);
            if (!options.json) err << FormatCliText(CliText::kLeadCause, lang, {said}) << "\n";
            return FormatCliText(key, kLanguageNeutral, values);
        };
        if (outcome == kMsgMultiple) {
            // Name each drive, so that --device can pick one.
            attached = AttachedDrives(session);
            if (!options.json) {
                for (const AttachedDrive& d : attached) {
                    std::string product = d.productId;
                    if (!d.product.empty()) (product += ' ') += d.product;
                    err << "  " << FormatCliText(CliText::kDriveLine, lang, {d.serial, d.port, d.path, product})
                        << "\n";
                }
            }
            // As the census counted them: a drive of a model that needs no update counts too.
            const std::size_t several =
                std::max<std::size_t>(attached.size(), static_cast<std::size_t>(versions.censusDevices));
            return finish(kExitFailed, outcome, "",
                          causeOf(CliText::kCauseSeveral, {std::to_string(several)}));
        }
        if (outcome == kMsgNotConnected && view.lastCause().empty()) {
            return finish(kExitFailed, outcome, "", causeOf(CliText::kCauseNoDrive, {}));
        }
        if (outcome == kMsgLoaderWithoutRecord && !hostOptions.recovery) {
            return finish(kExitFailed, outcome, "", causeOf(CliText::kCauseLoaderNoRecord, {}));
        }
        if (versions.image && !versions.image->ok()) {
            const std::string path = Utf16ToUtf8(versions.imagePath);
            const std::string test = ImageFaultName(versions.image->fault());
            auto told = [&](LanguageId in) {
                return FormatCliText(FindingPattern(Finding::kImageFailedTest, in),
                                     {path, Said(versions.image->problemFound(), in), test});
            };
            if (!options.json) err << FormatCliText(CliText::kLeadCause, lang, {told(lang)}) << "\n";
            return finish(kExitFailed, kMsgImageDamaged, "", told(kLanguageNeutral));
        }
        if (outcome == kMsgImageMissing) {
            // Every place looked at, and what stood there.
            const std::vector<ImagePlace> searched =
                SearchedImagePlaces(hostOptions, versions.bound.generation);
            auto places = [&](LanguageId in) {
                return searched.empty() ? Utf16ToUtf8(versions.imagePath) : SearchedPlacesText(searched, in);
            };
            if (!options.json) {
                err << FormatCliText(CliText::kLeadCause, lang,
                                     {FormatCliText(CliText::kImageMissing, lang, {places(lang)})})
                    << "\n";
            }
            return finish(kExitFailed, 0, "image-missing",
                          FormatCliText(CliText::kImageMissing, kLanguageNeutral, {places(kLanguageNeutral)}));
        }
        return finish(kExitFailed, outcome);
    }
    // Restarting the bridge would pull the disk from under whatever the system has on it.
    if (const std::vector<Told> uses = host.DiskUses(versions.drivePaths); !uses.empty()) {
        view.Message({kMsgError, kMsgDriveInUse, LoadTableString(kMsgError, lang),
                      LoadTableString(kMsgDriveInUse, lang)});
        std::string all;
        for (const Told& use : uses) {
            if (!options.json) err << FormatCliText(CliText::kLeadCause, lang, {Said(use, lang)}) << "\n";
            if (!all.empty()) all += "; ";
            all += InEnglish(use);
        }
        return finish(kExitFailed, kMsgDriveInUse, "", all);
    }
    // Whether a run would change the drive: an older drive (or --force), a drive in its loader
    // whose update is recorded, an interrupted update of this drive to finish.
    const bool wouldRun = versions.fresh > versions.current || options.force ||
                          versions.unfinished || versions.inLoader;
    if (options.check) {
        if (!options.json) {
            out << CliString(wouldRun ? CliText::kCheckAvailable : CliText::kCheckNothing, lang)
                << "\n";
        }
        return finish(wouldRun ? kExitOk : kExitNothingToDo, 0);
    }
    if (!wouldRun) {
        view.Message({0, kMsgNoUpdateNeeded, u"", LoadTableString(kMsgNoUpdateNeeded, lang)});
        return finish(kExitNothingToDo, kMsgNoUpdateNeeded);
    }
    if (options.recovery) {
        if (versions.record && !versions.record->serial.empty()) {
            err << FormatCliText(CliText::kLeadError, lang,
                                 {FormatCliText(CliText::kRecoveryRefused, lang,
                                                {EscapedForDisplay(versions.record->serial)})})
                << "\n";
            return finish(kExitFailed, 0, "recovery-refused",
                          "a record of the interrupted update exists");
        }
        // A serial number and a model are only written into a drive waiting in its loader, and
        // only a model of the loader's generation.
        if (!versions.inLoader) {
            const std::string refusal =
                "--recover-serial and --model are for a drive waiting in its update mode; this "
                "drive runs its normal firmware";
            err << FormatCliText(CliText::kLeadError, lang, {refusal}) << "\n";
            return finish(kExitFailed, 0, "recovery-refused", refusal);
        }
        if (!ModelFitsGeneration(*options.recovery, versions.bound.generation)) {
            const std::string refusal = "--model " + FormatProductId(options.recovery->productId) +
                                        " is not a model of this bridge's generation " +
                                        std::to_string(versions.bound.generation);
            err << FormatCliText(CliText::kLeadError, lang, {refusal}) << "\n";
            return finish(kExitFailed, 0, "model-mismatch", refusal);
        }
        // Writing a serial number and a model into a drive is not undone: always ask.
        std::string model = FormatProductId(options.recovery->productId);
        if (!options.recovery->product.empty()) {
            model += ' ';
            model += Utf16ToUtf8(options.recovery->product);
        }
        out << FormatCliText(CliText::kRecoverQuestion, lang,
                             {Utf16ToUtf8(options.recovery->serial), model})
            << "\n";
        if (!Confirm(out, *session.services.prompts, CliString(CliText::kAskWrite, lang), lang)) {
            out << CliString(CliText::kNothingChanged, lang) << "\n";
            return kExitNothingToDo;
        }
    } else if (!options.yes) {
        if (!Confirm(out, *session.services.prompts, CliString(CliText::kAskStart, lang), lang)) {
            out << CliString(CliText::kNothingChanged, lang) << "\n";
            return kExitNothingToDo;
        }
    }
    const int result = UpdateWorker(view, host, versions);
    view.EndBar();
    notes = host.TakeNotes();
    if (!options.json) {
        for (const Told& note : notes) {
            err << FormatCliText(CliText::kLeadNote, lang, {Said(note, lang)}) << "\n";
        }
    }
    const BackupOutcome& backup = host.lastBackup();
    if (backup.state == BackupOutcome::State::kStored) {
        backupFile = Utf16ToUtf8(backup.file);
        if (!options.json) out << FormatCliText(CliText::kBackupKept, lang, {backupFile}) << "\n";
        if (!host.backupCopyProblem().empty()) {
            const Told copyWhy = Tell(Finding::kBackupNotKept, {host.backupCopyProblem()});
            if (!options.json) err << FormatCliText(CliText::kLeadNote, lang, {Said(copyWhy, lang)}) << "\n";
            notes.push_back(copyWhy);
        }
    }
    // Without a backup the run stopped before writing: the drive waits in its update mode.
    if (result == kMsgStoppedWaiting && backup.state == BackupOutcome::State::kFailed) {
        driveState = "waiting-in-update-mode";
        return finish(kExitFailed, result, "backup-failed");
    }
    if (result == 0 && !options.json) {
        out << FormatCliText(CliText::kSummary, lang,
                             {EscapedForDisplay(DriveSerial(versions, options)),
                              Utf16ToUtf8(versions.currentText), Utf16ToUtf8(versions.newText),
                              SecondsText(wall->NowMs() - startMs, lang)})
            << "\n";
    }
    int code = result == 0                    ? kExitOk
               : result == kMsgNoUpdateNeeded   ? kExitNothingToDo
               : result == kMsgStoppedWaiting   ? kExitInterrupted
                                                : kExitFailed;
    driveState = result == 0                    ? "updated"
                 : result == kMsgStoppedWaiting ? "waiting-in-update-mode"
                                                : "";
    if (console.InterruptionArrived()) {
        // Held off until the drive was safe: the run ends as interrupted, saying how far it got.
        const bool done = code == kExitOk;
        code = kExitInterrupted;
        if (done) {
            return finish(code, kMsgCompleteText, "interrupted",
                          "interrupted by a signal; the update was finished first");
        }
    }
    return finish(code, result == 0 ? kMsgCompleteText : result);
}

// "0x7C34" or "0x7C34:ZR-MOX3"; the product id must be one of the family's.
std::optional<ManualRecovery> ParseModel(const std::string& text, std::string* why) {
    ManualRecovery model;
    const auto colon = text.find(':');
    const std::optional<unsigned long long> pid = ParseCount(text.substr(0, colon));
    if (!pid || *pid > 0xFFFF || !IsUpdatableProductId(static_cast<std::uint16_t>(*pid))) {
        *why = "--model takes a product id of the family, 0x7C31 to 0x7C36, and an optional "
               ":ZR-MOX3 or :ZR-MOXE3";
        return std::nullopt;
    }
    model.productId = static_cast<std::uint16_t>(*pid);
    if (colon != std::string::npos) model.product = Utf8ToUtf16(text.substr(colon + 1));
    if (ConfigResourceFor(model.productId, model.product) == 0) {
        *why = "product id " + FormatProductId(model.productId) +
               " needs the model name: add :ZR-MOX3 or :ZR-MOXE3";
        return std::nullopt;
    }
    return model;
}

const char* UpdateErrorCode(int messageId) {
    return ErrorCode(messageId);
}

std::span<const std::string_view> UpdateErrorCodes() {
    return kUpdateErrorCodes;
}

int RunUpdateCommand(const Session& session, Args args, std::ostream& out, std::ostream& err) {
    CommandReport report("update", WantsJson(args), out, err, session.trace);
    if (IsHelp(args)) return report.Help(kUpdateUsage);
    CliArgs cli(args, {"--lang", "--image-dir", "--state-dir", "--recover-serial", "--model",
                       "--device", "--forget", "--backup"},
                {"--force", "--yes", "--json", "--check", "--records", "--no-backup", "--all"});
    if (!cli.ok()) return report.Usage(cli.error(), kUpdateUsage);
    if (!cli.positional().empty()) {
        return report.Usage("unexpected argument " + cli.positional()[0], kUpdateUsage);
    }
    RunOptions options;
    options.force = cli.has("--force");
    options.yes = cli.has("--yes");
    options.json = cli.has("--json");
    options.check = cli.has("--check");
    options.records = cli.has("--records");
    if (cli.value("--forget")) options.forget = Utf8ToUtf16(*cli.value("--forget"));
    if (options.records && options.forget) {
        return report.Usage("--records and --forget do not go together", kUpdateUsage);
    }
    if (options.json && !options.yes && !options.check && !options.records) {
        return report.Usage("--json never asks: give --yes to update, or --check", kUpdateUsage);
    }
    options.noBackup = cli.has("--no-backup");
    if (cli.value("--backup")) {
        if (options.noBackup) return report.Usage("--backup and --no-backup do not go together", kUpdateUsage);
        options.backupCopy = Utf8Path(*cli.value("--backup"));
        // Refused before anything is sent to the drive, and the sidecar beside it too.
        std::filesystem::path sidecar = options.backupCopy;
        sidecar += ".json";
        for (const std::filesystem::path& path : {options.backupCopy, sidecar}) {
            if (std::string why = OutputPathProblem(path); !why.empty()) {
                return report.Usage("--backup: " + why, kUpdateUsage);
            }
        }
    }
    options.lang = cli.value("--lang");
    if (options.lang && !IsKnownLanguage(*options.lang)) {
        return report.Usage("--lang " + *options.lang + " is not a language of this program; it " +
                                "speaks " + KnownLanguagesText(),
                            kUpdateUsage);
    }
    for (const std::string& name : cli.values("--device")) {
        if (name.empty()) {
            return report.Usage("--device takes a serial number, a USB port or a device node",
                                kUpdateUsage);
        }
        if (std::find(options.devices.begin(), options.devices.end(), Utf8ToUtf16(name)) ==
            options.devices.end()) {
            options.devices.push_back(Utf8ToUtf16(name));
        }
    }
    if (options.devices.size() == 1) options.device = options.devices.front();
    options.all = cli.has("--all");
    // Several drives: each run needs what cannot be shared.
    if (options.all && !options.devices.empty()) {
        return report.Usage("--all and --device do not go together: --all takes every drive, "
                            "--device names each drive to update",
                            kUpdateUsage);
    }
    if (options.all || options.devices.size() > 1) {
        const char* several = options.all ? "--all" : "--device given more than once";
        if (!options.backupCopy.empty()) {
            return report.Usage(std::string(several) + " does not go with --backup FILE: one "
                                "copy cannot hold several drives; each drive's backup is kept "
                                "in the state folder",
                                kUpdateUsage);
        }
        if (cli.value("--recover-serial") || cli.value("--model")) {
            return report.Usage(std::string(several) + " does not go with --recover-serial and "
                                "--model, which finish one drive",
                                kUpdateUsage);
        }
        if (options.records || options.forget) {
            return report.Usage(std::string(several) + " does not go with --records or --forget",
                                kUpdateUsage);
        }
    }
    options.imageDir = Utf8Path(cli.value("--image-dir").value_or(""));
    options.stateDir = Utf8Path(cli.value("--state-dir").value_or(""));
    if (!session.emulatedBusFolder.empty()) options.lockDir = session.emulatedBusFolder;
    if (cli.value("--recover-serial") || cli.value("--model")) {
        std::string why;
        if (!cli.value("--recover-serial") || !cli.value("--model")) {
            return report.Usage("--recover-serial and --model go together", kUpdateUsage);
        }
        options.recovery = ParseModel(*cli.value("--model"), &why);
        if (!options.recovery) return report.Usage(why, kUpdateUsage);
        // Only what a USB serial string carries here: printable ASCII without blanks.
        const std::string serial = *cli.value("--recover-serial");
        if (serial.empty() || serial.size() > 64 ||
            !std::all_of(serial.begin(), serial.end(), [](char c) { return c > 0x20 && c < 0x7F; })) {
            return report.Usage("--recover-serial takes 1 to 64 printable ASCII characters "
                                "without blanks, as printed on the drive",
                                kUpdateUsage);
        }
        options.recovery->serial = Utf8ToUtf16(serial);
        if (options.json) {
            return report.Usage("--recover-serial always asks, so it does not go with --json",
                                kUpdateUsage);
        }
    }
    if (options.all || options.devices.size() > 1) {
        return RunUpdateOfDrives(session, options, out, err);
    }
    return RunUpdate(session, options, out, err);
}

}  // namespace mox3
