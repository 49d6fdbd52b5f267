// The run of backup and verify on the command line.
// Size: the run's every way out, each with its exit code, message and JSON, side by side.
#include "app/cli/flash_read_command.h"

#include "app/cli/cli_report.h"
#include "app/cli/cli_texts.h"
#include "app/cli/commands.h"
#include "app/cli/finding_texts.h"
#include "app/run/strings.h"
#include "app/session/session.h"
#include "base/text.h"
#include "platform/platform.h"
#include "platform/services.h"

namespace mox3 {

namespace {

// The terminal view with the reading shown as a read of its own, not as a backup's.
class PlainReadView : public TerminalView {
  public:
    PlainReadView(std::ostream& out, std::ostream& err, bool quiet, LanguageId lang,
                  std::shared_ptr<Clock> clock, const Services& services)
        : TerminalView(out, err, quiet, lang, std::move(clock), services), out_(out), quiet_(quiet),
          lang_(lang), tty_(services.console->StdoutIsTerminal() && &out == &std::cout) {}
    void BackupProgress(int read, std::uint32_t done, std::uint32_t size) override {
        if (quiet_ || (!tty_ && done != size)) return;
        const std::string text = FormatCliText(
            CliText::kFlashReading, lang_,
            {std::to_string(read), std::to_string(done / 1024), std::to_string(size / 1024)});
        if (tty_) {
            DrawBar(text);
        } else {
            out_ << text << "\n";
        }
    }

  private:
    std::ostream& out_;
    bool quiet_;
    LanguageId lang_;
    bool tty_;
};

}  // namespace

std::string ReadCommonOptions(const CliArgs& cli, FlashReadOptions& options) {
    options.yes = cli.has("--yes");
    options.json = cli.has("--json");
    if (options.json && !options.yes) {
        return "--json never asks: give --yes to let the drive leave the system for the read";
    }
    options.lang = cli.value("--lang");
    if (options.lang && !IsKnownLanguage(*options.lang)) {
        return "--lang " + *options.lang + " is not a language of this program; it speaks " +
               KnownLanguagesText();
    }
    if (cli.value("--device")) {
        if (cli.value("--device")->empty()) {
            return "--device takes a serial number, a USB port or a device node";
        }
        options.device = Utf8ToUtf16(*cli.value("--device"));
    }
    options.stateDir = Utf8Path(cli.value("--state-dir").value_or(""));
    if (!cli.positional().empty()) return "unexpected argument " + cli.positional()[0];
    return {};
}

bool FlashReadCommand::Confirm(const FlashReadDrive& drive) {
    if (yes_) return true;
    std::string product = Utf16ToUtf8(HexText16(drive.productId));
    if (!drive.product.empty()) (product += ' ') += EscapedForDisplay(drive.product);
    const std::string line =
        FormatCliText(CliText::kDriveLine, lang_,
                      {EscapedForDisplay(drive.serial), EscapedForDisplay(drive.port),
                       EscapedForDisplay(drive.path), product});
    return view_.Confirm(Utf8ToUtf16(line + "\n" + CliString(CliText::kAskRead, lang_)));
}

int RunFlashReadCommand(const Session& session, const std::string& name,
                        const FlashReadOptions& options, ReadProgress progress,
                        const MakeFlashReadCommand& make, std::ostream& out, std::ostream& err) {
    const LanguageId lang = CurrentLanguage(options.lang);
    CommandReport report(name, options.json, out, err, session.trace);
    Console& console = *session.services.console;
    std::unique_ptr<TerminalView> view =
        progress == ReadProgress::kPlain
            ? std::make_unique<PlainReadView>(out, err, options.json, lang, session.clock, session.services)
            : std::make_unique<TerminalView>(out, err, options.json, lang, session.clock, session.services);
    HostOptions hostOptions;
    hostOptions.imageDir = options.imageDir;
    hostOptions.stateDir = options.stateDir;
    hostOptions.lockDir = options.lockDir;
    hostOptions.texts = [lang](int id) { return LoadTableString(id, lang); };
    hostOptions.device = options.device;
    hostOptions.devices = session.devices;
    hostOptions.clock = std::make_shared<TickingClock>(session.clock, [v = view.get()] { v->Tick(); });
    hostOptions.backupCopy = options.copy;

    FlashReadEnd end;
    std::unique_ptr<FlashReadCommand> command;
    auto driveFields = [&](Json& j) {
        if (end.drive.path.empty()) return;
        j["serial"] = EscapedForDisplay(end.drive.serial);
        j["port"] = EscapedForDisplay(end.drive.port);
        j["drive"] = Utf16ToUtf8(end.drive.path);
        j["generation"] = end.drive.generation;
        if (console.InterruptionArrived()) j["interrupted"] = true;
    };
    // A failure: the cause in the user's language on standard error, in English in the JSON.
    auto fail = [&](const std::string& code, const std::string& said, const std::string& english,
                    int exitCode = kExitFailed) {
        if (options.json) return report.Fail(code, english, driveFields, exitCode);
        err << FormatCliText(CliText::kLeadError, lang, {said}) << "\n";
        if (std::string line = FailedRequestLine(session.trace.get()); !line.empty()) err << line << "\n";
        return exitCode;
    };

    console.InstallInterruptionHandling(kExitInterrupted);
    if (options.json) {
        Json j = Json::object();
        j["ok"] = false;
        j["command"] = name;
        j["interrupted"] = true;
        j["error"]["code"] = "interrupted";
        j["error"]["text"] = "interrupted before the drive was switched";
        console.SetInterruptionOutput(JsonText(j));
    }
    // Real drives take rights that emulated ones do not: say so rather than find no drive.
    if (options.lockDir.empty()) {
        if (std::string rights; !session.services.privileges->MayWriteDrives(&rights)) {
            return fail("needs-root", rights, rights);
        }
    }
    std::string why;
    HostStartFailure failure = HostStartFailure::kNone;
    std::unique_ptr<CliHost> host = session.services.state->StartHost(hostOptions, &failure, &why);
    if (!host) {
        switch (failure) {
            case HostStartFailure::kAlreadyRunning:
                return fail("already-running", FormatCliText(CliText::kAnotherRunning, lang, {why}),
                            FormatCliText(CliText::kAnotherRunning, kLanguageNeutral, {why}));
            case HostStartFailure::kLock: return fail("lock-failed", why, why);
            default: return fail("state-folder", why, why);
        }
    }
    command = make(*host, *view, hostOptions, lang);
    end = RunFlashRead(*view, *host, *command);
    view->EndBar();
    if (options.json) console.SetInterruptionOutput("");

    const Told* cause = end.stop.why ? &*end.stop.why : nullptr;
    switch (end.state) {
        case FlashReadEnd::State::kRead: {
            Json j = Json::object();
            driveFields(j);
            int code = command->Report(out, err, j);
            std::string errorCode = "interrupted";
            std::string text = "interrupted by a signal; the drive was brought back first";
            if (j.contains("error")) {
                errorCode = j["error"]["code"].get<std::string>();
                text = j["error"]["text"].get<std::string>();
                j.erase("error");
            }
            if (console.InterruptionArrived()) code = kExitInterrupted;
            const auto fields = [&](Json& object) { object.update(j); };
            if (code == kExitOk) return report.Done(fields);
            return options.json ? report.Fail(errorCode, text, fields, code) : code;
        }
        case FlashReadEnd::State::kDeclined:
            if (!options.json) out << CliString(CliText::kNothingChanged, lang) << "\n";
            return kExitNothingToDo;
        default: break;
    }
    const int exitCode = end.state == FlashReadEnd::State::kStopped ? kExitInterrupted : kExitFailed;
    const std::string& code = end.stop.code;
    if (cause) return fail(code, Said(*cause, lang), InEnglish(*cause), exitCode);
    if (!command->refusalSaid().empty()) {
        return fail(code, command->refusalSaid(), command->refusalInEnglish(), exitCode);
    }
    // The refusals whose message says it all.
    if (code == "several-drives") {
        const std::string n = std::to_string(end.matches);
        return fail(code, FormatCliText(CliText::kCauseSeveral, lang, {n}),
                    FormatCliText(CliText::kCauseSeveral, kLanguageNeutral, {n}), exitCode);
    }
    if (code == "no-drive") {
        return fail(code, CliString(CliText::kCauseNoDrive, lang),
                    CliString(CliText::kCauseNoDrive, kLanguageNeutral), exitCode);
    }
    if (code == "loader-without-record") {
        return fail(code, CliString(CliText::kCauseLoaderNoRecord, lang),
                    CliString(CliText::kCauseLoaderNoRecord, kLanguageNeutral), exitCode);
    }
    const int message = code == "serial-unreadable" ? kMsgSerialUnreadable : kMsgFailed;
    return fail(code, ForTerminal(LoadTableString(message, lang)),
                ForTerminal(LoadTableString(message, kLanguageNeutral)), exitCode);
}

}  // namespace mox3
