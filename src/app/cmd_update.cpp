// update and demo: the update run on the command line.

#include <cstdio>
#include <iostream>
#include <random>
#include <sstream>

#include "app/cli_args.h"
#include "app/commands.h"
#include "app/device_access.h"
#include "app/host.h"
#include "app/json.h"
#include "app/strings.h"
#include "app/update_run.h"
#include "bridge/firmware_image.h"
#include "config/text.h"
#include "emulator/emulator_backend.h"
#include "emulator/emulator_tree.h"
#include "platform/platform.h"

namespace mox3 {

namespace {

namespace fs = std::filesystem;

constexpr const char* kUpdateUsage =
    "usage: mox3-updater [--emulator DIR] update [--force] [--yes] [--json] [--lang LANG]\n"
    "                                           [--image-dir DIR] [--state-dir DIR]\n"
    "                                           [--recover-serial TEXT --model PID[:NAME]]\n"
    "Updates the one attached drive: shows the firmware on the drive and in the image file,\n"
    "asks to start (unless --yes) and runs the update. --force updates a drive that is not\n"
    "older than the image. A drive left in its update mode by an update whose record is\n"
    "lost is finished with --recover-serial (the serial number printed on the drive) and\n"
    "--model (its USB product id, and ZR-MOX3 or ZR-MOXE3 where a product id has both);\n"
    "the program then always asks. Exit code 0: updated; 1: refused or failed.\n";

constexpr const char* kDemoUsage =
    "usage: mox3-updater demo [--dir DIR] [--lang LANG] [--realistic]\n"
    "Makes an emulated ZR-MOX3 drive (product id 0x7C34) with firmware V01L00R05 and a sample\n"
    "image V01L00R07, and runs the whole update on it. With --realistic every request takes\n"
    "the time it takes on a real drive (USB round trips, data, flash programming), and the\n"
    "demonstration tells what the update cost.\n";

// What the run shows, on a terminal: status lines, a progress bar, the messages.
class TerminalView : public UpdateView {
  public:
    TerminalView(std::ostream& out, bool quiet)
        : out_(out), quiet_(quiet), tty_(StdoutIsTerminal() && &out == &std::cout) {}

    void SetStatusText(const std::u16string& text) override {
        if (text.empty() || quiet_) return;
        EndBar();
        out_ << ForTerminal(text) << "\n";
    }
    void ShowStatusText() override {}
    void EnableButtons(bool) override {}
    void StartBlinkTimer() override {}
    void StopBlinkTimer() override {}
    void InitProgress() override {
        started_ = true;
        SetProgress(0);
    }
    void SetProgress(int position) override {
        // Nothing to show of a bar that a refused run never started.
        if (quiet_ || !started_ || position == last_) return;
        last_ = position;
        if (tty_) {
            int filled = position * 40 / 100;
            out_ << "\r[" << std::string(static_cast<std::size_t>(filled), '#')
                 << std::string(static_cast<std::size_t>(40 - filled), ' ') << "] " << position
                 << "%" << std::flush;
            barOpen_ = true;
        } else {
            out_ << "progress " << position << "%\n";
        }
    }
    void SetVersionTexts(const std::u16string& current, const std::u16string& fresh) override {
        if (quiet_) return;
        out_ << "Current firmware: " << Utf16ToUtf8(current)
             << "\nNew firmware:     " << Utf16ToUtf8(fresh) << "\n";
    }
    void MessageBox(const std::u16string& caption, const std::u16string& text) override {
        lastMessage_ = text;
        if (quiet_) return;
        EndBar();
        std::string c = ForTerminal(caption);
        out_ << (c.empty() ? "" : c + ": ") << ForTerminal(text) << "\n";
    }
    void PostFinished() override {}
    void DriveAtRisk(bool atRisk) override { ProtectFromInterruptions(atRisk); }
    const std::u16string& lastMessage() const { return lastMessage_; }

  private:
    void EndBar() {
        if (barOpen_) out_ << "\n";
        barOpen_ = false;
    }
    std::ostream& out_;
    bool quiet_;
    bool tty_;
    bool barOpen_ = false;
    bool started_ = false;
    int last_ = -1;
    std::u16string lastMessage_;
};

struct RunOptions {
    std::optional<ManualRecovery> recovery;
    fs::path lockDir;
    bool force = false;
    bool yes = false;
    bool json = false;
    std::optional<std::string> lang;
    fs::path imageDir;
    fs::path stateDir;
    std::shared_ptr<Clock> clock;
};

std::string FormatProductId(std::uint16_t id) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%04X", id);
    return text;
}

int RunUpdate(const RunOptions& options, std::ostream& out, std::ostream& err) {
    const LanguageId lang = CurrentLanguage(options.lang);
    HostOptions hostOptions;
    hostOptions.imageDir = options.imageDir;
    hostOptions.stateDir = options.stateDir;
    hostOptions.force = options.force;
    hostOptions.texts = [lang](int id) { return LoadTableString(id, lang); };
    hostOptions.clock = options.clock;
    hostOptions.recovery = options.recovery;
    // Updates of emulated drives exclude each other per bus folder, so that tests in parallel
    // do not collide; real drives, per system.
    hostOptions.lockDir = options.lockDir;
    TerminalView view(out, options.json);

    auto finish = [&](int code, const char* result, int id) {
        if (options.json) {
            JsonWriter j;
            j.BeginObject()
                .Field("result", result)
                .Field("messageId", static_cast<std::int64_t>(id))
                .Field("message", ForTerminal(view.lastMessage()));
            out << j.EndObject().str();
        }
        return code;
    };

    InstallInterruptionHandling(kExitInterrupted);
    // Real drives take rights that emulated ones do not: say so rather than find no drive.
    if (options.lockDir.empty()) {
        if (std::string rights; !MayWriteDrives(&rights)) {
            err << "error: " << rights << "\n";
            if (options.json) {
                JsonWriter j;
                j.BeginObject().Field("result", "refused").Field("messageId", std::int64_t{0})
                    .Field("message", rights);
                out << j.EndObject().str();
            }
            return kExitFailed;
        }
    }
    std::string why;
    bool alreadyRunning = false;
    std::unique_ptr<CliHost> started = StartCliHost(hostOptions, &alreadyRunning, &why);
    if (!started && alreadyRunning) {
        view.MessageBox(LoadTableString(kMsgError, lang),
                        LoadTableString(kMsgAlreadyRunning, lang));
        err << "error: another update is running (it holds " << why << ")\n";
        return finish(kExitFailed, "refused", kMsgAlreadyRunning);
    }
    if (!started) {
        err << "error: " << why << "\n";
        return kExitFailed;
    }
    CliHost& host = *started;
    Versions versions;
    std::string unopenedWhy;
    if (int unopened = UnopenedDisks(&unopenedWhy); unopened > 0 && !options.json) {
        err << "note: " << unopened << " disk(s) could not be opened: " << unopenedWhy << "\n";
    }
    if (!InspectAtStartup(view, host, versions)) {
        if (versions.image && !versions.image->ok()) {
            err << "error: " << Utf16ToUtf8(versions.imagePath) << ": "
                << versions.image->problem() << " (failed test: "
                << ImageFaultName(versions.image->fault()) << ")\n";
        }
        return finish(kExitFailed, "refused",
                      view.lastMessage() == kImageMissingText ? 0 : host.lastTextId());
    }
    // Restarting the bridge would pull the disk from under whatever the system has on it.
    if (const std::vector<std::string> uses = host.DiskUses(versions.drivePath); !uses.empty()) {
        view.MessageBox(LoadTableString(kMsgError, lang), LoadTableString(kMsgDriveInUse, lang));
        for (const std::string& use : uses) err << "error: " << use << "\n";
        return finish(kExitFailed, "refused", kMsgDriveInUse);
    }
    if (options.recovery) {
        if (std::optional<UpdateMarker> marker = host.ReadMarker(); marker && !marker->serial.empty()) {
            err << "error: a record of the interrupted update names serial number "
                << Utf16ToUtf8(marker->serial)
                << "; run update without --recover-serial and --model to finish it\n";
            return finish(kExitFailed, "refused", 0);
        }
        // Writing a serial number and a model into a drive is not undone: always ask.
        out << "The drive in update mode will get serial number \""
            << Utf16ToUtf8(options.recovery->serial) << "\" and the configuration of "
            << FormatProductId(options.recovery->productId)
            << (options.recovery->product.empty() ? "" : " " + Utf16ToUtf8(options.recovery->product))
            << ".\nWrite them? [y/N] " << std::flush;
        std::string answer;
        if (!std::getline(std::cin, answer) || (answer != "y" && answer != "Y" && answer != "yes")) {
            out << "Nothing was changed.\n";
            return kExitFailed;
        }
    } else if (!options.yes) {
        out << "Start the update? [y/N] " << std::flush;
        std::string answer;
        if (!std::getline(std::cin, answer) ||
            (answer != "y" && answer != "Y" && answer != "yes")) {
            out << "Nothing was changed.\n";
            return kExitFailed;
        }
    }
    const int result = UpdateWorker(view, host, versions);
    if (InterruptionArrived()) {
        finish(result == 0 ? kExitOk : kExitFailed, result == 0 ? "done" : "failed",
               result == 0 ? kMsgCompleteText : result);
        return kExitInterrupted;
    }
    if (result == 0) return finish(kExitOk, "done", kMsgCompleteText);
    return finish(kExitFailed, result == kMsgNoUpdateNeeded ? "refused" : "failed", result);
}

// The demonstration's time: waits pass in a twentieth of their length.
class DemoClock : public Clock {
  public:
    std::uint64_t NowMs() override { return now_; }
    void SleepMs(std::uint32_t ms) override {
        now_ += ms;
        SystemClock()->SleepMs(ms / 20);
    }

  private:
    std::uint64_t now_ = 1'000'000;
};

// The demonstration's time as the drive spends it, counted apart from the run's waits.
class DriveClock : public Clock {
  public:
    explicit DriveClock(std::shared_ptr<Clock> base) : base_(std::move(base)) {}
    std::uint64_t NowMs() override { return base_->NowMs(); }
    void SleepMs(std::uint32_t ms) override {
        slept_ += ms;
        base_->SleepMs(ms);
    }
    std::uint64_t sleptMs() const { return slept_; }

  private:
    std::shared_ptr<Clock> base_;
    std::uint64_t slept_ = 0;
};

}  // namespace

// "0x7C34" or "0x7C34:ZR-MOX3"; the product id must be one of the family's.
std::optional<ManualRecovery> ParseModel(const std::string& text, std::string* why) {
    ManualRecovery model;
    const auto colon = text.find(':');
    const std::optional<unsigned long long> pid = ParseCount(text.substr(0, colon));
    if (!pid || *pid < 0x7C31 || *pid > 0x7C36) {
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

int RunUpdateCommand(Args args, std::ostream& out, std::ostream& err) {
    CliArgs cli(args, {"--lang", "--image-dir", "--state-dir", "--recover-serial", "--model"},
                {"--force", "--yes", "--json", "--help", "-h"});
    if (cli.has("--help") || cli.has("-h")) {
        out << kUpdateUsage;
        return kExitOk;
    }
    if (!cli.ok() || !cli.positional().empty()) {
        err << (cli.ok() ? "" : "error: " + cli.error() + "\n") << kUpdateUsage;
        return kExitUsage;
    }
    RunOptions options;
    options.force = cli.has("--force");
    options.yes = cli.has("--yes");
    options.json = cli.has("--json");
    options.lang = cli.value("--lang");
    options.imageDir = Utf8Path(cli.value("--image-dir").value_or(""));
    options.stateDir = Utf8Path(cli.value("--state-dir").value_or(""));
    options.clock = SystemClock();
    if (!EmulatedBusFolder().empty()) options.lockDir = EmulatedBusFolder();
    if (cli.value("--recover-serial") || cli.value("--model")) {
        std::string why;
        if (!cli.value("--recover-serial") || !cli.value("--model")) {
            err << "error: --recover-serial and --model go together\n" << kUpdateUsage;
            return kExitUsage;
        }
        options.recovery = ParseModel(*cli.value("--model"), &why);
        if (!options.recovery) {
            err << "error: " << why << "\n";
            return kExitUsage;
        }
        options.recovery->serial = Utf8ToUtf16(*cli.value("--recover-serial"));
        const std::size_t units = options.recovery->serial.size();
        if (units == 0 || units > 64) {
            err << "error: --recover-serial takes 1 to 64 characters\n";
            return kExitUsage;
        }
        if (options.json) {
            err << "error: --recover-serial always asks, so it does not go with --json\n";
            return kExitUsage;
        }
    }
    return RunUpdate(options, out, err);
}

int RunDemoCommand(Args args, std::ostream& out, std::ostream& err) {
    CliArgs cli(args, {"--dir", "--lang"}, {"--help", "-h", "--realistic"});
    if (cli.has("--help") || cli.has("-h")) {
        out << kDemoUsage;
        return kExitOk;
    }
    if (!cli.ok() || !cli.positional().empty()) {
        err << (cli.ok() ? "" : "error: " + cli.error() + "\n") << kDemoUsage;
        return kExitUsage;
    }
    std::error_code ec;
    fs::path dir = cli.value("--dir").value_or(
        (fs::temp_directory_path() / ("mox3-demo-" + std::to_string(std::random_device{}())))
            .string());
    if (fs::exists(dir, ec) && !fs::is_empty(dir, ec)) {
        err << "error: " << dir.string() << " is not empty\n";
        return kExitFailed;
    }
    fs::create_directories(dir / "bus", ec);
    fs::create_directories(dir / "images", ec);
    auto clock = std::make_shared<DemoClock>();
    auto driveClock = std::make_shared<DriveClock>(clock);
    const bool realistic = cli.has("--realistic");

    // The factory: the drive with old firmware, and the new image beside the program.
    std::string why;
    auto oldImage = MakeSampleImage({2, "01000500", 120000, 5}, &why);
    auto newImage = MakeSampleImage({2, "01000700", 120000, 7}, &why);
    if (!WriteFileAtomically((dir / "images" / "firmware_C311.bin").string(), newImage.data(),
                             newImage.size())
             .empty() ||
        !WriteFileAtomically((dir / "old.bin").string(), oldImage.data(), oldImage.size())
             .empty()) {
        err << "error: cannot write the demonstration's files in " << dir.string() << "\n";
        return kExitFailed;
    }
    std::vector<std::string> create = {"create",       (dir / "bus" / "ZR-MOX3").string(),
                                       "--generation", "2",
                                       "--pid",        "0x7C34",
                                       "--product",    "ZR-MOX3",
                                       "--serial",     "4A3F0012B7C4D9E1",
                                       "--firmware",   (dir / "old.bin").string()};
    if (realistic) create.insert(create.end(), {"--latency", "typical"});
    std::ostringstream quiet;
    if (RunEmulatorCommand(create, quiet, err) != kExitOk) return kExitFailed;

    out << "An emulated ZR-MOX3 drive is attached (folder " << (dir / "bus" / "ZR-MOX3").string()
        << "), firmware V01L00R05;\nthe image beside the program holds V01L00R07.\n\n";
    SetPassThroughBackend(MakeEmulatorBackend(driveClock));
    SetDeviceTree(MakeEmulatorDeviceTree(dir / "bus", driveClock));
    out << "$ mox3-updater update --yes\n";
    RunOptions options;
    options.yes = true;
    options.lang = cli.value("--lang");
    options.imageDir = dir / "images";
    options.stateDir = dir / "state";
    options.lockDir = dir / "bus";
    options.clock = clock;
    const std::uint64_t start = clock->NowMs();
    int result = RunUpdate(options, out, err);
    const std::uint64_t tookMs = clock->NowMs() - start;

    std::vector<std::string> show = {"show", (dir / "bus" / "ZR-MOX3").string()};
    out << "\n$ mox3-updater emulator show " << show[1] << "\n";
    RunEmulatorCommand(show, out, err);
    if (realistic) {
        char took[160];
        std::snprintf(took, sizeof took,
                      "\nOn a real drive this update takes %.1f s: %.1f s of waits the run makes "
                      "and %.1f s of USB requests and flash programming.\n",
                      static_cast<double>(tookMs) / 1000.0,
                      static_cast<double>(tookMs - driveClock->sleptMs()) / 1000.0,
                      static_cast<double>(driveClock->sleptMs()) / 1000.0);
        out << took;
    }
    return result;
}

}  // namespace mox3
