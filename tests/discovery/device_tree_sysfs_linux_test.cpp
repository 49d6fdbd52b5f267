#include <gtest/gtest.h>

#include <fstream>

#include "base/text.h"
#include "discovery/bridge_manager.h"
#include "discovery/census.h"
#include "discovery/device_tree_sysfs.h"
#include "discovery/fake_bridges.h"
#include "test_support.h"

namespace mox3 {
namespace {

namespace fs = std::filesystem;

// Builds a directory tree laid out like /sys: real device directories under devices/, the
// listing block/ made of relative symlinks into it.
class FakeSysfs {
  public:
    explicit FakeSysfs(fs::path root) : root_(std::move(root)) {
        fs::create_directories(root_ / "block");
    }
    const fs::path& root() const { return root_; }

    static void Write(const fs::path& dir, const std::string& name, const std::string& value) {
        std::ofstream(dir / name, std::ios::binary) << value;
    }
    static void Link(const fs::path& target, const fs::path& link) {
        fs::create_directory_symlink(fs::relative(target, link.parent_path()), link);
    }
    static fs::path Device(const fs::path& dir, const std::string& devtype) {
        fs::create_directories(dir);
        Write(dir, "uevent", devtype.empty() ? "" : "DEVTYPE=" + devtype + "\n");
        return dir;
    }

    static fs::path Usb(const fs::path& parent, const std::string& name, const std::string& vid,
                        const std::string& pid) {
        fs::path dir = Device(parent / name, "usb_device");
        Write(dir, "idVendor", vid + "\n");
        Write(dir, "idProduct", pid + "\n");
        return dir;
    }

    static fs::path Interface(const fs::path& usb, int number) {
        return Device(usb / (usb.filename().string() + ":1." + std::to_string(number)),
                      "usb_interface");
    }

    // hostH/targetH:0:0/H:0:0:L/block/<name> below `adapter`, listed in block/.
    fs::path Scsi(const fs::path& adapter, int host, int lun, const std::string& name,
                  const std::string& sectors, bool bound) {
        std::string h = std::to_string(host);
        fs::path target = Device(
            Device(adapter / ("host" + h), "scsi_host") / ("target" + h + ":0:0"), "scsi_target");
        fs::path scsi = Device(target / (h + ":0:0:" + std::to_string(lun)), "scsi_device");
        fs::path block = Device(scsi / "block" / name, "disk");
        Write(block, "size", sectors + "\n");
        if (bound) Write(block, "dev", "8:16\n");
        Link(scsi, block / "device");
        Link(block, root_ / "block" / name);
        return block;
    }

  private:
    fs::path root_;
};

class SysfsTreeTest : public ::testing::Test {
  protected:
    SysfsTreeTest() : sys(dir / "sys") {
        fs::path pci = FakeSysfs::Device(sys.root() / "devices/pci0000:00", "");
        controller = FakeSysfs::Device(pci / "0000:00:14.0", "");
        rootHub = sys.Usb(controller, "usb2", "1d6b", "0003");
        hub = sys.Usb(rootHub, "2-1", "05e3", "0626");
        drive = sys.Usb(hub, "2-1.3", "5e3b", "7c34");
        FakeSysfs::Write(drive, "manufacturer", "K\xC3\xA4velin\n");
        FakeSysfs::Write(drive, "product", "ZR-MOX3\n");
        FakeSysfs::Write(drive, "serial", "4A3F0012B7C4D9E1\n");
        fs::path driveIface = FakeSysfs::Interface(drive, 0);
        sdb = sys.Scsi(driveIface, 6, 0, "sdb", "1953525168", true);
        sys.Scsi(driveIface, 6, 1, "sr0", "0", true);
        FakeSysfs::Write(FakeSysfs::Device(sdb / "sdb1", "partition"), "partition", "1\n");
        FakeSysfs::Link(sdb / "sdb1", sys.root() / "block/sdb1");

        composite = sys.Usb(rootHub, "2-2", "04c5", "201d");
        FakeSysfs::Write(composite, "manufacturer", "");
        FakeSysfs::Write(composite, "product", "USB Bridge\n");
        sys.Scsi(FakeSysfs::Interface(composite, 0), 7, 0, "sdc", "100", false);
        FakeSysfs::Interface(composite, 1);

        sys.Scsi(FakeSysfs::Device(pci / "0000:00:17.0/ata1", ""), 0, 0, "sda", "500", true);
        sys.Scsi(FakeSysfs::Device(pci / "0000:00:17.0/ata2", ""), 1, 0, "sdaa", "8", true);
        tree = MakeSysfsDeviceTree(sys.root(), "/dev");
    }

    std::vector<DeviceInterface> List(InterfaceClass cls) {
        auto list = tree->PresentInterfaces(cls);
        return list.value_or(std::vector<DeviceInterface>{});
    }
    DevNode NodeOf(const std::string& name) {
        for (auto cls : {InterfaceClass::CdRom, InterfaceClass::Disk}) {
            for (const auto& i : List(cls)) {
                if (i.path == u"/dev/" + Utf8ToUtf16(name)) return i.node;
            }
        }
        return kNoNode;
    }
    DevNode Usb(const std::string& name) { return tree->UsbDeviceOf(NodeOf(name)).value_or(0); }

    test::TempDir dir;
    FakeSysfs sys;
    fs::path controller, rootHub, hub, drive, composite, sdb;
    std::shared_ptr<DeviceTree> tree;
};

// The USB port names, the census and the identity over a real kernel's sysfs: the QEMU scenarios.
TEST_F(SysfsTreeTest, DisksOnTheirUsbDevices) {
    std::vector<std::u16string> paths;
    for (auto cls : {InterfaceClass::CdRom, InterfaceClass::Disk}) {
        for (const auto& i : List(cls)) paths.push_back(i.path);
    }
    EXPECT_EQ(paths, (std::vector<std::u16string>{u"/dev/sr0", u"/dev/sda", u"/dev/sdb",
                                                  u"/dev/sdc", u"/dev/sdaa"}));
    test::TempDir empty;
    EXPECT_FALSE(
        MakeSysfsDeviceTree(empty.path(), "/dev")->PresentInterfaces(InterfaceClass::Disk));
    EXPECT_EQ(Usb("sr0"), Usb("sdb"));
    EXPECT_EQ(tree->LogicalUnit(NodeOf("sr0")), 1);
    // A composite device: through the interface the disk hangs on. A SATA disk has no USB device.
    EXPECT_EQ(tree->UsbPort(Usb("sdc")), u"2-2");
    EXPECT_EQ(Usb("sda"), kNoNode);
    EXPECT_EQ(tree->OnUsbBus(u"/dev/sda"), false);
    EXPECT_EQ(tree->StorageDeviceNumber(u"/dev/sdaa"), 26u);
    EXPECT_FALSE(tree->StorageDeviceNumber(u"/dev/sdq"));
    EXPECT_FALSE(tree->Ready(NodeOf("sdc")));  // no driver bound: no dev attribute
    // An empty descriptor; no serial file: the request failed.
    auto bare = tree->UsbIdentity(Usb("sdc"));
    ASSERT_TRUE(bare);
    EXPECT_EQ(std::tuple(bare->manufacturer, bare->product, bare->serialNumber),
              std::tuple(u"", u"USB Bridge", std::nullopt));
    EXPECT_FALSE(tree->UsbIdentity(NodeOf("sdb"))) << "not a USB device";
}

TEST_F(SysfsTreeTest, GarbledAttributesFailQueriesWithoutHarm) {
    const DevNode usb = Usb("sdb");
    fs::remove(drive / "serial");
    fs::create_directory(drive / "serial");
    FakeSysfs::Write(drive, "product", std::string(100000, 'x'));
    FakeSysfs::Write(sdb, "size", "-5\n");
    const char junk[] = "\0\xFF\n=\nDEVTYPE";
    FakeSysfs::Write(sdb, "uevent", std::string(junk, sizeof junk - 1));
    fs::remove(sdb / "device");
    fs::create_directory_symlink("../nowhere", sys.root() / "block/sdz");

    EXPECT_EQ(Usb("sdb"), usb);
    EXPECT_EQ(tree->LogicalUnit(NodeOf("sdb")), 0) << "the SCSI address is found above";
    EXPECT_FALSE(tree->DiskLength(u"/dev/sdb"));
    auto identity = tree->UsbIdentity(usb);
    ASSERT_TRUE(identity);
    EXPECT_FALSE(identity->serialNumber);
    EXPECT_EQ(identity->product->size(), 4096u);
    EXPECT_FALSE(tree->StorageDeviceNumber(u"/dev/sdz"));

    FakeSysfs::Write(drive, "idVendor", "zz\n");
    EXPECT_FALSE(tree->UsbIdentity(usb));
    EXPECT_FALSE(tree->UsbDeviceIds(usb));

    DevNode gone = NodeOf("sdc");
    fs::remove_all(composite);
    EXPECT_FALSE(tree->UsbDeviceOf(gone));
    for (DevNode node : {gone, kNoNode, DevNode{9999}}) EXPECT_FALSE(tree->Ready(node)) << node;
}

// The enumeration over the tree sees the bridge drive behind its hub.
class SysfsDiscoveryTest : public SysfsTreeTest {
  protected:
    void SetUp() override {
        test::FakeBridgeAnswers bridge;
        bridge.nodeIdentity = std::uint64_t{8} << 32 | 16;
        bridges->devices[u"/dev/sdb"] = bridge;
        bridges->devices[u"/dev/sr0"] = bridge;
    }
    DeviceAccess devices() const { return {bridges, tree}; }
    std::shared_ptr<test::FakeBridges> bridges = std::make_shared<test::FakeBridges>();
};

TEST_F(SysfsDiscoveryTest, EnumerationChecksTheNodeItOpens) {
    CBridgeMgr mgr(devices(), std::make_shared<ManualClock>());
    ASSERT_EQ(mgr.EnumerateDevices(ALL_DEVICES), 1);
    const DeviceRecord& r = mgr.deviceTable[0];
    ASSERT_EQ(r.pathCount, 2u);
    EXPECT_EQ(
        std::tuple(r.interfacePath[0], r.interfacePath[1], r.manufacturer, r.usbPort),
        std::tuple(u"/dev/sr0", u"/dev/sdb", u"K\u00E4velin", u"2-1.3"));  // hub port 1, its port 3
    EXPECT_EQ(mgr.IdentifyChip(0), 2);
    mgr.boundPort = u"2-2";
    EXPECT_EQ(mgr.EnumerateDevices(ALL_DEVICES), 0);
    mgr.boundPort.clear();

    // Another device answering to /dev/sr0 when it is opened is not the one listed there.
    ASSERT_EQ(mgr.EnumerateDevices(ALL_DEVICES), 1);
    bridges->devices[u"/dev/sr0"].nodeIdentity = std::uint64_t{8} << 32 | 32;
    EXPECT_EQ(mgr.IdentifyChip(0), -1);
    bridges->devices[u"/dev/sdb"].nodeIdentity = std::uint64_t{8} << 32 | 32;
    EXPECT_EQ(mgr.EnumerateDevices(ALL_DEVICES), 0);
}

// Two disks of one USB device are one drive; a product name longer than a record holds is cut.
TEST_F(SysfsDiscoveryTest, TwoDisksOfOneUsbDeviceAreOneDrive) {
    sys.Scsi(drive / "2-1.3:1.0", 6, 2, "sdd", "8", true);
    bridges->devices[u"/dev/sdd"] = bridges->devices[u"/dev/sdb"];
    FakeSysfs::Write(drive, "product", std::string(80, 'P'));
    int usbDevices = 0;
    EXPECT_EQ(CountKnownDrives(devices(), &usbDevices), kCensusOne);
    EXPECT_EQ(usbDevices, 1);
    CBridgeMgr mgr(devices(), std::make_shared<ManualClock>());
    ASSERT_EQ(mgr.EnumerateDevices(ALL_DEVICES), 1);
    EXPECT_EQ(mgr.deviceTable[0].product.size(), 64u);
}

}  // namespace
}  // namespace mox3
