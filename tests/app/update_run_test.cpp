// The start-up inspection and the update run against emulated drives in virtual time.
#include "app/run/update_run.h"

#include <functional>
#include <map>

#include "app/run_fixture.h"
#include "bridge/vendor_commands.h"
#include "config/compile_fixture.h"
#include "emulator/emulator_fixture.h"
#include "emulator/emulator_tree.h"

namespace mox3::test {
namespace {

struct RecordingView : UpdateView {
    std::vector<std::string> events;
    std::vector<int> progress;
    std::vector<std::pair<std::u16string, std::u16string>> boxes;
    bool buttons = true;
    bool finished = false;
    void SetStatusText(const std::u16string& t) override {
        events.push_back("status:" + Utf16ToUtf8(t));
    }
    void ShowStatusText() override { events.push_back("show"); }
    void EnableButtons(bool e) override { buttons = e; }
    void StartBlinkTimer() override { events.push_back("blink"); }
    void StopBlinkTimer() override { events.push_back("noblink"); }
    void InitProgress() override { progress.push_back(0); }
    void SetProgress(int p) override {
        progress.push_back(p);
        if (onProgress) onProgress(p);
    }
    std::function<void(int)> onProgress;
    void SetVersionTexts(const std::u16string& c, const std::u16string& n) override {
        events.push_back("versions:" + Utf16ToUtf8(c) + "/" + Utf16ToUtf8(n));
    }
    void MessageBox(const std::u16string& caption, const std::u16string& text) override {
        boxes.push_back({caption, text});
    }
    void PostFinished() override { finished = true; }
    bool Confirm(const std::u16string& question) override {
        questions.push_back(question);
        return answer;
    }
    std::vector<std::u16string> questions;
    bool answer = false;
    void Waiting(CBridgeMgr::WaitFor what, unsigned pass, unsigned, unsigned) override {
        ++waits;
        lastWait = {what, pass};
        passes = std::max(passes, pass);
        if (what == CBridgeMgr::WaitFor::kNextTry) ++failedTries;
    }
    unsigned passes = 0;  // the highest programming pass begun
    int failedTries = 0;
    bool StopWanted() override { return stopAfterWaits >= 0 && waits > stopAfterWaits; }
    int waits = 0;
    int stopAfterWaits = -1;  // Ctrl-C after so many waits
    std::pair<CBridgeMgr::WaitFor, unsigned> lastWait{};
    void ConfigWarnings(const std::vector<CompileWarning>& w) override {
        for (const CompileWarning& one : w) warnings.push_back(WarningLine(one));
    }
    std::vector<std::string> warnings;
};

using TestHost = MemoryHost;

class UpdateRun : public EmulatedHostTest {
  protected:
    std::filesystem::path BusFolder() override { return dir_ / "bus"; }
    void SetUp() override {
        EmulatedHostTest::SetUp();
        std::filesystem::create_directory(dir_ / "host");
        host_.dir = dir_ / "host";
        host_.clockPtr = clock_;
        host_.reach = devices_;
        std::string why;
        WriteBytes(host_.dir / "firmware_C311.bin",
                   MakeSampleImage({2, "01000700", 30000, 3}, &why));
        WriteBytes(host_.dir / "firmware_C30.bin",
                   MakeSampleImage({1, "01000700", 30000, 3}, &why));
    }
    std::filesystem::path Drive(int generation = 2, const std::string& digits = "01000500",
                                const std::string& name = "bus/drive",
                                const std::string& serial = "4A3F0012B7C4D9E1") {
        return MakeProgrammedDrive(generation, digits, serial, {}, name);
    }
    // Sets the drive's logical blocks to 4096 bytes and restarts it.
    void Make4K(const std::filesystem::path& drive) {
        CSpti request;
        ASSERT_TRUE(request.Open(*backend_, Utf8ToUtf16(drive.string())));
        ASSERT_TRUE(SetSectorMode(request, 1));
        request.Close();
        PowerCycle(drive);
        ASSERT_EQ(View(drive).logicalBlockLength, 4096u);
    }
    int Run() {
        Versions versions;
        if (!InspectAtStartup(view_, host_, versions)) return -1;
        return UpdateWorker(view_, host_, versions);
    }

    RecordingView view_;
    TestHost host_;
};

TEST_F(UpdateRun, AnOrdinaryRunUpdatesTheDrive) {
    auto drive = Drive();
    Versions versions;
    ASSERT_TRUE(InspectAtStartup(view_, host_, versions));
    EXPECT_EQ(versions.currentText, u"1.05");
    EXPECT_EQ(versions.newText, u"1.07");
    EXPECT_EQ(versions.current, 0x0105);
    EXPECT_EQ(versions.fresh, 0x0107);
    EXPECT_EQ(UpdateWorker(view_, host_, versions), 0);
    EXPECT_TRUE(view_.finished);
    EXPECT_TRUE(view_.buttons);
    ASSERT_EQ(view_.boxes.size(), 1u);
    EXPECT_EQ(view_.boxes[0], (std::pair<std::u16string, std::u16string>{u"107", u"108"}));
    EXPECT_EQ(view_.progress, (std::vector<int>{0, 10, 20, 75, 100}));
    EXPECT_FALSE(host_.marker.has_value());
    EXPECT_FALSE(std::filesystem::exists(host_.dir / "MOX3_config.ini"));
    EmulatedDriveView after = View(drive);
    EXPECT_EQ(after.firmwareVersion, "V01L00R07");
    EXPECT_EQ(after.usb.serialNumber, u"4A3F0012B7C4D9E1");
    EXPECT_FALSE(after.loader);
}

TEST_F(UpdateRun, ValuesOfTheModelFileTakenInPartReachTheView) {
    Drive();
    // bcdDevice=0x0001 becomes 0x0001junk: the drive is programmed as the reader took it.
    host_.editConfig = [](std::vector<std::uint8_t>& bytes) {
        std::u16string text;
        for (std::size_t i = 2; i + 1 < bytes.size(); i += 2) {
            text.push_back(static_cast<char16_t>(bytes[i] | (bytes[i + 1] << 8)));
        }
        const std::u16string from = u"bcdDevice=0x0001";
        text.insert(text.find(from) + from.size(), u"junk");
        bytes.resize(2);
        for (char16_t u : text) {
            bytes.push_back(static_cast<std::uint8_t>(u & 0xFF));
            bytes.push_back(static_cast<std::uint8_t>(u >> 8));
        }
    };
    EXPECT_EQ(Run(), 0);
    ASSERT_EQ(view_.warnings.size(), 1u);
    EXPECT_NE(view_.warnings[0].find("[USB Device Descriptor] bcdDevice=0x0001junk: took "
                                     "\"0x0001\" as 1, ignored \"junk\""),
              std::string::npos)
        << view_.warnings[0];
    EXPECT_NE(view_.warnings[0].find("MOX3_config.ini"), std::string::npos);

}

TEST_F(UpdateRun, RefusalsAndTheSwitch) {
    Drive(2, "01000700");  // as new as the image
    Versions versions;
    ASSERT_TRUE(InspectAtStartup(view_, host_, versions));
    EXPECT_EQ(UpdateWorker(view_, host_, versions), kMsgNoUpdateNeeded);
    EXPECT_EQ(host_.markerWrites, 0);
    EXPECT_EQ(view_.progress.size(), 1u);  // only the reset after the failure
    for (const char16_t* refused : {u"/UPDATE now", u"UPDATE", u"/UPDAT"}) {
        host_.arguments = refused;
        EXPECT_EQ(UpdateWorker(view_, host_, versions), kMsgNoUpdateNeeded);
    }
    host_.arguments = u"-update";
    EXPECT_EQ(UpdateWorker(view_, host_, versions), 0);

    host_.os = false;
    EXPECT_EQ(Run(), -1);
    EXPECT_EQ(view_.boxes.back(), (std::pair<std::u16string, std::u16string>{u"103", u"114"}));
}

using Box = std::pair<std::u16string, std::u16string>;

// The census says each of its outcomes itself, once: no drive (a bridge behind an adapter of
// another bus is none), several (a disk of a model that needs no update counts, though the
// run would take only the drive beside it), a model that needs no update alone. One drive
// goes on without a word.
TEST_F(UpdateRun, TheCensusSaysEachOutcomeOnce) {
    const auto disk = [&](std::uint16_t pid) {
        EmulatedDiskSetup setup;
        setup.vendorId = 0x5E3B;
        setup.productId = pid;
        std::string why;
        ASSERT_TRUE(CreateEmulatedDisk(dir_ / "bus" / "disk", setup, *clock_, &why)) << why;
    };
    struct Row {
        const char* what;
        std::function<void()> attach;
        bool goesOn;
        std::vector<Box> boxes;
    };
    const std::vector<Row> rows = {
        {"nothing", [] {}, false, {{u"", u"104"}}},
        {"a drive behind an adapter of another bus",
         [&] {
             std::string why;
             ASSERT_TRUE(ChangeEmulatedTreeSettings(
                 Drive(), [](EmulatedTreeSettings& t) { t.busType = 1; }, *clock_, &why));
         },
         false, {{u"", u"104"}}},
        {"two drives",
         [&] {
             Drive(2, "01000500", "bus/a");
             Drive(2, "01000500", "bus/b");
         },
         false, {{u"", u"105"}}},
        {"a drive and a disk that needs no update",
         [&] {
             Drive();
             disk(0x7C3A);
         },
         false, {{u"", u"105"}}},
        {"a disk that needs no update", [&] { disk(0x7C39); }, false, {{u"", u"112"}}},
        {"one drive", [&] { Drive(); }, true, {}},
    };
    for (const Row& row : rows) {
        for (const auto& entry : std::filesystem::directory_iterator(dir_ / "bus")) {
            std::filesystem::remove_all(entry.path());
        }
        row.attach();
        view_.boxes.clear();
        Versions versions;
        EXPECT_EQ(InspectAtStartup(view_, host_, versions), row.goesOn) << row.what;
        EXPECT_EQ(view_.boxes, row.boxes) << row.what;
    }
    // The one drive, without its image.
    std::filesystem::remove(host_.dir / "firmware_C311.bin");
    EXPECT_EQ(Run(), -1);
    EXPECT_EQ(view_.boxes.back(), (Box{u"103", kImageMissingText}));
}

TEST_F(UpdateRun, FailuresStopWithTheirMessage) {
    auto drive = Drive();
    Versions versions;
    ASSERT_TRUE(InspectAtStartup(view_, host_, versions));
    // The configuration file cannot be written whole, or the marker cannot be kept: 106
    // before the drive is touched.
    host_.writeFails = true;
    EXPECT_EQ(UpdateWorker(view_, host_, versions), kMsgFailed);
    EXPECT_FALSE(host_.marker.has_value());
    EXPECT_EQ(view_.progress.back(), 0);
    host_.writeFails = false;
    host_.markerFails = true;
    EXPECT_EQ(UpdateWorker(view_, host_, versions), kMsgFailed);
    EXPECT_FALSE(View(drive).loader);
    host_.markerFails = false;

    // Programming fails three times: three pauses of a second, marker and file remain.
    SetFault(drive, {EmulatedFault::Kind::FailKind, 1, kFnBeginFlashUpdate, 0});
    EXPECT_EQ(UpdateWorker(view_, host_, versions), kMsgFailed);
    EXPECT_TRUE(host_.marker.has_value());
    EXPECT_TRUE(std::filesystem::exists(host_.dir / "MOX3_config.ini"));

    // The drive is now in its loader: a recovery run finishes it with the marker's serial.
    ClearEmulatedDriveFaults(drive, nullptr);
    RecordingView again;
    EXPECT_EQ(UpdateWorker(again, host_, versions), 0);
    EXPECT_EQ(View(drive).usb.serialNumber, u"4A3F0012B7C4D9E1");
    EXPECT_EQ(View(drive).firmwareVersion, "V01L00R07");
}

TEST_F(UpdateRun, RecoveryNeedsMarkerAndFile) {
    auto drive = Drive();
    Versions versions;
    ASSERT_TRUE(InspectAtStartup(view_, host_, versions));
    // Break an update half-way: the drive comes back as a bare bridge.
    SetFault(drive, {EmulatedFault::Kind::PullCable, 60, 0, 0});
    EXPECT_EQ(UpdateWorker(view_, host_, versions), kMsgFailed);
    PowerCycle(drive);
    EXPECT_TRUE(View(drive).loader);

    Versions recovery;
    ASSERT_TRUE(InspectAtStartup(view_, host_, recovery));
    EXPECT_EQ(recovery.currentText, u"0.00");
    // Without the marker nobody knows the drive's serial number: the inspection says so, and
    // so does a run started anyway.
    auto marker = host_.marker;
    host_.marker.reset();
    Versions unknown;
    EXPECT_FALSE(InspectAtStartup(view_, host_, unknown));
    EXPECT_EQ(view_.boxes.back(), (std::pair<std::u16string, std::u16string>{u"103", u"117"}));
    EXPECT_EQ(UpdateWorker(view_, host_, recovery), kMsgLoaderWithoutRecord);
    host_.marker = UpdateMarker{u"", 512};
    EXPECT_EQ(UpdateWorker(view_, host_, recovery), kMsgLoaderWithoutRecord);
    // The record names its configuration file by resource and digest: a file that is gone
    // (or altered) is made again from the resource, never compiled as it stands.
    host_.marker = marker;
    std::filesystem::remove(host_.dir / "MOX3_config.ini");
    EXPECT_EQ(UpdateWorker(view_, host_, recovery), 0);
    EmulatedDriveView after = View(drive);
    EXPECT_EQ(after.usb.productId, 0x7C34);
    EXPECT_EQ(after.usb.serialNumber, u"4A3F0012B7C4D9E1");
}

TEST_F(UpdateRun, TheBlockLengthIsRestored) {
    auto drive = Drive();
    Make4K(drive);
    EXPECT_EQ(Run(), 0);
    EXPECT_EQ(View(drive).logicalBlockLength, 4096u);
}

// A second-generation drive programmed at the factory from a configuration of the test's own.
std::filesystem::path CustomDrive(const TempDir& dir, const Ini& ini, const std::string& name,
                                  Clock& clock) {
    WriteUtf16Ini(dir / (name + ".ini"), ini.Text());
    std::string why;
    WriteBytes(dir / (name + ".bin"), MakeSampleImage({2, "01000500", 30000, 3}, &why));
    CBridgeMgr mgr;
    ConfigBuildResult built =
        BuildConfigBlock(mgr, Utf8ToUtf16((dir / (name + ".bin")).string()),
                         Utf8ToUtf16((dir / (name + ".ini")).string()), 2, u"CUSTOM-SERIAL");
    EXPECT_TRUE(built.ok) << built.reason;
    EmulatedDriveSetup setup;
    setup.flashSize = kSecondGenerationFlashSize;
    setup.flash =
        FactoryFlash(2, setup.flashSize, {mgr.imageBuffer.data(), 4096}, mgr.firmwareAddress,
                     ReadBytes(dir / (name + ".bin")), mgr.firmwareLength, 512, &why);
    EXPECT_TRUE(CreateEmulatedDrive(dir / "bus" / name, setup, clock, &why)) << why;
    return dir / "bus" / name;
}

TEST_F(UpdateRun, TheRunChoosesOnlyOneDriveOfAKnownModel) {
    Versions older;
    older.current = 0x0105;
    older.fresh = 0x0107;
    auto a = Drive(2, "01000500", "bus/a");
    auto b = Drive(2, "01000500", "bus/b");
    EXPECT_EQ(UpdateWorker(view_, host_, older), kMsgNotConnected);
    std::filesystem::remove_all(b);
    std::filesystem::remove_all(a);

    // A maker drive whose product is no model name has no configuration file of its own: 106,
    // and a file some earlier run left is not taken for it.
    CustomDrive(dir_, SecondGenerationIni().Set("USB String Descriptor", "Product", "OTHER DRIVE"),
                "unnamed", *clock_);
    ASSERT_TRUE(host_.WriteConfigFile(117));
    host_.markerWrites = 0;
    EXPECT_EQ(UpdateWorker(view_, host_, older), kMsgFailed);
    EXPECT_EQ(host_.markerWrites, 0);
}

// Every model of the family goes through the inspection and the run and is programmed with
// its own file, keeping its identity. Any other identity of the maker is refused: one that
// needs no update says so, a neighbouring one is no drive of the family.
TEST_F(UpdateRun, EveryModelIsUpdatedWithItsOwnFile) {
    struct Model {
        std::uint16_t pid;
        std::u16string product;
        int generation;
        int resource;
    };
    const Model models[] = {
        {0x7C31, u"ZR-MOX3", 1, 104},  {0x7C32, u"ZR-MOX3", 1, 106},  {0x7C33, u"ZR-MOX3", 2, 116},
        {0x7C34, u"ZR-MOX3", 2, 117},  {0x7C34, u"ZR-MOXE3", 2, 118}, {0x7C35, u"ZR-MOX3", 2, 119},
        {0x7C35, u"ZR-MOXE3", 2, 120}, {0x7C36, u"ZR-MOX3", 2, 121},  {0x7C36, u"ZR-MOXE3", 2, 123}};
    for (const Model& m : models) {
        auto drive = MakeProgrammedDrive(m.generation, "01000500", "4A3F0012B7C4D9E1", {},
                                         "bus/model", m.resource);
        ASSERT_EQ(View(drive).usb.productId, m.pid);
        ASSERT_EQ(View(drive).usb.product, m.product);
        host_.configWrites.clear();
        EXPECT_EQ(Run(), 0) << m.resource;
        EXPECT_EQ(host_.configWrites, std::vector<int>{m.resource});
        const EmulatedDriveView after = View(drive);
        EXPECT_EQ(after.usb.productId, m.pid) << m.resource;
        EXPECT_EQ(after.usb.product, m.product) << m.resource;
        EXPECT_EQ(after.firmwareVersion, "V01L00R07") << m.resource;
        std::filesystem::remove_all(drive);
    }
    Versions older;
    older.current = 0x0105;
    older.fresh = 0x0107;
    const std::pair<const char*, const char16_t*> others[] = {
        {"0x7C37", u"112"}, {"0x7C39", u"112"}, {"0x7C3A", u"112"}, {"0x7C30", u"104"},
        {"0x7C38", u"104"}};
    host_.markerWrites = 0;
    for (const auto& [pid, message] : others) {
        auto drive = CustomDrive(dir_, SecondGenerationIni().Set("USB Device Descriptor", "PID", pid),
                                 "other", *clock_);
        view_.boxes.clear();
        Versions versions;
        EXPECT_FALSE(InspectAtStartup(view_, host_, versions)) << pid;
        EXPECT_EQ(view_.boxes, (std::vector<Box>{{u"", message}})) << pid;
        EXPECT_EQ(UpdateWorker(view_, host_, older), kMsgNotConnected) << pid;
        std::filesystem::remove_all(drive);
    }
    EXPECT_EQ(host_.markerWrites, 0);
}

// The read-backs are what stops a wrong flash: a byte read back wrong in the configuration
// block, or in the last page of the firmware, fails every pass of every try, and the run fails
// with nothing reported done. Once the flash reads back right, the next run finishes the drive.
TEST_F(UpdateRun, AByteReadBackWrongFailsEveryPass) {
    const FactoryParts parts = CompileParts(dir_, 2, "01000700", "4A3F0012B7C4D9E1", 117, 30000);
    for (const bool inBlock : {true, false}) {
        auto drive = Drive();
        const std::uint32_t address = inBlock ? View(drive).flashReport.blockAddress + 2000
                                              : parts.firmwareAddress + parts.firmwareLength - 1;
        RecordingView view;
        Versions versions;
        ASSERT_TRUE(InspectAtStartup(view, host_, versions));
        SetFault(drive, {EmulatedFault::Kind::CorruptRead, 1, 0, address});
        EXPECT_EQ(UpdateWorker(view, host_, versions), kMsgFailed) << address;
        EXPECT_EQ(view.passes, 10u) << address;
        EXPECT_EQ(view.failedTries, 3) << address;
        EXPECT_EQ(view.boxes, (std::vector<Box>{{u"103", u"106"}})) << address;
        EXPECT_FALSE(view.finished);
        EXPECT_TRUE(host_.marker.has_value());

        ClearEmulatedDriveFaults(drive, nullptr);
        EXPECT_EQ(UpdateWorker(view, host_, versions), 0) << address;
        EXPECT_EQ(View(drive).firmwareVersion, "V01L00R07");
        std::filesystem::remove_all(drive);
    }
}

TEST_F(UpdateRun, ProgrammingFailsTwiceThenSucceeds) {
    auto drive = Drive();
    Versions versions;
    ASSERT_TRUE(InspectAtStartup(view_, host_, versions));
    // Every pass of the first two programming tries is refused at its start.
    EmulatedFault fault{EmulatedFault::Kind::FailKind, 1, kFnBeginFlashUpdate, 0};
    fault.times = 20;
    SetFault(drive, fault);
    EXPECT_EQ(UpdateWorker(view_, host_, versions), 0);
    EXPECT_EQ(View(drive).firmwareVersion, "V01L00R07");
}

TEST_F(UpdateRun, ADriveThatReturnsOnlyAsABareBridge) {
    auto drive = Drive();
    Versions versions;
    ASSERT_TRUE(InspectAtStartup(view_, host_, versions));
    SetFault(drive, {EmulatedFault::Kind::ReturnInLoader, 1, 0, 0});
    const std::uint64_t before = clock_->sleptMs();
    EXPECT_EQ(UpdateWorker(view_, host_, versions), kMsgFailed);
    EXPECT_EQ(view_.progress,
              (std::vector<int>{0, 10, 20, 75, 80, 81, 82, 83, 84, 85, 86, 87, 88, 89, 0}));
    EXPECT_GE(clock_->sleptMs() - before, 50000u);
    // The drive has not come back: marker and file stay for the run that finishes it.
    EXPECT_TRUE(host_.marker.has_value());
    EXPECT_TRUE(std::filesystem::exists(host_.dir / "MOX3_config.ini"));
}

TEST_F(UpdateRun, ADriveThatNeverComesBackFromTheSwitch) {
    auto drive = Drive();
    Versions versions;
    ASSERT_TRUE(InspectAtStartup(view_, host_, versions));
    SetFault(drive, {EmulatedFault::Kind::NoReturn, 1, 0, 0});
    EXPECT_EQ(UpdateWorker(view_, host_, versions), kMsgFailed);
    EXPECT_EQ(view_.progress, (std::vector<int>{0, 10, 0}));
    EXPECT_TRUE(host_.marker.has_value());
}

TEST_F(UpdateRun, AnImageThatFailsATestIsRefusedBeforeTheDriveIsTouched) {
    auto drive = Drive();
    const auto good = ReadBytes(host_.dir / "firmware_C311.bin");
    std::string why;
    auto digest = good;
    digest[200] ^= 1;
    auto trailer = good;
    trailer[good.size() - 18] = 'x';
    const std::vector<std::uint8_t> truncated(good.begin(), good.begin() + 15000);
    const std::pair<std::vector<std::uint8_t>, ImageFault> cases[] = {
        {digest, ImageFault::Digest},
        {trailer, ImageFault::Trailer},
        {truncated, ImageFault::Digest},
        {MakeSampleImage({1, "01000700", 30000, 3}, &why), ImageFault::Generation},
        {{}, ImageFault::Size},
    };
    for (const auto& [bytes, fault] : cases) {
        WriteBytes(host_.dir / "firmware_C311.bin", bytes);
        Versions versions;
        EXPECT_FALSE(InspectAtStartup(view_, host_, versions));
        EXPECT_EQ(view_.boxes.back(), (Box{u"103", u"115"}));
        ASSERT_TRUE(versions.image);
        EXPECT_EQ(versions.image->fault(), fault) << versions.image->problem();
        // A run started without the inspection reads and tests the image itself.
        Versions older;
        older.fresh = 0x107;
        EXPECT_EQ(UpdateWorker(view_, host_, older), kMsgImageDamaged);
    }
    EXPECT_EQ(host_.markerWrites, 0);
    EXPECT_FALSE(View(drive).loader);
    EXPECT_EQ(View(drive).firmwareVersion, "V01L00R05");
}

TEST_F(UpdateRun, TheRunProgramsTheImageTheInspectionChecked) {
    auto drive = Drive();
    Versions versions;
    ASSERT_TRUE(InspectAtStartup(view_, host_, versions));
    std::string why;
    WriteBytes(host_.dir / "firmware_C311.bin", MakeSampleImage({2, "01000900", 30000, 9}, &why));
    EXPECT_EQ(UpdateWorker(view_, host_, versions), 0);
    EXPECT_EQ(View(drive).firmwareVersion, "V01L00R07");
}

TEST_F(UpdateRun, ADriveWhoseSerialCannotBeReadIsNotTouched) {
    auto drive = Drive(2, "01000500", "bus/drive", "");
    ASSERT_TRUE(View(drive).usb.serialNumber.empty());
    Versions versions;
    ASSERT_TRUE(InspectAtStartup(view_, host_, versions));
    EXPECT_EQ(UpdateWorker(view_, host_, versions), kMsgSerialUnreadable);
    EXPECT_EQ(host_.markerWrites, 0);
    EXPECT_FALSE(View(drive).loader);
}

TEST_F(UpdateRun, A4KDriveKeepsItsLengthThroughAnInterruptedUpdate) {
    auto drive = Drive();
    Make4K(drive);
    Versions versions;
    ASSERT_TRUE(InspectAtStartup(view_, host_, versions));
    SetFault(drive, {EmulatedFault::Kind::PullCable, 60, 0, 0});
    EXPECT_EQ(UpdateWorker(view_, host_, versions), kMsgFailed);
    ASSERT_TRUE(host_.marker);
    EXPECT_EQ(host_.marker->serial, u"4A3F0012B7C4D9E1");
    EXPECT_EQ(host_.marker->blockLength, 4096u);
    PowerCycle(drive);
    ASSERT_TRUE(View(drive).loader);

    Versions recovery;
    ASSERT_TRUE(InspectAtStartup(view_, host_, recovery));
    EXPECT_EQ(UpdateWorker(view_, host_, recovery), 0);
    EXPECT_EQ(View(drive).logicalBlockLength, 4096u);
    EXPECT_EQ(View(drive).firmwareVersion, "V01L00R07");
    EXPECT_FALSE(host_.marker.has_value());
}

TEST_F(UpdateRun, AMarkerLeftAfterTheFlashWasWrittenIsFinishedNotReused) {
    // An update killed after its flash was written: the drive runs the new firmware with the
    // bridge's default block length, and marker and file are still there.
    auto drive = Drive(2, "01000700");
    host_.marker = UpdateMarker{u"4A3F0012B7C4D9E1", 4096};
    ASSERT_TRUE(host_.WriteConfigFile(117));
    Versions versions;
    ASSERT_TRUE(InspectAtStartup(view_, host_, versions));
    EXPECT_TRUE(versions.unfinished);
    EXPECT_EQ(view_.boxes.back(), (Box{u"", u"119"}));
    EXPECT_EQ(UpdateWorker(view_, host_, versions), 0);
    EXPECT_EQ(View(drive).logicalBlockLength, 4096u);
    EXPECT_FALSE(host_.marker.has_value());
    EXPECT_FALSE(std::filesystem::exists(host_.dir / "MOX3_config.ini"));

    // A marker that names another drive changes nothing for this one.
    host_.marker = UpdateMarker{u"ANOTHER-DRIVE", 512};
    Versions other;
    ASSERT_TRUE(InspectAtStartup(view_, host_, other));
    EXPECT_FALSE(other.unfinished);
    EXPECT_EQ(UpdateWorker(view_, host_, other), kMsgNoUpdateNeeded);
    EXPECT_EQ(host_.marker, (UpdateMarker{u"ANOTHER-DRIVE", 512}));
    EXPECT_EQ(View(drive).logicalBlockLength, 4096u);
}

TEST_F(UpdateRun, OnlyTheUpdatedDriveGetsItsLengthBack) {
    auto drive = Drive();
    Make4K(drive);
    Versions versions;
    ASSERT_TRUE(InspectAtStartup(view_, host_, versions));
    // Another drive of the family is plugged in while the updated one restarts; it is listed
    // before it.
    std::filesystem::path other;
    view_.onProgress = [&](int p) {
        if (p == 75) other = Drive(2, "01000700", "bus/another", "OTHER-SERIAL");
    };
    EXPECT_EQ(UpdateWorker(view_, host_, versions), 0);
    EXPECT_EQ(View(drive).logicalBlockLength, 4096u);
    EXPECT_EQ(View(other).logicalBlockLength, 512u);
}

TEST_F(UpdateRun, ADiskTheSystemUsesIsNotSwitched) {
    auto drive = Drive();
    Versions versions;
    ASSERT_TRUE(InspectAtStartup(view_, host_, versions));
    host_.uses = {Tell(Finding::kMountedOn, {"/dev/sdb1", "/media/data"})};
    EXPECT_EQ(UpdateWorker(view_, host_, versions), kMsgDriveInUse);
    EXPECT_FALSE(View(drive).loader);
    EXPECT_EQ(View(drive).firmwareVersion, "V01L00R05");
}

TEST_F(UpdateRun, ADriveThatDoesNotAnswerIsToldApart) {
    auto drive = Drive();
    SetFault(drive, {EmulatedFault::Kind::FailKind, 1, kFnReadChipName, 0});
    EXPECT_EQ(Run(), -1);
    EXPECT_EQ(view_.boxes.back(), (Box{u"103", u"118"}));
}

TEST_F(UpdateRun, ALoaderDriveWithoutMarkerTakesTheSerialTheUserGives) {
    auto drive = Drive();
    Versions versions;
    ASSERT_TRUE(InspectAtStartup(view_, host_, versions));
    SetFault(drive, {EmulatedFault::Kind::PullCable, 60, 0, 0});
    EXPECT_EQ(UpdateWorker(view_, host_, versions), kMsgFailed);
    PowerCycle(drive);
    host_.marker.reset();
    std::filesystem::remove(host_.dir / "MOX3_config.ini");

    // An empty serial is never written into a drive.
    host_.recovery = ManualRecovery{u"", 0x7C34, u"ZR-MOX3"};
    Versions recovery;
    ASSERT_TRUE(InspectAtStartup(view_, host_, recovery));
    EXPECT_EQ(UpdateWorker(view_, host_, recovery), kMsgLoaderWithoutRecord);
    host_.recovery = ManualRecovery{u"GIVEN-SERIAL", 0x7C35, u"ZR-MOXE3"};
    EXPECT_EQ(UpdateWorker(view_, host_, recovery), 0);
    EmulatedDriveView after = View(drive);
    EXPECT_EQ(after.usb.productId, 0x7C35);
    EXPECT_EQ(after.usb.serialNumber, u"GIVEN-SERIAL");
    EXPECT_EQ(after.firmwareVersion, "V01L00R07");
}

}  // namespace
}  // namespace mox3::test

namespace mox3::test {
namespace {

// The run is bound to the drive it showed: found again by its port and serial number, and no
// other drive is written, however the bus changes while the run waits.
TEST_F(UpdateRun, OnlyTheDriveShownIsWritten) {
    auto drive = Drive(2, "01000500", "bus/m-drive");
    Versions versions;
    ASSERT_TRUE(InspectAtStartup(view_, host_, versions));
    EXPECT_EQ(versions.bound.port, u"m-drive");
    // Another drive's loader arrives during the wait after the switch, listed before it.
    std::filesystem::path intruder;
    view_.onProgress = [&](int p) {
        if (p != 10 || !intruder.empty()) return;
        EmulatedDriveSetup setup;
        setup.generation = 2;
        intruder = MakeDrive(setup, "bus/a-loader");
    };
    EXPECT_EQ(UpdateWorker(view_, host_, versions), 0);
    view_.onProgress = nullptr;
    EXPECT_EQ(View(drive).firmwareVersion, "V01L00R07");
    ASSERT_FALSE(intruder.empty());
    EXPECT_TRUE(View(intruder).loader);
    EXPECT_EQ(View(intruder).usb.serialNumber, u"") << "the intruder was programmed";
    std::filesystem::remove_all(intruder);
    std::filesystem::remove_all(drive);

    // A drive swapped for another between the question and the run: nothing is sent to it,
    // and a newer drive is not taken down to the image's version.
    drive = Drive(2, "01000500", "bus/m-drive");
    ASSERT_TRUE(InspectAtStartup(view_, host_, versions));
    host_.markerWrites = 0;
    std::filesystem::remove_all(drive);
    drive = Drive(2, "01000900", "bus/m-drive", "OTHERSERIAL00001");
    EXPECT_EQ(UpdateWorker(view_, host_, versions), kMsgDriveChanged);
    EXPECT_EQ(View(drive).firmwareVersion, "V01L00R09");
    EXPECT_EQ(host_.markerWrites, 0);
    // Gone altogether: the run says so.
    std::filesystem::remove_all(drive);
    EXPECT_EQ(UpdateWorker(view_, host_, versions), kMsgNotConnected);
}

TEST_F(UpdateRun, SeveralDrivesAndTheOneTheUserNames) {
    auto a = Drive(2, "01000500", "bus/a", "AAAA000000000001");
    auto b = Drive(2, "01000500", "bus/b", "BBBB000000000002");
    struct NamingHost : TestHost {
        std::optional<std::u16string> name;
        std::optional<std::u16string> DriveChoice() override { return name; }
    } naming;
    naming.dir = host_.dir;
    naming.clockPtr = clock_;
    naming.reach = devices_;
    for (const std::u16string& name :
         {std::u16string(u"BBBB000000000002"), std::u16string(u"b"),
          Utf8ToUtf16(std::filesystem::path(b).make_preferred().string())}) {
        naming.name = name;
        Versions versions;
        ASSERT_TRUE(InspectAtStartup(view_, naming, versions)) << Utf16ToUtf8(name);
        EXPECT_EQ(versions.bound.serial, u"BBBB000000000002");
    }
    naming.name = u"b";
    Versions versions;
    ASSERT_TRUE(InspectAtStartup(view_, naming, versions));
    EXPECT_EQ(UpdateWorker(view_, naming, versions), 0);
    EXPECT_EQ(View(b).firmwareVersion, "V01L00R07");
    EXPECT_EQ(View(a).firmwareVersion, "V01L00R05");
    naming.name = u"NOSUCHDRIVE";
    EXPECT_FALSE(InspectAtStartup(view_, naming, versions));
    EXPECT_EQ(view_.boxes.back().second, u"104");
}

TEST_F(UpdateRun, ARecordIsUsedOnlyForItsDrive) {
    // Drive A's update broke off; its record stays while drive B is updated.
    auto a = Drive(2, "01000500", "bus/a", "AAAA000000000001");
    Versions versions;
    ASSERT_TRUE(InspectAtStartup(view_, host_, versions));
    SetFault(a, {EmulatedFault::Kind::PullCable, 60, 0, 0});
    EXPECT_EQ(UpdateWorker(view_, host_, versions), kMsgFailed);
    PowerCycle(a);
    ASSERT_TRUE(View(a).loader);
    ASSERT_TRUE(host_.marker);
    const UpdateMarker recordA = *host_.marker;
    EXPECT_EQ(recordA.port, u"a");
    EXPECT_EQ(recordA.generation, 2);
    EXPECT_EQ(recordA.resourceId, 117);
    EXPECT_EQ(recordA.configDigest.size(), 64u);
    std::filesystem::rename(a, dir_ / "a-away");  // unplugged
    auto b = Drive(2, "01000500", "bus/b", "BBBB000000000002");
    ASSERT_TRUE(InspectAtStartup(view_, host_, versions));
    EXPECT_EQ(UpdateWorker(view_, host_, versions), 0);
    EXPECT_EQ(host_.ReadMarkers(), std::vector<UpdateMarker>{recordA});
    std::filesystem::remove_all(b);

    // Another drive in its loader, where A's record was not made: asked, and a "no" (or a view
    // that cannot ask) writes nothing, whatever --yes said.
    EmulatedDriveSetup erased;  // a loader: its flash holds nothing to start
    erased.generation = 2;
    auto c = MakeDrive(erased, "bus/c");
    host_.markerWrites = 0;
    EXPECT_FALSE(InspectAtStartup(view_, host_, versions));
    ASSERT_EQ(view_.questions.size(), 1u);
    EXPECT_NE(view_.questions[0].find(u"AAAA000000000001"), std::u16string::npos);
    EXPECT_NE(view_.questions[0].find(u"port a"), std::u16string::npos);
    EXPECT_TRUE(View(c).loader);
    EXPECT_EQ(host_.markerWrites, 0);
    // A record of the other generation is not even offered.
    ASSERT_EQ(host_.others.size(), 1u);
    host_.others[0].generation = 1;
    EXPECT_FALSE(InspectAtStartup(view_, host_, versions));
    EXPECT_EQ(view_.questions.size(), 1u);
    EXPECT_EQ(view_.boxes.back().second, u"117");
    host_.others[0] = recordA;
    std::filesystem::remove_all(c);

    // Back at its port, A is finished from its record without a question; the configuration
    // file is made again from the recorded resource when it was altered.
    std::filesystem::rename(dir_ / "a-away", a);
    WriteBytes(host_.dir / "MOX3_config.ini", {'[', 'X', ']'});
    ASSERT_TRUE(InspectAtStartup(view_, host_, versions));
    EXPECT_EQ(view_.questions.size(), 1u);
    EXPECT_EQ(UpdateWorker(view_, host_, versions), 0);
    EXPECT_EQ(View(a).usb.serialNumber, u"AAAA000000000001");
    EXPECT_EQ(View(a).usb.productId, 0x7C34);
    EXPECT_TRUE(host_.ReadMarkers().empty());
}

TEST_F(UpdateRun, ARefusedSwitchLeavesNoRecord) {
    auto drive = Drive();
    Versions versions;
    ASSERT_TRUE(InspectAtStartup(view_, host_, versions));
    SetFault(drive, {EmulatedFault::Kind::RefuseUpdateMode, 1, 0, 0});
    EXPECT_EQ(UpdateWorker(view_, host_, versions), kMsgFailed);
    EXPECT_EQ(host_.markerWrites, 1);
    EXPECT_FALSE(host_.marker.has_value());
    EXPECT_FALSE(View(drive).loader);
    EXPECT_EQ(View(drive).firmwareVersion, "V01L00R05");
}

// A drive with a CD-ROM unit lists that unit first: every node of the drive is checked for use
// and taken before the switch, its disk among them; a disk that cannot be taken stops the run
// before any record is written.
TEST_F(UpdateRun, EveryNodeOfTheDriveIsCheckedAndTaken) {
    auto drive = Drive();
    std::string why;
    ASSERT_TRUE(ChangeEmulatedTreeSettings(
        drive, [](EmulatedTreeSettings& t) { t.cdrom = true; }, *clock_, &why))
        << why;
    Versions versions;
    ASSERT_TRUE(InspectAtStartup(view_, host_, versions));
    const std::u16string disk = Utf8ToUtf16(std::filesystem::path(drive).make_preferred().string());
    ASSERT_EQ(versions.drivePaths.size(), 2u);
    EXPECT_EQ(versions.drivePaths[0], disk + u"#cdrom");
    host_.claimRefusal = {Tell(Finding::kInUseBySystem, {"/dev/sdb"})};
    EXPECT_EQ(UpdateWorker(view_, host_, versions), kMsgDriveInUse);
    EXPECT_EQ(host_.markerWrites, 0);
    EXPECT_FALSE(View(drive).loader);
    EXPECT_EQ(host_.checkedPaths, versions.drivePaths);
    EXPECT_EQ(host_.claimedPaths, versions.drivePaths);
    host_.claimRefusal.clear();
    EXPECT_EQ(UpdateWorker(view_, host_, versions), 0);
}

// Ctrl-C while the bridge only waits in its loader stops the run there, with its record kept
// for the next run, instead of after every pass and try.
TEST_F(UpdateRun, AStopWhileTheBridgeStaysBusyKeepsTheRecord) {
    auto drive = Drive();
    Versions versions;
    ASSERT_TRUE(InspectAtStartup(view_, host_, versions));
    SetFault(drive, {EmulatedFault::Kind::StayBusy, 1, 0, 0});
    view_.stopAfterWaits = 20;
    EXPECT_EQ(UpdateWorker(view_, host_, versions), kMsgStoppedWaiting);
    EXPECT_EQ(view_.waits, 21);
    EXPECT_EQ(view_.lastWait, std::make_pair(CBridgeMgr::WaitFor::kErasing, 1u));
    ASSERT_TRUE(host_.marker);
    EXPECT_EQ(host_.marker->serial, u"4A3F0012B7C4D9E1");
    EXPECT_TRUE(View(drive).loader);
}

// The sample images of the emulator are no firmware: a drive without the emulator's mark is
// refused before it is touched.
TEST_F(UpdateRun, ASampleImageIsForEmulatedDrivesOnly) {
    auto drive = Drive();
    host_.reach.backend = std::make_shared<WatchingBackend>(
        backend_, [](const ScsiRequest& r, ScsiReply& reply) {
            if (r.cdb[0] != 0x12 || (r.cdb[1] & 1) == 0) return false;
            reply.status = kScsiStatusCheckCondition;
            reply.sense = FixedSense(kSenseIllegalRequest, kAscInvalidFieldInCdb, 0);
            return true;
        });
    Versions versions;
    EXPECT_FALSE(InspectAtStartup(view_, host_, versions));
    host_.reach = devices_;
    EXPECT_EQ(view_.boxes.back(), (Box{u"103", u"115"}));
    EXPECT_EQ(View(drive).firmwareVersion, "V01L00R05");
    EXPECT_TRUE(InspectAtStartup(view_, host_, versions));
}

}  // namespace
}  // namespace mox3::test
