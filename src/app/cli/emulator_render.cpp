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

void TreeJson(JsonWriter& j, const EmulatedTreeSettings& t) {
    j.Key("tree")
        .BeginObject()
        .Field("attached", t.attached)
        .Field("cdrom", t.cdrom)
        .Field("usbLevels", static_cast<std::int64_t>(t.usbLevels))
        .Field("composite", t.composite)
        .Field("portIdentity", EmulatedPortIdentityName(t.portIdentity))
        .Field("lowerCaseIds", t.lowerCaseIds)
        .Field("busType", static_cast<std::int64_t>(t.busType))
        .Field("refuseOpen", t.refuseOpen)
        .Field("deviceNumberFails", t.deviceNumberFails)
        .Field("installPending", static_cast<std::int64_t>(t.installPending))
        .EndObject();
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

void WriteDriveJson(JsonWriter& j, const fs::path& dir, const EmulatedDriveView& v,
                    const std::optional<std::string>& digest, std::uint64_t nowMs) {
    const Shown shown(v, nowMs);
    const EmulatedFlashReport& r = shown.r;
    const bool bridge = shown.bridge;
    const bool present = shown.present;
    const std::uint64_t returnIn = shown.returnIn;
    const std::optional<DecodedBlock>& block = shown.block;
    const std::string& version = shown.version;
    auto span36 = [&](std::size_t offset, std::size_t size) { return shown.Inquiry(offset, size); };

    j.Field("drive", dir.string()).Field("kind", bridge ? "bridge" : "disk");
    if (bridge) {
        j.Field("generation", static_cast<std::int64_t>(v.generation))
            .Field("chip", v.chipName)
            .Field("flashSize", static_cast<std::int64_t>(v.flashSize));
    }
    j.Field("bus", EmulatedBusName(v.bus));
    if (v.bus == EmulatedBus::Restarting)
        j.Field("returnInMs", static_cast<std::int64_t>(returnIn));
    if (v.bus == EmulatedBus::Absent) j.Field("absentReason", v.absentReason);
    j.Field("session", static_cast<std::int64_t>(v.session));
    TreeJson(j, v.tree);
    j.Key("host");
    if (present) {
        j.BeginObject();
        if (bridge) j.Field("mode", v.loader ? "loader" : "normal");
        j.Field("vendorId", Hex(v.usb.vendorId, 4))
            .Field("productId", Hex(v.usb.productId, 4))
            .Field("bcdDevice", Hex(v.usb.bcdDevice, 4))
            .Field("manufacturer", Utf16ToUtf8(v.usb.manufacturer))
            .Field("product", Utf16ToUtf8(v.usb.product))
            .Field("serialNumber", Utf16ToUtf8(v.usb.serialNumber));
        if (bridge) {
            j.Field("firmwareVersion", v.firmwareVersion)
                .Field("versionBlock", HexString(v.versionBlock));
        }
        j.Key("inquiry")
            .BeginObject()
            .Field("vendor", InquiryText(span36(8, 8)))
            .Field("product", InquiryText(span36(16, 16)))
            .Field("revision", InquiryText(span36(32, 4)))
            .EndObject()
            .Field("logicalBlockLength", static_cast<std::int64_t>(v.logicalBlockLength))
            .Field("logicalBlocks", static_cast<std::int64_t>(v.logicalBlocks))
            .EndObject();
    } else {
        j.Null();
    }
    if (bridge) {
        j.Key("bridge")
            .BeginObject()
            .Field("updateModeSelected", v.updateModeSelected)
            .Field("busyReadsLeft", static_cast<std::int64_t>(v.busyReadsLeft))
            .Field("nextLogicalBlockLength", static_cast<std::int64_t>(v.nextBlockLength))
            .Key("flashParameters");
        if (v.flashParameters) {
            j.String(HexString(*v.flashParameters));
        } else {
            j.Null();
        }
        j.Field("commandsTotal", static_cast<std::int64_t>(v.commandsTotal)).EndObject();
    } else {
        j.Field("commandsTotal", static_cast<std::int64_t>(v.commandsTotal));
    }
    j.Key("disk").BeginObject();
    if (bridge) j.Field("serial", v.diskSerial);
    j.Field("blocks512", static_cast<std::int64_t>(v.diskBlocks))
        .Field("bytes", static_cast<std::int64_t>(v.mediumBytes))
        .Field("logicalBlockLength", static_cast<std::int64_t>(v.logicalBlockLength))
        .Field("logicalBlocks", static_cast<std::int64_t>(v.logicalBlocks));
    if (digest) j.Field("digest", *digest);
    j.EndObject();
    j.Key("latency");
    if (v.latency.on()) {
        j.BeginObject()
            .Field("requestUs", static_cast<std::int64_t>(v.latency.requestUs))
            .Field("kibUs", static_cast<std::int64_t>(v.latency.kibUs))
            .Field("pageUs", static_cast<std::int64_t>(v.latency.pageUs))
            .EndObject();
    } else {
        j.Null();
    }
    j.Key("faults").BeginArray();
    for (const std::string& f : v.faults) j.String(f);
    j.EndArray();
    if (!bridge) return;
    j.Key("flash").BeginObject().Key("block").BeginObject();
    j.Field("address", static_cast<std::int64_t>(r.blockAddress)).Field("state", BlockState(r));
    if (block && !block->descriptorSets.empty()) {
        const DescriptorSet& set = block->descriptorSets[0];
        j.Field("vendorId", Hex(set.vendorId, 4))
            .Field("productId", Hex(set.productId, 4))
            .Field("manufacturer", set.manufacturer.text)
            .Field("product", set.product.text)
            .Field("serialNumber", set.serialNumber.form == StringDescriptor::Form::FromDisk
                                       ? std::string("(from the disk)")
                                       : set.serialNumber.text);
    }
    j.EndObject().Key("firmware").BeginObject();
    j.Field("address", static_cast<std::int64_t>(r.firmwareAddress))
        .Field("state", FirmwareState(r))
        .Key("version");
    if (r.versionFound) {
        j.String(version);
    } else {
        j.Null();
    }
    j.EndObject().EndObject();
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
                     std::ostream& out, JsonWriter& j) {
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

    if (json) {
        j.Field("root", root.string())
            .Key("hub")
            .BeginObject()
            .Field("node", NodeText(kEmulatedRootHubNode))
            .Field("id", idOf(kEmulatedRootHubNode))
            .EndObject()
            .Key("devices")
            .BeginArray();
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
        if (json) {
            j.BeginObject()
                .Field("folder", folder.string())
                .Field("kind", kind)
                .Field("state", state);
            if (!mode.empty()) j.Field("mode", mode);
            j.Key("interfaces").BeginArray();
        } else {
            out << folder.filename().string() << ": " << kind << (mode.empty() ? "" : ", ") << mode
                << (mode.empty() ? "" : " mode") << ", " << state << "\n";
        }
        DevNode usbNode = kNoNode;
        std::u16string usbId;
        for (const Interface& i : byFolder[folder.string()]) {
            auto number = tree->StorageDeviceNumber(i.where.path);
            auto length = tree->DiskLength(i.where.path);
            auto bus = tree->StorageBusType(i.where.path);
            auto install = tree->InstallState(i.where.node);
            std::vector<std::pair<DevNode, std::string>> parents;
            for (DevNode node = i.where.node, parent = kNoNode; tree->Parent(node, parent);
                 node = parent) {
                parents.emplace_back(parent, idOf(parent));
                if (parent != kEmulatedRootHubNode) {
                    usbNode = parent;
                    usbId = Utf8ToUtf16(parents.back().second);
                }
            }
            if (json) {
                j.BeginObject()
                    .Field("class", i.kind)
                    .Field("path", Utf16ToUtf8(i.where.path))
                    .Field("node", NodeText(i.where.node))
                    .Field("id", idOf(i.where.node))
                    .Key("parents")
                    .BeginArray();
                for (const auto& [node, id] : parents) {
                    j.BeginObject().Field("node", NodeText(node)).Field("id", id).EndObject();
                }
                j.EndArray().Key("deviceNumber");
                number ? j.Number(*number) : j.Null();
                j.Key("diskLength");
                length ? j.Number(*length) : j.Null();
                j.Key("busType");
                bus ? j.Number(*bus) : j.Null();
                j.Key("installState");
                install ? j.Number(*install) : j.Null();
                j.EndObject();
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
        if (usbNode != kNoNode) identity = tree->UsbIdentity(kEmulatedRootHubNode, usbNode, usbId);
        auto text = [](const std::optional<std::u16string>& s) {
            if (!s) return std::string("(request fails)");
            std::string quoted = "\"";
            quoted += Utf16ToUtf8(*s);
            return quoted += '"';
        };
        if (json) {
            j.EndArray().Key("portIdentity");
            if (identity) {
                j.BeginObject()
                    .Field("vendorId", Hex(identity->vendorId, 4))
                    .Field("productId", Hex(identity->productId, 4))
                    .Key("manufacturer");
                identity->manufacturer ? j.String(Utf16ToUtf8(*identity->manufacturer)) : j.Null();
                j.Key("product");
                identity->product ? j.String(Utf16ToUtf8(*identity->product)) : j.Null();
                j.Key("serialNumber");
                identity->serialNumber ? j.String(Utf16ToUtf8(*identity->serialNumber)) : j.Null();
                j.EndObject();
            } else {
                j.Null();
            }
            j.EndObject();
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
    if (json) j.EndArray();
}

}  // namespace mox3
