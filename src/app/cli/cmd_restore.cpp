// restore: a backup of a drive's flash written back to the drive on the command line.
// Size: the run's every way out, each with its exit code, message and JSON, side by side.

#include <algorithm>
#include <iostream>

#include "app/cli/cli_args.h"
#include "app/cli/cli_report.h"
#include "app/cli/cli_texts.h"
#include "app/cli/commands.h"
#include "app/cli/finding_texts.h"
#include "app/cli/json_out.h"
#include "app/cli/terminal_view.h"
#include "app/run/backup_store.h"
#include "app/run/host.h"
#include "app/run/restore_run.h"
#include "app/run/strings.h"
#include "app/session/session.h"
#include "base/text.h"
#include "platform/output_file.h"
#include "platform/platform.h"
#include "platform/services.h"

namespace mox3 {

namespace {

constexpr const char* kRestoreUsage =
    "usage: mox3-updater [--emulator DIR] restore BACKUP [--device SERIAL|PORT|NODE]\n"
    "                                           [--other-drive] [--yes] [--json] [--lang LANG]\n"
    "                                           [--state-dir DIR] [--backup FILE | --no-backup]\n"
    "Writes BACKUP, a backup of a drive's flash as the update keeps them (with its description\n"
    "BACKUP.json, or the same name with .json for .bin), back to the one attached drive: its\n"
    "firmware and configuration block as they were when the backup was made. The backup's\n"
    "digest is checked first, and it must be of a bridge of the drive's generation and of this\n"
    "drive's serial number; --other-drive writes another drive's backup after a question that\n"
    "is always asked (so it does not go with --json). The program asks before it starts\n"
    "(unless --yes); --json prints one JSON object and never asks (it needs --yes). With\n"
    "several drives attached, --device names one by its serial number, its USB port or a\n"
    "device node. Before it writes, the flash as it is now is kept in the folder backups of\n"
    "the state folder, as the update keeps it (--backup also writes a copy to FILE,\n"
    "--no-backup skips it). The drive keeps the logical-block length it has. A restore broken\n"
    "off is finished by running the same restore again.\n"
    "Exit codes: 0 restored; 1 refused or failed; 2 bad usage; 3 declined; 4 interrupted by a\n"
    "signal, after the drive was finished, or stopped while the drive waited in its update\n"
    "mode.\n";

constexpr std::string_view kRestoreErrorCodes[] = {
    "usage", "needs-root", "already-running", "lock-failed", "state-folder",
    "backup-unreadable", "backup-damaged", "no-drive", "several-drives", "no-answer",
    "generation-mismatch", "serial-mismatch", "loader-without-record", "other-drive-unfinished",
    "drive-in-use", "drive-changed", "restore-failed", "stopped-waiting",
    "backup-failed", "interrupted",
};

const char* ErrorCode(int messageId) {
    switch (messageId) {
        case kMsgNotConnected: return "no-drive";
        case kMsgDriveInUse: return "drive-in-use";
        case kMsgDriveChanged: return "drive-changed";
        case kMsgStoppedWaiting: return "stopped-waiting";
        default: return "restore-failed";
    }
}

struct RestoreOptions {
    std::filesystem::path backup;
    std::optional<std::u16string> device;
    bool otherDrive = false;
    bool yes = false;
    bool json = false;
    std::optional<std::string> lang;
    std::filesystem::path stateDir;
    std::filesystem::path lockDir;
    bool noBackup = false;
    std::filesystem::path backupCopy;
};

int RunRestore(const Session& session, const RestoreOptions& options, std::ostream& out,
               std::ostream& err) {
    const LanguageId lang = CurrentLanguage(options.lang);
    Console& console = *session.services.console;
    TerminalView view(out, err, options.json, lang, session.clock, session.services);
    const std::shared_ptr<Clock> wall = ScaledSystemClock(1);
    const std::uint64_t startMs = wall->NowMs();
    RestorePlan plan;
    plan.backupPath = options.backup.u16string();
    const std::string backupText = Utf16ToUtf8(plan.backupPath);
    bool bound = false;           // a drive was chosen
    std::string driveState;       // where the run left the drive, once it sent anything
    std::string flashBackup;      // where the flash as it was before is kept
    std::vector<Told> notes;

    // Every way out: the exit code, and with --json one object of the common shape.
    auto finish = [&](int code, const std::string& errorCode = "", const std::string& errorText = "") {
        if (!options.json && code != kExitOk && code != kExitNothingToDo) {
            if (std::string line = FailedRequestLine(session.trace.get()); !line.empty()) err << line << "\n";
        }
        if (!options.json) return code;
        Json j = Json::object();
        j["ok"] = code == kExitOk || code == kExitNothingToDo;
        j["command"] = "restore";
        j["backup"] = backupText;
        if (bound) {
            j["drive"] = Utf16ToUtf8(plan.drivePath);
            j["serial"] = EscapedForDisplay(plan.serial);
            j["port"] = EscapedForDisplay(plan.bound.port);
        }
        if (!flashBackup.empty()) j["flashBackup"] = flashBackup;
        j["durationMs"] = static_cast<std::int64_t>(wall->NowMs() - startMs);
        if (console.InterruptionArrived()) j["interrupted"] = true;
        if (!driveState.empty()) j["driveState"] = driveState;
        if (!notes.empty()) {
            Json& list = j["notes"] = Json::array();
            for (const Told& note : notes) list.push_back(InEnglish(note));
        }
        if (code != kExitOk && code != kExitNothingToDo) {
            Json& error = j["error"] = Json::object();
            error["code"] = errorCode;
            error["text"] = !errorText.empty() ? errorText : view.lastCause();
            WriteFailedRequest(error, session.trace.get());
        }
        out << JsonText(j);
        console.SetInterruptionOutput("");
        return code;
    };
    // A refusal before anything was sent: "error: ..." in the user's language, English in JSON.
    auto refuse = [&](const std::string& code, const std::string& said, const std::string& english) {
        if (!options.json) err << FormatCliText(CliText::kLeadError, lang, {said}) << "\n";
        return finish(kExitFailed, code, english);
    };
    auto refuseWith = [&](const std::string& code, const Told& why) {
        return refuse(code, Said(why, lang), InEnglish(why));
    };

    console.InstallInterruptionHandling(kExitInterrupted);
    if (options.json) {
        Json j = Json::object();
        j["ok"] = false;
        j["command"] = "restore";
        j["interrupted"] = true;
        j["driveState"] = "unchanged";
        j["error"]["code"] = "interrupted";
        j["error"]["text"] = "interrupted before anything was sent to the drive that needs finishing";
        console.SetInterruptionOutput(JsonText(j));
    }
    // The backup, read whole and checked against its description before any drive is asked.
    Told why;
    const std::optional<BackupFile> backup = ReadBackupFile(options.backup, &why);
    if (!backup) {
        return refuseWith(why.what == Finding::kBackupFileUnreadable ? "backup-unreadable" : "backup-damaged",
                          why);
    }
    plan.backup = *backup;
    if (options.lockDir.empty()) {
        if (std::string rights; !session.services.privileges->MayWriteDrives(&rights)) {
            return refuse("needs-root", rights, rights);
        }
    }
    HostOptions hostOptions;
    hostOptions.stateDir = options.stateDir;
    hostOptions.lockDir = options.lockDir;
    hostOptions.texts = [lang](int id) { return LoadTableString(id, lang); };
    hostOptions.device = options.device;
    hostOptions.devices = session.devices;
    hostOptions.clock = std::make_shared<TickingClock>(session.clock, [&view] { view.Tick(); });
    hostOptions.noBackup = options.noBackup;
    hostOptions.backupCopy = options.backupCopy;
    std::string startWhy;
    HostStartFailure failure = HostStartFailure::kNone;
    std::unique_ptr<CliHost> started = session.services.state->StartHost(hostOptions, &failure, &startWhy);
    if (!started && failure == HostStartFailure::kAlreadyRunning) {
        return refuse("already-running", FormatCliText(CliText::kAnotherRunning, lang, {startWhy}),
                      FormatCliText(CliText::kAnotherRunning, kLanguageNeutral, {startWhy}));
    }
    if (!started) {
        return refuse(failure == HostStartFailure::kLock ? "lock-failed" : "state-folder", startWhy,
                      startWhy);
    }
    CliHost& host = *started;

    if (std::optional<RestoreRefusal> refusal =
            InspectRestore(host, options.device, options.otherDrive, plan)) {
        bound = !plan.drivePath.empty();
        if (refusal->why) return refuseWith(refusal->code, *refusal->why);
        if (refusal->code == "several-drives") {
            const std::string n = std::to_string(refusal->drives);
            return refuse(refusal->code, FormatCliText(CliText::kCauseSeveral, lang, {n}),
                          FormatCliText(CliText::kCauseSeveral, kLanguageNeutral, {n}));
        }
        return refuse(refusal->code, CliString(CliText::kCauseNoDrive, lang),
                      CliString(CliText::kCauseNoDrive, kLanguageNeutral));
    }
    bound = true;
    // Another drive's backup is always asked about; otherwise once, unless --yes.
    const std::string serial = EscapedForDisplay(plan.serial);
    if (plan.backup.serial != plan.serial) {
        const std::string question = FormatCliText(CliText::kAskOtherDrive, lang,
                                                   {EscapedForDisplay(plan.backup.serial), serial});
        if (!view.Confirm(Utf8ToUtf16(question))) {
            out << CliString(CliText::kNothingChanged, lang) << "\n";
            return finish(kExitNothingToDo);
        }
    } else if (!options.yes) {
        const std::string question = FormatCliText(
            CliText::kAskRestore, lang,
            {backupText, plan.backup.time.empty() ? "?" : plan.backup.time,
             plan.backup.firmwareVersion.empty() ? "?" : Utf16ToUtf8(plan.backup.firmwareVersion),
             serial});
        if (!view.Confirm(Utf8ToUtf16(question))) {
            out << CliString(CliText::kNothingChanged, lang) << "\n";
            return finish(kExitNothingToDo);
        }
    }

    const RestoreTexts texts{Utf8ToUtf16(CliString(CliText::kRestoreFailed, lang))};
    const int result = RestoreWorker(view, host, plan, texts, notes);
    view.EndBar();
    for (const Told& note : host.TakeNotes()) notes.push_back(note);
    if (!options.json) {
        for (const Told& note : notes) err << FormatCliText(CliText::kLeadNote, lang, {Said(note, lang)}) << "\n";
    }
    const BackupOutcome& kept = host.lastBackup();
    if (kept.state == BackupOutcome::State::kStored) {
        flashBackup = Utf16ToUtf8(kept.file);
        if (!options.json) out << FormatCliText(CliText::kBackupKept, lang, {flashBackup}) << "\n";
    }
    if (!view.confirmationNeeded().empty()) {
        driveState = "waiting-in-update-mode";
        return finish(kExitFailed, "backup-failed",
                      "a question must be answered first: " + view.confirmationNeeded());
    }
    if (result == kMsgStoppedWaiting && kept.state == BackupOutcome::State::kFailed) {
        driveState = "waiting-in-update-mode";
        return finish(kExitFailed, "backup-failed");
    }
    if (result == 0 && !options.json) {
        out << FormatCliText(CliText::kRestored, lang,
                             {EscapedForDisplay(plan.backup.serial), backupText,
                              SecondsText(wall->NowMs() - startMs, lang)})
            << "\n";
    }
    int code = result == 0 ? kExitOk : result == kMsgStoppedWaiting ? kExitInterrupted : kExitFailed;
    driveState = result == 0                    ? "restored"
                 : result == kMsgStoppedWaiting ? "waiting-in-update-mode"
                                                : "";
    if (console.InterruptionArrived()) {
        const bool done = code == kExitOk;
        code = kExitInterrupted;
        if (done) return finish(code, "interrupted", "interrupted by a signal; the restore was finished first");
    }
    return finish(code, result == 0 ? "" : ErrorCode(result));
}

}  // namespace

std::span<const std::string_view> RestoreErrorCodes() {
    return kRestoreErrorCodes;
}

int RunRestoreCommand(const Session& session, Args args, std::ostream& out, std::ostream& err) {
    CommandReport report("restore", WantsJson(args), out, err, session.trace);
    if (IsHelp(args)) return report.Help(kRestoreUsage);
    CliArgs cli(args, {"--lang", "--state-dir", "--device", "--backup"},
                {"--other-drive", "--yes", "--json", "--no-backup"});
    if (!cli.ok()) return report.Usage(cli.error(), kRestoreUsage);
    if (cli.positional().size() != 1) {
        return report.Usage(cli.positional().empty() ? "restore needs the backup file to write back"
                                                     : "unexpected argument " + cli.positional()[1],
                            kRestoreUsage);
    }
    RestoreOptions options;
    options.backup = std::filesystem::absolute(Utf8Path(cli.positional()[0])).lexically_normal();
    options.otherDrive = cli.has("--other-drive");
    options.yes = cli.has("--yes");
    options.json = cli.has("--json");
    if (options.json && !options.yes) {
        return report.Usage("--json never asks: give --yes to restore", kRestoreUsage);
    }
    if (options.json && options.otherDrive) {
        return report.Usage("--other-drive always asks, so it does not go with --json", kRestoreUsage);
    }
    options.noBackup = cli.has("--no-backup");
    if (cli.value("--backup")) {
        if (options.noBackup) return report.Usage("--backup and --no-backup do not go together", kRestoreUsage);
        options.backupCopy = Utf8Path(*cli.value("--backup"));
        std::filesystem::path sidecar = options.backupCopy;
        sidecar += ".json";
        for (const std::filesystem::path& path : {options.backupCopy, sidecar}) {
            if (std::string why = OutputPathProblem(path); !why.empty()) {
                return report.Usage("--backup: " + why, kRestoreUsage);
            }
        }
    }
    options.lang = cli.value("--lang");
    if (options.lang && !IsKnownLanguage(*options.lang)) {
        return report.Usage("--lang " + *options.lang + " is not a language of this program; it " +
                                "speaks " + KnownLanguagesText(),
                            kRestoreUsage);
    }
    if (cli.value("--device")) {
        if (cli.value("--device")->empty()) {
            return report.Usage("--device takes a serial number, a USB port or a device node",
                                kRestoreUsage);
        }
        options.device = Utf8ToUtf16(*cli.value("--device"));
    }
    options.stateDir = Utf8Path(cli.value("--state-dir").value_or(""));
    if (!session.emulatedBusFolder.empty()) options.lockDir = session.emulatedBusFolder;
    return RunRestore(session, options, out, err);
}

}  // namespace mox3
