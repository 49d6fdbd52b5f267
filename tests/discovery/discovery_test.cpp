// Enumeration, chip identification and the census over a device tree made up in the test.
#include <gtest/gtest.h>

#include "base/text.h"
#include "discovery/bridge_manager.h"
#include "discovery/census.h"
#include "discovery/fake_tree.h"

namespace mox3::test {
namespace {

TEST(Enumeration, ListsBridgeDrivesWithTheirIdentity) {
    FakeWorld world;
    CBridgeMgr mgr(world.devices());
    auto clock = std::make_shared<ManualClock>();
    mgr.clock = clock;
    EXPECT_EQ(mgr.EnumerateDevices(ALL_DEVICES), 0);
    EXPECT_EQ(mgr.deviceCount, 0u);

    world.AddDrive(u"/dev/sdb", 0x5E3B, 0x7C34, u"4A3F0012B7C4D9E1", true);
    world.AddDrive(u"/dev/sdc", 0x1234, 0x5678, u"OTHER");
    world.bridges->devices[u"/dev/sdc"].version.reset();  // no bridge: not listed
    world.AddDrive(u"/dev/sdd", 0x04C5, 0x2026, u"");
    auto& loader = world.bridges->devices[u"/dev/sdd"];
    loader.version = {5, 2, 1, 0, 2, 0, 3, 4};
    loader.status0 = 0x01;
    world.tree->busyLooks[world.tree->disks.back().node] = 3;
    world.AddDrive(u"/dev/sde", 0x5E3B, 0x7C34, u"OFF-USB");
    world.tree->usbDevices.erase(world.tree->disks.back().node);  // not on USB: not listed

    ASSERT_EQ(mgr.EnumerateDevices(ALL_DEVICES), 2);
    const DeviceRecord& a = mgr.deviceTable[0];
    EXPECT_EQ(a.pathCount, 2u);
    EXPECT_EQ(a.interfacePath[0], u"/dev/sdb#cdrom");  // CD-ROM interfaces come first
    EXPECT_EQ(a.interfacePath[1], u"/dev/sdb");
    EXPECT_EQ(a.lun[0], 1);
    EXPECT_EQ(a.lun[1], 0);
    EXPECT_EQ(a.diskLength[1], 1000204886016);
    EXPECT_EQ(a.vendorIdText, u"0x5E3B");
    EXPECT_EQ(a.productIdText, u"0x7C34");
    EXPECT_EQ(a.serialNumber, u"4A3F0012B7C4D9E1");
    EXPECT_EQ(a.firmwareVersion, u"V01L00R05");
    EXPECT_EQ(a.normalMode, 1);
    EXPECT_EQ(a.statusMaskClear, 1);
    EXPECT_EQ(a.bridgeInfo[0], 0xFF);  // V number 1: not read
    EXPECT_EQ(world.bridges->devices[u"/dev/sdb"].infoReads, 0);

    const DeviceRecord& b = mgr.deviceTable[1];
    EXPECT_EQ(b.firmwareVersion, u"V01L02R03-2:5 Beta4");
    EXPECT_EQ(b.normalMode, 0);
    EXPECT_EQ(b.vendorIdText, u"0x04C5");
    EXPECT_EQ(b.diskLength[0], 0);      // no length asked in the loader
    EXPECT_EQ(clock->sleptMs(), 300u);  // three looks at a device not yet set up

    EXPECT_EQ(mgr.IdentifyChip(0), 2);
    EXPECT_EQ(mgr.IdentifyChip(1), 2);
    EXPECT_EQ(mgr.IdentifyChip(99), -1);
    EXPECT_EQ(mgr.IdentifyChip(-1), -1);
}

TEST(Enumeration, StatusVersionAndInfoRules) {
    FakeWorld world;
    world.AddDrive(u"/dev/sdb", 0x5E3B, 0x7C34, u"S1");
    auto& bridge = world.bridges->devices[u"/dev/sdb"];
    bridge.version = {7, 0, 2, 0, 0, 0, 1, 0};
    bridge.status0 = 0x30;
    CBridgeMgr mgr(world.devices());
    ASSERT_EQ(mgr.EnumerateDevices(ALL_DEVICES), 1);
    EXPECT_EQ(mgr.deviceTable[0].firmwareVersion, u"V02L00R01-7");
    EXPECT_EQ(mgr.deviceTable[0].normalMode, 1);
    EXPECT_EQ(mgr.deviceTable[0].statusMaskClear, 0);
    EXPECT_EQ(mgr.deviceTable[0].bridgeInfo[0], 1);  // V 2 in normal firmware: read

    bridge.status0.reset();  // a failed status read counts as normal firmware
    ASSERT_EQ(mgr.EnumerateDevices(ALL_DEVICES), 1);
    EXPECT_EQ(mgr.deviceTable[0].normalMode, 1);
    EXPECT_EQ(mgr.deviceTable[0].statusMaskClear, 0);

    // Strings longer than 64 characters are cut; a missing hub port leaves empty texts.
    world.tree->identities.begin()->second.product = std::u16string(80, u'P');
    ASSERT_EQ(mgr.EnumerateDevices(ALL_DEVICES), 1);
    EXPECT_EQ(mgr.deviceTable[0].product.size(), 64u);
    world.tree->identities.clear();
    ASSERT_EQ(mgr.EnumerateDevices(ALL_DEVICES), 1);
    EXPECT_TRUE(mgr.deviceTable[0].vendorIdText.empty());
    EXPECT_EQ(mgr.IdentifyChip(0), -1);
}

TEST(Enumeration, RefreshOfOneSlot) {
    FakeWorld world;
    DevNode first = world.AddDrive(u"/dev/sdb", 0x5E3B, 0x7C34, u"S1");
    DevNode old = world.AddDrive(u"/dev/sdc", 0x5E3B, 0x7C33, u"S2");
    CBridgeMgr mgr(world.devices());
    ASSERT_EQ(mgr.EnumerateDevices(ALL_DEVICES), 2);

    // The second drive restarts into its loader as a new USB device.
    const DevNode disk = world.tree->disks[1].node;
    const DevNode renewed = 500;
    world.tree->usbDevices[disk] = renewed;
    world.tree->ids[renewed] = {0x04C5, 0x2026};
    world.tree->identities[renewed] = {0x04C5, 0x2026, u"M", u"P", u""};
    world.bridges->devices[u"/dev/sdc"].status0 = 0x01;
    EXPECT_EQ(mgr.EnumerateDevices(1), 1);
    EXPECT_EQ(mgr.deviceTable[1].usbNode, renewed);
    EXPECT_NE(renewed, old);
    EXPECT_EQ(mgr.deviceTable[1].normalMode, 0);
    EXPECT_EQ(mgr.deviceTable[1].productIdText, u"0x2026");
    EXPECT_EQ(mgr.deviceCount, 2u);

    // A drive held by a lower slot is not taken into the refreshed slot.
    world.tree->usbDevices[disk] = first;
    EXPECT_EQ(mgr.EnumerateDevices(1), 0);
    EXPECT_EQ(mgr.deviceTable[1].pathCount, 0u);
    // Gone altogether.
    world.tree->disks.pop_back();
    EXPECT_EQ(mgr.EnumerateDevices(1), 0);
}

TEST(Census, CountsUsbDevicesOfKnownIdentities) {
    struct Drive {
        std::uint16_t vid, pid;
    };
    const struct {
        std::vector<Drive> drives;
        int expected;
    } cases[] = {
        {{}, kCensusNone},
        {{{0x5E3B, 0x7C31}, {0x1234, 0x0001}}, kCensusOne},  // and another make
        {{{0x5E3B, 0x7C31}, {0x04C5, 0x2026}}, kCensusMany},
        {{{0x5E3B, 0x7C37}}, kCensusNoUpdate},
        {{{0x5E3B, 0x7C37}, {0x5E3B, 0x7C35}}, kCensusMany},
    };
    for (const auto& c : cases) {
        FakeWorld world;
        std::u16string path = u"/dev/sda";
        for (const Drive& d : c.drives) {
            ++path.back();
            world.AddDrive(path, d.vid, d.pid, u"S");
        }
        EXPECT_EQ(CountKnownDrives(world.devices()), c.expected) << c.drives.size();
    }

    FakeWorld world;
    const DevNode usb = world.AddDrive(u"/dev/sdb", 0x5E3B, 0x7C36, u"A");
    // A second disk of the same device (another logical unit) is the same drive.
    world.AddInterface(usb, u"/dev/sdc", u"/dev/sdb", 1);
    int devices = 0;
    EXPECT_EQ(CountKnownDrives(world.devices(), &devices), kCensusOne);
    EXPECT_EQ(devices, 1);
    // A disk not answering, not on USB, or of no USB device is not counted.
    for (auto& [path, bridge] : world.bridges->devices) bridge.answersInquiry = false;
    EXPECT_EQ(CountKnownDrives(world.devices()), kCensusNone);
    for (auto& [path, bridge] : world.bridges->devices) bridge.answersInquiry = true;
    world.tree->onUsb[u"/dev/sdb"] = world.tree->onUsb[u"/dev/sdc"] = false;
    EXPECT_EQ(CountKnownDrives(world.devices()), kCensusNone);
    world.tree->onUsb[u"/dev/sdb"] = true;
    world.tree->usbDevices.clear();
    EXPECT_EQ(CountKnownDrives(world.devices()), kCensusNone);
}

}  // namespace
}  // namespace mox3::test
