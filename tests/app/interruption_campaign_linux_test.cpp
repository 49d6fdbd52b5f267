// Interruptions of a real update process: the program is killed at points spread over its whole
// command sequence, the drive is power-cycled and the program run again. Every time the drive
// must end with the new firmware, its model's configuration and its own serial number.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <map>

#include "bridge/config_build.h"
#include "bridge/firmware_image.h"
#include "config/text.h"
#include "emulator/emulator_backend.h"
#include "resources/resources.h"
#include "test_support.h"

namespace mox3::test {
namespace {

constexpr std::uint32_t kTimeScale = 500;
constexpr const char* kSerial = "4A3F0012B7C4D9E1";

// Runs the program; the exit code, or minus the signal that ended it.
int RunProgram(const std::vector<std::string>& args, const std::map<std::string, std::string>& env,
               const std::filesystem::path& log) {
    pid_t pid = ::fork();
    if (pid == 0) {
        for (const auto& [name, value] : env) ::setenv(name.c_str(), value.c_str(), 1);
        FILE* out = std::fopen(log.c_str(), "a");
        if (out) {
            ::dup2(fileno(out), 1);
            ::dup2(fileno(out), 2);
        }
        std::vector<char*> argv = {const_cast<char*>(MOX3_CLI_PATH)};
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execv(MOX3_CLI_PATH, argv.data());
        ::_exit(127);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
}

class Campaign {
  public:
    explicit Campaign(const TempDir& dir) : dir_(dir), clock_(ScaledSystemClock(kTimeScale)) {
        std::string why;
        std::filesystem::create_directories(dir_ / "images");
        WriteBytes(dir_ / "images" / "firmware_C311.bin",
                   MakeSampleImage({2, "01000700", 30000, 7}, &why));
        WriteBytes(dir_ / "old.bin", MakeSampleImage({2, "01000500", 30000, 5}, &why));
        const EmbeddedResource* r = FindConfigResource(117);
        WriteBytes(dir_ / "config.ini",
                   std::vector<std::uint8_t>(r->bytes.begin(), r->bytes.end()));
        CBridgeMgr mgr;
        ConfigBuildResult built =
            BuildConfigBlock(mgr, Utf8ToUtf16((dir_ / "old.bin").string()),
                             Utf8ToUtf16((dir_ / "config.ini").string()), 2, Utf8ToUtf16(kSerial));
        EXPECT_TRUE(built.ok) << built.reason;
        setup_.generation = 2;
        setup_.flashSize = kSecondGenerationFlashSize;
        setup_.flash =
            FactoryFlash(2, setup_.flashSize, {mgr.imageBuffer.data(), 4096}, mgr.firmwareAddress,
                         ReadBytes(dir_ / "old.bin"), mgr.firmwareLength, 512, &why);
    }

    // A factory-fresh drive on a bus of its own, and a fresh state folder.
    std::filesystem::path Fresh(int point) {
        bus_ = dir_ / ("bus" + std::to_string(point));
        state_ = dir_ / ("state" + std::to_string(point));
        std::filesystem::create_directories(bus_);
        std::string why;
        EXPECT_TRUE(CreateEmulatedDrive(bus_ / "drive", setup_, *clock_, &why)) << why;
        return bus_ / "drive";
    }

    int Update(std::map<std::string, std::string> env) {
        env["MOX3_TIME_SCALE"] = std::to_string(kTimeScale);
        return RunProgram({"--emulator", bus_.string(), "update", "--yes", "--image-dir",
                           (dir_ / "images").string(), "--state-dir", state_.string()},
                          env, dir_ / "log.txt");
    }

    bool Right(const std::filesystem::path& drive, std::string* what) {
        std::string why;
        auto view = InspectEmulatedDrive(drive, *clock_, &why);
        if (!view) return *what = why, false;
        *what = view->firmwareVersion + " " + (view->loader ? "loader" : "normal") + " " +
                Utf16ToUtf8(view->usb.serialNumber);
        return !view->loader && view->firmwareVersion == "V01L00R07" &&
               view->usb.productId == 0x7C34 && view->usb.vendorId == 0x5E3B &&
               view->usb.serialNumber == Utf8ToUtf16(kSerial) && view->usb.product == u"ZR-MOX3";
    }

    Clock& clock() { return *clock_; }

  private:
    const TempDir& dir_;
    std::shared_ptr<Clock> clock_;
    EmulatedDriveSetup setup_;
    std::filesystem::path bus_, state_;
};

TEST(InterruptionCampaign, EveryInterruptedUpdateCanBeFinished) {
    TempDir dir;
    Campaign campaign(dir);

    // An uninterrupted run, traced, tells how many requests a whole update sends.
    auto drive = campaign.Fresh(0);
    const auto trace = dir / "trace.json";
    ASSERT_EQ(campaign.Update({}), 0) << ReadText(dir / "log.txt");
    std::string what;
    ASSERT_TRUE(campaign.Right(drive, &what)) << what;
    campaign.Fresh(1);
    ASSERT_EQ(RunProgram({"--trace", trace.string(), "--emulator", (dir / "bus1").string(),
                          "update", "--yes", "--image-dir", (dir / "images").string(),
                          "--state-dir", (dir / "state1").string()},
                         {{"MOX3_TIME_SCALE", std::to_string(kTimeScale)}}, dir / "log.txt"),
              0);
    std::ifstream lines(trace);
    long total =
        std::count(std::istreambuf_iterator<char>(lines), std::istreambuf_iterator<char>(), '\n');
    ASSERT_GT(total, 50);

    constexpr int kPoints = 16;
    int right = 0;
    for (int i = 0; i < kPoints; ++i) {
        const long killAt = 1 + static_cast<long>(i) * (total - 1) / (kPoints - 1);
        auto d = campaign.Fresh(10 + i);
        const int killed = campaign.Update({{"MOX3_KILL_AT_REQUEST", std::to_string(killAt)}});
        EXPECT_EQ(killed, -SIGKILL) << "request " << killAt;
        std::string why;
        ASSERT_TRUE(PowerCycleEmulatedDrive(d, campaign.clock(), &why)) << why;
        const int again = campaign.Update({});
        const bool ok = campaign.Right(d, &what);
        // Done means done; a drive already updated by the killed run may be refused as up to date.
        if (again == 0) {
            EXPECT_TRUE(ok) << "request " << killAt << " reported done: " << what;
        }
        if (ok) {
            ++right;
        } else {
            ADD_FAILURE() << "request " << killAt << " of " << total << ": exit " << again << ", "
                          << what;
        }
    }
    std::printf("interruption campaign: %d points tried over %ld requests, %d ended right\n",
                kPoints, total, right);
    EXPECT_EQ(right, kPoints);
}

}  // namespace
}  // namespace mox3::test
