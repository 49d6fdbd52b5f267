// The vendor commands against the emulated drive: a whole programming session as the
// programming sequence runs it, and one that is cut off half-way.
#include "bridge/vendor_commands.h"
#include "emulator/emulator_fixture.h"

namespace mox3::test {
namespace {

class ProgrammingSession : public EmulatorTest {
  protected:
    void SetUp() override {
        mgr_.clock = clock_;
    }

    // Switches the drive into its loader through a pass-through request, as preparation does.
    void SwitchToLoader(const std::filesystem::path& drive) {
        CSpti request;
        ASSERT_TRUE(request.Open(*backend_, Utf8ToUtf16(drive.string())));
        ASSERT_TRUE(SelectUpdateMode(request));
        ASSERT_TRUE(RestartBridge(request));
        request.Setup(DataDirection::None, 10, nullptr, 0, 120);
        request.cdb[0] = 0x3C;
        EXPECT_FALSE(request.Execute());  // the drive has left the bus
        EXPECT_FALSE(CSpti().Open(*backend_, Utf8ToUtf16(drive.string())));
        clock_->SleepMs(15000);
    }

    // Begin, wait for the bridge, write block and firmware, read both back.
    bool Program(CNtDevCtrl& handle, const FactoryParts& parts, std::uint32_t blockAddress) {
        if (!BeginFlashUpdate(mgr_, handle)) return false;
        std::uint8_t status[kStatusBlockSize];
        int looks = 0;
        do {
            clock_->SleepMs(500);
            if (++looks > 600) return false;
        } while (!ReadBridgeStatus(status, handle) || (status[0] & kStatusBusy) != 0);
        std::vector<std::uint8_t> image(parts.firmwareLength, 0);
        std::copy_n(parts.image.begin(), std::min(parts.image.size(), image.size()), image.begin());
        for (std::uint32_t k = 0; k < 4; ++k) {
            if (!WriteFlash(mgr_, handle, blockAddress + 1024 * k, 1024, &parts.block[1024 * k]))
                return false;
        }
        for (std::uint32_t k = 0; k < parts.firmwareLength / 1024; ++k) {
            if (!WriteFlash(mgr_, handle, parts.firmwareAddress + 1024 * k, 1024, &image[1024 * k]))
                return false;
        }
        std::uint8_t page[1024];
        for (std::uint32_t k = 0; k < 4; ++k) {
            if (!ReadFlash(handle, page, mgr_, blockAddress + 1024 * k) ||
                !std::equal(page, page + 1024, &parts.block[1024 * k])) {
                return false;
            }
        }
        for (std::uint32_t k = 0; k < parts.firmwareLength / 1024; ++k) {
            if (!ReadFlash(handle, page, mgr_, parts.firmwareAddress + 1024 * k) ||
                !std::equal(page, page + 1024, &image[1024 * k])) {
                return false;
            }
        }
        return true;
    }

    CBridgeMgr mgr_;
};

TEST_F(ProgrammingSession, UpdatesTheFirmwareAndKeepsTheSerial) {
    auto drive = MakeProgrammedDrive(2, "01000500", "4A3F0012B7C4D9E1");
    SwitchToLoader(drive);
    CNtDevCtrl handle;
    ASSERT_TRUE(handle.Open(*backend_, Utf8ToUtf16(drive.string())));
    std::uint8_t status[kStatusBlockSize];
    ASSERT_TRUE(ReadBridgeStatus(status, handle));
    EXPECT_EQ(status[0] & kStatusLoader, kStatusLoader);
    EXPECT_EQ(View(drive).usb.vendorId, kBareBridgeVendorId);

    FactoryParts parts = CompileParts(dir_, 2, "01000700", "4A3F0012B7C4D9E1", 117);
    ASSERT_TRUE(Program(handle, parts, 0)) << Utf16ToUtf8(mgr_.diagnosticText);
    EXPECT_TRUE(RestartBridge(mgr_, handle));
    clock_->SleepMs(5000);
    CNtDevCtrl again;
    ASSERT_TRUE(again.Open(*backend_, Utf8ToUtf16(drive.string())));
    std::uint8_t version[kVersionBlockSize];
    ASSERT_TRUE(ReadFirmwareVersion(version, again));
    EXPECT_EQ(FirmwareVersionText(version), u"V01L00R07");
    EmulatedDriveView view = View(drive);
    EXPECT_FALSE(view.loader);
    EXPECT_EQ(view.usb.productId, 0x7C34);
    EXPECT_EQ(view.usb.serialNumber, u"4A3F0012B7C4D9E1");
}

TEST_F(ProgrammingSession, ACutOffWriteLeavesALoaderDriveAndADiagnosis) {
    auto drive = MakeProgrammedDrive(2, "01000500", "4A3F0012B7C4D9E1");
    SwitchToLoader(drive);
    CNtDevCtrl handle;
    ASSERT_TRUE(handle.Open(*backend_, Utf8ToUtf16(drive.string())));
    FactoryParts parts = CompileParts(dir_, 2, "01000700", "4A3F0012B7C4D9E1", 117);

    // A refused write leaves the bridge's status in the diagnosis, words big-endian.
    SetFault(drive, {EmulatedFault::Kind::FailKind, 3, kFnWriteFlash, 0});
    EXPECT_FALSE(Program(handle, parts, 0));
    EXPECT_EQ(mgr_.diagnosticText.substr(0, 4), u"(41 ");  // loader, flash commands accepted

    // The cable goes after a few more pages: after a power cycle the drive is a bare bridge.
    ClearEmulatedDriveFaults(drive, nullptr);
    SetFault(drive, {EmulatedFault::Kind::PullCable, 40, 0, 0});
    EXPECT_FALSE(Program(handle, parts, 0));
    EXPECT_FALSE(CNtDevCtrl().Open(*backend_, Utf8ToUtf16(drive.string())));
    PowerCycle(drive);
    EmulatedDriveView view = View(drive);
    EXPECT_TRUE(view.loader);
    EXPECT_EQ(view.usb.vendorId, 0x04C5);
    EXPECT_EQ(view.usb.productId, 0x2026);
    CNtDevCtrl back;
    ASSERT_TRUE(back.Open(*backend_, Utf8ToUtf16(drive.string())));
    std::uint8_t status[kStatusBlockSize];
    ASSERT_TRUE(ReadBridgeStatus(status, back));
    EXPECT_EQ(status[0] & kStatusLoader, kStatusLoader);
    // The update can be finished from the loader.
    ASSERT_TRUE(Program(back, parts, 0));
    RestartBridge(mgr_, back);
    clock_->SleepMs(5000);
    EXPECT_EQ(View(drive).firmwareVersion, "V01L00R07");
}

}  // namespace
}  // namespace mox3::test
