// Interruptions of a real update process: the program is killed before one of its requests, the
// drive is power-cycled and the program run again. Every time the drive must end with the new
// firmware, its model's configuration, its own serial number and its own logical-block length,
// for both bridge generations and both block lengths. The same for a restore of a backup: the
// drive must end with the backup's flash and its own block length. CI tries points spread over the whole
// request sequence; MOX3_CAMPAIGN_EVERY=1 tries every request (scripts/interruption-campaign.sh).
#include <csignal>
#include <cstdlib>
#include <fstream>

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
        std::string why;
        std::filesystem::create_directories(dir_ / "images");
        WriteBytes(dir_ / "images" / (generation == 1 ? "firmware_C30.bin" : "firmware_C311.bin"),
                   MakeSampleImage({generation, "01000700", 30000, 7}, &why));
        const FactoryParts parts =
            CompileParts(dir_, generation, "01000500", kSerial, generation == 1 ? 104 : 117, 30000);
        setup_.generation = generation;
        setup_.flashSize =
            generation == 1 ? kFirstGenerationFlashSize : kSecondGenerationFlashSize;
        setup_.flash = FactoryFlash(generation, setup_.flashSize, parts.block, parts.firmwareAddress,
                                    parts.image, parts.firmwareLength, blockLength, &why);
        EXPECT_FALSE(setup_.flash.empty()) << why;
    }

    // From now on the runs restore a backup of the flash of an older firmware (1.03).
    void RestoreOlder() {
        std::string why;
        const FactoryParts parts = CompileParts(dir_, setup_.generation, "01000300", kSerial,
                                                setup_.generation == 1 ? 104 : 117, 30000);
        backup_ = FactoryFlash(setup_.generation, setup_.flashSize, parts.block,
                               parts.firmwareAddress, parts.image, parts.firmwareLength, blockLength_, &why);
        const std::size_t block = setup_.generation == 1 ? 4096 : 0;
        backup_.resize(BackupFlashSize(setup_.generation, std::span(backup_).subspan(block, 4096)));
        UpdateMarker record{Utf8ToUtf16(kSerial), blockLength_, u"", 0x5E3B, 0x7C34, u"ZR-MOX3",
                            setup_.generation};
        WriteBytes(dir_ / "older.bin", backup_);
        const std::string sidecar = BackupSidecar({&record, u"V01L00R03", 1'765'000'000}, backup_);
        WriteBytes(dir_ / "older.json", std::vector<std::uint8_t>(sidecar.begin(), sidecar.end()));
    }

    // A factory-fresh drive on a bus of its own, and a fresh state folder.
    std::filesystem::path Fresh(int point) {
        bus_ = dir_ / ("bus" + std::to_string(point));
        state_ = dir_ / ("state" + std::to_string(point));
        std::filesystem::create_directories(bus_);
        std::string why;
        EXPECT_TRUE(CreateEmulatedDrive(bus_ / "drive", setup_, *clock_, &why)) << why;
        if (!factory_) factory_ = InspectEmulatedDrive(bus_ / "drive", *clock_, &why);
        return bus_ / "drive";
    }

    // The update on the drive's bus, with `environment`: its exit code (-1 when a signal ended
    // it); what it said is added to `said`.
    int Update(std::vector<std::pair<std::string, std::string>> environment,
               const std::vector<std::string>& first = {}) {
        ProgramSetting setting;
        setting.environment = std::move(environment);
        setting.environment.emplace_back("MOX3_TIME_SCALE", std::to_string(kTimeScale));
        setting.errorsWithOutput = true;
        std::vector<std::string> words = first;
        words.insert(words.end(), {"--emulator", bus_.string(), "--state-dir", state_.string(), "--yes"});
        if (backup_.empty()) {
            words.insert(words.end() - 3, {"update", "--image-dir", (dir_ / "images").string()});
        } else {
            words.insert(words.end() - 3, {"restore", (dir_ / "older.bin").string()});
        }
        const ProgramResult r = RunProgram(words, dir_.path(), setting);
        said += r.out;
        return r.code;
    }
    std::string said;

    bool Right(const std::filesystem::path& drive, std::string* what) {
        std::string why;
        auto view = InspectEmulatedDrive(drive, *clock_, &why);
        if (!view) return *what = why, false;
        *what = view->firmwareVersion + " " + (view->loader ? "loader" : "normal") + " " +
                Utf16ToUtf8(view->usb.serialNumber) + " " +
                std::to_string(view->logicalBlockLength) + "-byte blocks";
        if (!backup_.empty()) {
            return !view->loader && view->logicalBlockLength == blockLength_ &&
                   std::equal(backup_.begin(), backup_.end(), view->flash.begin());
        }
        return factory_ && !view->loader && view->firmwareVersion == "V01L00R07" &&
               view->usb.productId == factory_->usb.productId && view->usb.vendorId == 0x5E3B &&
               view->usb.serialNumber == Utf8ToUtf16(kSerial) &&
               view->usb.product == factory_->usb.product &&
               view->logicalBlockLength == blockLength_;
    }

    // The drive's flash holds what it was made with.
    bool FlashAsMade(const std::filesystem::path& drive) {
        std::string why;
        auto view = InspectEmulatedDrive(drive, *clock_, &why);
        return view && view->flash == setup_.flash;
    }

    Clock& clock() { return *clock_; }

  private:
    const TempDir& dir_;
    std::shared_ptr<Clock> clock_;
    std::uint32_t blockLength_;
    EmulatedDriveSetup setup_;
    std::optional<EmulatedDriveView> factory_;
    std::vector<std::uint8_t> backup_;  // what a restore writes back
    std::filesystem::path bus_, state_;
};

struct Tally {
    int points = 0;
    int right = 0;
    int saidDone = 0;  // the second run reported success
};

// Kills an update before request `killAt`, power-cycles the drive and runs the update again.
void TryPoint(Campaign& campaign, int point, long killAt, long total, Tally& tally) {
    auto d = campaign.Fresh(point);
    const int killed = campaign.Update({{"MOX3_KILL_AT_REQUEST", std::to_string(killAt)}});
    EXPECT_EQ(killed, -1) << "request " << killAt;
    std::string why, what;
    ASSERT_TRUE(PowerCycleEmulatedDrive(d, campaign.clock(), &why)) << why;
    const int again = campaign.Update({});
    const bool ok = campaign.Right(d, &what);
    ++tally.points;
    if (again == 0) {
        ++tally.saidDone;
        // Done means done.
        EXPECT_TRUE(ok) << "request " << killAt << " reported done: " << what;
    }
    if (ok) {
        ++tally.right;
    } else {
        ADD_FAILURE() << "request " << killAt << " of " << total << ": exit " << again << ", "
                      << what;
    }
}

class InterruptionCampaign : public ::testing::TestWithParam<std::pair<int, std::uint32_t>> {};

// Runs the whole update (or restore) once to count its requests, then kills it before requests
// spread over them (every one with MOX3_CAMPAIGN_EVERY=1).
void RunCampaign(Campaign& campaign, const TempDir& dir, int generation, std::uint32_t blockLength) {
    // An uninterrupted run, traced, tells how many requests a whole update sends.
    auto drive = campaign.Fresh(0);
    const auto trace = dir / "trace.json";
    ASSERT_EQ(campaign.Update({}, {"--trace", trace.string()}), 0) << campaign.said;
    std::string what;
    ASSERT_TRUE(campaign.Right(drive, &what)) << what;
    std::ifstream lines(trace);
    long total =
        std::count(std::istreambuf_iterator<char>(lines), std::istreambuf_iterator<char>(), '\n');
    ASSERT_GT(total, 50);

    const char* every = std::getenv("MOX3_CAMPAIGN_EVERY");
    const bool all = every && std::string(every) == "1";
    const long points = all ? total : 12;
    Tally tally;
    for (long i = 0; i < points; ++i) {
        const long killAt = all ? 1 + i : 1 + i * (total - 1) / (points - 1);
        TryPoint(campaign, static_cast<int>(10 + i), killAt, total, tally);
    }
    std::printf("interruption campaign: generation %d, %u-byte blocks: %d of %d kill points over "
                "%ld requests ended right; %d second runs said done\n",
                generation, blockLength, tally.right, tally.points, total, tally.saidDone);
    EXPECT_EQ(tally.right, tally.points);
}

TEST_P(InterruptionCampaign, EveryInterruptedUpdateCanBeFinished) {
    const auto [generation, blockLength] = GetParam();
    TempDir dir;
    Campaign campaign(dir, generation, blockLength);
    RunCampaign(campaign, dir, generation, blockLength);
}

TEST_P(InterruptionCampaign, EveryInterruptedRestoreCanBeFinished) {
    const auto [generation, blockLength] = GetParam();
    TempDir dir;
    Campaign campaign(dir, generation, blockLength);
    campaign.RestoreOlder();
    RunCampaign(campaign, dir, generation, blockLength);
}

TEST(Interruptions, ASignalWaitsUntilTheDriveIsSafe) {
    TempDir dir;
    Campaign campaign(dir, 2, 4096);
    std::string what;
    // Before the bridge is switched over, Ctrl-C ends the program at once: the drive is as it was.
    auto d = campaign.Fresh(1);
    EXPECT_EQ(campaign.Update({{"MOX3_KILL_AT_REQUEST", "3"}, {"MOX3_KILL_SIGNAL", "2"}}), 4);
    auto view = InspectEmulatedDrive(d, campaign.clock(), &what);
    ASSERT_TRUE(view) << what;
    EXPECT_EQ(view->firmwareVersion, "V01L00R05");
    EXPECT_FALSE(view->loader);
    // While the flash is written, and while the drive restarts, a signal is noted; the update
    // ends as it would have, and the exit code says it was interrupted.
    int point = 2;
    // (after the backup's 520 requests: the block, and 128 KiB read twice, each with its header)
    for (const auto& [request, signal] : {std::pair{"560", "15"}, std::pair{"580", "2"},
                                          std::pair{"610", "1"}, std::pair{"680", "3"}}) {
        d = campaign.Fresh(point++);
        EXPECT_EQ(campaign.Update({{"MOX3_KILL_AT_REQUEST", request}, {"MOX3_KILL_SIGNAL", signal}}),
                  4)
            << "signal " << signal << " at request " << request;
        EXPECT_TRUE(campaign.Right(d, &what)) << "signal " << signal << ": " << what;
    }
    // A signal while the flash is read for the backup stops the run before the erase: the flash
    // is as it was, and the next run finishes the drive.
    d = campaign.Fresh(point);
    EXPECT_EQ(campaign.Update({{"MOX3_KILL_AT_REQUEST", "300"}, {"MOX3_KILL_SIGNAL", "2"}}), 4);
    EXPECT_TRUE(campaign.FlashAsMade(d));
    EXPECT_EQ(campaign.Update({}), 0) << campaign.said;
    EXPECT_TRUE(campaign.Right(d, &what)) << what;
    EXPECT_NE(campaign.said.find("interruption deferred"), std::string::npos);
    // So does a restore: stopped before its erase, it keeps its record and is finished next time.
    campaign.RestoreOlder();
    d = campaign.Fresh(point + 1);
    EXPECT_EQ(campaign.Update({{"MOX3_KILL_AT_REQUEST", "300"}, {"MOX3_KILL_SIGNAL", "2"}}), 4);
    EXPECT_TRUE(campaign.FlashAsMade(d));
    EXPECT_EQ(campaign.Update({}), 0) << campaign.said;
    EXPECT_TRUE(campaign.Right(d, &what)) << what;
}

INSTANTIATE_TEST_SUITE_P(BothGenerationsAndBlockLengths, InterruptionCampaign,
                         ::testing::Values(std::pair<int, std::uint32_t>{1, 512},
                                           std::pair<int, std::uint32_t>{1, 4096},
                                           std::pair<int, std::uint32_t>{2, 512},
                                           std::pair<int, std::uint32_t>{2, 4096}),
                         [](const auto& param) {
                             return "Generation" + std::to_string(param.param.first) + "Blocks" +
                                    std::to_string(param.param.second);
                         });

}  // namespace
}  // namespace mox3::test
