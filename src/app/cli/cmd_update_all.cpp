// update --all, and --device given more than once: several drives updated at once.
// Each drive gets a run of its own in a thread of its own: its own host (bound to the drive by
// its port, with its own configuration file, records and backup), its own view, its own
// outcome. The process's update lock is taken once, by the host that lives while they run.

#include <algorithm>
#include <iostream>
#include <thread>

#include "app/cli/cli_texts.h"
#include "app/cli/commands.h"
#include "app/cli/drive_output.h"
#include "app/cli/finding_texts.h"
#include "app/cli/json_out.h"
#include "app/cli/update_drives.h"
#include "app/cli/warning_report.h"
#include "app/run/host.h"
#include "app/run/strings.h"
#include "app/run/update_run.h"
#include "app/session/session.h"
#include "base/text.h"
#include "bridge/firmware_image.h"
#include "discovery/bridge_manager.h"
#include "discovery/drive_models.h"

namespace mox3 {

namespace {

// One selected drive and its run.
struct DriveRun {
    DriveRun(DriveLines& lines, std::size_t at, SharedConsole& shared)
        : outBuffer(lines, at, false), errBuffer(lines, at, true), out(&outBuffer),
          err(&errBuffer), console(std::make_shared<DriveConsole>(shared)) {}
    std::u16string serial, port, path;  // as found when the drives were listed
    LineBuffer outBuffer, errBuffer;
    std::ostream out, err;
    std::shared_ptr<DriveConsole> console;
    std::unique_ptr<TerminalView> view;
    std::unique_ptr<CliHost> host;
    Versions versions;
    std::string refusal;  // why this drive is not taken, before anything is sent to it
    bool wouldRun = false;
    int code = kExitFailed;
    int messageId = 0;
    std::string errorCode, errorText, driveState, backupFile;
    std::vector<Told> notes;
    std::uint64_t durationMs = 0;
};

// Runs `work` for every drive, each in a thread of its own (one after another where `together`
// is false), and returns when all are done.
void ForEachDrive(std::vector<std::unique_ptr<DriveRun>>& drives, bool together,
                  const std::function<void(DriveRun&)>& work) {
    if (!together) {
        for (auto& drive : drives) work(*drive);
        return;
    }
    std::vector<std::thread> threads;
    for (auto& drive : drives) threads.emplace_back([&work, &drive] { work(*drive); });
    for (std::thread& thread : threads) thread.join();
}

// The worst of the drives' exit codes: failed, then interrupted, then nothing to do, then done.
int WorstCode(const std::vector<std::unique_ptr<DriveRun>>& drives) {
    constexpr int kOrder[] = {kExitFailed, kExitInterrupted, kExitNothingToDo, kExitOk};
    for (int code : kOrder) {
        if (std::any_of(drives.begin(), drives.end(),
                        [code](const auto& d) { return d->code == code; })) {
            return code;
        }
    }
    return kExitOk;
}

// The inspection of one drive, and whether it would be updated; what stops it is kept as its
// outcome, as the run of one drive would say it.
void Inspect(DriveRun& d, const RunOptions& options) {
    auto stop = [&](int code, int messageId, std::string errorCode = "", std::string text = "") {
        d.code = code;
        d.messageId = messageId;
        d.errorCode = std::move(errorCode);
        d.errorText = std::move(text);
    };
    if (!InspectAtStartup(*d.view, *d.host, d.versions)) {
        if (!d.view->confirmationNeeded().empty()) {
            return stop(kExitFailed, 0, "confirmation-needed",
                        "a question must be answered first (update this drive alone with "
                        "--device): " +
                            d.view->confirmationNeeded());
        }
        const int outcome = d.view->lastTextId();
        if (outcome == kMsgNoUpdateNeeded) return stop(kExitNothingToDo, outcome);
        if (d.versions.image && !d.versions.image->ok()) {
            return stop(kExitFailed, kMsgImageDamaged, "",
                        FormatCliText(FindingPattern(Finding::kImageFailedTest, kLanguageNeutral),
                                      {Utf16ToUtf8(d.versions.imagePath),
                                       InEnglish(d.versions.image->problemFound()),
                                       ImageFaultName(d.versions.image->fault())}));
        }
        if (outcome == kMsgImageMissing) {
            return stop(kExitFailed, 0, "image-missing",
                        FormatCliText(CliText::kImageMissing, kLanguageNeutral,
                                      {Utf16ToUtf8(d.versions.imagePath)}));
        }
        return stop(kExitFailed, outcome);
    }
    if (const std::vector<Told> uses = d.host->DiskUses(d.versions.drivePaths); !uses.empty()) {
        std::string all;
        for (const Told& use : uses) {
            if (!all.empty()) all += "; ";
            all += InEnglish(use);
        }
        return stop(kExitFailed, kMsgDriveInUse, "", all);
    }
    d.wouldRun = d.versions.fresh > d.versions.current || options.force || d.versions.unfinished ||
                 d.versions.inLoader;
    if (options.check) return stop(d.wouldRun ? kExitOk : kExitNothingToDo, 0);
    if (!d.wouldRun) return stop(kExitNothingToDo, kMsgNoUpdateNeeded);
    d.code = kExitOk;
}

// The update of one inspected drive.
void Update(DriveRun& d, Console& console) {
    // Asked to stop before this drive began: it is left as it is.
    if (console.InterruptionArrived()) {
        d.code = kExitInterrupted;
        d.driveState = "unchanged";
        d.errorCode = "interrupted";
        d.errorText = "interrupted by a signal before this drive's update began";
        return;
    }
    const int result = UpdateWorker(*d.view, *d.host, d.versions);
    d.notes = d.host->TakeNotes();
    const BackupOutcome& backup = d.host->lastBackup();
    if (backup.state == BackupOutcome::State::kStored) d.backupFile = Utf16ToUtf8(backup.file);
    d.messageId = result == 0 ? kMsgCompleteText : result;
    if (result == kMsgStoppedWaiting && backup.state == BackupOutcome::State::kFailed) {
        d.driveState = "waiting-in-update-mode";
        d.code = kExitFailed;
        d.errorCode = "backup-failed";
        return;
    }
    d.code = result == 0                    ? kExitOk
             : result == kMsgNoUpdateNeeded ? kExitNothingToDo
             : result == kMsgStoppedWaiting ? kExitInterrupted
                                            : kExitFailed;
    d.driveState = result == 0                    ? "updated"
                   : result == kMsgStoppedWaiting ? "waiting-in-update-mode"
                                                  : "";
    if (console.InterruptionArrived() && d.code == kExitOk) {
        d.code = kExitInterrupted;
        d.errorCode = "interrupted";
        d.errorText = "interrupted by a signal; the update was finished first";
    }
}

std::string ErrorText(const DriveRun& d) {
    if (!d.errorText.empty()) return d.errorText;
    if (!d.view->lastCause().empty()) return d.view->lastCause();
    return ForTerminal(d.view->lastMessage());
}

// The serial number the drive has or gets (a drive in its loader shows none).
std::string SerialOf(const DriveRun& d) {
    const Versions& v = d.versions;
    if (v.inLoader && v.record && !v.record->serial.empty()) return EscapedForDisplay(v.record->serial);
    return EscapedForDisplay(!v.serial.empty() ? v.serial : d.serial);
}

Json DriveJson(const DriveRun& d, const RunOptions& options) {
    const Versions& v = d.versions;
    Json j = Json::object();
    j["drive"] = Utf16ToUtf8(!v.drivePath.empty() ? v.drivePath : d.path);
    j["serial"] = SerialOf(d);
    j["port"] = EscapedForDisplay(d.port);
    if (!v.drivePath.empty() && !v.inLoader) j["currentVersion"] = Utf16ToUtf8(v.currentText);
    if (v.image && v.image->ok()) j["newVersion"] = Utf16ToUtf8(v.newText);
    if (d.messageId != 0) j["messageId"] = static_cast<std::int64_t>(d.messageId);
    if (!d.view->lastMessage().empty()) j["message"] = ForTerminal(d.view->lastMessage());
    j["durationMs"] = static_cast<std::int64_t>(d.durationMs);
    if (options.check) j["updateAvailable"] = d.code == kExitOk;
    if (d.code == kExitInterrupted) j["interrupted"] = true;
    if (!d.driveState.empty()) j["driveState"] = d.driveState;
    if (!d.backupFile.empty()) j["backup"] = d.backupFile;
    if (!d.view->warnings().empty()) WriteWarningsJson(j, d.view->warnings());
    if (!d.notes.empty()) {
        Json& list = j["notes"] = Json::array();
        for (const Told& note : d.notes) list.push_back(InEnglish(note));
    }
    if (d.code != kExitOk && d.code != kExitNothingToDo) {
        Json& error = j["error"] = Json::object();
        error["code"] = d.errorCode.empty() ? std::string(UpdateErrorCode(d.messageId)) : d.errorCode;
        error["text"] = ErrorText(d);
    }
    return j;
}

// How the drive's run ended, in one line.
std::string OutcomeLine(const DriveRun& d, const RunOptions& options, LanguageId lang) {
    const std::string current = Utf16ToUtf8(d.versions.currentText);
    const std::string fresh = Utf16ToUtf8(d.versions.newText);
    std::string outcome;
    if (options.check && (d.code == kExitOk || d.code == kExitNothingToDo)) {
        outcome = CliString(d.code == kExitOk ? CliText::kCheckAvailable : CliText::kCheckNothing, lang);
    } else if (d.code == kExitOk) {
        outcome = FormatCliText(CliText::kOutcomeUpdated, lang, {current, fresh});
    } else if (d.code == kExitNothingToDo) {
        outcome = CliString(CliText::kOutcomeNothing, lang);
    } else {
        outcome = FormatCliText(d.code == kExitInterrupted ? CliText::kOutcomeInterrupted
                                                           : CliText::kOutcomeFailed,
                                lang, {ErrorText(d)});
    }
    if (!d.backupFile.empty()) {
        outcome += ", " + FormatCliText(CliText::kOutcomeBackup, lang, {d.backupFile});
    }
    return FormatCliText(CliText::kDriveOutcome, lang, {SerialOf(d), EscapedForDisplay(d.port), outcome});
}

}  // namespace

int RunUpdateOfDrives(const Session& session, const RunOptions& options, std::ostream& out,
                      std::ostream& err) {
    RunOptions one = options;
    one.all = false;
    one.devices.clear();
    const LanguageId lang = CurrentLanguage(options.lang);
    const HostOptions hostOptions = UpdateHostOptions(session, one, lang);

    // What stops every run before a drive is chosen stops this one as the run of one drive says
    // it: no rights, another update running, no state folder.
    if (options.lockDir.empty()) {
        if (std::string rights; !session.services.privileges->MayWriteDrives(&rights)) {
            return RunUpdate(session, one, out, err);
        }
    }
    HostStartFailure failure = HostStartFailure::kNone;
    std::string why;
    std::unique_ptr<CliHost> lockHolder =
        session.services.state->StartHost(hostOptions, &failure, &why);
    if (!lockHolder) return RunUpdate(session, one, out, err);

    // The drives selected, each once, in the order they are listed.
    std::vector<DeviceRecord> selected;
    int count = 0;
    {
        CBridgeMgr mgr(session.devices, session.clock);
        count = mgr.EnumerateDevices(ALL_DEVICES);
        std::vector<DeviceRecord> family;
        for (int i = 0; i < count; ++i) {
            const DeviceRecord& r = mgr.deviceTable[static_cast<std::size_t>(i)];
            if (FamilyDrive(r)) family.push_back(r);
        }
        std::vector<bool> taken(family.size(), options.all);
        for (const std::u16string& name : options.devices) {
            std::size_t matches = 0;
            for (std::size_t i = 0; i < family.size(); ++i) {
                if (NamesDrive(family[i], name)) {
                    taken[i] = true;
                    ++matches;
                }
            }
            // A name that picks no drive, or several: the run of that name alone says why.
            if (matches != 1) {
                lockHolder.reset();
                one.device = name;
                return RunUpdate(session, one, out, err);
            }
        }
        for (std::size_t i = 0; i < family.size(); ++i) {
            if (taken[i]) selected.push_back(family[i]);
        }
    }
    if (selected.size() <= 1) {
        // One drive (or none): the ordinary run, as without --all.
        lockHolder.reset();
        if (!options.devices.empty() && selected.size() == 1) one.device = options.devices.front();
        // --all beside drives of models that need no update: the one drive there is to update.
        if (options.all && selected.size() == 1 && count > 1) {
            one.device = !selected[0].usbPort.empty() ? selected[0].usbPort : selected[0].interfacePath[0];
        }
        return RunUpdate(session, one, out, err);
    }

    Console& console = *session.services.console;
    console.InstallInterruptionHandling(kExitInterrupted);
    const std::string command = options.check ? "update --check" : "update";
    if (options.json) {
        Json j = Json::object();
        j["ok"] = false;
        j["command"] = command;
        j["interrupted"] = true;
        j["driveState"] = "unchanged";
        j["error"]["code"] = "interrupted";
        j["error"]["text"] = "interrupted before anything was sent to a drive that needs finishing";
        console.SetInterruptionOutput(JsonText(j));
    }
    NoteUnopenedDisks(session, lang, options.json, err);

    const bool board = console.StdoutIsTerminal() && &out == &std::cout;
    DriveLines lines(out, err, board);
    SharedConsole shared(session.services.console);
    std::vector<std::unique_ptr<DriveRun>> drives;
    std::vector<std::string> tags;
    for (const DeviceRecord& r : selected) {
        const std::u16string& name = r.serialNumber.empty() ? r.usbPort : r.serialNumber;
        auto d = std::make_unique<DriveRun>(lines, lines.Add(EscapedForDisplay(name)), shared);
        d->serial = r.serialNumber;
        d->port = r.usbPort;
        d->path = r.interfacePath[0];
        Services services = session.services;
        services.console = d->console;
        d->view = std::make_unique<TerminalView>(d->out, d->err, options.json, lang, session.clock,
                                                 services);
        d->view->AskNothing();
        HostOptions own = hostOptions;
        // Bound to its port; a drive without one, to its device node.
        own.device = !r.usbPort.empty() ? r.usbPort : r.interfacePath[0];
        // Each run's configuration file of its own, named after the drive, once in this run.
        std::u16string tag = name;
        while (std::find(tags.begin(), tags.end(), ConfigFileName("", tag)) != tags.end()) tag += u"_";
        tags.push_back(ConfigFileName("", tag));
        own.configTag = tag;
        d->host = session.services.state->DriveHost(own);
        // Records and backups go by the serial number: two drives that share one take turns.
        const std::size_t same = static_cast<std::size_t>(std::count_if(
            selected.begin(), selected.end(),
            [&](const DeviceRecord& o) { return o.serialNumber == r.serialNumber; }));
        if (!r.serialNumber.empty() && same > 1) {
            d->refusal = std::to_string(same) + " drives have the serial number " +
                         EscapedForDisplay(r.serialNumber) +
                         ": update each alone with --device and its port";
        }
        drives.push_back(std::move(d));
    }
    // Where one record is kept for every drive, the drives take their turns.
    const bool together = lockHolder->RecordsPerDrive();
    const std::shared_ptr<Clock> wall = ScaledSystemClock(1);
    const std::uint64_t startMs = wall->NowMs();

    ForEachDrive(drives, true, [&](DriveRun& d) {
        if (!d.refusal.empty()) {
            d.errorCode = "refused";
            d.errorText = d.refusal;
        } else if (!d.host) {
            d.errorCode = "state-folder";
            d.errorText = "no host for this drive";
        } else {
            Inspect(d, options);
        }
    });
    std::vector<DriveRun*> planned;
    for (auto& d : drives) {
        if (d->wouldRun && d->code == kExitOk && !options.check) planned.push_back(d.get());
    }
    if (!planned.empty() && !options.yes) {
        for (const DriveRun* d : planned) {
            const std::string current = d->versions.inLoader ? "-" : Utf16ToUtf8(d->versions.currentText);
            out << "  "
                << FormatCliText(CliText::kDrivePlan, lang,
                                 {SerialOf(*d), EscapedForDisplay(d->port), current,
                                  Utf16ToUtf8(d->versions.newText)})
                << "\n";
        }
        out << FormatCliText(CliText::kAskStartDrives, lang, {std::to_string(planned.size())}) << " "
            << CliString(CliText::kYesNo, lang) << " " << std::flush;
        std::string answer;
        if (!(session.services.prompts->ReadLine(&answer) && IsYesAnswer(answer, lang))) {
            out << CliString(CliText::kNothingChanged, lang) << "\n";
            return kExitNothingToDo;
        }
    }
    ForEachDrive(drives, together, [&](DriveRun& d) {
        if (std::find(planned.begin(), planned.end(), &d) == planned.end()) return;
        const std::uint64_t began = wall->NowMs();
        Update(d, console);
        d.view->EndBar();
        d.durationMs = wall->NowMs() - began;
    });

    const int code = WorstCode(drives);
    if (options.json) {
        Json j = Json::object();
        j["ok"] = code == kExitOk || code == kExitNothingToDo;
        j["command"] = command;
        j["durationMs"] = static_cast<std::int64_t>(wall->NowMs() - startMs);
        if (console.InterruptionArrived()) j["interrupted"] = true;
        Json& list = j["drives"] = Json::array();
        for (const auto& d : drives) list.push_back(DriveJson(*d, options));
        out << JsonText(j);
        console.SetInterruptionOutput("");
        return code;
    }
    for (const auto& d : drives) {
        for (const Told& note : d->notes) {
            err << FormatCliText(CliText::kLeadNote, lang, {Said(note, lang)}) << "\n";
        }
        (d->code == kExitOk || d->code == kExitNothingToDo ? out : err)
            << OutcomeLine(*d, options, lang) << "\n";
    }
    return code;
}

}  // namespace mox3
