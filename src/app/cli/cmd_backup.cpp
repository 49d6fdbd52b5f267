// backup: the drive's whole flash kept in the backups folder, without an update.

#include "app/cli/cli_report.h"
#include "app/cli/commands.h"
#include "app/cli/flash_read_command.h"
#include "app/run/host.h"
#include "app/session/session.h"
#include "base/text.h"
#include "platform/output_file.h"
#include "platform/platform.h"

namespace mox3 {

namespace {

constexpr const char* kBackupUsage =
    "usage: mox3-updater [--emulator DIR] backup [--device SERIAL|PORT|NODE] [-o FILE] [--yes]\n"
    "                                           [--json] [--lang LANG] [--state-dir DIR]\n"
    "Reads the whole flash of the one attached drive (or the one --device names) twice and\n"
    "keeps it in the folder backups of the state folder, as an update does before it writes\n"
    "(the newest 5 of each drive are kept); -o also writes a copy to FILE and FILE.json.\n"
    "Nothing is written to the drive, but it is switched into its update mode for the read\n"
    "and leaves the system for a while: the program asks first unless --yes (--json needs\n"
    "--yes). A run stopped while the drive waits in its update mode is finished by running\n"
    "the command again.\n"
    "Exit codes: 0 kept; 1 refused or failed (the drive is brought back all the same); 2 bad\n"
    "usage; 3 declined; 4 interrupted.\n";

class BackupCommand : public FlashReadCommand {
  public:
    BackupCommand(CliHost& host, UpdateView& view, const FlashReadOptions& options, LanguageId lang)
        : FlashReadCommand(view, lang, options), host_(host), copy_(options.copy) {}

    std::optional<FlashReadStop> Check(const FlashReadDrive& drive) override {
        firmwareVersion_ = drive.firmwareVersion;
        return std::nullopt;
    }
    std::optional<Told> Read(CBridgeMgr& mgr, int index, const UpdateMarker& record) override {
        const BackupOutcome outcome = host_.BackupFlash(
            mgr, index, record, firmwareVersion_, [this](int read, std::uint32_t done, std::uint32_t size) {
                view_.BackupProgress(read, done, size);
            });
        if (outcome.state == BackupOutcome::State::kStored) return std::nullopt;
        return outcome.why;
    }
    int Report(std::ostream& out, std::ostream& err, Json& json) override {
        const std::string file = Utf16ToUtf8(host_.lastBackup().file);
        json["backup"] = file;
        if (!json_) out << FormatCliText(CliText::kBackupKept, lang_, {file}) << "\n";
        if (!copy_.empty()) {
            if (host_.backupCopyProblem().empty()) {
                json["backupCopy"] = copy_.string();
            } else {
                const Told why = Tell(Finding::kBackupNotKept, {host_.backupCopyProblem()});
                if (!json_) err << FormatCliText(CliText::kLeadError, lang_, {Said(why, lang_)}) << "\n";
                json["error"] = {{"code", "copy-failed"}, {"text", InEnglish(why)}};
                return kExitFailed;
            }
        }
        return kExitOk;
    }

  private:
    CliHost& host_;
    std::filesystem::path copy_;
    std::u16string firmwareVersion_;
};

}  // namespace

int RunBackupCommand(const Session& session, Args args, std::ostream& out, std::ostream& err) {
    CommandReport report("backup", WantsJson(args), out, err, session.trace);
    if (IsHelp(args)) return report.Help(kBackupUsage);
    CliArgs cli(args, {"--lang", "--state-dir", "--device", "-o"}, {"--yes", "--json"});
    if (!cli.ok()) return report.Usage(cli.error(), kBackupUsage);
    FlashReadOptions options;
    if (std::string why = ReadCommonOptions(cli, options); !why.empty()) {
        return report.Usage(why, kBackupUsage);
    }
    if (cli.value("-o")) {
        options.copy = Utf8Path(*cli.value("-o"));
        // Refused before anything is sent to the drive, and the description beside it too.
        std::filesystem::path sidecar = options.copy;
        sidecar += ".json";
        for (const std::filesystem::path& path : {options.copy, sidecar}) {
            if (std::string why = OutputPathProblem(path); !why.empty()) {
                return report.Usage("-o: " + why, kBackupUsage);
            }
        }
    }
    if (!session.emulatedBusFolder.empty()) options.lockDir = session.emulatedBusFolder;
    return RunFlashReadCommand(
        session, "backup", options, ReadProgress::kBackup,
        [&](CliHost& host, UpdateView& view, const HostOptions&, LanguageId lang) {
            return std::make_unique<BackupCommand>(host, view, options, lang);
        },
        out, err);
}

}  // namespace mox3
