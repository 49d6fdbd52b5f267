// Every fault the emulated drive can show, at every step of an update: the run reports success
// with the new image and the drive's own serial number, model and block length, or fails with a
// message of its phase, having touched nothing before its marker; a later run always finishes
// the drive. MOX3_FAULT_MATRIX_EVERY=1 tries every request (scripts/interruption-campaign.sh).
#include <cstdlib>
#include <set>

#include "app/run/update_run.h"
#include "app/run_fixture.h"
#include "bridge/vendor_commands.h"
#include "emulator/emulator_fixture.h"

namespace mox3::test {
namespace {

using Kind = EmulatedFault::Kind;
constexpr const char* kSerial = "4A3F0012B7C4D9E1";
const std::string kRight = "V01L00R07 normal 4A3F0012B7C4D9E1 31796 4096";  // pid 0x7C34

class FaultMatrix : public EmulatedHostTest {
  protected:
    void SetUp() override {
        EmulatedHostTest::SetUp();
        devices_.backend = std::make_shared<WatchingBackend>(
            backend_, [this](const ScsiRequest&, ScsiReply&) { return ++requests_, false; });
        std::string why;
        image_ = MakeSampleImage({2, "01000700", 30000, 3}, &why);
    }

    std::string State() {
        const EmulatedDriveView v = View(drive_);
        return v.firmwareVersion + (v.loader ? " loader " : " normal ") +
               Utf16ToUtf8(v.usb.serialNumber) + " " + std::to_string(v.usb.productId) + " " +
               std::to_string(v.logicalBlockLength);
    }

    // A run of a factory-fresh 4096-byte drive with `fault` set just before it; a failed run is
    // followed by a second one, faults gone and power cycled, that must finish the drive.
    int Try(int point, const EmulatedFault& fault, const std::set<int>& allowed) {
        const std::string n = std::to_string(point);
        const std::string where = "fault " + std::to_string(static_cast<int>(fault.kind)) +
                                  " code " + std::to_string(fault.code) + " at request " +
                                  std::to_string(fault.count);
        drive_ = MakeProgrammedDrive(2, "01000500", kSerial, {}, "bus" + n + "/drive");
        SwitchTo4096ByteBlocks(drive_);
        devices_.tree = MakeEmulatorDeviceTree(dir_ / ("bus" + n), clock_);
        MemoryHost host;
        host.reach = devices_;
        host.dir = dir_ / ("host" + n);
        host.clockPtr = clock_;
        std::filesystem::create_directories(host.dir);
        WriteBytes(host.dir / "firmware_C311.bin", image_);
        BoxView view;
        Versions versions;
        EXPECT_TRUE(InspectAtStartup(view, host, versions)) << where;
        SetFault(drive_, fault);
        requests_ = 0;
        const int result = UpdateWorker(view, host, versions);
        if (result != 0) {
            EXPECT_TRUE(allowed.count(result)) << where << ": message " << result;
            // Refusals before the marker leave the drive as it was.
            EXPECT_TRUE(result == kMsgFailed || !(host.marker || View(drive_).loader)) << where;
            ClearEmulatedDriveFaults(drive_, nullptr);
            PowerCycle(drive_);
            const bool found = InspectAtStartup(view, host, versions);
            EXPECT_EQ(found ? UpdateWorker(view, host, versions) : -1, 0) << where;
        }
        EXPECT_EQ(State(), kRight) << where << ": first run " << result;
        EXPECT_FALSE(host.marker.has_value()) << where;
        return result;
    }

    std::vector<std::uint8_t> image_;
    std::filesystem::path drive_;
    std::uint64_t requests_ = 0;
};

TEST_F(FaultMatrix, EveryFaultAtEveryStepEndsRightOrIsFinished) {
    const char* every = std::getenv("MOX3_FAULT_MATRIX_EVERY");
    const bool all = every && std::string(every) == "1";
    const std::set<int> anyPhase = {kMsgNotConnected, kMsgFailed, kMsgNoAnswer};
    // The length of a clean run tells where requests can fail.
    ASSERT_EQ(Try(0, {Kind::FailCommand, 100000, 0, 0}, {}), 0);
    const std::uint64_t total = requests_;
    ASSERT_GT(total, 50u);
    int point = 1;
    for (auto kind : {Kind::FailCommand, Kind::PullCable}) {
        // Always the last request too: the restart that makes the block length take effect.
        for (std::uint64_t n = 1; n <= total;
             n = n == total ? total + 1 : std::min(n + (all ? 1 : total / 6), total)) {
            Try(point++, {kind, n, 0, 0}, anyPhase);
        }
    }
    std::vector<std::uint8_t> codes = {kFnWriteFlash, kFnReadFlash, kFnReadChipName,
                                       kFnSetSectorMode};
    if (all) {
        codes.insert(codes.end(), {kFnHeader, kFnBeginFlashUpdate, kFnRestartBridge,
                                   kFnReadBridgeStatus, kFnReadFirmwareVersion,
                                   kFnSelectUpdateMode, kOpInquiry, kOpServiceActionIn16});
    }
    for (std::uint8_t code : codes) Try(point++, {Kind::FailKind, 1, code, 0}, anyPhase);
    std::vector<Kind> bridge = {Kind::RefuseUpdateMode, Kind::NoReturn, Kind::ReturnInLoader};
    if (all) bridge.push_back(Kind::StayBusy);
    for (Kind kind : bridge) EXPECT_NE(Try(point++, {kind, 1, 0, 0}, {kMsgFailed}), 0);
}

}  // namespace
}  // namespace mox3::test
