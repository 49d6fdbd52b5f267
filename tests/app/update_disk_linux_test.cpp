// The update through the command line's own host (marker and configuration file in a state
// folder) on the test's clock: what reaches the disk before the bridge is switched over.
#include "app/run/host.h"
#include "app/run/host_linux.h"
#include "app/run/update_run.h"
#include "app/run_fixture.h"
#include "bridge/vendor_codes.h"
#include "emulator/emulator_fixture.h"

namespace mox3::test {
namespace {

namespace fs = std::filesystem;

class UpdateThroughTheCliHost : public EmulatedHostTest {
  protected:
    fs::path BusFolder() override { return dir_ / "bus"; }

    void SetUp() override {
        EmulatedHostTest::SetUp();
        fs::create_directories(dir_ / "images");
        WriteBytes(dir_ / "images" / "firmware_C311.bin",
                   MakeSampleImage({2, "01000700", 30000, 3}, &why_));
    }

    // One run of the command line's update: its message id, 0 when the drive was updated.
    int Run() {
        HostOptions options;
        options.imageDir = dir_ / "images";
        options.stateDir = dir_ / "state";
        options.lockDir = dir_.path();  // not the system's: tests run side by side
        options.texts = [](int id) { return Utf8ToUtf16(std::to_string(id)); };
        options.clock = clock_;
        options.devices = devices_;
        options.noBackup = true;
        HostStartFailure failure = HostStartFailure::kNone;
        auto host = StartCliHost(options, &failure, &why_);
        BoxView view;
        Versions versions;
        EXPECT_NE(host, nullptr) << why_;
        if (!host || !InspectAtStartup(view, *host, versions)) return -1;
        return UpdateWorker(view, *host, versions);
    }

    std::string why_;
};

// The record of the update, its block length with it, and the configuration file are on the
// disk, each file and the folder flushed, before the bridge is asked to switch to its loader.
TEST_F(UpdateThroughTheCliHost, TheRecordAndTheFileAreOnTheDiskBeforeTheSwitch) {
    SwitchTo4096ByteBlocks(MakeProgrammedDrive(2, "01000500", "4A3F0012B7C4D9E1", {}, "bus/drive"));
    const std::string record = RecordFileName(u"4A3F0012B7C4D9E1");
    const char* const stepNames[] = {"written", "file flushed", "renamed", "folder flushed"};
    std::vector<std::string> steps;
    std::string recordAtSwitch;
    WatchFolderWrites([&](const std::string& name, FolderWriteStep step) {
        steps.push_back(name + " " + stepNames[static_cast<int>(step)]);
    });
    devices_.backend =
        std::make_shared<WatchingBackend>(backend_, [&](const ScsiRequest& r, ScsiReply&) {
            if (r.cdb[0] == kOpWriteBuffer && r.cdb[1] == 0x01 &&
                r.cdb[2] == kFnSelectUpdateMode && recordAtSwitch.empty()) {
                steps.push_back("switch");
                recordAtSwitch = ReadText(dir_ / "state" / record);
            }
            return false;
        });
    EXPECT_EQ(Run(), 0);
    WatchFolderWrites(nullptr);
    std::vector<std::string> expected;
    for (const std::string& name : {std::string("MOX3_config.ini"), record}) {
        for (const char* step : stepNames) expected.push_back(name + " " + step);
    }
    expected.push_back("switch");
    steps.resize(std::min(steps.size(), expected.size()));
    EXPECT_EQ(steps, expected);
    EXPECT_NE(recordAtSwitch.find("\nblockLength=4096\n"), std::string::npos) << recordAtSwitch;
}

}  // namespace
}  // namespace mox3::test
