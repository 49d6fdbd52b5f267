// The start-up inspection and the update run against emulated drives in virtual time.
#include "app/run/update_run.h"

#include <algorithm>
#include <functional>

#include "app/run_fixture.h"
#include "bridge/vendor_commands.h"
#include "config/compile_fixture.h"
#include "emulator/emulator_fixture.h"
#include "emulator/emulator_tree.h"

namespace mox3::test {
namespace {

// Keeps the progress and what the run asks and warns of, besides the boxes.
struct RecordingView : BoxView {
    std::vector<int> progress;
    std::function<void(int)> onProgress;
    bool finished = false;
    std::vector<std::u16string> questions;
    std::vector<std::string> warnings;
    void InitProgress() override { progress.push_back(0); }
    void SetProgress(int p) override {
        progress.push_back(p);
        if (onProgress) onProgress(p);
    }
    void PostFinished() override { finished = true; }
    bool Confirm(const std::u16string& question) override {
        questions.push_back(question);
        return false;
    }
    void ConfigWarnings(const std::vector<CompileWarning>& w) override {
        for (const CompileWarning& one : w) warnings.push_back(WarningLine(one));
    }
};

using Box = std::pair<std::u16string, std::u16string>;
using Boxes = std::vector<Box>;

class UpdateRun : public EmulatedHostTest {
  protected:
    std::filesystem::path BusFolder() override { return dir_ / "bus"; }
    void SetUp() override {
        EmulatedHostTest::SetUp();
        std::filesystem::create_directory(dir_ / "host");
        NewHost();
    }
    void NewHost() {
        host_ = MemoryHost{};
        host_.dir = dir_ / "host";
        host_.clockPtr = clock_;
        host_.reach = devices_;
        std::string why;
        for (int g : {1, 2}) {
            WriteBytes(host_.dir / (g == 1 ? "firmware_C30.bin" : "firmware_C311.bin"),
                       MakeSampleImage({g, "01000700", 30000, 3}, &why));
        }
    }
    std::filesystem::path Drive(const std::string& digits = "01000500",
                                const std::string& name = "bus/drive",
                                const std::string& serial = "4A3F0012B7C4D9E1") {
        return MakeProgrammedDrive(2, digits, serial, {}, name);
    }
    // The drive's firmware, whether in its loader, serial number, product id and block length.
    std::string Shown(const std::filesystem::path& drive) {
        const EmulatedDriveView v = View(drive);
        char pid[8];
        std::snprintf(pid, sizeof pid, "%04X", v.usb.productId);
        return v.firmwareVersion + (v.loader ? " loader " : " ") + Utf16ToUtf8(v.usb.serialNumber) +
               " " + pid + " " + std::to_string(v.logicalBlockLength);
    }
    void EmptyBus() {
        for (const auto& entry : std::filesystem::directory_iterator(dir_ / "bus")) {
            std::filesystem::remove_all(entry.path());
        }
    }
    Versions Inspected() {
        Versions versions;
        EXPECT_TRUE(InspectAtStartup(view_, host_, versions));
        return versions;
    }
    int Run() {
        Versions versions;
        if (!InspectAtStartup(view_, host_, versions)) return -1;
        return UpdateWorker(view_, host_, versions);
    }
    // An update whose cable is pulled half-way; the drive comes back as a bare bridge.
    void Break(const std::filesystem::path& drive) {
        Versions versions = Inspected();
        SetFault(drive, {EmulatedFault::Kind::PullCable, 60, 0, 0});
        EXPECT_EQ(UpdateWorker(view_, host_, versions), kMsgFailed);
        PowerCycle(drive);
        ASSERT_TRUE(View(drive).loader);
    }

    RecordingView view_;
    MemoryHost host_;
};

TEST_F(UpdateRun, ValuesOfTheModelFileTakenInPartReachTheView) {
    Drive();
    // bcdDevice=0x0001 becomes 0x0001junk: the drive is programmed as the reader took it.
    host_.editConfig = [](std::vector<std::uint8_t>& bytes) {
        std::vector<std::uint8_t> from;  // UTF-16LE
        for (char c : std::string("bcdDevice=0x0001")) from.insert(from.end(), {std::uint8_t(c), 0});
        auto at = std::search(bytes.begin(), bytes.end(), from.begin(), from.end());
        bytes.insert(at + from.size(), {'j', 0, 'u', 0, 'n', 0, 'k', 0});
    };
    EXPECT_EQ(Run(), 0);
    ASSERT_EQ(view_.warnings.size(), 1u);
    EXPECT_NE(
        view_.warnings[0].find("MOX3_config.ini [USB Device Descriptor] bcdDevice=0x0001junk: "
                               "took \"0x0001\" as 1, ignored \"junk\""),
        std::string::npos)
        << view_.warnings[0];
}

TEST_F(UpdateRun, RefusalsAndTheSwitch) {
    Drive("01000700");  // as new as the image
    Versions versions = Inspected();
    EXPECT_EQ(UpdateWorker(view_, host_, versions), kMsgNoUpdateNeeded);
    for (const char16_t* refused : {u"/UPDATE now", u"UPDATE", u"/UPDAT"}) {
        host_.arguments = refused;
        EXPECT_EQ(UpdateWorker(view_, host_, versions), kMsgNoUpdateNeeded);
    }
    host_.arguments = u"-update";
    EXPECT_EQ(UpdateWorker(view_, host_, versions), 0);
}

// Each census outcome is said once; a bridge behind another bus's adapter is no drive, a disk
// of a model that needs no update still counts.
TEST_F(UpdateRun, TheCensusSaysEachOutcomeOnce) {
    const auto disk = [&](std::uint16_t pid) { MakeDisk("bus/disk", 0x5E3B, pid, u"DISK1"); };
    const struct {
        const char* what;
        std::function<void()> attach;
        std::u16string box;  // empty: none, the run goes on
    } rows[] = {
        {"a drive behind an adapter of another bus",
         [&] {
             std::string why;
             ASSERT_TRUE(ChangeEmulatedTreeSettings(
                 Drive(), [](EmulatedTreeSettings& t) { t.busType = 1; }, *clock_, &why));
         },
         u"104"},
        {"a drive and a disk that needs no update", [&] { Drive(), disk(0x7C3A); }, u"105"},
        {"one drive", [&] { Drive(); }, u""},
    };
    for (const auto& row : rows) {
        EmptyBus();
        row.attach();
        view_.boxes.clear();
        Versions versions;
        EXPECT_EQ(InspectAtStartup(view_, host_, versions), row.box.empty()) << row.what;
        EXPECT_EQ(view_.boxes, (row.box.empty() ? Boxes{} : Boxes{{u"", row.box}})) << row.what;
    }
}

// A refusal by the inspection (with its box) or by the run before the switch (with its message)
// leaves no record and the drive as it was; the emulator's sample images need its mark. Every
// node of a drive with a CD-ROM unit (listed first) is checked for use and taken.
TEST_F(UpdateRun, ARefusalBeforeTheSwitchLeavesTheDriveAsItWas) {
    using Arrange = std::function<void(const std::filesystem::path&)>;
    const struct {
        const char* what;
        Arrange arrange;
        std::u16string box;  // the inspection's, or empty: the run refuses
        int result = 0, markerWrites = 0;
        std::string serial = "4A3F0012B7C4D9E1";
    } rows[] = {
        {"the system", [&](auto&) { host_.os = false; }, u"114"},
        {"no answer",
         [&](auto& drive) { SetFault(drive, {EmulatedFault::Kind::FailKind, 1, kFnReadChipName, 0}); },
         u"118"},
        {"no emulator's mark",
         [&](auto&) {
             host_.reach.backend = std::make_shared<WatchingBackend>(
                 backend_, [](const ScsiRequest& r, ScsiReply& reply) {
                     if (r.cdb[0] != 0x12 || (r.cdb[1] & 1) == 0) return false;
                     reply.status = kScsiStatusCheckCondition;
                     reply.sense = FixedSense(kSenseIllegalRequest, kAscInvalidFieldInCdb, 0);
                     return true;
                 });
         },
         u"115"},
        {"the configuration file cannot be written whole", [&](auto&) { host_.writeFails = true; },
         u"", kMsgFailed},
        {"the marker cannot be written", [&](auto&) { host_.markerFails = true; }, u"", kMsgFailed, 1},
        {"the serial number cannot be read", [](auto&) {}, u"", kMsgSerialUnreadable, 0, ""},
        {"a disk the system uses",
         [&](auto&) { host_.uses = {Tell(Finding::kMountedOn, {"/dev/sdb1", "/media/data"})}; },
         u"", kMsgDriveInUse},
        {"the bridge refuses to switch",
         [&](auto& drive) { SetFault(drive, {EmulatedFault::Kind::RefuseUpdateMode, 1, 0, 0}); },
         u"", kMsgFailed, 1},
        {"a disk that cannot be taken",
         [&](auto& drive) {
             host_.claimRefusal = {Tell(Finding::kInUseBySystem, {"/dev/sdb"})};
             std::string why;
             ASSERT_TRUE(ChangeEmulatedTreeSettings(
                 drive, [](EmulatedTreeSettings& t) { t.cdrom = true; }, *clock_, &why))
                 << why;
         },
         u"", kMsgDriveInUse},
    };
    Versions versions;
    std::filesystem::path drive;
    for (const auto& row : rows) {
        EmptyBus();
        NewHost();
        drive = Drive("01000500", "bus/drive", row.serial);
        row.arrange(drive);
        versions = Versions{};
        EXPECT_EQ(InspectAtStartup(view_, host_, versions), row.box.empty()) << row.what;
        if (!row.box.empty()) {
            EXPECT_EQ(view_.boxes.back(), (Box{u"103", row.box})) << row.what;
        } else {
            EXPECT_EQ(UpdateWorker(view_, host_, versions), row.result) << row.what;
            EXPECT_EQ(view_.progress.back(), 0) << row.what;
        }
        EXPECT_EQ(host_.markerWrites, row.markerWrites) << row.what;
        EXPECT_FALSE(host_.marker.has_value()) << row.what;
        EXPECT_EQ(Shown(drive), "V01L00R05 " + row.serial + " 7C34 512") << row.what;
    }
    const std::u16string disk = Utf8ToUtf16(std::filesystem::path(drive).make_preferred().string());
    EXPECT_EQ(versions.drivePaths, (std::vector<std::u16string>{disk + u"#cdrom", disk}));
    EXPECT_EQ(host_.checkedPaths, versions.drivePaths);
    EXPECT_EQ(host_.claimedPaths, versions.drivePaths);
    host_.claimRefusal.clear();
    EXPECT_EQ(UpdateWorker(view_, host_, versions), 0);
}

// A failure after the switch keeps record and file, reports nothing done, and the next run
// finishes the drive; programming refused in only two tries succeeds in the third.
TEST_F(UpdateRun, AFailureAfterTheSwitchKeepsRecordAndFile) {
    const FactoryParts parts = CompileParts(dir_, 2, "01000700", "4A3F0012B7C4D9E1", 117, 30000);
    const std::uint32_t inBlock = View(Drive()).flashReport.blockAddress + 2000;
    const std::uint32_t lastPage = parts.firmwareAddress + parts.firmwareLength - 1;
    EmulatedFault twice{EmulatedFault::Kind::FailKind, 1, kFnBeginFlashUpdate, 0};
    twice.times = 20;
    const struct {
        const char* what;
        EmulatedFault fault;
        int result;
        std::vector<int> progress = {};  // none: not looked at
        std::uint64_t sleptMs = 0;       // at least
    } rows[] = {
        {"refused twice", twice, 0},
        {"a byte of the block", {EmulatedFault::Kind::CorruptRead, 1, 0, inBlock}, kMsgFailed, {}, 10},
        {"a byte of the firmware", {EmulatedFault::Kind::CorruptRead, 1, 0, lastPage}, kMsgFailed,
         {}, 10},
        {"no return", {EmulatedFault::Kind::NoReturn, 1, 0, 0}, kMsgFailed, {0, 10, 0}},
        {"a bare bridge", {EmulatedFault::Kind::ReturnInLoader, 1, 0, 0}, kMsgFailed,
         {0, 10, 20, 75, 80, 81, 82, 83, 84, 85, 86, 87, 88, 89, 0}, 50000},
    };
    for (const auto& row : rows) {
        EmptyBus();
        const auto drive = Drive();
        view_ = RecordingView{};
        Versions versions = Inspected();
        SetFault(drive, row.fault);
        const std::uint64_t before = clock_->sleptMs();
        EXPECT_EQ(UpdateWorker(view_, host_, versions), row.result) << row.what;
        EXPECT_TRUE(row.progress.empty() || view_.progress == row.progress) << row.what;
        EXPECT_GE(clock_->sleptMs() - before, row.sleptMs) << row.what;
        if (row.result != 0) {
            EXPECT_EQ(view_.boxes, (Boxes{{u"103", u"106"}})) << row.what;
            EXPECT_FALSE(view_.finished) << row.what;
            EXPECT_TRUE(host_.marker.has_value()) << row.what;
            EXPECT_TRUE(std::filesystem::exists(host_.dir / "MOX3_config.ini")) << row.what;
            // The drive is now in its loader: a run finishes it with the marker's serial.
            ClearEmulatedDriveFaults(drive, nullptr);
            PowerCycle(drive);
            EXPECT_EQ(UpdateWorker(view_, host_, versions), 0) << row.what;
        }
        EXPECT_EQ(Shown(drive), "V01L00R07 4A3F0012B7C4D9E1 7C34 512") << row.what;
    }
}

// A drive in its loader is finished from its record (its file made again from the recorded
// resource), or else only with a serial number and model the user gives, never an empty one.
TEST_F(UpdateRun, RecoveryNeedsARecordOrTheUsersValues) {
    auto drive = Drive();
    Break(drive);
    Versions recovery = Inspected();
    const UpdateMarker marker = *host_.marker;
    host_.marker.reset();
    EXPECT_EQ(UpdateWorker(view_, host_, recovery), kMsgLoaderWithoutRecord);
    host_.marker = UpdateMarker{u"", 512};
    EXPECT_EQ(UpdateWorker(view_, host_, recovery), kMsgLoaderWithoutRecord);
    host_.marker = marker;
    std::filesystem::remove(host_.dir / "MOX3_config.ini");
    EXPECT_EQ(UpdateWorker(view_, host_, recovery), 0);
    EXPECT_EQ(Shown(drive), "V01L00R07 4A3F0012B7C4D9E1 7C34 512");

    host_.arguments = u"-update";
    Break(drive);
    host_.marker.reset();
    std::filesystem::remove(host_.dir / "MOX3_config.ini");
    host_.recovery = ManualRecovery{u"", 0x7C34, u"ZR-MOX3"};
    recovery = Inspected();
    EXPECT_EQ(UpdateWorker(view_, host_, recovery), kMsgLoaderWithoutRecord);
    host_.recovery = ManualRecovery{u"GIVEN-SERIAL", 0x7C35, u"ZR-MOXE3"};
    EXPECT_EQ(UpdateWorker(view_, host_, recovery), 0);
    EXPECT_EQ(Shown(drive), "V01L00R07 GIVEN-SERIAL 7C35 512");
}

// Every model is programmed with its own file; the maker's other identities are refused, and a
// product that is no model name gets no file (not even one left behind).
TEST_F(UpdateRun, EveryModelIsUpdatedWithItsOwnFile) {
    const struct {
        std::uint16_t pid;
        std::u16string product;
        int generation, resource;
    } models[] = {
        {0x7C31, u"ZR-MOX3", 1, 104},  {0x7C32, u"ZR-MOX3", 1, 106},  {0x7C33, u"ZR-MOX3", 2, 116},
        {0x7C34, u"ZR-MOX3", 2, 117},  {0x7C34, u"ZR-MOXE3", 2, 118}, {0x7C35, u"ZR-MOX3", 2, 119},
        {0x7C35, u"ZR-MOXE3", 2, 120}, {0x7C36, u"ZR-MOX3", 2, 121},  {0x7C36, u"ZR-MOXE3", 2, 123}};
    const auto identity = [&](const std::filesystem::path& d) {
        const EmulatedDriveView v = View(d);
        return std::tuple(v.usb.productId, v.usb.product, v.firmwareVersion);
    };
    for (const auto& m : models) {
        auto drive = MakeProgrammedDrive(m.generation, "01000500", "4A3F0012B7C4D9E1", {},
                                         "bus/model", m.resource);
        host_.configWrites.clear();
        EXPECT_EQ(Run(), 0) << m.resource;
        EXPECT_EQ(host_.configWrites, std::vector<int>{m.resource});
        EXPECT_EQ(identity(drive), std::tuple(m.pid, m.product, "V01L00R07")) << m.resource;
        std::filesystem::remove_all(drive);
    }
    // A drive made from a configuration of the test's own.
    const auto custom = [&](const Ini& ini) {
        WriteUtf16Ini(dir_ / "other.ini", ini.Text());
        const FactoryParts p =
            CompileParts(dir_, 2, "01000500", "CUSTOM-SERIAL", dir_ / "other.ini", 30000);
        std::string why;
        EmulatedDriveSetup setup;
        setup.generation = 2;
        setup.flash = FactoryFlash(2, kSecondGenerationFlashSize, p.block, p.firmwareAddress,
                                   p.image, p.firmwareLength, 512, &why);
        return MakeDrive(setup, "bus/other");
    };
    Versions older;
    older.current = 0x0105;
    older.fresh = 0x0107;
    host_.markerWrites = 0;
    for (const auto& [pid, message] : {std::pair{"0x7C39", u"112"}, {"0x7C30", u"104"}}) {
        auto drive = custom(SecondGenerationIni().Set("USB Device Descriptor", "PID", pid));
        view_.boxes.clear();
        Versions versions;
        EXPECT_FALSE(InspectAtStartup(view_, host_, versions)) << pid;
        EXPECT_EQ(view_.boxes, (Boxes{{u"", message}})) << pid;
        EXPECT_EQ(UpdateWorker(view_, host_, older), kMsgNotConnected) << pid;
        std::filesystem::remove_all(drive);
    }
    custom(SecondGenerationIni().Set("USB String Descriptor", "Product", "OTHER DRIVE"));
    ASSERT_TRUE(host_.WriteConfigFile(117));
    EXPECT_EQ(UpdateWorker(view_, host_, older), kMsgFailed);
    EXPECT_EQ(host_.markerWrites, 0);
    EmptyBus();
    Drive("01000500", "bus/a");
    Drive("01000500", "bus/b");
    EXPECT_EQ(UpdateWorker(view_, host_, older), kMsgNotConnected);
}

// An image of the wrong generation is refused before the drive is touched, with or without
// the inspection; the run programs the image the inspection checked.
TEST_F(UpdateRun, TheImageIsTestedBeforeTheDriveIsTouched) {
    auto drive = Drive();
    const auto good = ReadBytes(host_.dir / "firmware_C311.bin");
    std::string why;
    Versions older;
    older.fresh = 0x107;
    WriteBytes(host_.dir / "firmware_C311.bin", MakeSampleImage({1, "01000700", 30000, 3}, &why));
    Versions versions;
    EXPECT_FALSE(InspectAtStartup(view_, host_, versions));
    EXPECT_EQ(view_.boxes.back(), (Box{u"103", u"115"}));
    for (const char16_t* arguments : {u"", u"/UPDATE"}) {
        host_.arguments = arguments;
        EXPECT_EQ(UpdateWorker(view_, host_, older), kMsgImageDamaged);
    }
    EXPECT_EQ(host_.markerWrites, 0);
    EXPECT_EQ(Shown(drive), "V01L00R05 4A3F0012B7C4D9E1 7C34 512");

    WriteBytes(host_.dir / "firmware_C311.bin", good);
    versions = Inspected();
    WriteBytes(host_.dir / "firmware_C311.bin", MakeSampleImage({2, "01000900", 30000, 9}, &why));
    EXPECT_EQ(UpdateWorker(view_, host_, versions), 0);
    EXPECT_EQ(View(drive).firmwareVersion, "V01L00R07");
}

// An update killed after its flash was written is finished from its marker; another drive's
// marker changes nothing.
TEST_F(UpdateRun, AMarkerLeftAfterTheFlashWasWrittenIsFinishedNotReused) {
    auto drive = Drive("01000700");
    host_.marker = UpdateMarker{u"4A3F0012B7C4D9E1", 4096};
    ASSERT_TRUE(host_.WriteConfigFile(117));
    Versions versions = Inspected();
    EXPECT_EQ(view_.boxes.back(), (Box{u"", u"119"}));
    EXPECT_EQ(UpdateWorker(view_, host_, versions), 0);
    EXPECT_FALSE(std::filesystem::exists(host_.dir / "MOX3_config.ini"));

    host_.marker = UpdateMarker{u"ANOTHER-DRIVE", 512};
    Versions other = Inspected();
    EXPECT_EQ(UpdateWorker(view_, host_, other), kMsgNoUpdateNeeded);
    EXPECT_EQ(host_.marker, (UpdateMarker{u"ANOTHER-DRIVE", 512}));
    EXPECT_EQ(View(drive).logicalBlockLength, 4096u);
}

// The run writes only the drive it showed, found again by port and serial number.
TEST_F(UpdateRun, OnlyTheDriveShownIsWritten) {
    auto drive = Drive("01000500", "bus/m-drive");
    SwitchTo4096ByteBlocks(drive);
    Versions versions = Inspected();
    // A loader listed before it arrives after the switch, another drive during the restart.
    std::filesystem::path intruder, other;
    view_.onProgress = [&](int p) {
        if (p == 10 && intruder.empty()) {
            EmulatedDriveSetup setup;
            setup.generation = 2;
            intruder = MakeDrive(setup, "bus/a-loader");
        }
        if (p == 75) other = Drive("01000700", "bus/another", "OTHER-SERIAL");
    };
    EXPECT_EQ(UpdateWorker(view_, host_, versions), 0);
    view_.onProgress = nullptr;
    EXPECT_EQ(Shown(drive), "V01L00R07 4A3F0012B7C4D9E1 7C34 4096");
    EXPECT_EQ(Shown(other), "V01L00R07 OTHER-SERIAL 7C34 512");
    ASSERT_FALSE(intruder.empty());
    EXPECT_TRUE(View(intruder).loader);
    EXPECT_EQ(View(intruder).usb.serialNumber, u"") << "the intruder was programmed";
    EmptyBus();

    // A drive swapped between the question and the run is left alone, a gone one said so.
    drive = Drive("01000500", "bus/m-drive");
    versions = Inspected();
    host_.markerWrites = 0;
    std::filesystem::remove_all(drive);
    drive = Drive("01000900", "bus/m-drive", "OTHERSERIAL00001");
    EXPECT_EQ(UpdateWorker(view_, host_, versions), kMsgDriveChanged);
    EXPECT_EQ(View(drive).firmwareVersion, "V01L00R09");
    EXPECT_EQ(host_.markerWrites, 0);
    std::filesystem::remove_all(drive);
    EXPECT_EQ(UpdateWorker(view_, host_, versions), kMsgNotConnected);
}

TEST_F(UpdateRun, ARecordIsUsedOnlyForItsDrive) {
    // Drive A's update broke off; its record stays while drive B is updated.
    auto a = Drive("01000500", "bus/a", "AAAA000000000001");
    Break(a);
    ASSERT_TRUE(host_.marker);
    const UpdateMarker recordA = *host_.marker;
    std::filesystem::rename(a, dir_ / "a-away");  // unplugged
    auto b = Drive("01000500", "bus/b", "BBBB000000000002");
    Versions versions = Inspected();
    EXPECT_EQ(UpdateWorker(view_, host_, versions), 0);
    EXPECT_EQ(host_.ReadMarkers(), std::vector<UpdateMarker>{recordA});
    std::filesystem::remove_all(b);

    // Another drive in its loader: A's record is offered, naming its drive and port.
    EmulatedDriveSetup erased;  // a loader: its flash holds nothing to start
    erased.generation = 2;
    auto c = MakeDrive(erased, "bus/c");
    EXPECT_FALSE(InspectAtStartup(view_, host_, versions));
    ASSERT_EQ(view_.questions.size(), 1u);
    EXPECT_NE(view_.questions[0].find(u"AAAA000000000001"), std::u16string::npos);
    EXPECT_NE(view_.questions[0].find(u"port a"), std::u16string::npos);
    // A record of the other generation is not even offered.
    ASSERT_EQ(host_.others.size(), 1u);
    host_.others[0].generation = 1;
    EXPECT_FALSE(InspectAtStartup(view_, host_, versions));
    EXPECT_EQ(view_.questions.size(), 1u);
    EXPECT_EQ(view_.boxes.back().second, u"117");
    host_.others[0] = recordA;
    std::filesystem::remove_all(c);

    // Back at its port, A is finished without a question, its altered file made again.
    std::filesystem::rename(dir_ / "a-away", a);
    WriteBytes(host_.dir / "MOX3_config.ini", {'[', 'X', ']'});
    versions = Inspected();
    EXPECT_EQ(view_.questions.size(), 1u);
    EXPECT_EQ(UpdateWorker(view_, host_, versions), 0);
    EXPECT_EQ(Shown(a), "V01L00R07 AAAA000000000001 7C34 512");
    EXPECT_TRUE(host_.ReadMarkers().empty());
}

}  // namespace
}  // namespace mox3::test
