// The device tree over sysfs: block devices, their SCSI and USB ancestors and ports.
#include "discovery/device_tree_sysfs.h"

#include <algorithm>
#include <charconv>
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

std::optional<UsbIds> ReadUsbIds(const fs::path& usbDevice) {
    auto vendor = ReadNumber(usbDevice, "idVendor", 16);
    auto product = ReadNumber(usbDevice, "idProduct", 16);
    if (!vendor || !product || *vendor > 0xFFFF || *product > 0xFFFF) return std::nullopt;
    return UsbIds{static_cast<std::uint16_t>(*vendor), static_cast<std::uint16_t>(*product)};
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

    // A disk's USB device is its parent, or the parent of the USB interface it hangs on.
    std::optional<DevNode> UsbDeviceOf(DevNode interfaceNode) override {
        auto dir = DirOf(interfaceNode);
        if (!dir || KindOf(*dir) != Kind::Block) return std::nullopt;
        auto up = DeviceParent(*dir);
        while (up && KindOf(*up) == Kind::ScsiLevel) up = DeviceParent(*up);
        if (up && KindOf(*up) == Kind::UsbInterface) up = DeviceParent(*up);
        if (!up || KindOf(*up) != Kind::UsbDevice || !DeviceParent(*up)) return std::nullopt;
        return NodeOf(*up);
    }

    std::optional<UsbIds> UsbDeviceIds(DevNode usbNode) override {
        auto dir = UsbDeviceDir(usbNode);
        return dir ? ReadUsbIds(*dir) : std::nullopt;
    }

    // The USB device's descriptors as the kernel read them from its port.
    std::optional<UsbPortIdentity> UsbIdentity(DevNode usbNode) override {
        auto dir = UsbDeviceDir(usbNode);
        auto ids = dir ? ReadUsbIds(*dir) : std::nullopt;
        if (!ids) return std::nullopt;
        UsbPortIdentity identity;
        identity.vendorId = ids->vendorId;
        identity.productId = ids->productId;
        const auto text = [&](const char* name) -> std::optional<std::u16string> {
            auto value = ReadAttribute(*dir, name);
            if (!value) return std::nullopt;
            return Utf8ToUtf16(*value);
        };
        identity.manufacturer = text("manufacturer");
        identity.product = text("product");
        identity.serialNumber = text("serial");
        return identity;
    }

    // The L of the SCSI address H:C:T:L.
    std::optional<std::int32_t> LogicalUnit(DevNode interfaceNode) override {
        auto dir = DirOf(interfaceNode);
        auto scsi = dir && KindOf(*dir) == Kind::Block ? ScsiDeviceOf(*dir) : std::nullopt;
        if (!scsi) return std::nullopt;
        const std::string address = scsi->filename().string();
        auto lun = ParseUnsigned(std::string_view(address).substr(address.rfind(':') + 1), 10);
        if (!lun || *lun > 0x7FFFFFFF) return std::nullopt;
        return static_cast<std::int32_t>(*lun);
    }

    // A disk is set up once the kernel gave it a device number; nothing can be told before.
    std::optional<bool> Ready(DevNode interfaceNode) override {
        auto dir = DirOf(interfaceNode);
        if (!dir || Trim(ReadAttribute(*dir, "dev").value_or("")).empty()) return std::nullopt;
        return true;
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

    std::optional<bool> OnUsbBus(std::u16string_view path) override {
        auto block = BlockOf(path);
        if (!block) return std::nullopt;
        return HasUsbAncestor(block->first);
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
    DevNode NodeOf(const fs::path& dir) {
        std::lock_guard lock(mutex_);
        auto [it, added] = nodes_.try_emplace(dir, static_cast<DevNode>(paths_.size() + 1));
        if (added) paths_.push_back(dir);
        return it->second;
    }

    std::optional<fs::path> UsbDeviceDir(DevNode node) {
        auto dir = DirOf(node);
        if (!dir || KindOf(*dir) != Kind::UsbDevice) return std::nullopt;
        return dir;
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
