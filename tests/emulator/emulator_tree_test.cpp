// The device tree over an emulator folder: interfaces, the walk up to the USB device, ids
// through restarts and unplugging, the hub port's identity, and plain disks.
#include "emulator/emulator_tree.h"

#include <functional>

#include "emulator/drive_state.h"
#include "emulator/emulator_fixture.h"

namespace mox3::test {
namespace {

namespace fs = std::filesystem;

class EmulatorTree : public EmulatorTest {
  protected:
    std::vector<DeviceInterface> Interfaces(InterfaceClass cls) {
        return tree_->PresentInterfaces(cls).value_or(std::vector<DeviceInterface>{});
    }
    DeviceInterface DiskOf(const fs::path& device) {
        for (const DeviceInterface& i : Interfaces(InterfaceClass::Disk)) {
            if (i.path == Utf8ToUtf16(device.string())) return i;
        }
        ADD_FAILURE() << device << " has no disk interface";
        return {};
    }
    std::string Id(DevNode node) {
        std::u16string id;
        return tree_->DeviceId(node, id) ? Utf16ToUtf8(id) : "(none)";
    }
    DevNode ParentOf(DevNode node) {
        DevNode parent = kNoNode;
        return tree_->Parent(node, parent) ? parent : kNoNode;
    }
    // The ids from the node's parent up to the hub.
    std::vector<std::string> Walk(DevNode node) {
        std::vector<std::string> ids;
        while ((node = ParentOf(node)) != kNoNode) ids.push_back(Id(node));
        return ids;
    }
    // "VID:PID manufacturer|product|serial", "-" for a string whose request fails.
    std::string Identity(DevNode usb) {
        auto i = tree_->UsbIdentity(usb);
        if (!i) return "(none)";
        std::u16string text = HexText16(i->vendorId) + u":" + HexText16(i->productId);
        char16_t separator = u' ';
        for (const auto& s : {i->manufacturer, i->product, i->serialNumber}) {
            text += separator;
            text += s.value_or(u"-");
            separator = u'|';
        }
        return Utf16ToUtf8(text);
    }
    void SetDirect(const fs::path& device, bool EmulatedTreeSettings::*field, bool on) {
        SetTree(device, [&](EmulatedTreeSettings& t) { t.*field = on; });
    }

    std::shared_ptr<EmulatorDeviceTree> tree_ = MakeEmulatorDeviceTree(dir_.path(), clock_);
};

TEST_F(EmulatorTree, InterfacesOfDrivesAndDisksInNameOrder) {
    auto normal = MakeProgrammedDrive(2, "010203", "SERIAL0001", {}, "a-drive");
    auto other = MakeDisk("b-other", 0x0BC2, 0x2322, u"NA8ABC12");
    auto noUpdate = MakeDisk("c-noupdate", 0x5E3B, 0x7C37, u"", 4096);
    auto cdrom = MakeProgrammedDrive(2, "010203", "SERIAL0002", {}, "d-cdrom");
    EmulatedDriveSetup erased;
    erased.generation = 1;
    auto loader = MakeDrive(erased, "e-loader");
    fs::create_directory(dir_ / "0-not-a-device");
    SetDirect(cdrom, &EmulatedTreeSettings::cdrom, true);

    auto disks = Interfaces(InterfaceClass::Disk);
    ASSERT_EQ(disks.size(), 5u);
    const std::vector<fs::path> order = {normal, other, noUpdate, cdrom, loader};
    for (std::size_t i = 0; i < disks.size(); ++i) {
        const std::u16string& path = disks[i].path;
        EXPECT_EQ(std::tuple(Utf16ToUtf8(path), tree_->StorageDeviceNumber(path),
                             tree_->StorageBusType(path), tree_->InstallState(disks[i].node),
                             IsEmulatedDevicePath(path)),
                  std::tuple(order[i].string(), i, kBusTypeUsb, kInstallStateInstalled, true));
    }
    EXPECT_EQ(Walk(disks[2].node)[0], "USB\\VID_5E3B&PID_7C37\\c-noupdate") << "no serial";
    EXPECT_EQ(tree_->DiskLength(disks[2].path), 8000 * 512) << "1000 blocks of 4096 bytes";
}

TEST_F(EmulatorTree, ARestartIntoTheLoaderIsANewUsbDeviceWithTheBareBridgeId) {
    auto drive = MakeProgrammedDrive(2, "010203", "SERIAL0001");
    const DeviceInterface before = DiskOf(drive);
    const DevNode usbBefore = ParentOf(before.node);
    auto device = Open(drive);
    ASSERT_TRUE(Send(*device, VendorCdb(0x3B, 0x53)).good());
    ASSERT_TRUE(Send(*device, VendorCdb(0x3B, 0x50)).good());
    EXPECT_EQ(std::tuple(ParentOf(before.node), Id(usbBefore)), std::tuple(kNoNode, "(none)"));

    clock_->Advance(kRestartDelay);
    const DeviceInterface after = DiskOf(drive);
    const DevNode usbAfter = ParentOf(after.node);
    EXPECT_NE(usbAfter, usbBefore);
    EXPECT_EQ(Id(usbAfter), "USB\\VID_04C5&PID_2026\\drive");
    // The tree only looked; the drive starts for real when next used, the same way.
    ASSERT_NE(Open(drive), nullptr);
    EXPECT_EQ(DiskOf(drive).node, after.node);
}

TEST_F(EmulatorTree, UnpluggedDrivesAreAbsentUntilPluggedIn) {
    auto drive = MakeProgrammedDrive(2, "010203", "SERIAL0001");
    const DevNode first = DiskOf(drive).node;
    auto device = Open(drive);
    SetDirect(drive, &EmulatedTreeSettings::attached, false);
    EXPECT_FALSE(Send(*device, kStatus, 12).delivered) << "the handle died with the plug";
    std::string why;
    EXPECT_EQ(Open(drive, &why), nullptr);
    EXPECT_NE(why.find("unplugged"), std::string::npos) << why;
    PowerCycle(drive);
    EXPECT_TRUE(Interfaces(InterfaceClass::Disk).empty()) << "power alone does not plug it in";
    SetDirect(drive, &EmulatedTreeSettings::attached, true);
    EXPECT_NE(DiskOf(drive).node, first);
}

TEST_F(EmulatorTree, TheHubPortReportsTheIdentityAsPresented) {
    auto disk = MakeDisk("disk", 0x5E3B, 0x7C37, u"N\u00d8-SERIAL 1");
    const DevNode usb = ParentOf(DiskOf(disk).node);
    EXPECT_EQ(Id(usb), "USB\\VID_5E3B&PID_7C37\\N_-SERIAL_1") << "what an id cannot hold is '_'";
    EXPECT_EQ(Identity(usb), "0x5E3B:0x7C37 Generic|USB Disk|N\u00d8-SERIAL 1");

    // Lower-case ids are a new plug-in; the ids of its USB device alone change case.
    SetTree(disk, [](EmulatedTreeSettings& t) {
        t.lowerCaseIds = true;
        t.usbLevels = 2;
        t.portIdentity = EmulatedPortIdentity::Full;
    });
    const DevNode disk2 = DiskOf(disk).node;
    std::vector<std::string> ids = Walk(disk2);
    ASSERT_EQ(ids.size(), 3u);
    EXPECT_EQ(ids[0].substr(0, 28) + " " + ids[1] + " " + Id(disk2).substr(0, 12),
              "usb\\vid_5e3b&pid_7c37&mi_00\\ usb\\vid_5e3b&pid_7c37\\n_-serial_1 USBSTOR\\DISK");
}

TEST_F(EmulatorTree, StorageQueriesAndOpeningFollowTheSettings) {
    auto drive = MakeProgrammedDrive(2, "010203", "SERIAL0001");
    // (The bus type and a pending installation: the discovery's tests.)
    SetTree(drive, [](EmulatedTreeSettings& t) {
        t.deviceNumberFails = true;
        t.installPending = 2;
    });
    DeviceInterface disk = DiskOf(drive);
    EXPECT_EQ(tree_->StorageDeviceNumber(disk.path), std::nullopt);
    EXPECT_EQ(tree_->InstallState(ParentOf(disk.node)), kInstallStateInstalled)
        << "the disk's only";

    SetDirect(drive, &EmulatedTreeSettings::refuseOpen, true);
    std::string why;
    EXPECT_EQ(Open(drive, &why), nullptr);
    EXPECT_NE(why.find("access denied"), std::string::npos) << why;
    EXPECT_EQ(tree_->DiskLength(disk.path), std::nullopt);
    EXPECT_EQ(Interfaces(InterfaceClass::Disk).size(), 1u) << "still in the tree";
}

TEST_F(EmulatorTree, FoldersOfTheFirstStateFormatStillLoad) {
    const fs::path old = dir_ / "old";
    fs::create_directory(old);
    WriteBytes(old / "flash-0.bin", std::vector<std::uint8_t>(64 * 1024, 0xFF));
    const std::string state =
        "format=mox3-emulated-drive/1\n# the drive\ngeneration=1\nchip=MB86C30A\n"
        "flash-size=65536\ndisk-serial=OLD-DISK-0001\ndisk-blocks=8000\n"
        "restart-delay-ms=3000\nbusy-reads=3\nready-without-switch=0\nflash-file=flash-0.bin\n"
        "# the bus\nbus=present\nreturn-at-ms=0\nabsent-reason=\nsession=4\n"
        "restart-into-loader=0\n# presented since the bridge started\nmode=loader\n"
        "usb-vendor-id=0x04C5\nusb-product-id=0x201D\nusb-bcd-device=0x0100\n"
        "usb-manufacturer=USB-SATA Bridge\nusb-product=MB86C30A\nusb-serial=\n"
        "inquiry=000006021F0000005553422D534154414D4238364333304120"
        "4C4F414445522030303030\n"
        "version-block=0000000000000000\nblock-length=512\n# bridge working memory\n"
        "update-mode-selected=0\nbusy-left=0\nheader-armed=0\nheader-function=0x00\n"
        "header-checksum=0x0000\nflash-parameters=none\nlast-failed-code=0x00\n"
        "last-sense-key=0x00\ncommands-since-start=0\ncommands-total=17\n# faults\n";
    WriteText(old / "drive.state", state);

    const EmulatedDriveView v = View(old);
    EXPECT_EQ(std::tuple(v.plainDisk, v.tree.attached, v.tree.cdrom, v.tree.usbLevels,
                         v.tree.busType, v.commandsTotal),
              std::tuple(false, true, false, 1, kBusTypeUsb, 17u));
    EXPECT_EQ(Id(DiskOf(old).node),
              "USBSTOR\\DISK&VEN_USB-SATA&PROD_MB86C30A_LOADER&REV_0000\\old&0");
    auto device = Open(old);
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(StatusByte0(*device) & 0x01, 0x01);
    EXPECT_EQ(View(old).commandsTotal, 18u);
}

}  // namespace
}  // namespace mox3::test
