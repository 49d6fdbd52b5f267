// The device tree over sysfs: block devices, their SCSI and USB ancestors, ports and ids.
// Size: one walk of one tree; the sysfs attributes it reads are read nowhere else.
#include "discovery/device_tree_sysfs.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <fstream>
#include <limits>
#include <map>
#include <mutex>
#include <utility>

#include "base/text.h"

namespace mox3 {

namespace {

namespace fs = std::filesystem;

// sysfs attributes are at most a page; anything longer is not an attribute we understand.
constexpr std::size_t kMaxAttributeBytes = 4096;
constexpr std::uint32_t kUsbClassHub = 0x09;
constexpr std::uint8_t kBusTypeUnknown = 0x00;
constexpr std::uint8_t kBusTypeSata = 0x0B;
// Bounds the parent walks of Locate over a tree that might loop through odd symlinks.
constexpr int kMaxWalkDepth = 32;

enum class Kind { Other, Block, UsbDevice, UsbInterface, ScsiLevel };

std::string_view Trim(std::string_view text) {
    const auto space = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
    while (!text.empty() && space(text.front())) text.remove_prefix(1);
    while (!text.empty() && space(text.back())) text.remove_suffix(1);
    return text;
}

std::optional<std::uint64_t> ParseUnsigned(std::string_view text, int base) {
    text = Trim(text);
    std::uint64_t value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

bool AllDigits(std::string_view text) {
    return !text.empty() && text.size() <= 9 &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// "a:b:c:d" with decimal fields, `count` of them.
bool IsNumberTuple(std::string_view text, int count) {
    for (int i = 0; i < count; ++i) {
        std::size_t colon = i + 1 < count ? text.find(':') : text.size();
        if (colon == std::string_view::npos || !AllDigits(text.substr(0, colon))) return false;
        text.remove_prefix(std::min(colon + 1, text.size()));
    }
    return true;
}

bool IsScsiAddress(std::string_view name) {
    return IsNumberTuple(name, 4);
}

bool IsScsiLevelName(std::string_view name) {
    if (name.starts_with("host")) return AllDigits(name.substr(4));
    if (name.starts_with("target")) return IsNumberTuple(name.substr(6), 3);
    return IsScsiAddress(name);
}

bool IsAtaPortName(std::string_view name) {
    return name.starts_with("ata") && AllDigits(name.substr(3));
}

struct BlockName {
    InterfaceClass cls;
    std::uint32_t number;  // sda = 0, sdz = 25, sdaa = 26; srN = N
};

std::optional<BlockName> ParseBlockName(std::string_view name) {
    if (name.starts_with("sr") && AllDigits(name.substr(2))) {
        return BlockName{InterfaceClass::CdRom,
                         static_cast<std::uint32_t>(*ParseUnsigned(name.substr(2), 10))};
    }
    if (!name.starts_with("sd")) return std::nullopt;
    std::string_view letters = name.substr(2);
    if (letters.empty() || letters.size() > 6) return std::nullopt;
    std::uint32_t n = 0;
    for (char c : letters) {
        if (c < 'a' || c > 'z') return std::nullopt;
        n = n * 26 + static_cast<std::uint32_t>(c - 'a' + 1);
    }
    return BlockName{InterfaceClass::Disk, n - 1};
}

std::optional<std::string> ReadAttribute(const fs::path& dir, std::string_view name) {
    std::error_code ec;
    fs::path file = dir / name;
    if (!fs::is_regular_file(file, ec)) return std::nullopt;
    std::ifstream in(file, std::ios::binary);
    if (!in) return std::nullopt;
    std::string text(kMaxAttributeBytes, '\0');
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    if (in.bad()) return std::nullopt;
    text.resize(static_cast<std::size_t>(in.gcount()));
    if (!text.empty() && text.back() == '\n') text.pop_back();
    return text;
}

std::optional<std::uint64_t> ReadNumber(const fs::path& dir, std::string_view name, int base) {
    auto text = ReadAttribute(dir, name);
    return text ? ParseUnsigned(*text, base) : std::nullopt;
}

std::string UeventValue(const fs::path& dir, std::string_view key) {
    auto text = ReadAttribute(dir, "uevent");
    if (!text) return {};
    std::string_view rest = *text;
    while (!rest.empty()) {
        std::size_t end = std::min(rest.find('\n'), rest.size());
        std::string_view line = rest.substr(0, end);
        if (line.size() > key.size() && line.starts_with(key) && line[key.size()] == '=') {
            return std::string(Trim(line.substr(key.size() + 1)));
        }
        rest.remove_prefix(std::min(end + 1, rest.size()));
    }
    return {};
}

// Every device directory of sysfs carries a uevent file; the helper directories between them
// (block/, scsi_host/, power/) do not.
bool IsDeviceDir(const fs::path& dir) {
    std::error_code ec;
    return fs::is_regular_file(dir / "uevent", ec);
}

Kind KindOf(const fs::path& dir) {
    std::string type = UeventValue(dir, "DEVTYPE");
    if (type == "disk") return Kind::Block;
    if (type == "usb_device") return Kind::UsbDevice;
    if (type == "usb_interface") return Kind::UsbInterface;
    if (type == "scsi_device" || type == "scsi_target" || type == "scsi_host") {
        return Kind::ScsiLevel;
    }
    if (type.empty() && dir.parent_path().filename() == "block") return Kind::Block;
    if (IsScsiLevelName(dir.filename().string())) return Kind::ScsiLevel;
    return Kind::Other;
}

std::optional<fs::path> Canonical(const fs::path& p) {
    std::error_code ec;
    fs::path c = fs::canonical(p, ec);
    if (ec || !fs::is_directory(c, ec)) return std::nullopt;
    return c;
}

// True when `p` lies strictly below `root`.
bool Below(const fs::path& p, const fs::path& root) {
    auto [r, q] = std::mismatch(root.begin(), root.end(), p.begin(), p.end());
    return r == root.end() && q != p.end();
}

// Child directories (not symlinks) of `dir`, by name.
std::vector<fs::path> ChildDirs(const fs::path& dir) {
    std::vector<fs::path> children;
    std::error_code ec;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        std::error_code ignored;
        if (!it->is_symlink(ignored) && it->is_directory(ignored)) children.push_back(it->path());
    }
    std::sort(children.begin(), children.end());
    return children;
}

// Entries of a listing directory (/sys/block, /sys/bus/usb/devices) by name; nothing when the
// directory cannot be read.
std::optional<std::vector<std::string>> ListNames(const fs::path& dir) {
    std::error_code ec;
    fs::directory_iterator it(dir, ec);
    if (ec) return std::nullopt;
    std::vector<std::string> names;
    for (fs::directory_iterator end; !ec && it != end; it.increment(ec)) {
        names.push_back(it->path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

bool EqualsIgnoreCase(std::string_view a, std::string_view b) {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [&](char x, char y) { return lower(x) == lower(y); });
}

struct UsbIds {
    std::uint16_t vendor;
    std::uint16_t product;
};

std::optional<UsbIds> ReadUsbIds(const fs::path& usbDevice) {
    auto vendor = ReadNumber(usbDevice, "idVendor", 16);
    auto product = ReadNumber(usbDevice, "idProduct", 16);
    if (!vendor || !product || *vendor > 0xFFFF || *product > 0xFFFF) return std::nullopt;
    return UsbIds{static_cast<std::uint16_t>(*vendor), static_cast<std::uint16_t>(*product)};
}

std::string VidPid(const UsbIds& ids) {
    return Utf16ToUtf8(UsbIdPrefix(ids.vendor, ids.product));
}

// A serial number serves as instance name only when it is plain printable ASCII that cannot
// break the id apart.
bool UsableSerial(std::string_view serial) {
    return !serial.empty() && serial.size() <= 255 &&
           std::all_of(serial.begin(), serial.end(),
                       [](char c) { return c > 0x20 && c < 0x7F && c != ',' && c != '\\'; });
}

// An INQUIRY text as an id field: trimmed, cut to the field's width, blanks and odd characters
// as '_'.
std::string IdField(const std::optional<std::string>& text, std::size_t width) {
    std::string field(Trim(text.value_or("")).substr(0, width));
    for (char& c : field) {
        if (c <= 0x20 || c >= 0x7F || c == ',' || c == '\\') c = '_';
    }
    return field;
}

class SysfsDeviceTree final : public DeviceTree {
  public:
    SysfsDeviceTree(fs::path sysfsRoot, fs::path devRoot) : devRoot_(std::move(devRoot)) {
        std::error_code ec;
        root_ = fs::weakly_canonical(sysfsRoot, ec);
        if (ec) root_ = sysfsRoot.lexically_normal();
        if (!root_.has_filename()) root_ = root_.parent_path();
    }

    std::optional<std::vector<DeviceInterface>> PresentInterfaces(InterfaceClass cls) override {
        if (cls == InterfaceClass::UsbHub) return Hubs();
        auto names = ListNames(root_ / "block");
        if (!names) return std::nullopt;
        std::vector<std::pair<std::uint32_t, std::string>> found;
        for (const std::string& name : *names) {
            auto parsed = ParseBlockName(name);
            std::error_code ec;
            if (!parsed || parsed->cls != cls ||
                fs::exists(root_ / "block" / name / "partition", ec)) {
                continue;
            }
            found.emplace_back(parsed->number, name);
        }
        std::sort(found.begin(), found.end());
        std::vector<DeviceInterface> interfaces;
        for (const auto& [number, name] : found) {
            auto dir = Canonical(root_ / "block" / name);
            if (!dir) continue;
            interfaces.push_back({Utf8ToUtf16((devRoot_ / name).string()), NodeOf(*dir)});
        }
        return interfaces;
    }

    bool Parent(DevNode node, DevNode& parent) override {
        auto dir = DirOf(node);
        auto up = dir ? ParentDir(*dir) : std::nullopt;
        if (!up) return false;
        parent = NodeOf(*up);
        return true;
    }

    bool DeviceId(DevNode node, std::u16string& id) override {
        auto dir = DirOf(node);
        auto text = dir ? IdOf(*dir) : std::nullopt;
        if (!text) return false;
        id = Utf8ToUtf16(*text);
        return true;
    }

    bool Locate(std::u16string_view deviceId, DevNode& node) override {
        std::string wanted = Utf16ToUtf8(deviceId);
        if (wanted.empty()) return false;
        std::vector<fs::path> candidates;
        {
            std::lock_guard lock(mutex_);
            candidates = paths_;
        }
        // Every node the tree can reach: the block devices with their parent chains, and
        // every USB device of the bus.
        for (const std::string& name :
             ListNames(root_ / "block").value_or(std::vector<std::string>{})) {
            if (!ParseBlockName(name)) continue;
            auto dir = Canonical(root_ / "block" / name);
            for (int depth = 0; dir && depth < kMaxWalkDepth; ++depth) {
                candidates.push_back(*dir);
                dir = ParentDir(*dir);
            }
        }
        for (const std::string& name :
             ListNames(UsbBusDir()).value_or(std::vector<std::string>{})) {
            if (auto dir = Canonical(UsbBusDir() / name)) candidates.push_back(*dir);
        }
        for (const fs::path& dir : candidates) {
            auto id = IdOf(dir);
            if (id && EqualsIgnoreCase(*id, wanted)) {
                node = NodeOf(dir);
                return true;
            }
        }
        return false;
    }

    std::optional<std::uint32_t> InstallState(DevNode node) override {
        auto dir = DirOf(node);
        if (!dir) return std::nullopt;
        std::error_code ec;
        bool bound = KindOf(*dir) == Kind::Block
                         ? !Trim(ReadAttribute(*dir, "dev").value_or("")).empty()
                         : fs::exists(*dir / "driver", ec);
        if (!bound) return std::nullopt;
        return kInstallStateInstalled;
    }

    std::optional<std::uint32_t> StorageDeviceNumber(std::u16string_view path) override {
        auto block = BlockOf(path);
        if (!block) return std::nullopt;
        return block->second.number;
    }

    std::optional<std::int64_t> DiskLength(std::u16string_view path) override {
        auto block = BlockOf(path);
        auto sectors = block ? ReadNumber(block->first, "size", 10) : std::nullopt;
        constexpr std::uint64_t kMaxSectors =
            static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) / 512;
        if (!sectors || *sectors > kMaxSectors) return std::nullopt;
        return static_cast<std::int64_t>(*sectors * 512);
    }

    std::optional<std::uint8_t> StorageBusType(std::u16string_view path) override {
        auto block = BlockOf(path);
        if (!block) return std::nullopt;
        if (HasUsbAncestor(block->first)) return kBusTypeUsb;
        for (fs::path p = block->first.parent_path(); Below(p, root_); p = p.parent_path()) {
            if (IsAtaPortName(p.filename().string())) return kBusTypeSata;
        }
        return kBusTypeUnknown;
    }

    // The hub's ports are its child USB devices; `usbNode` is not needed to find the port.
    std::optional<UsbPortIdentity> UsbIdentity(DevNode hubNode, DevNode /*usbNode*/,
                                               std::u16string_view usbDeviceId) override {
        auto hub = DirOf(hubNode);
        if (!hub) return std::nullopt;
        std::string wanted = Utf16ToUtf8(usbDeviceId);
        for (const fs::path& child : ChildDirs(*hub)) {
            if (KindOf(child) != Kind::UsbDevice) continue;
            auto id = IdOf(child);
            if (!id || !EqualsIgnoreCase(*id, wanted)) continue;
            auto ids = ReadUsbIds(child);
            if (!ids) return std::nullopt;
            UsbPortIdentity identity;
            identity.vendorId = ids->vendor;
            identity.productId = ids->product;
            const auto text = [&](const char* name) -> std::optional<std::u16string> {
                auto value = ReadAttribute(child, name);
                if (!value) return std::nullopt;
                return Utf8ToUtf16(*value);
            };
            identity.manufacturer = text("manufacturer");
            identity.product = text("product");
            identity.serialNumber = text("serial");
            return identity;
        }
        return std::nullopt;
    }

    // A USB device's sysfs name is its bus number and port chain ("2-1.3"): it stays with the
    // port while devices come and go.
    std::optional<std::u16string> UsbPort(DevNode usbNode) override {
        auto dir = DirOf(usbNode);
        if (!dir || KindOf(*dir) != Kind::UsbDevice) return std::nullopt;
        return Utf8ToUtf16(dir->filename().string());
    }

    // The block device's "dev" attribute, "major:minor".
    std::optional<std::uint64_t> NodeIdentity(std::u16string_view path) override {
        auto block = BlockOf(path);
        if (!block) return std::nullopt;
        const std::string dev(Trim(ReadAttribute(block->first, "dev").value_or("")));
        const std::size_t colon = dev.find(':');
        if (colon == std::string::npos) return std::nullopt;
        auto major = ParseUnsigned(dev.substr(0, colon), 10);
        auto minor = ParseUnsigned(dev.substr(colon + 1), 10);
        if (!major || !minor || *major > 0xFFFFFFFFu || *minor > 0xFFFFFFFFu) return std::nullopt;
        return *major << 32 | *minor;
    }

  private:
    fs::path UsbBusDir() const { return root_ / "bus" / "usb" / "devices"; }

    DevNode NodeOf(const fs::path& dir) {
        std::lock_guard lock(mutex_);
        auto [it, added] = nodes_.try_emplace(dir, static_cast<DevNode>(paths_.size() + 1));
        if (added) paths_.push_back(dir);
        return it->second;
    }

    // The directory of a node while it still exists.
    std::optional<fs::path> DirOf(DevNode node) {
        fs::path dir;
        {
            std::lock_guard lock(mutex_);
            if (node == kNoNode || node > paths_.size()) return std::nullopt;
            dir = paths_[node - 1];
        }
        std::error_code ec;
        if (!fs::is_directory(dir, ec)) return std::nullopt;
        return dir;
    }

    // The nearest device directory above `dir`, inside the sysfs root.
    std::optional<fs::path> DeviceParent(const fs::path& dir) const {
        for (fs::path p = dir.parent_path(); Below(p, root_); p = p.parent_path()) {
            if (IsDeviceDir(p)) return p;
        }
        return std::nullopt;
    }

    std::optional<fs::path> ParentDir(const fs::path& dir) const {
        if (KindOf(dir) != Kind::Block) return DeviceParent(dir);
        auto p = DeviceParent(dir);
        while (p && KindOf(*p) == Kind::ScsiLevel) p = DeviceParent(*p);
        if (p && KindOf(*p) == Kind::UsbInterface) {
            auto device = DeviceParent(*p);
            if (device && KindOf(*device) == Kind::UsbDevice && InterfaceCount(*device) == 1) {
                return device;
            }
        }
        return p;
    }

    // bNumInterfaces, or the interface directories present when it cannot be read.
    static std::uint64_t InterfaceCount(const fs::path& usbDevice) {
        if (auto n = ReadNumber(usbDevice, "bNumInterfaces", 10)) return *n;
        auto children = ChildDirs(usbDevice);
        return static_cast<std::uint64_t>(
            std::count_if(children.begin(), children.end(),
                          [](const fs::path& c) { return KindOf(c) == Kind::UsbInterface; }));
    }

    bool HasUsbAncestor(const fs::path& dir) const {
        for (fs::path p = dir.parent_path(); Below(p, root_); p = p.parent_path()) {
            if (KindOf(p) == Kind::UsbDevice) return true;
        }
        return false;
    }

    // The directory and name of the block device an interface path names.
    std::optional<std::pair<fs::path, BlockName>> BlockOf(std::u16string_view path) const {
        std::string name = fs::path(Utf16ToUtf8(path)).filename().string();
        auto parsed = ParseBlockName(name);
        auto dir = parsed ? Canonical(root_ / "block" / name) : std::nullopt;
        if (!dir) return std::nullopt;
        return std::pair{*dir, *parsed};
    }

    // The SCSI device (H:C:T:L) of a block device: its `device` link, else an ancestor.
    std::optional<fs::path> ScsiDeviceOf(const fs::path& block) const {
        auto linked = Canonical(block / "device");
        if (linked && IsScsiAddress(linked->filename().string())) return linked;
        for (fs::path p = block.parent_path(); Below(p, root_); p = p.parent_path()) {
            if (IsScsiAddress(p.filename().string())) return p;
        }
        return std::nullopt;
    }

    std::optional<std::string> IdOf(const fs::path& dir) const {
        std::error_code ec;
        if (!fs::is_directory(dir, ec)) return std::nullopt;
        std::string name = dir.filename().string();
        switch (KindOf(dir)) {
            case Kind::Block:
                return BlockId(dir);
            case Kind::UsbDevice: {
                auto parent = DeviceParent(dir);
                if (!parent || KindOf(*parent) != Kind::UsbDevice) {
                    auto speed = ReadNumber(dir, "speed", 10).value_or(0);
                    const char* hub = speed >= 5000  ? "ROOT_HUB30"
                                      : speed == 480 ? "ROOT_HUB20"
                                                     : "ROOT_HUB";
                    return std::string("USB\\") + hub + "\\" + name;
                }
                auto ids = ReadUsbIds(dir);
                if (!ids) return std::nullopt;
                auto serial = ReadAttribute(dir, "serial");
                return VidPid(*ids) + "\\" + (serial && UsableSerial(*serial) ? *serial : name);
            }
            case Kind::UsbInterface: {
                auto device = DeviceParent(dir);
                auto ids = device ? ReadUsbIds(*device) : std::nullopt;
                auto number = ReadNumber(dir, "bInterfaceNumber", 16);
                if (!ids || !number || *number > 0xFF) return std::nullopt;
                char mi[16];
                std::snprintf(mi, sizeof mi, "&MI_%02X\\", static_cast<unsigned>(*number));
                return VidPid(*ids) + mi + name;
            }
            case Kind::ScsiLevel:
            case Kind::Other:
                break;
        }
        std::string subsystem = fs::read_symlink(dir / "subsystem", ec).filename().string();
        if (ec || subsystem.empty()) subsystem = "sysfs";
        std::transform(subsystem.begin(), subsystem.end(), subsystem.begin(),
                       [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; });
        return subsystem + "\\" + name;
    }

    std::optional<std::string> BlockId(const fs::path& block) const {
        auto scsi = ScsiDeviceOf(block);
        if (!scsi) return std::nullopt;
        std::string address = scsi->filename().string();  // H:C:T:L
        std::size_t last = address.rfind(':');
        std::string instance = address.substr(0, last) + "&" + address.substr(last + 1);
        std::replace(instance.begin(), instance.end(), ':', '_');
        bool cdrom = block.filename().string().starts_with("sr");
        return std::string(HasUsbAncestor(block) ? "USBSTOR\\" : "SCSI\\") +
               (cdrom ? "CDROM" : "DISK") + "&VEN_" + IdField(ReadAttribute(*scsi, "vendor"), 8) +
               "&PROD_" + IdField(ReadAttribute(*scsi, "model"), 16) + "&REV_" +
               IdField(ReadAttribute(*scsi, "rev"), 4) + "\\" + instance;
    }

    std::optional<std::vector<DeviceInterface>> Hubs() {
        auto names = ListNames(UsbBusDir());
        if (!names) return std::nullopt;
        std::vector<DeviceInterface> hubs;
        for (const std::string& name : *names) {
            auto dir = Canonical(UsbBusDir() / name);
            if (!dir || KindOf(*dir) != Kind::UsbDevice ||
                ReadNumber(*dir, "bDeviceClass", 16) != kUsbClassHub) {
                continue;
            }
            hubs.push_back({Utf8ToUtf16(dir->string()), NodeOf(*dir)});
        }
        return hubs;
    }

    fs::path root_;
    fs::path devRoot_;
    std::mutex mutex_;
    std::vector<fs::path> paths_;  // node n is paths_[n - 1]
    std::map<fs::path, DevNode> nodes_;
};

}  // namespace

std::shared_ptr<DeviceTree> MakeSysfsDeviceTree(std::filesystem::path sysfsRoot,
                                                std::filesystem::path devRoot) {
    return std::make_shared<SysfsDeviceTree>(std::move(sysfsRoot), std::move(devRoot));
}

}  // namespace mox3
