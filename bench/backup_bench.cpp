// What the backup of the flash adds to an update: the same update of a drive with the typical
// latency model, in virtual time, with the backup and with --no-backup. The target is at most
// 2 % more.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "app/cli/commands.h"
#include "app/run/host.h"
#include "app/run/update_run.h"
#include "app/session/session.h"
#include "base/clock.h"
#include "bridge/firmware_image.h"
#include "emulator/emulator_backend.h"
#include "emulator/emulator_tree.h"

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

bool WriteImage(const fs::path& file, const std::string& digits, std::uint32_t seed) {
    const auto image = MakeSampleImage({2, digits, 120000, seed}, nullptr);
    std::ofstream(file, std::ios::binary)
        .write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
    return !image.empty();
}

// Seconds of virtual time one update of a fresh drive takes; nothing when it fails (`why`).
std::optional<double> UpdateSeconds(bool backup, std::string* why) {
    const fs::path folder =
        fs::temp_directory_path() / ("mox3-backup-bench-" + std::to_string(std::random_device{}()));
    const fs::path bus = folder / "bus";
    const fs::path drive = bus / "ZR-MOX3";
    fs::create_directories(folder / "images");
    auto clock = std::make_shared<ManualClock>();
    std::optional<double> seconds;
    Session maker;
    maker.clock = clock;
    std::ostringstream out, err;
    const std::vector<std::string> create = {"create", drive.string(), "--generation", "2", "--serial",
                                             "4A3F0012B7C4D9E1", "--firmware", (folder / "old.bin").string()};
    if (!WriteImage(folder / "old.bin", "01000500", 5) ||
        !WriteImage(folder / "images" / "firmware_C311.bin", "01000700", 7) ||
        RunEmulatorCommand(maker, create, out, err) != kExitOk ||
        !SetEmulatedDriveLatency(drive, kTypicalLatency, why)) {
        if (why->empty()) *why = "cannot make the drive: " + err.str();
    } else {
        HostOptions options;
        options.devices = {MakeEmulatorBackend(clock), MakeEmulatorDeviceTree(bus, clock)};
        options.imageDir = folder / "images";
        options.stateDir = folder / "state";
        options.lockDir = bus;
        options.texts = [](int) { return std::u16string(); };
        options.clock = clock;
        options.noBackup = !backup;
        HostStartFailure failure = HostStartFailure::kNone;
        const std::uint64_t start = clock->NowMs();
        if (auto host = StartCliHost(options, &failure, why)) {
            QuietView view;
            Versions versions;
            const bool inspected = InspectAtStartup(view, *host, versions);
            const int result = inspected ? UpdateWorker(view, *host, versions) : -1;
            if (result == 0) {
                seconds = static_cast<double>(clock->NowMs() - start) / 1000.0;
            } else {
                *why = "the update ended with message " + std::to_string(result);
            }
        }
    }
    std::error_code ec;
    fs::remove_all(folder, ec);
    return seconds;
}

std::optional<double> withBackup, withoutBackup;

void BM_UpdateOnATypicalDrive(benchmark::State& state) {
    const bool backup = state.range(0) != 0;
    for (auto _ : state) {
        std::string why;
        const std::optional<double> seconds = UpdateSeconds(backup, &why);
        if (!seconds) {
            state.SkipWithError(why.c_str());
            return;
        }
        state.SetIterationTime(*seconds);
        (backup ? withBackup : withoutBackup) = seconds;
    }
}
BENCHMARK(BM_UpdateOnATypicalDrive)->ArgName("backup")->Arg(0)->Arg(1)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (withBackup && withoutBackup) {
        const double more = (*withBackup / *withoutBackup - 1.0) * 100.0;
        std::printf("update on a drive with typical latency: %.2f s with the backup, %.2f s without "
                    "(+%.2f %%; target at most 2 %%)\n",
                    *withBackup, *withoutBackup, more);
        return more <= 2.0 ? 0 : 1;
    }
    return 0;
}
