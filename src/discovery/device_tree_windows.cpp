// The device tree over SetupApi and cfgmgr32: interfaces, the climb to the USB device, the hub
// walk for its port and strings, disks' numbers and lengths, all through one system interface.
// Size: one tree, and the one production implementation of its system interface.
#include "discovery/device_tree_windows.h"

#include <winioctl.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <mutex>
#include <type_traits>
#include <utility>

#include "base/bytes.h"
#include "platform/storage_device_windows.h"
#include "platform/system_library_windows.h"

namespace mox3 {

namespace {

// The interface classes, spelled out here so that no GUID library is needed at link time.
constexpr GUID kCdRomInterface = {
    0x53F56308, 0xB6BF, 0x11D0, {0x94, 0xF2, 0x00, 0xA0, 0xC9, 0x1E, 0xFB, 0x8B}};
constexpr GUID kDiskInterface = {
    0x53F56307, 0xB6BF, 0x11D0, {0x94, 0xF2, 0x00, 0xA0, 0xC9, 0x1E, 0xFB, 0x8B}};
constexpr GUID kUsbHubInterface = {
    0xF18A0E88, 0xC30C, 0x11D0, {0x88, 0x15, 0x00, 0xA0, 0xC9, 0x06, 0xBE, 0xD8}};

const GUID* ClassGuid(InterfaceClass cls) {
    switch (cls) {
        case InterfaceClass::CdRom:
            return &kCdRomInterface;
        case InterfaceClass::Disk:
            return &kDiskInterface;
    }
    return &kDiskInterface;
}

enum SetupApiSlot : std::size_t {
    kGetClassDevs,
    kEnumDeviceInterfaces,
    kGetDeviceInterfaceDetail,
    kGetDeviceInstanceId,
    kDestroyDeviceInfoList,
    kEnumDeviceInfo,
    kGetDeviceRegistryProperty,
};
constexpr const char* kSetupApiNames[] = {
    "SetupDiGetClassDevsW",
    "SetupDiEnumDeviceInterfaces",
    "SetupDiGetDeviceInterfaceDetailW",
    "SetupDiGetDeviceInstanceIdW",
    "SetupDiDestroyDeviceInfoList",
    "SetupDiEnumDeviceInfo",
    "SetupDiGetDeviceRegistryPropertyW",
};

enum CfgMgrSlot : std::size_t {
    kGetParent,
    kGetDeviceId,
    kGetDevNodeRegistryProperty,
};
constexpr const char* kCfgMgrNames[] = {
    "CM_Get_Parent",
    "CM_Get_Device_IDW",
    "CM_Get_DevNode_Registry_PropertyW",
};

static_assert(std::size(kSetupApiNames) <= LazyLibrary::kEntrySlots &&
              std::size(kCfgMgrNames) <= LazyLibrary::kEntrySlots);

// The entry points' types, written out from the documentation. Each must be the type the
// system's header declares, calling convention included: on 32-bit Windows a function called
// as __cdecl that is __stdcall leaves its arguments on the stack.
using GetClassDevsFn = HDEVINFO WINAPI(const GUID*, PCWSTR, HWND, DWORD);
using EnumDeviceInterfacesFn = BOOL WINAPI(HDEVINFO, PSP_DEVINFO_DATA, const GUID*, DWORD,
                                           PSP_DEVICE_INTERFACE_DATA);
using GetDeviceInterfaceDetailFn = BOOL WINAPI(HDEVINFO, PSP_DEVICE_INTERFACE_DATA,
                                               PSP_DEVICE_INTERFACE_DETAIL_DATA_W, DWORD, PDWORD,
                                               PSP_DEVINFO_DATA);
using GetDeviceInstanceIdFn = BOOL WINAPI(HDEVINFO, PSP_DEVINFO_DATA, PWSTR, DWORD, PDWORD);
using DestroyDeviceInfoListFn = BOOL WINAPI(HDEVINFO);
using EnumDeviceInfoFn = BOOL WINAPI(HDEVINFO, DWORD, PSP_DEVINFO_DATA);
using GetDeviceRegistryPropertyFn = BOOL WINAPI(HDEVINFO, PSP_DEVINFO_DATA, DWORD, PDWORD, PBYTE,
                                                DWORD, PDWORD);
using GetParentFn = CONFIGRET WINAPI(PDEVINST, DEVINST, ULONG);
using GetDeviceIdFn = CONFIGRET WINAPI(DEVINST, PWSTR, ULONG, ULONG);
using GetDevNodeRegistryPropertyFn = CONFIGRET WINAPI(DEVINST, ULONG, PULONG, PVOID, PULONG,
                                                      ULONG);
static_assert(std::is_same_v<GetClassDevsFn, decltype(::SetupDiGetClassDevsW)>);
static_assert(std::is_same_v<EnumDeviceInterfacesFn, decltype(::SetupDiEnumDeviceInterfaces)>);
static_assert(
    std::is_same_v<GetDeviceInterfaceDetailFn, decltype(::SetupDiGetDeviceInterfaceDetailW)>);
static_assert(std::is_same_v<GetDeviceInstanceIdFn, decltype(::SetupDiGetDeviceInstanceIdW)>);
static_assert(std::is_same_v<DestroyDeviceInfoListFn, decltype(::SetupDiDestroyDeviceInfoList)>);
static_assert(std::is_same_v<EnumDeviceInfoFn, decltype(::SetupDiEnumDeviceInfo)>);
static_assert(std::is_same_v<GetDeviceRegistryPropertyFn,
                             decltype(::SetupDiGetDeviceRegistryPropertyW)>);
static_assert(std::is_same_v<GetParentFn, decltype(::CM_Get_Parent)>);
static_assert(std::is_same_v<GetDeviceIdFn, decltype(::CM_Get_Device_IDW)>);
static_assert(std::is_same_v<GetDevNodeRegistryPropertyFn,
                             decltype(::CM_Get_DevNode_Registry_PropertyW)>);

// Buffer sizes of the device-installation queries.
constexpr DWORD kDetailBufferBytes = 2048;
constexpr ULONG kDeviceIdUnits = 1024;
constexpr DWORD kDriverKeyBytes = 2048;
// Bounds a listing whose enumeration never reports its end.
constexpr DWORD kMaxListIndex = 100000;

static_assert(sizeof(USB_NODE_INFORMATION) == kNodeInformationSize);
// The connection information with room for 30 open pipes.
static_assert(sizeof(USB_NODE_CONNECTION_INFORMATION_EX) + 30 * sizeof(USB_PIPE_INFO) ==
              kConnectionInformationSize);
static_assert(sizeof(USB_DESCRIPTOR_REQUEST) == kDescriptorRequestHeader);
static_assert(offsetof(USB_NODE_CONNECTION_DRIVERKEY_NAME, DriverKeyName) == 8);

const wchar_t* Wide(const std::u16string& text) {
    return reinterpret_cast<const wchar_t*>(text.c_str());
}

// The text in `buffer` up to its terminator or `units` units.
std::u16string FromWide(const wchar_t* buffer, std::size_t units) {
    const auto* text = reinterpret_cast<const char16_t*>(buffer);
    return std::u16string(text, std::find(text, text + units, u'\0'));
}

void PutPort(std::uint8_t* buffer, std::uint32_t port) {
    std::memcpy(buffer, &port, sizeof port);  // ConnectionIndex leads every port request
}

char16_t Upper(char16_t c) {
    return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - 32) : c;
}

bool StartsWithUsb(std::u16string_view id) {
    return id.size() >= 3 && Upper(id[0]) == u'U' && Upper(id[1]) == u'S' && Upper(id[2]) == u'B';
}

// The ids of a USB device's id, "USB\VID_5E3B&PID_7C34\...", letters in either case.
std::optional<UsbIds> ParseUsbIds(std::u16string_view id) {
    constexpr std::u16string_view kShape = u"USB\\VID_####&PID_####";
    if (id.size() < kShape.size()) return std::nullopt;
    std::uint32_t vendor = 0, product = 0;
    for (std::size_t i = 0; i < kShape.size(); ++i) {
        const char16_t c = Upper(id[i]);
        if (kShape[i] != u'#') {
            if (c != kShape[i]) return std::nullopt;
            continue;
        }
        const int digit = c >= u'0' && c <= u'9'   ? c - u'0'
                          : c >= u'A' && c <= u'F' ? c - u'A' + 10
                                                   : -1;
        if (digit < 0) return std::nullopt;
        std::uint32_t& value = i < 13 ? vendor : product;
        value = value << 4 | static_cast<std::uint32_t>(digit);
    }
    return UsbIds{static_cast<std::uint16_t>(vendor), static_cast<std::uint16_t>(product)};
}

// An open device, closed with the object.
class DeviceHandle : public DeviceRequests {
  public:
    explicit DeviceHandle(std::u16string_view path) {
        std::u16string name(path);
        HANDLE h =
            ::CreateFileW(Wide(name), GENERIC_READ | GENERIC_WRITE,
                          FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
        handle_ = h == INVALID_HANDLE_VALUE ? nullptr : h;
    }
    ~DeviceHandle() {
        if (handle_ != nullptr) ::CloseHandle(handle_);
    }
    DeviceHandle(const DeviceHandle&) = delete;
    DeviceHandle& operator=(const DeviceHandle&) = delete;

    explicit operator bool() const { return handle_ != nullptr; }

    // One request with `buffer` as input (`inSize` bytes, may be 0) and output; the number of
    // bytes returned, or nothing when the request failed.
    std::optional<DWORD> Control(DWORD code, void* buffer, DWORD inSize, DWORD outSize) override {
        DWORD returned = 0;
        if (!::DeviceIoControl(handle_, code, inSize ? buffer : nullptr, inSize, buffer, outSize,
                               &returned, nullptr)) {
            return std::nullopt;
        }
        return returned;
    }

  private:
    HANDLE handle_ = nullptr;
};

// One device-interface list of the device-installation library, destroyed with the object.
class DeviceInfoList {
  public:
    DeviceInfoList(WindowsDeviceSystem& api, HDEVINFO set) : api_(api), set_(set) {}
    ~DeviceInfoList() {
        if (valid()) api_.DestroyDeviceInfoList(set_);
    }
    DeviceInfoList(const DeviceInfoList&) = delete;
    DeviceInfoList& operator=(const DeviceInfoList&) = delete;

    bool valid() const { return set_ != INVALID_HANDLE_VALUE && set_ != nullptr; }
    HDEVINFO get() const { return set_; }

  private:
    WindowsDeviceSystem& api_;
    HDEVINFO set_;
};

struct ListedInterface {
    DeviceInterface iface;
    SP_DEVINFO_DATA info;
};

// The interfaces of class `cls` in `list`, in the list's order; members whose detail cannot be
// read are passed over.
std::vector<ListedInterface> WalkInterfaces(WindowsDeviceSystem& api, const DeviceInfoList& list,
                                            const GUID* cls) {
    std::vector<ListedInterface> found;
    // DWORD elements keep the detail record aligned.
    std::array<DWORD, kDetailBufferBytes / sizeof(DWORD)> buffer;
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buffer.data());
    const std::size_t pathUnits =
        (kDetailBufferBytes - offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath)) /
        sizeof(wchar_t);
    for (DWORD index = 0; index < kMaxListIndex; ++index) {
        SP_DEVICE_INTERFACE_DATA data{};
        data.cbSize = sizeof data;
        if (!api.EnumDeviceInterfaces(list.get(), cls, index, data)) break;
        buffer.fill(0);
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
        SP_DEVINFO_DATA info{};
        info.cbSize = sizeof info;
        if (!api.GetDeviceInterfaceDetail(list.get(), data, detail, kDetailBufferBytes, &info)) {
            continue;
        }
        found.push_back({{FromWide(detail->DevicePath, pathUnits), info.DevInst}, info});
    }
    return found;
}

// The system's own calls: the bindings, and devices opened with CreateFileW.
class SystemCalls : public WindowsDeviceSystem {
  public:
    SystemCalls(const wchar_t* setupApiFile, const wchar_t* cfgMgrFile)
        : setupApi_(setupApiFile), cfgMgr_(cfgMgrFile) {}

    HDEVINFO GetClassDevs(const GUID* cls, const wchar_t* enumerator, DWORD flags) override {
        return setupApi_.GetClassDevs(cls, enumerator, flags);
    }
    bool EnumDeviceInterfaces(HDEVINFO set, const GUID* cls, DWORD index,
                              SP_DEVICE_INTERFACE_DATA& data) override {
        return setupApi_.EnumDeviceInterfaces(set, cls, index, data);
    }
    bool GetDeviceInterfaceDetail(HDEVINFO set, SP_DEVICE_INTERFACE_DATA& data,
                                  SP_DEVICE_INTERFACE_DETAIL_DATA_W* detail, DWORD detailSize,
                                  SP_DEVINFO_DATA* info) override {
        return setupApi_.GetDeviceInterfaceDetail(set, data, detail, detailSize, info);
    }
    bool EnumDeviceInfo(HDEVINFO set, DWORD index, SP_DEVINFO_DATA& info) override {
        return setupApi_.EnumDeviceInfo(set, index, info);
    }
    bool GetDeviceRegistryProperty(HDEVINFO set, SP_DEVINFO_DATA& info, DWORD property,
                                   BYTE* buffer, DWORD size) override {
        return setupApi_.GetDeviceRegistryProperty(set, info, property, buffer, size);
    }
    bool GetDeviceInstanceId(HDEVINFO set, SP_DEVINFO_DATA& info, wchar_t* buffer,
                             DWORD units) override {
        return setupApi_.GetDeviceInstanceId(set, info, buffer, units);
    }
    bool DestroyDeviceInfoList(HDEVINFO set) override {
        return setupApi_.DestroyDeviceInfoList(set);
    }
    bool GetParent(DEVINST& parent, DEVINST node) override {
        return cfgMgr_.GetParent(parent, node);
    }
    bool GetDeviceId(DEVINST node, wchar_t* buffer, ULONG units) override {
        return cfgMgr_.GetDeviceId(node, buffer, units);
    }
    bool GetDevNodeRegistryProperty(DEVINST node, ULONG property, void* buffer,
                                    ULONG size) override {
        return cfgMgr_.GetDevNodeRegistryProperty(node, property, buffer, size);
    }
    std::unique_ptr<DeviceRequests> Open(std::u16string_view path) override {
        auto device = std::make_unique<DeviceHandle>(path);
        if (!*device) return nullptr;
        return device;
    }

  private:
    SetupApiBinding setupApi_;
    CCfgMgr cfgMgr_;
};

class WindowsDeviceTree : public DeviceTree {
  public:
    explicit WindowsDeviceTree(std::shared_ptr<WindowsDeviceSystem> system)
        : system_(std::move(system)) {}

    std::optional<std::vector<DeviceInterface>> PresentInterfaces(InterfaceClass cls) override {
        const GUID* guid = ClassGuid(cls);
        auto list = std::make_unique<DeviceInfoList>(
            *system_, system_->GetClassDevs(guid, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE));
        if (!list->valid()) return std::nullopt;
        std::vector<ListedInterface> members = WalkInterfaces(*system_, *list, guid);
        Listing listing{std::move(list), std::move(members)};
        std::vector<DeviceInterface> interfaces;
        for (const ListedInterface& listed : listing.members) interfaces.push_back(listed.iface);
        // The list stays until the class is listed again: the install state of its devices is
        // read through it.
        std::lock_guard lock(mutex_);
        listings_[cls] = std::move(listing);
        return interfaces;
    }

    // The USB device above an interface node: its parent, or else its grandparent, the first
    // whose id is of the USB enumerator. Where that is one interface of a composite device
    // ("&MI_" in its id), the device above it, which the hub knows. The device must have a
    // parent, its hub.
    std::optional<DevNode> UsbDeviceOf(DevNode interfaceNode) override {
        DevNode node = interfaceNode;
        for (int step = 0; step < 2; ++step) {
            DevNode parent = kNoNode, hub = kNoNode;
            if (!Parent(node, parent)) return std::nullopt;
            std::u16string id;
            if (DeviceId(parent, id) && StartsWithUsb(id)) {
                DevNode device = kNoNode;
                std::u16string deviceId;
                if (id.find(u"&MI_") != std::u16string::npos && Parent(parent, device) &&
                    DeviceId(device, deviceId) && StartsWithUsb(deviceId)) {
                    parent = device;
                }
                if (!Parent(parent, hub)) return std::nullopt;
                return parent;
            }
            node = parent;
        }
        return std::nullopt;
    }

    // The ids in the device's id, "USB\VID_5E3B&PID_7C34\...".
    std::optional<UsbIds> UsbDeviceIds(DevNode usbNode) override {
        std::u16string id;
        if (!DeviceId(usbNode, id)) return std::nullopt;
        return ParseUsbIds(id);
    }

    // The number the disk's id ends in.
    std::optional<std::int32_t> LogicalUnit(DevNode interfaceNode) override {
        std::u16string id;
        if (!DeviceId(interfaceNode, id) || id.empty()) return std::nullopt;
        return id.back() - u'0';
    }

    // Installed: install state 0.
    std::optional<bool> Ready(DevNode interfaceNode) override {
        auto state = InstallState(interfaceNode);
        if (!state) return std::nullopt;
        return *state == 0;
    }

    std::optional<std::uint32_t> StorageDeviceNumber(std::u16string_view path) override {
        auto device = system_->Open(path);
        STORAGE_DEVICE_NUMBER number{};
        if (!device ||
            !device->Control(IOCTL_STORAGE_GET_DEVICE_NUMBER, &number, 0, sizeof number)) {
            return std::nullopt;
        }
        return number.DeviceNumber;
    }

    std::optional<std::int64_t> DiskLength(std::u16string_view path) override {
        auto device = system_->Open(path);
        GET_LENGTH_INFORMATION length{};
        if (!device || !device->Control(IOCTL_DISK_GET_LENGTH_INFO, &length, 0, sizeof length)) {
            return std::nullopt;
        }
        return length.Length.QuadPart;
    }

    // The storage adapter's bus type is USB.
    std::optional<bool> OnUsbBus(std::u16string_view path) override {
        auto device = system_->Open(path);
        if (!device) return std::nullopt;
        // The query goes in at the start of the buffer and the adapter descriptor comes back
        // in its place; the room is more than the descriptor of any version needs.
        std::array<DWORD, 16> buffer{};
        STORAGE_PROPERTY_QUERY query{};
        query.PropertyId = StorageAdapterProperty;
        query.QueryType = PropertyStandardQuery;
        static_assert(sizeof query == 12 && sizeof query <= sizeof buffer);
        std::memcpy(buffer.data(), &query, sizeof query);
        auto returned = device->Control(IOCTL_STORAGE_QUERY_PROPERTY, buffer.data(), sizeof query,
                                        sizeof buffer);
        constexpr std::size_t kBusType = offsetof(STORAGE_ADAPTER_DESCRIPTOR, BusType);
        static_assert(kBusType == 24);
        if (!returned || *returned <= kBusType) return std::nullopt;
        return reinterpret_cast<const std::uint8_t*>(buffer.data())[kBusType] == BusTypeUsb;
    }

    // Among the ports of the device's hub, the one whose device is the USB device: by the
    // driver key the port reports and the device's id.
    std::optional<UsbPortIdentity> UsbIdentity(DevNode usbNode) override {
        DevNode hubNode = kNoNode;
        std::u16string usbDeviceId;
        if (!Parent(usbNode, hubNode) || !DeviceId(usbNode, usbDeviceId)) return std::nullopt;
        auto hub = OpenHub(hubNode);
        if (!hub) return std::nullopt;

        std::array<std::uint8_t, kNodeInformationSize> node{};
        if (!hub->Control(IOCTL_USB_GET_NODE_INFORMATION, node.data(), node.size(), node.size())) {
            return std::nullopt;
        }
        const unsigned ports = HubPortCount(node).value_or(0);
        for (unsigned port = 1; port <= ports; ++port) {
            std::array<std::uint8_t, kConnectionInformationSize> connection{};
            PutPort(connection.data(), port);
            if (!hub->Control(IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX, connection.data(),
                              connection.size(), connection.size())) {
                continue;
            }
            auto device = ConnectedDevice(connection);
            if (!device) continue;

            std::array<std::uint8_t, kDriverKeyNameSize> key{};
            PutPort(key.data(), port);
            if (!hub->Control(IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME, key.data(), key.size(),
                              key.size())) {
                continue;
            }
            if (!PortHoldsDevice(DriverKeyName(key), usbDeviceId)) continue;

            UsbPortIdentity identity;
            identity.vendorId = device->idVendor;
            identity.productId = device->idProduct;
            identity.manufacturer = ReadString(*hub, port, device->iManufacturer);
            identity.product = ReadString(*hub, port, device->iProduct);
            identity.serialNumber = ReadString(*hub, port, device->iSerialNumber);
            return identity;
        }
        return std::nullopt;
    }

    // The port is found as UsbIdentity finds it: among the ports of the device's hub, the one
    // whose device has the device's driver key.
    std::optional<std::u16string> UsbPort(DevNode usbNode) override {
        DevNode hubNode = kNoNode;
        std::u16string hubId;
        if (!Parent(usbNode, hubNode) || !DeviceId(hubNode, hubId)) return std::nullopt;
        std::array<wchar_t, kDriverKeyBytes / sizeof(wchar_t)> driver{};
        if (!system_->GetDevNodeRegistryProperty(usbNode, CM_DRP_DRIVER, driver.data(),
                                                 kDriverKeyBytes - sizeof(wchar_t))) {
            return std::nullopt;
        }
        auto hub = OpenHub(hubNode);
        if (!hub) return std::nullopt;
        auto port = FindPortByDriverKey(*hub, FromWide(driver.data(), driver.size()));
        if (!port) return std::nullopt;
        return UsbPortText(hubId, *port);
    }

    std::optional<std::uint64_t> NodeIdentity(std::u16string_view path) override {
        // The query a pass-through handle answers its NodeIdentity with (QueryStorageNumber).
        auto device = system_->Open(path);
        STORAGE_DEVICE_NUMBER number{};
        auto returned =
            device ? device->Control(IOCTL_STORAGE_GET_DEVICE_NUMBER, &number, 0, sizeof number)
                   : std::nullopt;
        if (!returned || *returned < sizeof number) return std::nullopt;
        return StorageNodeIdentity(
            {number.DeviceType, number.DeviceNumber, number.PartitionNumber});
    }

  private:
    bool Parent(DevNode node, DevNode& parent) {
        DEVINST found = 0;
        if (!system_->GetParent(found, node)) return false;
        parent = found;
        return true;
    }

    bool DeviceId(DevNode node, std::u16string& id) {
        std::array<wchar_t, kDeviceIdUnits> buffer{};
        if (!system_->GetDeviceId(node, buffer.data(), kDeviceIdUnits)) return false;
        id = FromWide(buffer.data(), buffer.size());
        return true;
    }

    // The install state of an interface's node (0: installed).
    std::optional<std::uint32_t> InstallState(DevNode node) {
        DWORD state = 0;
        {
            std::lock_guard lock(mutex_);
            for (auto& [cls, listing] : listings_) {
                for (ListedInterface& listed : listing.members) {
                    if (listed.iface.node != node) continue;
                    if (!system_->GetDeviceRegistryProperty(
                            listing.list->get(), listed.info, SPDRP_INSTALL_STATE,
                            reinterpret_cast<BYTE*>(&state), sizeof state)) {
                        return std::nullopt;
                    }
                    return state;
                }
            }
        }
        // A node that no listed interface belongs to: ask the configuration manager.
        if (!system_->GetDevNodeRegistryProperty(node, CM_DRP_INSTALL_STATE, &state,
                                                 sizeof state)) {
            return std::nullopt;
        }
        return state;
    }

    struct Listing {
        std::unique_ptr<DeviceInfoList> list;
        std::vector<ListedInterface> members;
    };

    // The first present hub interface of node `hubNode`, opened.
    std::unique_ptr<DeviceRequests> OpenHub(DevNode hubNode) {
        DeviceInfoList list(*system_, system_->GetClassDevs(&kUsbHubInterface, nullptr,
                                                            DIGCF_PRESENT | DIGCF_DEVICEINTERFACE));
        if (!list.valid()) return nullptr;
        for (const ListedInterface& listed : WalkInterfaces(*system_, list, &kUsbHubInterface)) {
            if (listed.iface.node == hubNode) return system_->Open(listed.iface.path);
        }
        return nullptr;
    }

    // Whether the device on a port with driver key `portKey` is the USB device `usbDeviceId`:
    // among the present devices of the USB enumerator, the one with that driver key must have
    // that instance id.
    bool PortHoldsDevice(const std::u16string& portKey, std::u16string_view usbDeviceId) {
        DeviceInfoList list(
            *system_, system_->GetClassDevs(nullptr, L"USB", DIGCF_PRESENT | DIGCF_ALLCLASSES));
        if (!list.valid()) return false;
        std::vector<UsbEnumeratedDevice> devices;
        for (DWORD index = 0; index < kMaxListIndex; ++index) {
            SP_DEVINFO_DATA info{};
            info.cbSize = sizeof info;
            if (!system_->EnumDeviceInfo(list.get(), index, info)) break;
            std::array<wchar_t, kDriverKeyBytes / sizeof(wchar_t)> driver{};
            std::array<wchar_t, kDeviceIdUnits> instance{};
            if (!system_->GetDeviceRegistryProperty(list.get(), info, SPDRP_DRIVER,
                                                    reinterpret_cast<BYTE*>(driver.data()),
                                                    kDriverKeyBytes - sizeof(wchar_t)) ||
                !system_->GetDeviceInstanceId(list.get(), info, instance.data(), kDeviceIdUnits)) {
                continue;
            }
            devices.push_back({FromWide(driver.data(), driver.size()),
                               FromWide(instance.data(), instance.size())});
        }
        return MatchPortDevice(devices, portKey, usbDeviceId).has_value();
    }

    // String descriptor `index` of the device on `port`; nothing when the hub refuses.
    static std::optional<std::u16string> ReadString(DeviceRequests& hub, unsigned port,
                                                    std::uint8_t index) {
        // Index 0 means the device has no such string; asked for, it would answer with its
        // language list, which would read as a one-character text (U+0409).
        if (index == 0) return std::u16string();
        auto request = StringDescriptorRequest(port, index);
        if (!hub.Control(IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION, request.data(),
                         request.size(), request.size())) {
            return std::nullopt;
        }
        return DecodeStringDescriptor(std::span(request).subspan(kDescriptorRequestHeader));
    }

    // The system outlives the retained lists, which are destroyed through it.
    std::shared_ptr<WindowsDeviceSystem> system_;
    std::mutex mutex_;
    std::map<InterfaceClass, Listing> listings_;
};

}  // namespace

LazyLibrary::LazyLibrary(const wchar_t* fileName, std::span<const char* const> names)
    : module_(LoadSystemLibrary(fileName)),
      names_(names.first(std::min(names.size(), kEntrySlots))) {}

LazyLibrary::~LazyLibrary() {
    if (module_ != nullptr) ::FreeLibrary(module_);
}

FARPROC LazyLibrary::Resolve(std::size_t slot) {
    if (slot >= names_.size()) return nullptr;
    FARPROC entry = slots_[slot].load();
    if (entry != nullptr || module_ == nullptr) return entry;
    ++lookups_;
    entry = ::GetProcAddress(module_, names_[slot]);
    if (entry != nullptr) slots_[slot].store(entry);
    return entry;
}

SetupApiBinding::SetupApiBinding(const wchar_t* fileName) : LazyLibrary(fileName, kSetupApiNames) {}

HDEVINFO SetupApiBinding::GetClassDevs(const GUID* cls, const wchar_t* enumerator, DWORD flags) {
    auto fn = Entry<GetClassDevsFn>(kGetClassDevs);
    return fn ? fn(cls, enumerator, nullptr, flags) : INVALID_HANDLE_VALUE;
}

bool SetupApiBinding::EnumDeviceInterfaces(HDEVINFO set, const GUID* cls, DWORD index,
                                           SP_DEVICE_INTERFACE_DATA& data) {
    auto fn = Entry<EnumDeviceInterfacesFn>(kEnumDeviceInterfaces);
    return fn && fn(set, nullptr, cls, index, &data);
}

bool SetupApiBinding::GetDeviceInterfaceDetail(HDEVINFO set, SP_DEVICE_INTERFACE_DATA& data,
                                               SP_DEVICE_INTERFACE_DETAIL_DATA_W* detail,
                                               DWORD detailSize, SP_DEVINFO_DATA* info) {
    auto fn = Entry<GetDeviceInterfaceDetailFn>(kGetDeviceInterfaceDetail);
    return fn && fn(set, &data, detail, detailSize, nullptr, info);
}

bool SetupApiBinding::EnumDeviceInfo(HDEVINFO set, DWORD index, SP_DEVINFO_DATA& info) {
    auto fn = Entry<EnumDeviceInfoFn>(kEnumDeviceInfo);
    return fn && fn(set, index, &info);
}

bool SetupApiBinding::GetDeviceRegistryProperty(HDEVINFO set, SP_DEVINFO_DATA& info, DWORD property,
                                                BYTE* buffer, DWORD size) {
    auto fn = Entry<GetDeviceRegistryPropertyFn>(kGetDeviceRegistryProperty);
    return fn && fn(set, &info, property, nullptr, buffer, size, nullptr);
}

bool SetupApiBinding::GetDeviceInstanceId(HDEVINFO set, SP_DEVINFO_DATA& info, wchar_t* buffer,
                                          DWORD units) {
    auto fn = Entry<GetDeviceInstanceIdFn>(kGetDeviceInstanceId);
    return fn && fn(set, &info, buffer, units, nullptr);
}

bool SetupApiBinding::DestroyDeviceInfoList(HDEVINFO set) {
    auto fn = Entry<DestroyDeviceInfoListFn>(kDestroyDeviceInfoList);
    return fn && fn(set);
}

CCfgMgr::CCfgMgr(const wchar_t* fileName) : LazyLibrary(fileName, kCfgMgrNames) {}

bool CCfgMgr::GetParent(DEVINST& parent, DEVINST node) {
    auto fn = Entry<GetParentFn>(kGetParent);
    return fn && fn(&parent, node, 0) == CR_SUCCESS;
}

bool CCfgMgr::GetDeviceId(DEVINST node, wchar_t* buffer, ULONG units) {
    if (units == 0) return false;
    auto fn = Entry<GetDeviceIdFn>(kGetDeviceId);
    // One unit is kept back so that an id filling the buffer still ends in a terminator.
    if (!fn || fn(node, buffer, units - 1, 0) != CR_SUCCESS) return false;
    buffer[units - 1] = L'\0';
    return true;
}

bool CCfgMgr::GetDevNodeRegistryProperty(DEVINST node, ULONG property, void* buffer, ULONG size) {
    auto fn = Entry<GetDevNodeRegistryPropertyFn>(kGetDevNodeRegistryProperty);
    ULONG length = size;
    return fn && fn(node, property, nullptr, buffer, &length, 0) == CR_SUCCESS;
}

std::optional<unsigned> HubPortCount(std::span<const std::uint8_t> nodeInformation) {
    constexpr std::size_t kPorts =
        offsetof(USB_NODE_INFORMATION, u.HubInformation.HubDescriptor.bNumberOfPorts);
    if (nodeInformation.size() <= kPorts) return std::nullopt;
    return nodeInformation[kPorts];
}

std::optional<USB_DEVICE_DESCRIPTOR> ConnectedDevice(std::span<const std::uint8_t> connection) {
    USB_NODE_CONNECTION_INFORMATION_EX info;
    if (connection.size() < sizeof info) return std::nullopt;
    std::memcpy(&info, connection.data(), sizeof info);
    if (info.ConnectionStatus != DeviceConnected) return std::nullopt;
    return info.DeviceDescriptor;
}

std::u16string DriverKeyName(std::span<const std::uint8_t> answer) {
    constexpr std::size_t kName = offsetof(USB_NODE_CONNECTION_DRIVERKEY_NAME, DriverKeyName);
    std::u16string name;
    for (std::size_t at = kName; at + 1 < answer.size(); at += 2) {
        char16_t unit = ReadLe16(answer, at);
        if (unit == u'\0') break;
        name.push_back(unit);
    }
    return name;
}

std::array<std::uint8_t, kDescriptorRequestSize> StringDescriptorRequest(std::uint32_t port,
                                                                         std::uint8_t index) {
    USB_DESCRIPTOR_REQUEST header{};
    header.ConnectionIndex = port;
    header.SetupPacket.bmRequest = 0;
    header.SetupPacket.bRequest = 0;
    header.SetupPacket.wValue = static_cast<USHORT>((USB_STRING_DESCRIPTOR_TYPE << 8) | index);
    header.SetupPacket.wIndex = kEnglishUs;
    header.SetupPacket.wLength = kDescriptorRequestSize - kDescriptorRequestHeader;
    std::array<std::uint8_t, kDescriptorRequestSize> request{};
    std::memcpy(request.data(), &header, sizeof header);
    return request;
}

std::u16string DecodeStringDescriptor(std::span<const std::uint8_t> descriptor) {
    std::u16string text;
    if (descriptor.size() < 2 || descriptor[0] <= 2) return text;
    const std::size_t bytes = std::min<std::size_t>(descriptor[0] - 2u, descriptor.size() - 2);
    for (std::size_t at = 2; at + 1 < 2 + bytes; at += 2) {
        char16_t unit = ReadLe16(descriptor, at);
        if (unit == u'\0') break;
        text.push_back(unit);
    }
    return text;
}

bool SameName(std::u16string_view a, std::u16string_view b) {
    // An empty view may have no storage at all.
    auto text = [](std::u16string_view t) {
        return t.empty() ? L"" : reinterpret_cast<const wchar_t*>(t.data());
    };
    return ::CompareStringW(LOCALE_SYSTEM_DEFAULT, NORM_IGNORECASE, text(a),
                            static_cast<int>(a.size()), text(b),
                            static_cast<int>(b.size())) == CSTR_EQUAL;
}

std::optional<unsigned> FindPortByDriverKey(DeviceRequests& hub, std::u16string_view driverKey) {
    if (driverKey.empty()) return std::nullopt;
    std::array<std::uint8_t, kNodeInformationSize> node{};
    if (!hub.Control(IOCTL_USB_GET_NODE_INFORMATION, node.data(), node.size(), node.size())) {
        return std::nullopt;
    }
    const unsigned ports = HubPortCount(node).value_or(0);
    for (unsigned port = 1; port <= ports; ++port) {
        // A port with nothing connected may still report the key of the device that was there.
        std::array<std::uint8_t, kConnectionInformationSize> connection{};
        PutPort(connection.data(), port);
        if (!hub.Control(IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX, connection.data(),
                         connection.size(), connection.size()) ||
            !ConnectedDevice(connection)) {
            continue;
        }
        std::array<std::uint8_t, kDriverKeyNameSize> key{};
        PutPort(key.data(), port);
        if (hub.Control(IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME, key.data(), key.size(),
                        key.size()) &&
            SameName(DriverKeyName(key), driverKey)) {
            return port;
        }
    }
    return std::nullopt;
}

std::u16string UsbPortText(std::u16string_view hubInstanceId, unsigned port) {
    std::u16string text(hubInstanceId);
    text += u'#';
    for (char c : std::to_string(port)) text += static_cast<char16_t>(c);
    return text;
}

std::optional<std::size_t> MatchPortDevice(std::span<const UsbEnumeratedDevice> devices,
                                           std::u16string_view portDriverKey,
                                           std::u16string_view usbDeviceId) {
    for (std::size_t i = 0; i < devices.size(); ++i) {
        if (SameName(devices[i].driverKey, portDriverKey) &&
            SameName(devices[i].instanceId, usbDeviceId)) {
            return i;
        }
    }
    return std::nullopt;
}

std::shared_ptr<WindowsDeviceSystem> MakeWindowsDeviceSystem(const wchar_t* setupApiFile,
                                                             const wchar_t* cfgMgrFile) {
    return std::make_shared<SystemCalls>(setupApiFile, cfgMgrFile);
}

std::shared_ptr<DeviceTree> MakeWindowsDeviceTree(const wchar_t* setupApiFile,
                                                  const wchar_t* cfgMgrFile) {
    return MakeWindowsDeviceTree(MakeWindowsDeviceSystem(setupApiFile, cfgMgrFile));
}

std::shared_ptr<DeviceTree> MakeWindowsDeviceTree(std::shared_ptr<WindowsDeviceSystem> system) {
    return std::make_shared<WindowsDeviceTree>(std::move(system));
}

std::shared_ptr<DeviceTree> PlatformDeviceTree() {
    return MakeWindowsDeviceTree();
}

}  // namespace mox3
