// demo: an emulated drive made and updated before the user's eyes.
#include <filesystem>
#include <random>
#include <sstream>

#include "app/cli/cli_args.h"
#include "app/cli/cli_report.h"
#include "app/cli/cli_texts.h"
#include "app/cli/commands.h"
#include "app/cli/terminal_view.h"
#include "app/session/session.h"
#include "base/text.h"
#include "emulator/emulator_backend.h"
#include "emulator/emulator_tree.h"
#include "platform/platform.h"

namespace mox3 {

namespace {

namespace fs = std::filesystem;

constexpr const char* kDemoUsage =
    "usage: mox3-updater demo [--dir DIR] [--lang LANG] [--realistic]\n"
    "Makes an emulated ZR-MOX3 drive (product id 0x7C34) with firmware V01L00R05 and a sample\n"
    "image V01L00R07, and runs the whole update on it. With --realistic every request takes\n"
    "the time it takes on a real drive (USB round trips, data, flash programming), and the\n"
    "demonstration tells what the update cost.\n";

// The demonstration's time: waits pass on `base` in a twentieth of their length.
class DemoClock : public Clock {
  public:
    explicit DemoClock(std::shared_ptr<Clock> base) : base_(std::move(base)) {}
    std::uint64_t NowMs() override { return now_; }
    void SleepMs(std::uint32_t ms) override {
        now_ += ms;
        base_->SleepMs(ms / 20);
    }

  private:
    std::shared_ptr<Clock> base_;
    std::uint64_t now_ = 1'000'000;
};


}  // namespace

int RunDemoCommand(const Session& session, Args args, std::ostream& out, std::ostream& err) {
    CommandReport report("demo", false, out, err);
    if (IsHelp(args)) return report.Help(kDemoUsage);
    CliArgs cli(args, {"--dir", "--lang"}, {"--realistic"});
    if (!cli.ok()) return report.Usage(cli.error(), kDemoUsage);
    if (!cli.positional().empty()) {
        return report.Usage("unexpected argument " + cli.positional()[0], kDemoUsage);
    }
    if (cli.value("--lang") && !IsKnownLanguage(*cli.value("--lang"))) {
        return report.Usage("--lang " + *cli.value("--lang") + " is not a language of this " +
                                "program; it speaks " + KnownLanguagesText(),
                            kDemoUsage);
    }
    std::error_code ec;
    fs::path dir = cli.value("--dir").value_or(
        (fs::temp_directory_path() / ("mox3-demo-" + std::to_string(std::random_device{}())))
            .string());
    if (fs::exists(dir, ec) && !fs::is_empty(dir, ec)) {
        err << "error: " << dir.string() << " is not empty\n";
        return kExitFailed;
    }
    // A folder the demonstration chose itself goes when it ends; one the user named stays.
    struct RemoveAfter {
        fs::path dir;
        ~RemoveAfter() {
            std::error_code ignored;
            if (!dir.empty()) fs::remove_all(dir, ignored);
        }
    } cleanup{cli.value("--dir") ? fs::path() : dir};
    fs::create_directories(dir / "bus", ec);
    fs::create_directories(dir / "images", ec);
    auto clock = std::make_shared<DemoClock>(session.clock);
    auto driveClock = std::make_shared<CountingClock>(clock);
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
    if (RunEmulatorCommand(session, create, quiet, err) != kExitOk) return kExitFailed;

    const LanguageId lang = CurrentLanguage(cli.value("--lang"));
    out << FormatCliText(CliText::kDemoAttached, lang,
                         {(dir / "bus" / "ZR-MOX3").string(), "V01L00R05", "V01L00R07"})
        << "\n\n";
    out << "$ mox3-updater update --yes\n";
    RunOptions options;
    options.yes = true;
    options.lang = cli.value("--lang");
    options.imageDir = dir / "images";
    options.stateDir = dir / "state";
    options.lockDir = dir / "bus";
    // The demonstration's own session: its drive, on its clock.
    Session demo;
    demo.clock = clock;
    demo.services = session.services;
    demo.devices = {MakeEmulatorBackend(driveClock), MakeEmulatorDeviceTree(dir / "bus", driveClock)};
    demo.emulatedBusFolder = (dir / "bus").string();
    const std::shared_ptr<Clock> wall = ScaledSystemClock(1);
    const std::uint64_t start = clock->NowMs();
    const std::uint64_t wallStart = wall->NowMs();
    int result = RunUpdate(demo, options, out, err);
    const std::uint64_t tookMs = clock->NowMs() - start;
    const std::uint64_t realMs = wall->NowMs() - wallStart;

    std::vector<std::string> show = {"show", (dir / "bus" / "ZR-MOX3").string()};
    // The command to look again is worth showing only for a folder that stays.
    if (cli.value("--dir")) {
        out << "\n$ mox3-updater emulator show " << show[1] << "\n";
    } else {
        out << "\n" << CliString(CliText::kDemoAfter, lang) << "\n";
    }
    RunEmulatorCommand(session, show, out, err);
    auto seconds = [&](std::uint64_t ms) { return SecondsText(ms, lang); };
    out << "\n" << FormatCliText(CliText::kDemoTook, lang, {seconds(realMs), seconds(tookMs)}) << "\n";
    if (realistic) {
        out << FormatCliText(CliText::kDemoRealistic, lang,
                             {seconds(tookMs), seconds(tookMs - driveClock->sleptMs()),
                              seconds(driveClock->sleptMs())})
            << "\n";
    }
    return result;
}

}  // namespace mox3
