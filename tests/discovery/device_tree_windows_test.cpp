#include "discovery/device_tree_windows.h"

#include <gtest/gtest.h>
#include <winioctl.h>

#include <cstring>

#include "discovery/bridge_manager.h"
#include "discovery/census.h"
#include "transport/spti_windows.h"

namespace mox3 {
namespace {

constexpr const wchar_t* kMissingLibrary = L"mox3-no-such-library.dll";

std::vector<std::uint8_t> Utf16Bytes(std::u16string_view text) {
    std::vector<std::uint8_t> bytes;
    for (char16_t c : text) {
        bytes.push_back(static_cast<std::uint8_t>(c & 0xFF));
        bytes.push_back(static_cast<std::uint8_t>(c >> 8));
    }
    return bytes;
}

// A string descriptor: bLength, type 3, the text.
std::vector<std::uint8_t> StringDescriptor(std::u16string_view text, int lengthDelta = 0) {
    std::vector<std::uint8_t> d = {0, 0x03};
    auto body = Utf16Bytes(text);
    d.insert(d.end(), body.begin(), body.end());
    d[0] = static_cast<std::uint8_t>(static_cast<int>(d.size()) + lengthDelta);
    return d;
}

TEST(WindowsBindings, EntryPointsResolveOnceAndMissingOnesFailCleanly) {
    CCfgMgr cfgMgr;
    ASSERT_TRUE(cfgMgr.loaded());
    DEVINST parent = 0;
    cfgMgr.GetParent(parent, 0);
    cfgMgr.GetParent(parent, 0);
    EXPECT_EQ(cfgMgr.lookups(), 1u) << "a found entry point is kept";

    // A library without the names: loaded, but every call fails without being made.
    CCfgMgr wrongLibrary(L"kernel32.dll");
    EXPECT_TRUE(wrongLibrary.loaded());
    wchar_t id[16] = L"untouched";
    EXPECT_FALSE(wrongLibrary.GetParent(parent, 1));
    EXPECT_FALSE(wrongLibrary.GetDeviceId(1, id, 16));
    EXPECT_STREQ(id, L"untouched");

    CCfgMgr noCfgMgr(kMissingLibrary);
    SetupApiBinding noSetupApi(kMissingLibrary);
    EXPECT_FALSE(noCfgMgr.loaded());
    EXPECT_FALSE(noCfgMgr.LocateDevNode(parent, L"USB\\VID_5E3B&PID_7C34\\1"));
    EXPECT_EQ(noSetupApi.GetClassDevs(nullptr, L"USB", DIGCF_ALLCLASSES), INVALID_HANDLE_VALUE);
    EXPECT_FALSE(noSetupApi.DestroyDeviceInfoList(nullptr));
    EXPECT_EQ(noCfgMgr.lookups() + noSetupApi.lookups(), 0u);
}

// Every entry point called once through the pointer GetProcAddress gave, with arguments the
// system refuses or answers harmlessly: a pointer of the wrong type (in the 32-bit build, the
// wrong calling convention) would unbalance the stack here and crash the test.
TEST(WindowsBindings, EveryEntryPointIsCalledThroughItsPointer) {
    SetupApiBinding setupApi;
    CCfgMgr cfgMgr;
    ASSERT_TRUE(setupApi.loaded() && cfgMgr.loaded());
    const GUID noSuchClass = {0x6D6F7833, 0, 0, {0, 0, 0, 0, 0, 0, 0, 1}};
    HDEVINFO set =
        setupApi.GetClassDevs(&noSuchClass, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    ASSERT_NE(set, INVALID_HANDLE_VALUE) << "an empty list of an unknown class";
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof data;
    EXPECT_FALSE(setupApi.EnumDeviceInterfaces(set, &noSuchClass, 0, data));
    SP_DEVINFO_DATA info{};
    info.cbSize = sizeof info;
    EXPECT_FALSE(setupApi.EnumDeviceInfo(set, 0, info));
    EXPECT_FALSE(setupApi.GetDeviceInterfaceDetail(set, data, nullptr, 0, &info));
    BYTE property[8] = {};
    EXPECT_FALSE(setupApi.GetDeviceRegistryProperty(set, info, SPDRP_DRIVER, property, 8));
    wchar_t id[8] = {};
    EXPECT_FALSE(setupApi.GetDeviceInstanceId(set, info, id, 8));
    EXPECT_TRUE(setupApi.DestroyDeviceInfoList(set));
    EXPECT_EQ(setupApi.lookups(), 7u) << "every SetupApi entry point was found and called";

    DEVINST node = 0;
    const DEVINST noSuchNode = 0x7FFFFFF0;
    EXPECT_FALSE(cfgMgr.LocateDevNode(node, L"MOX3\\NO_SUCH_DEVICE\\0"));
    EXPECT_FALSE(cfgMgr.GetParent(node, noSuchNode));
    EXPECT_FALSE(cfgMgr.GetDeviceId(noSuchNode, id, 8));
    EXPECT_FALSE(cfgMgr.GetDevNodeRegistryProperty(noSuchNode, CM_DRP_DRIVER, property, 8));
    EXPECT_EQ(cfgMgr.lookups(), 4u) << "every cfgmgr32 entry point was found and called";
}

TEST(WindowsDeviceTree, WithoutItsLibrariesTheTreeIsEmpty) {
    auto tree = MakeWindowsDeviceTree(kMissingLibrary, kMissingLibrary);
    EXPECT_FALSE(tree->PresentInterfaces(InterfaceClass::Disk));
    DevNode node = 7;
    std::u16string id = u"kept";
    EXPECT_FALSE(tree->Parent(1, node));
    EXPECT_FALSE(tree->DeviceId(1, id));
    EXPECT_FALSE(tree->Locate(u"USB\\VID_5E3B&PID_7C34\\1", node));
    EXPECT_EQ(node, 7u);
    EXPECT_EQ(id, u"kept");
    EXPECT_FALSE(tree->InstallState(1));
    EXPECT_FALSE(tree->UsbIdentity(1, 2, u"USB\\VID_5E3B&PID_7C34\\1"));
    EXPECT_FALSE(tree->UsbPort(2));
}

bool RunningUnderWine() {
    HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

// Wine's device tree holds no bridge drive. On a real system the walk would send commands to
// the attached disks, which a unit test leaves alone.
TEST(WindowsDeviceTree, RealTreeHoldsNoBridgeDrive) {
    if (!RunningUnderWine()) GTEST_SKIP() << "runs only under Wine";
    auto tree = MakeWindowsDeviceTree();
    const DeviceAccess devices{MakeSptiBackend(), tree};

    auto disks = tree->PresentInterfaces(InterfaceClass::Disk);
    ASSERT_TRUE(disks.has_value());
    for (const DeviceInterface& disk : *disks) EXPECT_FALSE(disk.path.empty());
    EXPECT_EQ(CountKnownDrives(devices), kCensusNone);
    CBridgeMgr mgr(devices);
    EXPECT_EQ(mgr.EnumerateDevices(ALL_DEVICES), 0);
    EXPECT_EQ(mgr.deviceCount, 0u);
    EXPECT_FALSE(tree->StorageDeviceNumber(u"\\\\.\\MOX3-NO-SUCH-DEVICE"));
    EXPECT_FALSE(tree->NodeIdentity(u"\\\\.\\MOX3-NO-SUCH-DEVICE"));
}

TEST(HubWalk, StringDescriptors) {
    EXPECT_EQ(DecodeStringDescriptor(StringDescriptor(u"ZR-MOXE3 Drive")), u"ZR-MOXE3 Drive");
    EXPECT_EQ(DecodeStringDescriptor(StringDescriptor(u"\u00C9t\u00E9")), u"\u00C9t\u00E9");
    // An odd length leaves half a character, which is dropped.
    EXPECT_EQ(DecodeStringDescriptor(StringDescriptor(u"ABC", -1)), u"AB");
    // A length beyond the bytes at hand reads only those.
    EXPECT_EQ(DecodeStringDescriptor(StringDescriptor(u"ABC", 40)), u"ABC");
    // Nothing but the header, no header, a zero inside.
    EXPECT_EQ(DecodeStringDescriptor(StringDescriptor(u"")), u"");
    EXPECT_EQ(DecodeStringDescriptor(StringDescriptor(u"AB", -4)), u"");
    EXPECT_EQ(DecodeStringDescriptor(std::vector<std::uint8_t>{0x0A}), u"");
    EXPECT_EQ(DecodeStringDescriptor(StringDescriptor(std::u16string(u"AB\0CD", 5))), u"AB");
}

TEST(HubWalk, RequestsAndAnswersInTheHubsLayout) {
    auto request = StringDescriptorRequest(3, 2);
    const std::uint8_t header[12] = {3, 0, 0, 0, 0, 0, 0x02, 0x03, 0x09, 0x04, 0x00, 0x04};
    EXPECT_EQ(std::memcmp(request.data(), header, sizeof header), 0);
    EXPECT_EQ(request.size(), 1036u);

    std::vector<std::uint8_t> node(kNodeInformationSize, 0);
    node[6] = 4;  // bNumberOfPorts of the hub descriptor
    EXPECT_EQ(HubPortCount(node), 4u);
    EXPECT_FALSE(HubPortCount(std::span(node).first(6)));

    std::vector<std::uint8_t> connection(kConnectionInformationSize, 0);
    connection[0] = 2;         // port
    connection[4] = 18;        // bLength of the device descriptor
    connection[4 + 8] = 0x3B;  // idVendor
    connection[4 + 9] = 0x5E;
    connection[4 + 10] = 0x34;  // idProduct
    connection[4 + 11] = 0x7C;
    connection[4 + 14] = 1;  // iManufacturer
    connection[4 + 16] = 3;  // iSerialNumber
    EXPECT_FALSE(ConnectedDevice(connection)) << "no device connected";
    connection[31] = 1;  // ConnectionStatus: connected
    auto device = ConnectedDevice(connection);
    ASSERT_TRUE(device);
    EXPECT_EQ(device->idVendor, 0x5E3B);
    EXPECT_EQ(device->idProduct, 0x7C34);
    EXPECT_EQ(device->iManufacturer, 1);
    EXPECT_EQ(device->iSerialNumber, 3);
    EXPECT_FALSE(ConnectedDevice(std::span(connection).first(20)));

    std::vector<std::uint8_t> key = {2, 0, 0, 0, 0, 0, 0, 0};
    auto name = Utf16Bytes(u"{36FC9E60-C465-11CF-8056-444553540000}\\0007");
    key.insert(key.end(), name.begin(), name.end());
    EXPECT_EQ(DriverKeyName(key), u"{36FC9E60-C465-11CF-8056-444553540000}\\0007");
    key.push_back(0x41);  // half a unit at the end
    EXPECT_EQ(DriverKeyName(key), u"{36FC9E60-C465-11CF-8056-444553540000}\\0007");
    key.insert(key.end() - 1, {0, 0, 0x42, 0});
    EXPECT_EQ(DriverKeyName(key), u"{36FC9E60-C465-11CF-8056-444553540000}\\0007");
}

// A hub replayed from what its ports hold: for each port a device (its driver key) or none.
class ReplayedHub : public HubRequests {
  public:
    struct Port {
        bool connected = false;
        std::u16string driverKey;  // what the port reports, connected or not
    };
    explicit ReplayedHub(std::vector<Port> ports) : ports_(std::move(ports)) {}

    std::optional<DWORD> Control(DWORD code, void* buffer, DWORD inSize, DWORD outSize) override {
        auto* bytes = static_cast<std::uint8_t*>(buffer);
        ++requests;
        if (code == IOCTL_USB_GET_NODE_INFORMATION) {
            if (!answersNode) return std::nullopt;
            bytes[6] = static_cast<std::uint8_t>(ports_.size());  // bNumberOfPorts
            return outSize;
        }
        std::uint32_t index = 0;
        if (inSize < sizeof index) return std::nullopt;
        std::memcpy(&index, bytes, sizeof index);
        if (index == 0 || index > ports_.size() || index == refusedPort) return std::nullopt;
        const Port& port = ports_[index - 1];
        if (code == IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX) {
            bytes[31] = port.connected ? 1 : 0;  // ConnectionStatus
            return outSize;
        }
        if (code == IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME) {
            auto name = Utf16Bytes(port.driverKey);
            if (8 + name.size() + 2 > outSize) return std::nullopt;
            std::memcpy(bytes + 8, name.data(), name.size());
            bytes[8 + name.size()] = bytes[9 + name.size()] = 0;
            return static_cast<DWORD>(8 + name.size() + 2);
        }
        return std::nullopt;
    }

    bool answersNode = true;
    std::uint32_t refusedPort = 0;
    int requests = 0;

  private:
    std::vector<Port> ports_;
};

constexpr char16_t kDriveKey[] = u"{36FC9E60-C465-11CF-8056-444553540000}\\0007";
constexpr char16_t kLoaderKey[] = u"{36FC9E60-C465-11CF-8056-444553540000}\\0012";

TEST(HubWalk, PortOfTheDeviceWithTheDriverKey) {
    ReplayedHub hub({{true, u"{36FC9E60-C465-11CF-8056-444553540000}\\0003"},
                     {false, kDriveKey},  // the drive was here before: a stale key
                     {true, u"{36fc9e60-c465-11cf-8056-444553540000}\\0007"},
                     {true, kLoaderKey}});
    EXPECT_EQ(FindPortByDriverKey(hub, kDriveKey), 3u) << "keys compare without regard to case";
    EXPECT_EQ(UsbPortText(u"USB\\ROOT_HUB30\\4&1A2B3C&0&0", 3), u"USB\\ROOT_HUB30\\4&1A2B3C&0&0#3");
    // The drive back in its update loader is another device on the same port.
    EXPECT_EQ(FindPortByDriverKey(hub, kLoaderKey), 4u);
    EXPECT_FALSE(FindPortByDriverKey(hub, u"{36FC9E60-C465-11CF-8056-444553540000}\\0099"));
    EXPECT_FALSE(FindPortByDriverKey(hub, u""));

    // A port that refuses is passed over; a hub that tells no ports has none.
    hub.refusedPort = 3;
    EXPECT_FALSE(FindPortByDriverKey(hub, kDriveKey));
    EXPECT_EQ(FindPortByDriverKey(hub, kLoaderKey), 4u);
    hub.answersNode = false;
    hub.requests = 0;
    EXPECT_FALSE(FindPortByDriverKey(hub, kLoaderKey));
    EXPECT_EQ(hub.requests, 1);
}

TEST(HubWalk, PortDeviceNeedsBothDriverKeyAndInstanceId) {
    const std::vector<UsbEnumeratedDevice> devices = {
        {u"{36fc9e60-c465-11cf-8056-444553540000}\\0003", u"USB\\VID_046D&PID_C077\\5&1"},
        {u"{36fc9e60-c465-11cf-8056-444553540000}\\0007", u"USB\\VID_5E3B&PID_7C35\\OTHER"},
        {u"{36fc9e60-c465-11cf-8056-444553540000}\\0007", u"usb\\vid_5e3b&pid_7c34\\4a3f0012"},
    };
    EXPECT_EQ(MatchPortDevice(devices, u"{36FC9E60-C465-11CF-8056-444553540000}\\0007",
                              u"USB\\VID_5E3B&PID_7C34\\4A3F0012"),
              2u);
    EXPECT_FALSE(MatchPortDevice(devices, u"{36FC9E60-C465-11CF-8056-444553540000}\\0003",
                                 u"USB\\VID_5E3B&PID_7C34\\4A3F0012"));
    EXPECT_FALSE(MatchPortDevice(devices, u"{36FC9E60-C465-11CF-8056-444553540000}\\0007",
                                 u"USB\\VID_5E3B&PID_7C34\\4A3F001"));
    EXPECT_FALSE(MatchPortDevice({}, u"", u""));
    EXPECT_TRUE(SameName(u"", u""));
}

}  // namespace
}  // namespace mox3
