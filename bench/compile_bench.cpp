// Speed of compiling the shipped configuration files and of the image digest test.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <fstream>
#include <random>

#include "base/sha256.h"
#include "base/text.h"
#include "bridge/config_build.h"
#include "bridge/firmware_image.h"
#include "config/digest_header.h"
#include "resources/resources.h"

namespace {

namespace fs = std::filesystem;

// Sample images and the shipped files written once into a private folder.
struct Files {
    fs::path dir;
    Files() {
        dir = fs::temp_directory_path() / ("mox3-bench-" + std::to_string(std::random_device{}()));
        fs::create_directories(dir);
        Write("gen1.bin", mox3::MakeSampleImage({1, "01020300", 40000, 1}, nullptr));
        Write("gen2.bin", mox3::MakeSampleImage({2, "01000700", 120000, 1}, nullptr));
        for (const auto& r : mox3::ConfigResources()) {
            Write(std::to_string(r.id) + ".ini", {r.bytes.begin(), r.bytes.end()});
        }
    }
    ~Files() {
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
    void Write(const std::string& name, const std::vector<std::uint8_t>& bytes) {
        std::ofstream(dir / name, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
    }
    std::u16string Path(const std::string& name) const {
        return mox3::Utf8ToUtf16((dir / name).string());
    }
};

const Files& SharedFiles() {
    static Files files;
    return files;
}

void BM_CompileShippedFile(benchmark::State& state) {
    const int id = static_cast<int>(state.range(0));
    const Files& files = SharedFiles();
    mox3::CBridgeMgr mgr;
    const std::u16string image = files.Path(id < 110 ? "gen1.bin" : "gen2.bin");
    const std::u16string config = files.Path(std::to_string(id) + ".ini");
    for (auto _ : state) {
        auto result = mox3::BuildConfigBlock(mgr, image, config, 0, u"4A3F0012B7C4D9E1");
        if (!result.ok) state.SkipWithError(result.reason.c_str());
        benchmark::DoNotOptimize(mgr.imageBuffer.data());
    }
}
BENCHMARK(BM_CompileShippedFile)
    ->Arg(104)
    ->Arg(106)
    ->Arg(116)
    ->Arg(117)
    ->Arg(118)
    ->Arg(119)
    ->Arg(120)
    ->Arg(121)
    ->Arg(123);

// The digest test of a largest second-generation image, against the library's raw speed.
void BM_ImageDigestTest(benchmark::State& state) {
    auto image = mox3::MakeSampleImage({2, "01000700", 262166, 1}, nullptr);
    for (auto _ : state) {
        benchmark::DoNotOptimize(mox3::DigestHolds(image, image.size() - 26));
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(image.size() - 62));
}
BENCHMARK(BM_ImageDigestTest);

void BM_RawSha256(benchmark::State& state) {
    std::vector<std::uint8_t> data(262166 - 62, 0x5A);
    for (auto _ : state) benchmark::DoNotOptimize(mox3::Sha256(data));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(data.size()));
}
BENCHMARK(BM_RawSha256);

}  // namespace

BENCHMARK_MAIN();
