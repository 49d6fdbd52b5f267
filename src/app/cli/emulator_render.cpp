#include "app/cli/emulator_render.h"

#include <cstdio>
#include <map>
#include <utility>
#include <vector>

#include "base/text.h"
#include "config/block_decode.h"
#include "discovery/device_tree.h"
#include "emulator/emulator_tree.h"

namespace mox3 {

namespace fs = std::filesystem;

std::string Hex(std::uint32_t value, int digits) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%0*X", digits, value);
    return buf;
}

// The device's place in the host's tree, in words; settings at their defaults are left out
// except the first three.
std::string TreeText(const EmulatedTreeSettings& t) {
    std::string text = t.attached ? "plugged in" : "unplugged";
    text += t.cdrom ? "; CD-ROM and disk interfaces" : "; disk interface";
    text += "; USB device " + std::to_string(t.usbLevels) +
            (t.usbLevels == 1 ? " level up" : " levels up");
    if (t.usbLevels > 1) text += t.composite ? " (composite)" : " (not composite)";
    if (t.portIdentity == EmulatedPortIdentity::NoSerial) text += "; serial request fails";
    if (t.portIdentity == EmulatedPortIdentity::None) text += "; hub port not found";
    if (t.lowerCaseIds) text += "; lower-case ids";
    if (t.busType != kBusTypeUsb) text += "; bus type " + std::to_string(t.busType);
    if (t.refuseOpen) text += "; refuses to open";
    if (t.deviceNumberFails) text += "; device number query fails";
    if (t.installPending > 0) {
        text += "; installing for " + std::to_string(t.installPending) + " install-state reads";
    }
    return text;
}

namespace {

std::string InquiryText(std::span<const std::uint8_t> bytes) {
    std::string text;
    for (std::uint8_t b : bytes) text.push_back(b >= 0x20 && b < 0x7F ? static_cast<char>(b) : '.');
    while (!text.empty() && (text.back() == ' ' || text.back() == '.')) text.pop_back();
    return text;
}

const char* BlockState(const EmulatedFlashReport& r) {
    return r.blockSealed ? "sealed" : r.blockErased ? "erased" : "broken";
}

const char* FirmwareState(const EmulatedFlashReport& r) {
    if (!r.firmwareAddressValid) return "no address";
    return r.firmwareIntact ? "intact" : r.firmwareErased ? "erased" : "broken";
}

void TreeJson(Json& j, const EmulatedTreeSettings& t) {
    Json& tree = j["tree"] = Json::object();
    tree["attached"] = t.attached;
    tree["cdrom"] = t.cdrom;
    tree["usbLevels"] = static_cast<std::int64_t>(t.usbLevels);
    tree["composite"] = t.composite;
    tree["portIdentity"] = EmulatedPortIdentityName(t.portIdentity);
    tree["lowerCaseIds"] = t.lowerCaseIds;
    tree["busType"] = static_cast<std::int64_t>(t.busType);
    tree["refuseOpen"] = t.refuseOpen;
    tree["deviceNumberFails"] = t.deviceNumberFails;
    tree["installPending"] = static_cast<std::int64_t>(t.installPending);
}

std::string NodeText(DevNode node) {
    return Hex(node, 8);
}


// What both showings of a drive work out from its view.
struct Shown {
    Shown(const EmulatedDriveView& view, std::uint64_t nowMs)
        : v(view), r(view.flashReport), bridge(!view.plainDisk),
          present(view.bus == EmulatedBus::Present && view.tree.attached),
          returnIn(view.returnAtMs > nowMs ? view.returnAtMs - nowMs : 0),
          version(r.versionFound ? EmulatedVersionText(r.versionBlock) : "") {
        // A flash too small to hold the block, or one whose block is erased, shows no block.
        if (bridge && !r.blockErased && r.blockAddress <= v.flash.size() &&
            v.flash.size() - r.blockAddress >= kConfigBlockSize) {
            block = DecodeConfigBlock(
                ConfigBlockView(v.flash.data() + r.blockAddress, kConfigBlockSize), v.generation);
        }
    }
    std::span<const std::uint8_t> Inquiry(std::size_t offset, std::size_t size) const {
        return std::span<const std::uint8_t>(v.inquiry.data() + offset, size);
    }

    const EmulatedDriveView& v;
    const EmulatedFlashReport& r;
    bool bridge;
    bool present;
    std::uint64_t returnIn;
    std::string version;
    std::optional<DecodedBlock> block;
};

}  // namespace

std::string LatencyText(const EmulatedLatency& l) {
    if (!l.on()) return "off";
    return std::to_string(l.requestUs) + " us a request, " + std::to_string(l.kibUs) +
           " us per KiB, " + std::to_string(l.pageUs) + " us per flash page";
}

void WriteDriveJson(Json& j, const fs::path& dir, const EmulatedDriveView& v,
                    const std::optional<std::string>& digest, std::uint64_t nowMs) {
    const Shown shown(v, nowMs);
    const EmulatedFlashReport& r = shown.r;
    const bool bridge = shown.bridge;
    const bool present = shown.present;
    const std::uint64_t returnIn = shown.returnIn;
    const std::optional<DecodedBlock>& block = shown.block;
    const std::string& version = shown.version;
    auto span36 = [&](std::size_t offset, std::size_t size) { return shown.Inquiry(offset, size); };

    j["drive"] = dir.string();
    j["kind"] = bridge ? "bridge" : "disk";
    if (bridge) {
        j["generation"] = static_cast<std::int64_t>(v.generation);
        j["chip"] = v.chipName;
        j["flashSize"] = static_cast<std::int64_t>(v.flashSize);
    }
    j["bus"] = EmulatedBusName(v.bus);
    if (v.bus == EmulatedBus::Restarting) j["returnInMs"] = static_cast<std::int64_t>(returnIn);
    if (v.bus == EmulatedBus::Absent) j["absentReason"] = v.absentReason;
    j["session"] = static_cast<std::int64_t>(v.session);
    TreeJson(j, v.tree);
    Json& host = j["host"];
    if (present) {
        host = Json::object();
        if (bridge) host["mode"] = v.loader ? "loader" : "normal";
        host["vendorId"] = Hex(v.usb.vendorId, 4);
        host["productId"] = Hex(v.usb.productId, 4);
        host["bcdDevice"] = Hex(v.usb.bcdDevice, 4);
        host["manufacturer"] = Utf16ToUtf8(v.usb.manufacturer);
        host["product"] = Utf16ToUtf8(v.usb.product);
        host["serialNumber"] = Utf16ToUtf8(v.usb.serialNumber);
        if (bridge) {
            host["firmwareVersion"] = v.firmwareVersion;
            host["versionBlock"] = HexString(v.versionBlock);
        }
        Json& inquiry = host["inquiry"] = Json::object();
        inquiry["vendor"] = InquiryText(span36(8, 8));
        inquiry["product"] = InquiryText(span36(16, 16));
        inquiry["revision"] = InquiryText(span36(32, 4));
        host["logicalBlockLength"] = static_cast<std::int64_t>(v.logicalBlockLength);
        host["logicalBlocks"] = static_cast<std::int64_t>(v.logicalBlocks);
    }
    if (bridge) {
        Json& state = j["bridge"] = Json::object();
        state["updateModeSelected"] = v.updateModeSelected;
        state["busyReadsLeft"] = static_cast<std::int64_t>(v.busyReadsLeft);
        state["nextLogicalBlockLength"] = static_cast<std::int64_t>(v.nextBlockLength);
        state["flashParameters"] = v.flashParameters ? Json(HexString(*v.flashParameters)) : Json();
        state["commandsTotal"] = static_cast<std::int64_t>(v.commandsTotal);
    } else {
        j["commandsTotal"] = static_cast<std::int64_t>(v.commandsTotal);
    }
    Json& disk = j["disk"] = Json::object();
    if (bridge) disk["serial"] = v.diskSerial;
    disk["blocks512"] = static_cast<std::int64_t>(v.diskBlocks);
    disk["bytes"] = static_cast<std::int64_t>(v.mediumBytes);
    disk["logicalBlockLength"] = static_cast<std::int64_t>(v.logicalBlockLength);
    disk["logicalBlocks"] = static_cast<std::int64_t>(v.logicalBlocks);
    if (digest) disk["digest"] = *digest;
    Json& latency = j["latency"];
    if (v.latency.on()) {
        latency["requestUs"] = static_cast<std::int64_t>(v.latency.requestUs);
        latency["kibUs"] = static_cast<std::int64_t>(v.latency.kibUs);
        latency["pageUs"] = static_cast<std::int64_t>(v.latency.pageUs);
    }
    j["faults"] = v.faults;
    if (!bridge) return;
    Json& flash = j["flash"] = Json::object();
    Json& blockJson = flash["block"] = Json::object();
    blockJson["address"] = static_cast<std::int64_t>(r.blockAddress);
    blockJson["state"] = BlockState(r);
    if (block && !block->descriptorSets.empty()) {
        const DescriptorSet& set = block->descriptorSets[0];
        blockJson["vendorId"] = Hex(set.vendorId, 4);
        blockJson["productId"] = Hex(set.productId, 4);
        blockJson["manufacturer"] = set.manufacturer.text;
        blockJson["product"] = set.product.text;
        blockJson["serialNumber"] = set.serialNumber.form == StringDescriptor::Form::FromDisk
                                        ? std::string("(from the disk)")
                                        : set.serialNumber.text;
    }
    Json& firmware = flash["firmware"] = Json::object();
    firmware["address"] = static_cast<std::int64_t>(r.firmwareAddress);
    firmware["state"] = FirmwareState(r);
    firmware["version"] = r.versionFound ? Json(version) : Json();
}

void WriteDriveText(std::ostream& out, const fs::path& dir, const EmulatedDriveView& v,
                    const std::optional<std::string>& digest, std::uint64_t nowMs) {
    const Shown shown(v, nowMs);
    const EmulatedFlashReport& r = shown.r;
    const bool bridge = shown.bridge;
    const bool present = shown.present;
    const std::uint64_t returnIn = shown.returnIn;
    const std::optional<DecodedBlock>& block = shown.block;
    const std::string& version = shown.version;
    auto span36 = [&](std::size_t offset, std::size_t size) { return shown.Inquiry(offset, size); };

    if (bridge) {
        out << "drive " << dir.string() << ": generation " << v.generation << ", chip "
            << v.chipName << ", flash " << v.flashSize << " bytes\n";
    } else {
        out << "disk " << dir.string() << ": a plain USB disk without the bridge\n";
    }
    out << "bus: " << EmulatedBusName(v.bus);
    if (v.bus == EmulatedBus::Restarting) out << " (back in " << returnIn << " ms)";
    if (v.bus == EmulatedBus::Absent) out << " (" << v.absentReason << "; power-cycle it)";
    out << "\n";
    out << "host tree: " << TreeText(v.tree) << "\n";
    if (present) {
        if (bridge) out << "mode: " << (v.loader ? "update loader" : "normal firmware") << "\n";
        out << "USB: " << Hex(v.usb.vendorId, 4) << ":" << Hex(v.usb.productId, 4) << " bcdDevice "
            << Hex(v.usb.bcdDevice, 4) << ", \"" << Utf16ToUtf8(v.usb.manufacturer) << "\" \""
            << Utf16ToUtf8(v.usb.product) << "\" serial \"" << Utf16ToUtf8(v.usb.serialNumber)
            << "\"\n";
        if (bridge) out << "firmware version: " << v.firmwareVersion << "\n";
        out << "INQUIRY: \"" << InquiryText(span36(8, 8)) << "\" \"" << InquiryText(span36(16, 16))
            << "\" \"" << InquiryText(span36(32, 4)) << "\"\n"
            << "capacity: " << v.logicalBlocks << " blocks of " << v.logicalBlockLength
            << " bytes\n";
    }
    auto medium = [&] {
        out << "disk: " << v.mediumBytes << " bytes (" << v.diskBlocks << " 512-byte units) in "
            << kEmulatedMediumFile << ", " << v.logicalBlocks << " blocks of "
            << v.logicalBlockLength << " bytes\n";
        if (digest) out << "disk digest: " << *digest << "\n";
        if (v.latency.on()) out << "latency: " << LatencyText(v.latency) << "\n";
    };
    if (!bridge) {
        medium();
        for (const std::string& f : v.faults) out << "fault: " << f << "\n";
        return;
    }
    if (v.updateModeSelected) out << "pending: update mode selected\n";
    if (v.nextBlockLength != v.logicalBlockLength) {
        out << "pending: " << v.nextBlockLength << "-byte blocks at the next start\n";
    }
    if (v.busyReadsLeft > 0) out << "busy for " << v.busyReadsLeft << " more status reads\n";
    out << "disk: serial \"" << v.diskSerial << "\"\n";
    medium();
    for (const std::string& f : v.faults) out << "fault: " << f << "\n";
    out << "flash: configuration block at " << r.blockAddress << " " << BlockState(r);
    if (block && !block->descriptorSets.empty()) {
        const DescriptorSet& set = block->descriptorSets[0];
        out << ", " << Hex(set.vendorId, 4) << ":" << Hex(set.productId, 4) << " \""
            << set.manufacturer.text << "\" \"" << set.product.text << "\"";
    }
    out << "\nflash: firmware at " << r.firmwareAddress << " " << FirmwareState(r);
    if (r.versionFound) out << ", version " << version;
    out << "\n";
}

void WriteDeviceList(const fs::path& root, const std::shared_ptr<EmulatorClock>& clock, bool json,
                     std::ostream& out, Json& j) {
    auto tree = MakeEmulatorDeviceTree(root, clock);

    struct Interface {
        const char* kind;
        DeviceInterface where;
    };
    std::map<std::string, std::vector<Interface>> byFolder;
    for (auto [cls, kind] :
         {std::pair{InterfaceClass::CdRom, "cdrom"}, std::pair{InterfaceClass::Disk, "disk"}}) {
        for (const DeviceInterface& i :
             tree->PresentInterfaces(cls).value_or(std::vector<DeviceInterface>{})) {
            byFolder[SplitEmulatedInterfacePath(i.path).folder.string()].push_back({kind, i});
        }
    }
    auto idOf = [&](DevNode node) {
        std::u16string id;
        return tree->DeviceId(node, id) ? Utf16ToUtf8(id) : std::string();
    };

    Json devices = Json::array();
    if (json) {
        j["root"] = root.string();
        Json& hub = j["hub"] = Json::object();
        hub["node"] = NodeText(kEmulatedRootHubNode);
        hub["id"] = idOf(kEmulatedRootHubNode);
    } else {
        out << "root hub: node " << NodeText(kEmulatedRootHubNode) << " "
            << idOf(kEmulatedRootHubNode) << "\n";
    }
    for (const fs::path& folder : EmulatedDeviceFolders(root)) {
        std::string why;
        auto view = InspectEmulatedDrive(folder, *clock, &why);
        std::string state = !view                               ? "unreadable: " + why
                            : !view->tree.attached              ? "unplugged"
                            : view->bus == EmulatedBus::Present ? "present"
                                                                : EmulatedBusName(view->bus);
        std::string kind = !view ? "?" : view->plainDisk ? "disk" : "bridge";
        std::string mode = view && !view->plainDisk ? (view->loader ? "loader" : "normal") : "";
        Json device = Json::object();
        if (json) {
            device["folder"] = folder.string();
            device["kind"] = kind;
            device["state"] = state;
            if (!mode.empty()) device["mode"] = mode;
            device["interfaces"] = Json::array();
        } else {
            out << folder.filename().string() << ": " << kind << (mode.empty() ? "" : ", ") << mode
                << (mode.empty() ? "" : " mode") << ", " << state << "\n";
        }
        DevNode usbNode = kNoNode;
        for (const Interface& i : byFolder[folder.string()]) {
            auto number = tree->StorageDeviceNumber(i.where.path);
            auto length = tree->DiskLength(i.where.path);
            auto bus = tree->StorageBusType(i.where.path);
            auto install = tree->InstallState(i.where.node);
            std::vector<std::pair<DevNode, std::string>> parents;
            for (DevNode node = i.where.node, parent = kNoNode; tree->Parent(node, parent);
                 node = parent) {
                parents.emplace_back(parent, idOf(parent));
                if (parent != kEmulatedRootHubNode) usbNode = parent;
            }
            if (json) {
                Json& o = device["interfaces"].emplace_back(Json::object());
                o["class"] = i.kind;
                o["path"] = Utf16ToUtf8(i.where.path);
                o["node"] = NodeText(i.where.node);
                o["id"] = idOf(i.where.node);
                Json& list = o["parents"] = Json::array();
                for (const auto& [node, id] : parents) {
                    Json& p = list.emplace_back(Json::object());
                    p["node"] = NodeText(node);
                    p["id"] = id;
                }
                o["deviceNumber"] = number ? Json(*number) : Json();
                o["diskLength"] = length ? Json(*length) : Json();
                o["busType"] = bus ? Json(*bus) : Json();
                o["installState"] = install ? Json(*install) : Json();
                continue;
            }
            auto orNone = [](auto value) {
                return value ? std::to_string(*value) : std::string("(fails)");
            };
            out << "  " << i.kind << " " << Utf16ToUtf8(i.where.path) << "\n"
                << "    node " << NodeText(i.where.node) << " " << idOf(i.where.node) << "\n";
            for (const auto& [node, id] : parents) {
                out << "    parent " << NodeText(node) << " " << id << "\n";
            }
            out << "    device number " << orNone(number) << ", length " << orNone(length)
                << ", bus type " << orNone(bus) << ", install state " << orNone(install) << "\n";
        }
        std::optional<UsbPortIdentity> identity;
        if (usbNode != kNoNode) identity = tree->UsbIdentity(usbNode);
        auto text = [](const std::optional<std::u16string>& s) {
            if (!s) return std::string("(request fails)");
            std::string quoted = "\"";
            quoted += Utf16ToUtf8(*s);
            return quoted += '"';
        };
        if (json) {
            auto textOrNull = [](const std::optional<std::u16string>& s) {
                return s ? Json(Utf16ToUtf8(*s)) : Json();
            };
            Json& port = device["portIdentity"];
            if (identity) {
                port["vendorId"] = Hex(identity->vendorId, 4);
                port["productId"] = Hex(identity->productId, 4);
                port["manufacturer"] = textOrNull(identity->manufacturer);
                port["product"] = textOrNull(identity->product);
                port["serialNumber"] = textOrNull(identity->serialNumber);
            }
            devices.push_back(std::move(device));
        } else if (usbNode != kNoNode) {
            if (identity) {
                out << "  hub port: " << Hex(identity->vendorId, 4) << ":"
                    << Hex(identity->productId, 4) << " " << text(identity->manufacturer) << " "
                    << text(identity->product) << " serial " << text(identity->serialNumber)
                    << "\n";
            } else {
                out << "  hub port: not found\n";
            }
        }
    }
    if (json) j["devices"] = std::move(devices);
}

}  // namespace mox3
