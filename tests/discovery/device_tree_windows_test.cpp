#include "discovery/device_tree_windows.h"

#include <gtest/gtest.h>
#include <winioctl.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <tuple>

#include "base/bytes.h"
#include "bridge/vendor_codes.h"
#include "discovery/bridge_manager.h"
#include "discovery/census.h"
#include "discovery/drive_models.h"
#include "discovery/fake_bridges.h"
#include "platform/storage_device_windows.h"
#include "transport/spti_windows.h"

namespace mox3 {
namespace {

using namespace std::string_literals;
constexpr const wchar_t* kMissingLibrary = L"mox3-no-such-library.dll";

std::vector<std::uint8_t> Utf16Bytes(std::u16string_view text) {
    std::vector<std::uint8_t> bytes;
    for (char16_t c : text)
        bytes.insert(bytes.end(), {std::uint8_t(c & 0xFF), std::uint8_t(c >> 8)});
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

// A library without the names: loaded, but every call fails without being made. Without its
// libraries the tree is empty.
TEST(WindowsBindings, MissingEntryPointsFailCleanly) {
    CCfgMgr wrongLibrary(L"kernel32.dll");
    DEVINST parent = 0;
    wchar_t id[16] = L"untouched";
    EXPECT_FALSE(wrongLibrary.GetParent(parent, 1) || wrongLibrary.GetDeviceId(1, id, 16));
    EXPECT_STREQ(id, L"untouched");
    auto tree = MakeWindowsDeviceTree(kMissingLibrary, kMissingLibrary);
    EXPECT_FALSE(tree->PresentInterfaces(InterfaceClass::Disk) || tree->UsbDeviceOf(1) ||
                 tree->UsbDeviceIds(2) || tree->LogicalUnit(1) || tree->Ready(1) ||
                 tree->UsbIdentity(2) || tree->UsbPort(2));
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
    SP_DEVINFO_DATA info{};
    data.cbSize = sizeof data;
    info.cbSize = sizeof info;
    BYTE property[8] = {};
    wchar_t id[8] = {};
    EXPECT_FALSE(setupApi.EnumDeviceInterfaces(set, &noSuchClass, 0, data));
    EXPECT_FALSE(setupApi.EnumDeviceInfo(set, 0, info));
    EXPECT_FALSE(setupApi.GetDeviceInterfaceDetail(set, data, nullptr, 0, &info));
    EXPECT_FALSE(setupApi.GetDeviceRegistryProperty(set, info, SPDRP_DRIVER, property, 8));
    EXPECT_FALSE(setupApi.GetDeviceInstanceId(set, info, id, 8));
    EXPECT_TRUE(setupApi.DestroyDeviceInfoList(set));
    EXPECT_EQ(setupApi.lookups(), 7u) << "every SetupApi entry point was found and called";

    DEVINST node = 0;
    const DEVINST noSuchNode = 0x7FFFFFF0;
    EXPECT_FALSE(cfgMgr.GetParent(node, noSuchNode));
    EXPECT_FALSE(cfgMgr.GetDeviceId(noSuchNode, id, 8));
    EXPECT_FALSE(cfgMgr.GetDevNodeRegistryProperty(noSuchNode, CM_DRP_DRIVER, property, 8));
    EXPECT_EQ(cfgMgr.lookups(), 3u) << "every cfgmgr32 entry point was found and called";
}

// Wine's device tree holds no bridge drive. On a real system the walk would send commands to
// the attached disks, which a unit test leaves alone.
TEST(WindowsDeviceTree, RealTreeHoldsNoBridgeDrive) {
    HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    if (!ntdll || !::GetProcAddress(ntdll, "wine_get_version")) GTEST_SKIP() << "Wine only";
    auto tree = MakeWindowsDeviceTree();
    const DeviceAccess devices{MakeSptiBackend(), tree};
    ASSERT_TRUE(tree->PresentInterfaces(InterfaceClass::Disk).has_value());
    EXPECT_EQ(CountKnownDrives(devices), kCensusNone);
    CBridgeMgr mgr(devices, std::make_shared<ManualClock>());
    EXPECT_EQ(mgr.EnumerateDevices(ALL_DEVICES), 0);
}

TEST(HubWalk, StringDescriptors) {
    const std::pair<std::vector<std::uint8_t>, std::u16string> cases[] = {
        {StringDescriptor(u"ABC", -1), u"AB"},   // half a character at the end is dropped
        {StringDescriptor(u"ABC", 40), u"ABC"},  // a length beyond the bytes reads only those
        {StringDescriptor(u"AB", -4), u""},     {{0x0A}, u""},
        {StringDescriptor(u"AB\0CD"s), u"AB"},
    };
    for (const auto& [bytes, text] : cases) EXPECT_EQ(DecodeStringDescriptor(bytes), text);
}

// A machine replayed from a description of it: device nodes, the interfaces of the disk,
// CD-ROM and hub classes, and the answers of its hubs and disks in the system's byte layouts.
struct ReplayedNode {
    DevNode parent = kNoNode;
    std::u16string id, driverKey;
};
struct ReplayedPort {
    DevNode device = kNoNode;               // none: nothing connected
    std::array<std::u16string, 3> strings;  // manufacturer, product, serial; empty: none
    std::u16string staleKey;                // what an empty port still reports
};
struct ReplayedHub {
    std::u16string path;
    std::vector<ReplayedPort> ports;
};
struct ReplayedDisk {  // an interface of the disk or CD-ROM class
    DevNode node = kNoNode;
    bool cdrom = false;
    std::uint32_t number = 0;
    std::int64_t length = 0;
};

class ReplayedMachine : public WindowsDeviceSystem {
  public:
    std::map<DevNode, ReplayedNode> nodes;
    std::map<DevNode, ReplayedHub> hubs;
    std::map<std::u16string, ReplayedDisk> disks;
    int openLists = 0;

    HDEVINFO GetClassDevs(const GUID* cls, const wchar_t* enumerator, DWORD flags) override {
        List list;
        if (flags & DIGCF_DEVICEINTERFACE) {  // the classes told apart by their first field
            const unsigned long kind = cls ? cls->Data1 : 0;
            for (auto& [node, hub] : hubs) {
                if (kind == 0xF18A0E88) list.push_back({node, hub.path});
            }
            for (auto& [path, disk] : disks) {
                if (kind == (disk.cdrom ? 0x53F56308u : 0x53F56307u))
                    list.push_back({disk.node, path});
            }
        } else if (enumerator && std::wstring_view(enumerator) == L"USB") {
            for (auto& [node, n] : nodes) {
                if (n.id.starts_with(u"USB\\")) list.push_back({node, u""});
            }
        }
        lists_.push_back(std::move(list));
        ++openLists;
        return reinterpret_cast<HDEVINFO>(lists_.size());
    }
    bool EnumDeviceInterfaces(HDEVINFO set, const GUID*, DWORD index,
                              SP_DEVICE_INTERFACE_DATA& data) override {
        data.Reserved = index;
        return index < Members(set).size() && data.cbSize == sizeof data;
    }
    bool GetDeviceInterfaceDetail(HDEVINFO set, SP_DEVICE_INTERFACE_DATA& data,
                                  SP_DEVICE_INTERFACE_DETAIL_DATA_W* detail, DWORD detailSize,
                                  SP_DEVINFO_DATA* info) override {
        auto& [node, path] = Members(set).at(data.Reserved);
        if (detail->cbSize != sizeof *detail || (info && info->cbSize != sizeof *info) ||
            !Put(path, detail->DevicePath,
                 (detailSize - offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath)) / 2)) {
            return false;
        }
        if (info) info->DevInst = node;
        return true;
    }
    bool EnumDeviceInfo(HDEVINFO set, DWORD index, SP_DEVINFO_DATA& info) override {
        if (index >= Members(set).size()) return false;
        info.DevInst = Members(set)[index].first;
        return true;
    }
    // The configuration manager's numbers are one above the installer's.
    bool GetDeviceRegistryProperty(HDEVINFO, SP_DEVINFO_DATA& info, DWORD property, BYTE* buffer,
                                   DWORD size) override {
        return GetDevNodeRegistryProperty(info.DevInst, property + 1, buffer, size);
    }
    bool GetDeviceInstanceId(HDEVINFO, SP_DEVINFO_DATA& info, wchar_t* buffer,
                             DWORD units) override {
        return GetDeviceId(info.DevInst, buffer, units);
    }
    bool DestroyDeviceInfoList(HDEVINFO) override { return --openLists, true; }
    bool GetParent(DEVINST& parent, DEVINST node) override {
        if (!nodes.count(node) || nodes[node].parent == kNoNode) return false;
        parent = nodes[node].parent;
        return true;
    }
    bool GetDeviceId(DEVINST node, wchar_t* buffer, ULONG units) override {
        return nodes.count(node) && Put(nodes[node].id, buffer, units);
    }
    bool GetDevNodeRegistryProperty(DEVINST node, ULONG property, void* buffer,
                                    ULONG size) override {
        if (!nodes.count(node)) return false;
        if (property == CM_DRP_DRIVER) {
            return Put(nodes[node].driverKey, static_cast<wchar_t*>(buffer), size / 2);
        }
        if (property != CM_DRP_INSTALL_STATE || size < 4) return false;
        std::memset(buffer, 0, 4);  // installed
        return true;
    }
    std::unique_ptr<DeviceRequests> Open(std::u16string_view path) override;
    // What a hub or disk at `path` answers.
    std::optional<DWORD> Answer(const std::u16string& path, DWORD code, std::uint8_t* bytes,
                                DWORD inSize, DWORD outSize);
    ReplayedHub* HubAt(std::u16string_view path) {
        auto h = std::find_if(hubs.begin(), hubs.end(),
                              [&](auto& hub) { return hub.second.path == path; });
        return h == hubs.end() ? nullptr : &h->second;
    }

  private:
    using List = std::vector<std::pair<DevNode, std::u16string>>;
    List& Members(HDEVINFO set) { return lists_.at(reinterpret_cast<std::size_t>(set) - 1); }
    static bool Put(std::u16string_view text, wchar_t* buffer, std::size_t units) {
        if (text.size() + 1 > units) return false;
        std::memcpy(buffer, text.data(), text.size() * 2);
        buffer[text.size()] = L'\0';
        return true;
    }
    std::vector<List> lists_;
};

class ReplayedDevice : public DeviceRequests {
  public:
    ReplayedDevice(ReplayedMachine& machine, std::u16string_view path)
        : machine_(machine), path_(path) {}
    std::optional<DWORD> Control(DWORD code, void* buffer, DWORD inSize, DWORD outSize) override {
        return machine_.Answer(path_, code, static_cast<std::uint8_t*>(buffer), inSize, outSize);
    }

  private:
    ReplayedMachine& machine_;
    std::u16string path_;
};

std::unique_ptr<DeviceRequests> ReplayedMachine::Open(std::u16string_view path) {
    if (!HubAt(path) && !disks.count(std::u16string(path))) return nullptr;
    return std::make_unique<ReplayedDevice>(*this, path);
}

std::optional<DWORD> ReplayedMachine::Answer(const std::u16string& path, DWORD code,
                                             std::uint8_t* bytes, DWORD inSize, DWORD outSize) {
    auto put = [&](std::size_t at, std::uint32_t value, std::size_t size) {
        std::memcpy(bytes + at, &value, size);
    };
    if (auto disk = disks.find(path); disk != disks.end()) {
        const ReplayedDisk& d = disk->second;
        if (code == IOCTL_STORAGE_GET_DEVICE_NUMBER && outSize >= 12) {
            put(0, d.cdrom ? FILE_DEVICE_CD_ROM : FILE_DEVICE_DISK, 4);
            put(4, d.number, 4);
            put(8, 0, 4);  // partition
            return 12;
        }
        if (code == IOCTL_DISK_GET_LENGTH_INFO && outSize >= 8 && !d.cdrom) {
            std::memcpy(bytes, &d.length, 8);
            return 8;
        }
        // The adapter descriptor (property 1, standard query), the bus type at 24.
        if (code == IOCTL_STORAGE_QUERY_PROPERTY && inSize >= 8 && outSize >= 32 &&
            ReadLe16({bytes, 8}, 0) == 1 && ReadLe16({bytes, 8}, 4) == 0) {
            std::memset(bytes, 0, 32);
            bytes[24] = BusTypeUsb;
            return 32;
        }
        return std::nullopt;
    }
    ReplayedHub& h = *HubAt(path);
    if (code == IOCTL_USB_GET_NODE_INFORMATION) {
        if (outSize < kNodeInformationSize) return std::nullopt;
        std::memset(bytes, 0, kNodeInformationSize);
        bytes[4] = 9;  // the hub descriptor: bDescriptorLength, bDescriptorType, bNumberOfPorts
        bytes[5] = 0x29;
        bytes[6] = static_cast<std::uint8_t>(h.ports.size());
        return static_cast<DWORD>(kNodeInformationSize);
    }
    std::uint32_t index = 0;
    if (inSize < sizeof index) return std::nullopt;
    std::memcpy(&index, bytes, sizeof index);
    if (index == 0 || index > h.ports.size()) return std::nullopt;
    const ReplayedPort& port = h.ports[index - 1];
    const bool connected = port.device != kNoNode;
    const auto& strings = port.strings;
    if (code == IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX) {
        if (outSize < kConnectionInformationSize) return std::nullopt;
        std::memset(bytes + 4, 0, outSize - 4);
        if (connected) {  // the device descriptor at 4, its ids from the node's
            const std::u16string& id = nodes[port.device].id;
            bytes[4] = 18;
            bytes[5] = 1;
            put(4 + 8, std::stoul(std::string(id.begin() + 8, id.begin() + 12), nullptr, 16), 2);
            put(4 + 10, std::stoul(std::string(id.begin() + 17, id.begin() + 21), nullptr, 16), 2);
            for (int i = 0; i < 3; ++i)
                bytes[4 + 14 + i] = static_cast<std::uint8_t>(strings[i].empty() ? 0 : i + 1);
        }
        put(31, connected ? 1 : 0, 4);  // ConnectionStatus
        return outSize;
    }
    if (code == IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME) {  // in lower case, unlike the node's
        std::u16string key = connected ? nodes[port.device].driverKey : port.staleKey;
        for (char16_t& c : key) {
            if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c + 0x20);
        }
        auto name = Utf16Bytes(key + u'\0');
        if (8 + name.size() > outSize) return std::nullopt;
        put(4, static_cast<std::uint32_t>(name.size()), 4);  // ActualLength
        std::memcpy(bytes + 8, name.data(), name.size());
        return static_cast<DWORD>(8 + name.size());
    }
    // A string in US English: the setup packet's wValue (type 3, index), wIndex and wLength (the
    // room after the header).
    if (code == IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION && connected && bytes[7] == 3 &&
        bytes[6] >= 1 && bytes[6] <= 3 && ReadLe16({bytes, 12}, 8) == kEnglishUs &&
        ReadLe16({bytes, 12}, 10) == outSize - kDescriptorRequestHeader) {
        auto descriptor = StringDescriptor(strings[bytes[6] - 1]);
        if (kDescriptorRequestHeader + descriptor.size() > outSize) return std::nullopt;
        std::memcpy(bytes + kDescriptorRequestHeader, descriptor.data(), descriptor.size());
        return static_cast<DWORD>(kDescriptorRequestHeader + descriptor.size());
    }
    return std::nullopt;
}

constexpr char16_t kDriveKey[] = u"{36FC9E60-C465-11CF-8056-444553540000}\\0007";
constexpr char16_t kLoaderKey[] = u"{36FC9E60-C465-11CF-8056-444553540000}\\0012";
constexpr char16_t kDriveId[] = u"USB\\VID_5E3B&PID_7C34\\4A3F0012B7C4D9E1";
constexpr char16_t kSerial[] = u"4A3F0012B7C4D9E1";
constexpr DevNode kRootHubNode = 2, kUsb2HubNode = 4;

// An xHCI controller with its root hub (a mouse on port 1) and, on port 2, a USB 2 hub.
std::shared_ptr<ReplayedMachine> Machine() {
    auto m = std::make_shared<ReplayedMachine>();
    const std::u16string usbKey = u"{36FC9E60-C465-11CF-8056-444553540000}\\000";
    m->nodes = {{1, {kNoNode, u"PCI\\VEN_8086&DEV_A36D\\3&11583659&0&A0", u""}},
                {2, {1, u"USB\\ROOT_HUB30\\4&1A2B3C&0&0", usbKey + u"1"}},
                {3, {2, u"USB\\VID_046D&PID_C077\\5&1F2E3D&0&1", u"{745A17A0}\\0003"}},
                {4, {2, u"USB\\VID_05E3&PID_0608\\5&1F2E3D&0&2", usbKey + u"4"}}};
    const std::u16string hubClass = u"#{f18a0e88-c30c-11d0-8815-00a0c906bed8}";
    m->hubs[kRootHubNode] = {u"\\\\?\\usb#root_hub30#4&1a2b3c&0&0" + hubClass,
                             {{3, {u"Logi", u"Mouse", u""}, u""}, {4, {}, u""}, {}, {}}};
    m->hubs[kUsb2HubNode] = {u"\\\\?\\usb#vid_05e3&pid_0608#5&1f2e3d&0&2" + hubClass,
                             {{}, {}, {}, {}}};
    return m;
}

struct PluggedDrive {
    std::u16string diskPath, cdromPath;
    DevNode usbNode = kNoNode;
};

// A drive on port `port` of `hub`: its USB device (or composite device with the storage
// function below it), and a disk and a CD-ROM below that. Nodes are numbered from `first`.
PluggedDrive Plug(ReplayedMachine& m, DevNode hub, unsigned port, DevNode first,
                  bool composite = false, std::u16string usbId = kDriveId,
                  std::u16string key = kDriveKey, std::u16string serial = kSerial) {
    PluggedDrive d{u"\\\\?\\usbstor#disk#" + serial, u"\\\\?\\usbstor#cdrom#" + serial, first};
    m.nodes[first] = {hub, usbId, key};
    const DevNode storage = composite ? first + 1 : first;
    if (composite)
        m.nodes[storage] = {first, usbId.substr(0, 21) + u"&MI_00\\6&3C4B&0&0000", u"{mi}\\0001"};
    m.nodes[first + 2] = {storage, u"USBSTOR\\DISK&VEN_KAVELIN\\" + serial + u"&0",
                          u"{disk}\\0001"};
    m.nodes[first + 3] = {storage, u"USBSTOR\\CDROM&VEN_KAVELIN\\" + serial + u"&1",
                          u"{cdrom}\\0001"};
    m.disks[d.diskPath] = {first + 2, false, first, 1000204886016};
    m.disks[d.cdromPath] = {first + 3, true, first, 0};
    m.hubs[hub].ports.at(port - 1) = {first, {u"KAVELIN", u"ZR-MOXE3", serial}, u""};
    return d;
}

// The bridges behind a drive's paths answering as in normal firmware or the update loader,
// each handle telling the node the replayed disk has.
void Bridges(test::FakeBridges& bridges, const ReplayedMachine& m, const PluggedDrive& d,
             bool loader) {
    for (const auto& path : {d.diskPath, d.cdromPath}) {
        const ReplayedDisk& disk = m.disks.at(path);
        bridges.devices[path].status0 = loader ? kStatusLoader : std::uint8_t{0};
        bridges.devices[path].nodeIdentity =
            StorageNodeIdentity({disk.cdrom ? 2u : 7u, disk.number});
    }
}

// The tree over a replayed machine, from the listed interfaces up to the hub's port, and the
// enumeration and census over it.
TEST(WindowsDeviceTree, DrivesFoundThroughTheirHubs) {
    const struct {
        const char* what;
        DevNode hub;
        unsigned port;
        bool composite;
        std::u16string portText;
    } cases[] = {
        {"USB 2 hub", kUsb2HubNode, 3, false, u"USB\\VID_05E3&PID_0608\\5&1F2E3D&0&2#3"},
        {"USB 3 root hub", kRootHubNode, 3, false, u"USB\\ROOT_HUB30\\4&1A2B3C&0&0#3"},
        {"composite device", kRootHubNode, 4, true, u"USB\\ROOT_HUB30\\4&1A2B3C&0&0#4"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        auto bridges = std::make_shared<test::FakeBridges>();
        auto m = Machine();
        auto d = Plug(*m, c.hub, c.port, 10, c.composite);
        Bridges(*bridges, *m, d, false);
        auto tree = MakeWindowsDeviceTree(m);
        DeviceAccess devices{bridges, tree};
        EXPECT_EQ(std::make_tuple(tree->UsbPort(d.usbNode), tree->NodeIdentity(d.cdromPath),
                                  tree->OnUsbBus(d.diskPath), CountKnownDrives(devices)),
                  std::make_tuple(c.portText, std::uint64_t{2} << 32 | 10, true, kCensusOne));
        CBridgeMgr mgr(devices, std::make_shared<ManualClock>());
        ASSERT_EQ(mgr.EnumerateDevices(ALL_DEVICES), 1);
        const DeviceRecord& r = mgr.deviceTable[0];
        // CD-ROMs are listed first.
        EXPECT_EQ(
            std::tie(r.usbNode, r.usbPort, r.vendorIdText, r.productIdText, r.manufacturer,
                     r.product, r.serialNumber, r.pathCount, r.interfacePath[0], r.interfacePath[1],
                     r.lun[0], r.lun[1], r.diskLength[1], r.nodeIdentity[1]),
            std::make_tuple(d.usbNode, c.portText, u"0x5E3B"s, u"0x7C34"s, u"KAVELIN"s,
                            u"ZR-MOXE3"s, std::u16string(kSerial), 2u, d.cdromPath, d.diskPath, 1,
                            0, std::int64_t{1000204886016}, std::uint64_t{7} << 32 | 10));
        mgr.devices = {};
        devices = {};
        tree.reset();
        EXPECT_EQ(m->openLists, 0) << "every list the tree made is destroyed";
    }
}

// After a restart the drive comes back in its update loader as the bare bridge, a new device
// on the same port: the port's text is what finds it again.
TEST(WindowsDeviceTree, ADriveBackAsTheBareBridgeKeepsItsPort) {
    auto bridges = std::make_shared<test::FakeBridges>();
    auto m = Machine();
    auto other = Plug(*m, kUsb2HubNode, 1, 30, false, u"USB\\VID_5E3B&PID_7C31\\OTHER",
                      u"{k}\\0020", u"OTHER");
    auto drive = Plug(*m, kRootHubNode, 3, 10);
    Bridges(*bridges, *m, other, false);
    Bridges(*bridges, *m, drive, false);
    auto tree = MakeWindowsDeviceTree(m);
    CBridgeMgr mgr({bridges, tree}, std::make_shared<ManualClock>());
    ASSERT_EQ(mgr.EnumerateDevices(ALL_DEVICES), 2);
    ASSERT_EQ(mgr.deviceTable[0].usbNode, drive.usbNode);
    const std::u16string port = mgr.deviceTable[0].usbPort;
    EXPECT_EQ(port, u"USB\\ROOT_HUB30\\4&1A2B3C&0&0#3");
    mgr.boundPort = port;

    // Unplugged: the port keeps the key of the device gone.
    for (DevNode n = drive.usbNode; n < drive.usbNode + 4; ++n) m->nodes.erase(n);
    m->disks.erase(drive.diskPath);
    m->disks.erase(drive.cdromPath);
    m->hubs[kRootHubNode].ports.at(2) = {kNoNode, {}, kDriveKey};
    EXPECT_EQ(mgr.EnumerateDevices(ALL_DEVICES), 0) << "only the other drive, not the run's";
    EXPECT_FALSE(tree->UsbPort(drive.usbNode));

    auto loader = Plug(*m, kRootHubNode, 3, 50, false, u"USB\\VID_04C5&PID_2026\\5&1F2E3D&0&3",
                       kLoaderKey, u"");
    m->hubs[kRootHubNode].ports[2].strings = {};
    Bridges(*bridges, *m, loader, true);
    ASSERT_EQ(mgr.EnumerateDevices(ALL_DEVICES), 1);
    const DeviceRecord& r = mgr.deviceTable[0];
    EXPECT_EQ(std::tie(r.usbPort, r.usbNode, r.vendorId, r.productId, r.serialNumber, r.normalMode,
                       r.pathCount),
              std::make_tuple(port, DevNode{50}, kBareBridgeVendorId,
                              kSecondGenerationBareProductId, u""s, 0, 2u));
    EXPECT_EQ(mgr.IdentifyChip(0), 2);
}

TEST(HubWalk, PortDeviceNeedsBothDriverKeyAndInstanceId) {
    const std::u16string key = u"{36fc9e60-c465-11cf-8056-444553540000}\\000";
    const std::vector<UsbEnumeratedDevice> devices = {
        {key + u"3", u"USB\\VID_046D&PID_C077\\5&1"},
        {key + u"7", u"USB\\VID_5E3B&PID_7C35\\OTHER"},
        {key + u"7", u"usb\\vid_5e3b&pid_7c34\\4a3f0012"},
    };
    EXPECT_EQ(MatchPortDevice(devices, kDriveKey, u"USB\\VID_5E3B&PID_7C34\\4A3F0012"), 2u);
    EXPECT_FALSE(MatchPortDevice(devices, kDriveKey, u"USB\\VID_5E3B&PID_7C34\\4A3F001") ||
                 MatchPortDevice({}, u"", u""));
}

}  // namespace
}  // namespace mox3
