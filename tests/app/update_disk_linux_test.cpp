// What is on the disk behind the bridge outlives an update, in either logical-block length: a
// plain run, and a run cut off half-way whose drive is then recovered by a second run. The
// runs use the command line's own host (marker and configuration file in a state folder) on
// the test's clock.
#include "app/run/host.h"
#include "app/run/host_linux.h"
#include "app/run/update_run.h"
#include "app/run_fixture.h"
#include "bridge/vendor_codes.h"
#include "emulator/emulator_fixture.h"

namespace mox3::test {
namespace {

namespace fs = std::filesystem;

constexpr std::uint64_t kDiskBlocks512 = 4096;  // 2 MiB

class UpdateKeepsTheDisk : public EmulatedHostTest {
  protected:
    fs::path BusFolder() override { return dir_ / "bus"; }

    void SetUp() override {
        EmulatedHostTest::SetUp();
        fs::create_directories(dir_ / "images");
        WriteBytes(dir_ / "images" / "firmware_C311.bin",
                   MakeSampleImage({2, "01000700", 30000, 3}, &why_));
    }

    // A drive with old firmware whose bridge starts with `blockLength`, its disk holding a
    // pattern near its start and one at its very end.
    fs::path Drive(std::uint32_t blockLength) {
        FactoryParts parts = CompileParts(dir_, 2, "01000500", "4A3F0012B7C4D9E1", 117);
        EmulatedDriveSetup setup;
        setup.flashSize = kSecondGenerationFlashSize;
        setup.diskBlocks = kDiskBlocks512;
        setup.flash = FactoryFlash(2, setup.flashSize, parts.block, parts.firmwareAddress,
                                   parts.image, parts.firmwareLength, blockLength, &why_);
        auto drive = MakeDrive(setup, "bus/drive");
        std::vector<std::uint8_t> bytes(kDiskBlocks512 * 512, 0);
        std::uint32_t x = blockLength;
        for (std::size_t i = 65536; i < 1024 * 1024 + 123; ++i) {
            x = x * 1103515245u + 12345u;
            bytes[i] = static_cast<std::uint8_t>(x >> 16);
        }
        std::fill(bytes.end() - 4096, bytes.end(), 0xA5);
        WriteBytes(dir_ / "pattern.bin", bytes);
        EXPECT_TRUE(ImportEmulatedMedium(drive, dir_ / "pattern.bin", 0, &why_)) << why_;
        digest_ = EmulatedMediumDigest(drive, &why_).value_or("");
        EXPECT_EQ(View(drive).logicalBlockLength, blockLength);
        return drive;
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
        options.noBackup = true;  // the 60th request is one of the programming's
        HostStartFailure failure = HostStartFailure::kNone;
        auto host = StartCliHost(options, &failure, &why_);
        BoxView view;
        Versions versions;
        EXPECT_NE(host, nullptr) << why_;
        if (!host || !InspectAtStartup(view, *host, versions)) return -1;
        return UpdateWorker(view, *host, versions);
    }

    // The drive updated, its disk as before, read in `blockLength` blocks.
    void ExpectUpdatedWithItsDisk(const fs::path& drive, std::uint32_t blockLength) {
        const EmulatedDriveView v = View(drive);
        const auto n = std::to_string(blockLength);
        EXPECT_EQ(v.firmwareVersion + (v.loader ? " loader " : " ") + Utf16ToUtf8(v.usb.serialNumber) +
                      " " + std::to_string(v.logicalBlockLength) + " " + std::to_string(v.nextBlockLength),
                  "V01L00R07 4A3F0012B7C4D9E1 " + n + " " + n);
        std::string why;
        EXPECT_EQ(EmulatedMediumDigest(drive, &why).value_or(why), digest_);
        // The last block, through the bridge as a host reads it.
        auto device = Open(drive);
        ASSERT_NE(device, nullptr);
        const std::uint64_t last = kDiskBlocks512 * 512 / blockLength - 1;
        Cdb read16(16, 0);
        read16[0] = 0x88;
        for (int i = 0; i < 8; ++i) read16[2 + i] = static_cast<std::uint8_t>(last >> (56 - 8 * i));
        read16[13] = 1;
        Answer a = Send(*device, read16, blockLength);
        ASSERT_TRUE(a.good());
        EXPECT_EQ(a.data, std::vector<std::uint8_t>(blockLength, 0xA5));
    }

    std::string digest_, why_;
};

// A plain run, and a run whose cable is pulled at the 60th request, the drive powered on again
// in its loader and a second run. The recovery run reads the block length in the loader,
// where the erased flash gives 512: the drive comes back with 512-byte blocks until the
// recovery keeps the length it had.
TEST_F(UpdateKeepsTheDisk, InEitherBlockLengthThroughAPlainAndAnInterruptedRun) {
    for (const std::uint32_t blockLength : {512u, 4096u}) {
        for (const bool interrupted : {false, true}) {
            fs::remove_all(dir_ / "bus" / "drive");
            auto drive = Drive(blockLength);
            if (interrupted) {
                SetFault(drive, {EmulatedFault::Kind::PullCable, 60, 0, 0});
                EXPECT_EQ(Run(), kMsgFailed);
                PowerCycle(drive);
                ASSERT_TRUE(View(drive).loader);
            }
            EXPECT_EQ(Run(), 0) << blockLength << (interrupted ? " interrupted" : "");
            ExpectUpdatedWithItsDisk(drive, blockLength);
        }
    }
}

// The record of the update, its block length with it, and the configuration file are on the
// disk, each file and the folder flushed, before the bridge is asked to switch to its loader.
TEST_F(UpdateKeepsTheDisk, TheRecordAndTheFileAreOnTheDiskBeforeTheSwitch) {
    Drive(4096);
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
