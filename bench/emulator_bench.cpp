// How fast the emulated drive is. An update at real speed against the waits the run itself
// must make (the emulator's own cost is the difference), the same update on a drive with the
// latency model in virtual time (what it costs on a real drive), `list` over 32 drives, and
// eight drives updated at once against one.
// The real-speed update takes as long as its waits, about 22 s.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <vector>

#include "app/cli/commands.h"
#include "app/session/session.h"
#include "app/run/host.h"
#include "app/run/update_run.h"
#include "base/clock.h"
#include "bridge/firmware_image.h"
#include "discovery/device_tree.h"
#include "emulator/emulator_backend.h"
#include "emulator/emulator_tree.h"
#include "transport/passthrough.h"

namespace {

namespace fs = std::filesystem;
using namespace mox3;

struct QuietView : UpdateView {
    void SetStatusText(const std::u16string&) override {}
    void ShowStatusText() override {}
    void EnableButtons(bool) override {}
    void StartBlinkTimer() override {}
    void StopBlinkTimer() override {}
    void InitProgress() override {}
    void SetProgress(int) override {}
    void SetVersionTexts(const std::u16string&, const std::u16string&) override {}
    void MessageBox(const std::u16string&, const std::u16string&) override {}
    void PostFinished() override {}
};

// A private folder, removed with the object.
struct Folder {
    fs::path path;
    Folder() {
        path = fs::temp_directory_path() /
               ("mox3-emulator-bench-" + std::to_string(std::random_device{}()));
        fs::create_directories(path);
    }
    ~Folder() {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
};

bool WriteImage(const fs::path& file, const std::string& digits, std::uint32_t seed) {
    auto image = MakeSampleImage({2, digits, 120000, seed}, nullptr);
    std::ofstream(file, std::ios::binary)
        .write(reinterpret_cast<const char*>(image.data()),
               static_cast<std::streamsize>(image.size()));
    return !image.empty();
}

// Makes the emulated ZR-MOX3 drive with V01L00R05 in `bus` and the image V01L00R07, on `clock`.
bool MakeDrive(const fs::path& folder, const fs::path& drive, std::shared_ptr<Clock> clock,
               std::string* why, const std::string& serial = "4A3F0012B7C4D9E1") {
    fs::create_directories(folder / "images");
    if (!WriteImage(folder / "old.bin", "01000500", 5) ||
        !WriteImage(folder / "images" / "firmware_C311.bin", "01000700", 7)) {
        *why = "cannot make the sample images";
        return false;
    }
    const std::vector<std::string> create = {
        "create",   drive.string(),     "--generation", "2",
        "--serial", serial,             "--firmware",   (folder / "old.bin").string()};
    Session maker;
    maker.clock = std::move(clock);
    std::ostringstream out, err;
    if (RunEmulatorCommand(maker, create, out, err) != kExitOk) {
        *why = err.str();
        return false;
    }
    return true;
}

struct UpdateFigures {
    bool ok = false;
    double wallS = 0;     // real time of the run
    double elapsedS = 0;  // time on the run's clock
    double waitsS = 0;    // what the run slept
    double latencyS = 0;  // what the drive's latency model slept
};

// One whole update of a fresh drive on `base` time, with the drive's latency model or not.
UpdateFigures TimeUpdate(std::shared_ptr<Clock> base, const EmulatedLatency& latency,
                         std::string* why, bool backup = true) {
    UpdateFigures figures;
    Folder folder;
    const fs::path bus = folder.path / "bus";
    const fs::path drive = bus / "ZR-MOX3";
    if (!MakeDrive(folder.path, drive, base, why)) return figures;
    if (latency.on() && !SetEmulatedDriveLatency(drive, latency, why)) return figures;

    auto hostClock = std::make_shared<CountingClock>(base);
    auto driveClock = std::make_shared<CountingClock>(base);
    HostOptions options;
    options.devices = {MakeEmulatorBackend(driveClock), MakeEmulatorDeviceTree(bus, driveClock)};
    options.imageDir = folder.path / "images";
    options.stateDir = folder.path / "state";
    options.lockDir = bus;  // emulated drives lock their bus folder, never the system's
    options.texts = [](int) { return std::u16string(); };
    options.clock = hostClock;
    options.noBackup = !backup;

    const auto wallStart = std::chrono::steady_clock::now();
    const std::uint64_t start = base->NowMs();
    HostStartFailure failure = HostStartFailure::kNone;
    auto host = StartCliHost(options, &failure, why);
    if (!host) return figures;
    QuietView view;
    Versions versions;
    const bool inspected = InspectAtStartup(view, *host, versions);
    const int result = inspected ? UpdateWorker(view, *host, versions) : -1;
    figures.wallS =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();
    figures.elapsedS = static_cast<double>(base->NowMs() - start) / 1000.0;
    figures.waitsS = static_cast<double>(hostClock->sleptMs()) / 1000.0;
    figures.latencyS = static_cast<double>(driveClock->sleptMs()) / 1000.0;
    figures.ok = result == 0;
    if (!figures.ok) *why = "the update ended with message " + std::to_string(result);
    return figures;
}

// `update --all --yes --json` as the command line runs it, over `count` drives with the typical
// latency, on a clock `scale` times faster than real time: the real seconds it took, or
// nothing (with `why`) when it failed. The emulator's own work is not made faster: the faster
// the clock, the more of the time is the emulator's, which eight drives share two cores for.
std::optional<double> TimeUpdateAll(int count, std::uint32_t scale, std::string* why) {
    Folder folder;
    const fs::path bus = folder.path / "bus";
    const std::shared_ptr<Clock> clock = ScaledSystemClock(scale);
    for (int i = 0; i < count; ++i) {
        char name[16], serial[24];
        std::snprintf(name, sizeof name, "drive%d", i);
        std::snprintf(serial, sizeof serial, "4A3F0012B7C4D9%02d", i);
        if (!MakeDrive(folder.path, bus / name, clock, why, serial) ||
            !SetEmulatedDriveLatency(bus / name, kTypicalLatency, why)) {
            return std::nullopt;
        }
    }
    Session session;
    session.clock = clock;
    session.devices = {MakeEmulatorBackend(clock), MakeEmulatorDeviceTree(bus, clock)};
    session.emulatedBusFolder = bus.string();
    const std::vector<std::string> args = {"--all", "--yes", "--json", "--image-dir",
                                           (folder.path / "images").string(), "--state-dir",
                                           (folder.path / "state").string()};
    std::ostringstream out, err;
    const auto start = std::chrono::steady_clock::now();
    const int code = RunUpdateCommand(session, args, out, err);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (code != kExitOk) {
        *why = "update --all ended with " + std::to_string(code) + ": " + out.str() + err.str();
        return std::nullopt;
    }
    return seconds;
}

std::optional<UpdateFigures> realSpeed, typicalDrive, typicalDriveNoBackup;
struct AllFigures {
    std::uint32_t scale;
    double one, eight;
};
std::vector<AllFigures> allFigures;
std::optional<double> listSeconds;

void BM_UpdateAtRealSpeed(benchmark::State& state) {
    for (auto _ : state) {
        std::string why;
        UpdateFigures f = TimeUpdate(SystemClock(), {}, &why);
        if (!f.ok) {
            state.SkipWithError(why.c_str());
            return;
        }
        state.SetIterationTime(f.wallS);
        state.counters["waits_s"] = f.waitsS;
        state.counters["own_ms"] = (f.wallS - f.waitsS) * 1000.0;
        state.counters["ratio"] = f.wallS / f.waitsS;
        realSpeed = f;
    }
}
BENCHMARK(BM_UpdateAtRealSpeed)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

// The argument: with the backup of the flash before the programming (1) or without (0).
void BM_UpdateOnATypicalDrive(benchmark::State& state) {
    const bool backup = state.range(0) != 0;
    for (auto _ : state) {
        std::string why;
        UpdateFigures f = TimeUpdate(std::make_shared<ManualClock>(), kTypicalLatency, &why, backup);
        if (!f.ok) {
            state.SkipWithError(why.c_str());
            return;
        }
        state.SetIterationTime(f.elapsedS);
        state.counters["waits_s"] = f.waitsS;
        state.counters["drive_s"] = f.latencyS;
        (backup ? typicalDrive : typicalDriveNoBackup) = f;
    }
}
BENCHMARK(BM_UpdateOnATypicalDrive)->ArgName("backup")->Arg(0)->Arg(1)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

// Eight drives with the typical latency updated at once (--all), against one drive alone; the
// argument is the clock's speed-up (1: real time, as real drives take it).
void BM_UpdateAllOfEight(benchmark::State& state) {
    const auto scale = static_cast<std::uint32_t>(state.range(0));
    for (auto _ : state) {
        std::string why;
        const std::optional<double> one = TimeUpdateAll(1, scale, &why);
        const std::optional<double> eight = one ? TimeUpdateAll(8, scale, &why) : std::nullopt;
        if (!eight) {
            state.SkipWithError(why.c_str());
            return;
        }
        state.SetIterationTime(*eight);
        state.counters["one_s"] = *one;
        state.counters["ratio"] = *eight / *one;
        allFigures.push_back({scale, *one, *eight});
    }
}
BENCHMARK(BM_UpdateAllOfEight)->Arg(1)->Arg(10)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

// `list` as the command line runs it, over a bus of 32 drives.
void BM_List32Drives(benchmark::State& state) {
    Folder folder;
    const fs::path bus = folder.path / "bus";
    std::string why;
    for (int i = 0; i < 32; ++i) {
        char name[16];
        std::snprintf(name, sizeof name, "drive%02d", i);
        if (!MakeDrive(folder.path, bus / name, SystemClock(), &why)) {
            state.SkipWithError(why.c_str());
            return;
        }
    }
    const std::optional<Session> session = StartSession("", bus.string(), &why);
    if (!session) {
        state.SkipWithError(why.c_str());
        return;
    }
    const std::vector<std::string> args;
    double total = 0;
    for (auto _ : state) {
        std::ostringstream out, err;
        const auto start = std::chrono::steady_clock::now();
        const int code = RunListCommand(*session, args, out, err);
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        state.SetIterationTime(seconds);
        total += seconds;
        if (code != kExitOk || out.str().find("32 bridge drive(s)") == std::string::npos) {
            state.SkipWithError(("list did not find the 32 drives: " + out.str()).c_str());
            return;
        }
    }
    listSeconds = total / static_cast<double>(state.iterations());
}
BENCHMARK(BM_List32Drives)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (realSpeed) {
        std::printf(
            "emulated update at real speed: %.2f s for %.2f s of waits the run must make "
            "(ratio %.4f, the emulator's own time %.0f ms)\n",
            realSpeed->wallS, realSpeed->waitsS, realSpeed->wallS / realSpeed->waitsS,
            (realSpeed->wallS - realSpeed->waitsS) * 1000.0);
    }
    if (typicalDrive) {
        std::printf(
            "the same update on a drive with typical latency: %.2f s, of which %.2f s "
            "USB round trips, data and flash programming\n",
            typicalDrive->elapsedS, typicalDrive->latencyS);
    }
    int code = 0;
    if (typicalDrive && typicalDriveNoBackup) {
        const double more = (typicalDrive->elapsedS / typicalDriveNoBackup->elapsedS - 1.0) * 100.0;
        std::printf("the backup of the flash adds %.2f %% to it (%.2f s without; target at most 2 %%)\n",
                    more, typicalDriveNoBackup->elapsedS);
        if (more > 2.0) code = 1;
    }
    if (listSeconds) std::printf("list of 32 emulated drives: %.3f s\n", *listSeconds);
    for (const AllFigures& f : allFigures) {
        std::printf(
            "update --all of 8 drives with typical latency, time %ux: %.2f s, one drive %.2f s "
            "(ratio %.3f)\n",
            f.scale, f.eight, f.one, f.eight / f.one);
    }
    return code;
}
