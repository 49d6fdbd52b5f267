#include "emulator/emulator_tree.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <mutex>

#include "base/text.h"
#include "emulator/bridge_chip.h"
#include "emulator/drive_state.h"
#include "emulator/folder_files.h"

namespace mox3 {

namespace fs = std::filesystem;

namespace {

// The nodes of one device, numbered within it.
enum Role : std::uint32_t {
    kDiskInterface = 1,
    kCdRomInterface = 2,
    kLowerLink = 3,  // nodes in between that match nothing
    kUpperLink = 4,
    kUsbInterface = 5,  // the composite device's interface node
    kUsbDevice = 6,
};

constexpr std::size_t kMaxDevices = 0xFFF;
constexpr std::uint32_t kInstallFinishing = 3;  // the platform's "finish install" state
constexpr std::u16string_view kHubId = u"USB\\ROOT_HUB30\\EMULATED";

DevNode MakeNode(std::size_t index, std::uint64_t session, Role role) {
    return static_cast<DevNode>((index + 1) << 20 | (session & 0xFFFF) << 4 | role);
}

struct NodeParts {
    std::size_t index;
    std::uint32_t session;  // mod 65536
    std::uint32_t role;
};

std::optional<NodeParts> SplitNode(DevNode node) {
    if ((node >> 20) == 0) return std::nullopt;
    return NodeParts{(node >> 20) - 1, (node >> 4) & 0xFFFF, node & 0xF};
}

char16_t Lower(char16_t c) {
    return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c - u'A' + u'a') : c;
}

// What an id may hold: printable ASCII without blanks, backslashes and commas.
std::u16string IdText(std::u16string_view text) {
    std::u16string out;
    for (char16_t c : text) {
        out.push_back(c > u' ' && c < 0x7F && c != u'\\' && c != u',' ? c : u'_');
    }
    return out;
}

std::u16string Hex8(std::uint32_t value) {
    char buf[12];
    std::snprintf(buf, sizeof buf, "%08X", value);
    return Utf8ToUtf16(buf);
}

std::u16string UsbPrefix(const EmulatedUsbIdentity& usb) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "USB\\VID_%04X&PID_%04X", usb.vendorId, usb.productId);
    return Utf8ToUtf16(buf);
}

// An INQUIRY text field without its trailing blanks.
std::u16string InquiryField(const std::array<std::uint8_t, 36>& inquiry, std::size_t offset,
                            std::size_t size) {
    std::u16string text(inquiry.begin() + static_cast<std::ptrdiff_t>(offset),
                        inquiry.begin() + static_cast<std::ptrdiff_t>(offset + size));
    while (!text.empty() && (text.back() == u' ' || text.back() == 0)) text.pop_back();
    return IdText(text);
}

// A folder of the root that holds an emulated device, with the text of its state file.
struct Listed {
    fs::path folder;
    std::string name;
    std::string stateText;
};

// The device folders of `root` in name order, each state file read once. A state file is only
// ever replaced whole (see drive_state.h), so reading it needs no lock.
std::vector<Listed> ListDevices(const fs::path& root) {
    std::vector<Listed> listed;
    std::error_code ec;
    for (fs::directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec)) {
        std::error_code dirError;
        if (!it->is_directory(dirError)) continue;
        auto text = ReadDriveStateText(it->path());
        const std::string_view format = kDriveStateFormatLine;
        if (!text || !text->starts_with(format) ||
            (text->size() > format.size() && (*text)[format.size()] != '\n')) {
            continue;
        }
        listed.push_back({it->path(), it->path().filename().string(), std::move(*text)});
    }
    std::vector<std::size_t> order(listed.size());
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::sort(order.begin(), order.end(),
              [&](std::size_t a, std::size_t b) { return listed[a].name < listed[b].name; });
    std::vector<Listed> sorted;
    sorted.reserve(std::min(order.size(), kMaxDevices));
    for (std::size_t i = 0; i < order.size() && i < kMaxDevices; ++i) {
        sorted.push_back(std::move(listed[order[i]]));
    }
    return sorted;
}

// One device as the tree sees it now.
struct Device {
    std::size_t index = 0;
    fs::path folder;
    DriveState state;

    bool present() const { return state.tree.attached && state.bus == EmulatedBus::Present; }
    DevNode node(Role role) const { return MakeNode(index, state.session, role); }

    // The nodes from the interfaces' parent up to the USB device.
    std::vector<Role> Chain() const {
        const EmulatedTreeSettings& t = state.tree;
        switch (t.usbLevels) {
            case 2:
                return {t.composite ? kUsbInterface : kLowerLink, kUsbDevice};
            case 3:
                return {kLowerLink, t.composite ? kUsbInterface : kUpperLink, kUsbDevice};
            default:
                return {kUsbDevice};
        }
    }

    std::vector<Role> Roles() const {
        std::vector<Role> roles = Chain();
        roles.push_back(kDiskInterface);
        if (state.tree.cdrom) roles.push_back(kCdRomInterface);
        return roles;
    }

    bool Has(std::uint32_t role) const {
        auto roles = Roles();
        return std::find(roles.begin(), roles.end(), role) != roles.end();
    }

    std::u16string Instance() const {
        const std::u16string& serial = state.usb.serialNumber;
        return IdText(serial.empty() ? Utf8ToUtf16(folder.filename().string()) : serial);
    }

    std::u16string Id(Role role) const {
        std::u16string id;
        const auto& inquiry = state.inquiry;
        switch (role) {
            case kUsbDevice:
                id = UsbPrefix(state.usb) + u"\\" + Instance();
                break;
            case kUsbInterface:
                id = UsbPrefix(state.usb) + u"&MI_00\\7&" + Hex8(node(kUsbDevice)) + u"&0&0000";
                break;
            case kLowerLink:
            case kUpperLink:
                return u"EMULATED\\LINK\\" + Hex8(node(role));
            case kDiskInterface:
            case kCdRomInterface: {
                const bool disk = role == kDiskInterface;
                return std::u16string(disk ? u"USBSTOR\\DISK" : u"USBSTOR\\CDROM") + u"&VEN_" +
                       InquiryField(inquiry, 8, 8) + u"&PROD_" + InquiryField(inquiry, 16, 16) +
                       u"&REV_" + InquiryField(inquiry, 32, 4) + u"\\" + Instance() +
                       (disk ? u"&0" : u"&1");
            }
        }
        if (state.tree.lowerCaseIds) std::transform(id.begin(), id.end(), id.begin(), Lower);
        return id;
    }
};

class FolderTree : public EmulatorDeviceTree {
  public:
    FolderTree(fs::path root, std::shared_ptr<EmulatorClock> clock)
        : root_(std::move(root)), clock_(std::move(clock)) {}

    std::optional<std::vector<DeviceInterface>> PresentInterfaces(InterfaceClass cls) override {
        std::error_code ec;
        if (!fs::is_directory(root_, ec)) return std::nullopt;
        std::vector<DeviceInterface> out;
        const bool cdrom = cls == InterfaceClass::CdRom;
        auto folders = ListDevices(root_);
        for (std::size_t i = 0; i < folders.size(); ++i) {
            auto device = Load(i, folders[i]);
            if (!device || !device->present() || (cdrom && !device->state.tree.cdrom)) continue;
            std::u16string path = Utf8ToUtf16(folders[i].folder.string());
            if (cdrom) path += kCdRomInterfaceSuffix;
            out.push_back({path, device->node(cdrom ? kCdRomInterface : kDiskInterface)});
        }
        return out;
    }

    bool Parent(DevNode node, DevNode& parent) override {
        if (node == kEmulatedRootHubNode) return false;
        auto device = ForNode(node);
        if (!device) return false;
        const std::uint32_t role = node & 0xF;
        auto chain = device->Chain();
        if (role == kDiskInterface || role == kCdRomInterface) {
            parent = device->node(chain.front());
            return true;
        }
        auto at = std::find(chain.begin(), chain.end(), role);
        parent = at + 1 == chain.end() ? kEmulatedRootHubNode : device->node(*(at + 1));
        return true;
    }

    bool DeviceId(DevNode node, std::u16string& id) override {
        if (node == kEmulatedRootHubNode) {
            id = kHubId;
            return true;
        }
        auto device = ForNode(node);
        if (!device) return false;
        id = device->Id(static_cast<Role>(node & 0xF));
        return true;
    }

    // The USB device as the platform's walk finds it: within two nodes above the interface,
    // or three when the second is the device's USB interface node.
    std::optional<DevNode> UsbDeviceOf(DevNode interfaceNode) override {
        auto device = ForNode(interfaceNode);
        const std::uint32_t role = interfaceNode & 0xF;
        if (!device || (role != kDiskInterface && role != kCdRomInterface)) return std::nullopt;
        const std::vector<Role> chain = device->Chain();
        if (chain.size() > 2 && chain[1] != kUsbInterface) return std::nullopt;
        return device->node(kUsbDevice);
    }

    std::optional<UsbIds> UsbDeviceIds(DevNode usbNode) override {
        auto device = ForNode(usbNode);
        if (!device || (usbNode & 0xF) != kUsbDevice) return std::nullopt;
        return UsbIds{device->state.usb.vendorId, device->state.usb.productId};
    }

    // The disk interface is unit 0, the CD-ROM interface unit 1.
    std::optional<std::int32_t> LogicalUnit(DevNode interfaceNode) override {
        const std::uint32_t role = interfaceNode & 0xF;
        if (!ForNode(interfaceNode) || (role != kDiskInterface && role != kCdRomInterface)) {
            return std::nullopt;
        }
        return role == kDiskInterface ? 0 : 1;
    }

    std::optional<bool> Ready(DevNode interfaceNode) override {
        auto state = InstallState(interfaceNode);
        if (!state) return std::nullopt;
        return *state == kInstallStateInstalled;
    }

    std::optional<bool> OnUsbBus(std::u16string_view path) override {
        auto bus = StorageBusType(path);
        if (!bus) return std::nullopt;
        return *bus == kBusTypeUsb;
    }

    std::optional<std::uint32_t> InstallState(DevNode node) override {
        if (node == kEmulatedRootHubNode) return kInstallStateInstalled;
        auto device = ForNode(node);
        if (!device) return std::nullopt;
        const std::uint32_t role = node & 0xF;
        if (role == kDiskInterface || role == kCdRomInterface) {
            std::lock_guard<std::mutex> hold(mutex_);
            if (installReads_[node]++ < device->state.tree.installPending) return kInstallFinishing;
        }
        return kInstallStateInstalled;
    }

    std::optional<std::uint32_t> StorageDeviceNumber(std::u16string_view path) override {
        bool cdrom = false;
        auto device = ForPath(path, cdrom);
        if (!device || device->state.tree.deviceNumberFails) return std::nullopt;
        if (!cdrom) return static_cast<std::uint32_t>(device->index);
        // Counted among the devices with a CD-ROM interface, plugged in or not.
        auto folders = ListDevices(root_);
        std::uint32_t number = 0;
        for (std::size_t i = 0; i < device->index && i < folders.size(); ++i) {
            auto other = Load(i, folders[i]);
            if (other && other->state.tree.cdrom) ++number;
        }
        return number;
    }

    std::optional<std::int64_t> DiskLength(std::u16string_view path) override {
        bool cdrom = false;
        auto device = ForPath(path, cdrom);
        if (!device || cdrom) return std::nullopt;
        const DriveState& s = device->state;
        const std::uint64_t blocks = s.diskBlocks / (s.blockLength / 512);
        return static_cast<std::int64_t>(blocks * s.blockLength);
    }

    std::optional<std::uint8_t> StorageBusType(std::u16string_view path) override {
        bool cdrom = false;
        auto device = ForPath(path, cdrom);
        if (!device) return std::nullopt;
        return device->state.tree.busType;
    }

    std::optional<UsbPortIdentity> UsbIdentity(DevNode usbNode) override {
        auto device = ForNode(usbNode);
        if (!device || (usbNode & 0xF) != kUsbDevice) return std::nullopt;
        const EmulatedTreeSettings& t = device->state.tree;
        if (t.portIdentity == EmulatedPortIdentity::None) return std::nullopt;
        const EmulatedUsbIdentity& usb = device->state.usb;
        UsbPortIdentity identity;
        identity.vendorId = usb.vendorId;
        identity.productId = usb.productId;
        identity.manufacturer = usb.manufacturer;
        identity.product = usb.product;
        if (t.portIdentity == EmulatedPortIdentity::Full) identity.serialNumber = usb.serialNumber;
        return identity;
    }

    // Each device folder is a port of the emulated root hub, named by the folder.
    std::optional<std::u16string> UsbPort(DevNode usbNode) override {
        auto device = ForNode(usbNode);
        if (!device) return std::nullopt;
        return Utf8ToUtf16(device->folder.filename().string());
    }

    std::optional<std::uint64_t> NodeIdentity(std::u16string_view path) override {
        bool cdrom = false;
        if (!ForPath(path, cdrom)) return std::nullopt;
        return EmulatedNodeIdentity(path);
    }

  private:
    // The device listed as `listed` as it is now; a restarting drive whose time is up has
    // started. Nothing is saved: whoever next uses the drive settles it the same way.
    std::optional<Device> Load(std::size_t index, const Listed& listed) {
        std::optional<DriveState> state = Parse(listed);
        if (!state) return std::nullopt;
        Device device;
        device.index = index;
        device.folder = listed.folder;
        const std::uint64_t now = clock_->NowMs();
        if (state->bus == EmulatedBus::Restarting && now >= state->returnAtMs) {
            DriveFolderLock lock(listed.folder);
            if (!lock.ok()) return std::nullopt;
            auto drive = LoadDrive(listed.folder, nullptr);
            if (!drive) return std::nullopt;
            BridgeChip(*drive, now).Settle();
            device.state = std::move(drive->state);
        } else {
            device.state = std::move(*state);
        }
        return device;
    }

    // The state a state file's text gives; the same text is parsed once.
    std::optional<DriveState> Parse(const Listed& listed) {
        std::lock_guard<std::mutex> hold(mutex_);
        auto& [text, state] = parsed_[listed.folder];
        if (text != listed.stateText || !state) {
            text = listed.stateText;
            state = ParseDriveState(text, nullptr);
        }
        return state;
    }

    // The present device a node belongs to, when the node is still one of its nodes.
    std::optional<Device> ForNode(DevNode node) {
        auto parts = SplitNode(node);
        if (!parts) return std::nullopt;
        auto folders = ListDevices(root_);
        if (parts->index >= folders.size()) return std::nullopt;
        auto device = Load(parts->index, folders[parts->index]);
        if (!device || !device->present() || (device->state.session & 0xFFFF) != parts->session ||
            !device->Has(parts->role)) {
            return std::nullopt;
        }
        return device;
    }

    // The present device an interface path opens, when that interface opens now.
    std::optional<Device> ForPath(std::u16string_view path, bool& cdrom) {
        const EmulatedInterfacePath where = SplitEmulatedInterfacePath(path);
        cdrom = where.cdrom;
        const fs::path wanted = where.folder.lexically_normal();
        auto folders = ListDevices(root_);
        for (std::size_t i = 0; i < folders.size(); ++i) {
            if (folders[i].folder.lexically_normal() != wanted) continue;
            auto device = Load(i, folders[i]);
            if (!device || !device->present() || device->state.tree.refuseOpen ||
                (cdrom && !device->state.tree.cdrom)) {
                return std::nullopt;
            }
            return device;
        }
        return std::nullopt;
    }

    fs::path root_;
    std::shared_ptr<EmulatorClock> clock_;
    std::mutex mutex_;
    std::map<DevNode, std::uint32_t> installReads_;
    std::map<fs::path, std::pair<std::string, std::optional<DriveState>>> parsed_;
};

}  // namespace

std::vector<fs::path> EmulatedDeviceFolders(const fs::path& root) {
    std::vector<fs::path> folders;
    for (Listed& listed : ListDevices(root)) folders.push_back(std::move(listed.folder));
    return folders;
}

std::shared_ptr<EmulatorDeviceTree> MakeEmulatorDeviceTree(fs::path root,
                                                   std::shared_ptr<EmulatorClock> clock) {
    return std::make_shared<FolderTree>(std::move(root), std::move(clock));
}

}  // namespace mox3
