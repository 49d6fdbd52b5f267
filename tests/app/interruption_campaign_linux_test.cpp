// Interruptions of a real update or restore process: killed before one of its requests, the
// drive power-cycled and the program run again, the drive must end with the new firmware, its
// model, its own serial number and its own block length (after a restore: the backup's flash),
// for both generations and block lengths. CI tries points spread over the run;
// MOX3_CAMPAIGN_EVERY=1 tries every request (scripts/interruption-campaign.sh).
#include <csignal>
#include <cstdlib>

#include "app/program_run_linux.h"
#include "app/run/backup_store.h"
#include "bridge/flash_backup.h"
#include "emulator/emulator_fixture.h"

namespace mox3::test {
namespace {

constexpr std::uint32_t kTimeScale = 500;
constexpr const char* kSerial = "4A3F0012B7C4D9E1";

class Campaign {
  public:
    Campaign(const TempDir& dir, int generation, std::uint32_t blockLength)
        : dir_(dir), clock_(ScaledSystemClock(kTimeScale)), blockLength_(blockLength) {
        std::filesystem::create_directories(dir_ / "images");
        WriteBytes(dir_ / "images" / (generation == 1 ? "firmware_C30.bin" : "firmware_C311.bin"),
                   MakeSampleImage({generation, "01000700", 30000, 7}, &why_));
        setup_.generation = generation;
        setup_.flashSize = generation == 1 ? kFirstGenerationFlashSize : kSecondGenerationFlashSize;
        setup_.flash = Flash("01000500");
        EXPECT_FALSE(setup_.flash.empty()) << why_;
    }

    // From now on the runs restore a backup of the flash of an older firmware (1.03).
    void RestoreOlder() {
        backup_ = Flash("01000300");
        const std::size_t block = setup_.generation == 1 ? 4096 : 0;
        backup_.resize(BackupFlashSize(setup_.generation, std::span(backup_).subspan(block, 4096)));
        UpdateMarker record{Utf8ToUtf16(kSerial), blockLength_, u"", 0x5E3B, 0x7C34, u"ZR-MOX3",
                            setup_.generation};
        WriteBytes(dir_ / "older.bin", backup_);
        const std::string sidecar = BackupSidecar({&record, u"V01L00R03", 1'765'000'000}, backup_);
        WriteText(dir_ / "older.json", sidecar);
    }

    // A factory-fresh drive on a bus of its own, and a fresh state folder.
    std::filesystem::path Fresh(int point) {
        bus_ = dir_ / ("bus" + std::to_string(point));
        state_ = dir_ / ("state" + std::to_string(point));
        std::filesystem::create_directories(bus_);
        EXPECT_TRUE(CreateEmulatedDrive(bus_ / "drive", setup_, *clock_, &why_)) << why_;
        if (!factory_) factory_ = InspectEmulatedDrive(bus_ / "drive", *clock_, &why_);
        return bus_ / "drive";
    }

    // The update (or restore) on the drive's bus, killed before request `killAt` or sent
    // `signal` there: its exit code, -1 when a signal ended it.
    int Run(const std::string& killAt = "", const std::string& signal = "",
            const std::vector<std::string>& first = {}) {
        ProgramSetting setting;
        setting.environment = {{"MOX3_TIME_SCALE", std::to_string(kTimeScale)}};
        if (!killAt.empty()) setting.environment.emplace_back("MOX3_KILL_AT_REQUEST", killAt);
        if (!signal.empty()) setting.environment.emplace_back("MOX3_KILL_SIGNAL", signal);
        setting.errorsWithOutput = true;
        std::vector<std::string> words = first;
        words.insert(words.end(), {"--emulator", bus_.string()});
        if (backup_.empty()) {
            words.insert(words.end(), {"update", "--image-dir", (dir_ / "images").string()});
        } else {
            words.insert(words.end(), {"restore", (dir_ / "older.bin").string()});
        }
        words.insert(words.end(), {"--state-dir", state_.string(), "--yes"});
        const ProgramResult r = RunProgram(words, dir_.path(), setting);
        said += r.out;
        return r.code;
    }

    // Empty when the drive ended right, else what it shows.
    std::string Wrong(const std::filesystem::path& drive) {
        auto v = InspectEmulatedDrive(drive, *clock_, &why_);
        if (!v || !factory_) return "not inspected: " + why_;
        const auto id = [](const EmulatedDriveView& x) {
            return std::tuple(x.usb.vendorId, x.usb.productId, x.usb.product, x.usb.serialNumber);
        };
        const bool right =
            !v->loader && v->logicalBlockLength == blockLength_ &&
            (backup_.empty() ? v->firmwareVersion == "V01L00R07" && id(*v) == id(*factory_)
                             : std::equal(backup_.begin(), backup_.end(), v->flash.begin()));
        return right ? "" : v->firmwareVersion + (v->loader ? " loader " : " normal ") +
                                Utf16ToUtf8(v->usb.serialNumber) + " " +
                                std::to_string(v->logicalBlockLength) + "-byte blocks";
    }
    bool FlashAsMade(const std::filesystem::path& drive) {
        auto v = InspectEmulatedDrive(drive, *clock_, &why_);
        return v && v->flash == setup_.flash;
    }

    Clock& clock() { return *clock_; }
    std::string said;  // what the runs said

  private:
    std::vector<std::uint8_t> Flash(const std::string& digits) {
        const int g = setup_.generation;
        const FactoryParts p = CompileParts(dir_, g, digits, kSerial, g == 1 ? 104 : 117, 30000);
        return FactoryFlash(g, setup_.flashSize, p.block, p.firmwareAddress, p.image,
                            p.firmwareLength, blockLength_, &why_);
    }

    const TempDir& dir_;
    std::shared_ptr<Clock> clock_;
    std::uint32_t blockLength_;
    std::string why_;
    EmulatedDriveSetup setup_;
    std::optional<EmulatedDriveView> factory_;
    std::vector<std::uint8_t> backup_;  // what a restore writes back
    std::filesystem::path bus_, state_;
};

using Param = std::tuple<int, std::uint32_t, bool>;  // generation, block length, restore
class InterruptionCampaign : public ::testing::TestWithParam<Param> {};

// One whole run, traced, counts the requests; then runs killed before requests spread over
// them are power-cycled and run again.
TEST_P(InterruptionCampaign, EveryInterruptedRunCanBeFinished) {
    const auto [generation, blockLength, restore] = GetParam();
    TempDir dir;
    Campaign campaign(dir, generation, blockLength);
    if (restore) campaign.RestoreOlder();
    auto drive = campaign.Fresh(0);
    ASSERT_EQ(campaign.Run("", "", {"--trace", (dir / "trace.json").string()}), 0) << campaign.said;
    ASSERT_EQ(campaign.Wrong(drive), "");
    const std::string trace = ReadText(dir / "trace.json");
    const long total = std::count(trace.begin(), trace.end(), '\n');
    ASSERT_GT(total, 50);
    const char* every = std::getenv("MOX3_CAMPAIGN_EVERY");
    const long points = every && std::string(every) == "1" ? total : 12;
    int right = 0, saidDone = 0;
    for (long i = 0; i < points; ++i) {
        const long killAt = points == total ? 1 + i : 1 + i * (total - 1) / (points - 1);
        drive = campaign.Fresh(static_cast<int>(10 + i));
        EXPECT_EQ(campaign.Run(std::to_string(killAt)), -1) << "request " << killAt;
        std::string why;
        ASSERT_TRUE(PowerCycleEmulatedDrive(drive, campaign.clock(), &why)) << why;
        const int again = campaign.Run();
        const std::string wrong = campaign.Wrong(drive);
        saidDone += again == 0;
        right += wrong.empty();
        EXPECT_EQ(wrong, "") << "request " << killAt << " of " << total << ": exit " << again;
    }
    std::printf("interruption campaign: generation %d, %u-byte blocks%s: %d of %ld kill points "
                "over %ld requests ended right; %d second runs said done\n",
                generation, blockLength, restore ? ", restore" : "", right, points, total,
                saidDone);
}

TEST(Interruptions, ASignalWaitsUntilTheDriveIsSafe) {
    TempDir dir;
    Campaign campaign(dir, 2, 4096);
    // Before the bridge is switched over, Ctrl-C ends the program at once: the drive is as it was.
    auto d = campaign.Fresh(1);
    EXPECT_EQ(campaign.Run("3", "2"), 4);
    EXPECT_TRUE(campaign.FlashAsMade(d));
    EXPECT_NE(campaign.Wrong(d).find("V01L00R05 normal"), std::string::npos);
    // While the flash is written, and while the drive restarts, a signal is noted; the update
    // ends as it would have, and the exit code says it was interrupted. (The backup takes the
    // first 520 requests: the block, and 128 KiB read twice, each with its header.)
    int point = 2;
    for (const auto& [request, signal] : {std::pair{"560", "15"}, std::pair{"580", "2"},
                                          std::pair{"610", "1"}, std::pair{"680", "3"}}) {
        d = campaign.Fresh(point++);
        EXPECT_EQ(campaign.Run(request, signal), 4) << "signal " << signal << " at " << request;
        EXPECT_EQ(campaign.Wrong(d), "") << "signal " << signal;
    }
    // A signal while the flash is read for the backup stops an update or a restore before the
    // erase: the flash is as it was, the record kept, and the next run finishes the drive.
    for (const bool restore : {false, true}) {
        if (restore) campaign.RestoreOlder();
        d = campaign.Fresh(point++);
        EXPECT_EQ(campaign.Run("300", "2"), 4);
        EXPECT_TRUE(campaign.FlashAsMade(d));
        EXPECT_EQ(campaign.Run(), 0) << campaign.said;
        EXPECT_EQ(campaign.Wrong(d), "");
    }
    EXPECT_NE(campaign.said.find("interruption deferred"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(BothGenerationsAndBlockLengths, InterruptionCampaign,
                         ::testing::Combine(::testing::Values(1, 2), ::testing::Values(512u, 4096u),
                                            ::testing::Bool()),
                         [](const auto& p) {
                             return "Generation" + std::to_string(std::get<0>(p.param)) +
                                    "Blocks" + std::to_string(std::get<1>(p.param)) +
                                    (std::get<2>(p.param) ? "Restore" : "Update");
                         });

}  // namespace
}  // namespace mox3::test
