// emulator: make, look at, break and power-cycle emulated bridge drives and plain disks, and
// see them as the host's device tree shows them.
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <optional>
#include <sstream>
#include <utility>
#include <vector>

#include "app/cli_args.h"
#include "app/commands.h"
#include "app/json.h"
#include "bridge/config_build.h"
#include "config/block_decode.h"
#include "config/profile_reader.h"
#include "config/text.h"
#include "discovery/device_tree.h"
#include "emulator/emulator_backend.h"
#include "emulator/emulator_tree.h"
#include "emulator/usbredir_device.h"
#include "resources/resources.h"

namespace mox3 {

namespace {

namespace fs = std::filesystem;

constexpr const char* kUsage =
    "usage: mox3-updater emulator create DIR --generation 1|2 --serial TEXT --firmware IMAGE\n"
    "           [--pid ID] [--product NAME] [--config FILE | --resource ID]\n"
    "           [--sector 512|4096] [--blocks N] [--chip NAME] [--flash-size BYTES]\n"
    "           [--disk-serial TEXT] [--restart-delay-ms MS] [--busy-reads N]\n"
    "           [--ready-without-switch] [--latency off|typical|REQUEST_US,KIB_US,PAGE_US]\n"
    "       mox3-updater emulator show DIR [--json] [--digest]\n"
    "       mox3-updater emulator disk DIR (--import FILE [--offset BYTES] |\n"
    "           --export FILE [--offset BYTES] [--length BYTES])\n"
    "       mox3-updater emulator fault DIR (--fail-command N | --fail-kind CODE [--from N] "
    "[--times N] |\n"
    "           --corrupt-read ADDR | --stay-busy | --refuse-update-mode | --no-return |\n"
    "           --return-in-loader |\n"
    "           --pull-cable-at N | --clear)\n"
    "       mox3-updater emulator power-cycle DIR\n"
    "       mox3-updater emulator create-disk DIR --vid ID --pid ID [--manufacturer TEXT]\n"
    "           [--product TEXT] [--serial TEXT] [--blocks N] [--sector 512|4096]\n"
    "           [--latency ...]\n"
    "       mox3-updater emulator set DIR [--attached on|off] [--cdrom on|off]\n"
    "           [--usb-levels 1|2|3] [--composite on|off] [--port-identity full|no-serial|none]\n"
    "           [--lower-case-ids on|off] [--bus-type N] [--refuse-open on|off]\n"
    "           [--device-number ok|fails] [--install-pending N] [--latency ...]\n"
    "       mox3-updater emulator list ROOT [--json]\n"
    "       mox3-updater emulator serve DIR --usbredir SOCKET [--connect]\n"
    "\n"
    "create programs a new drive's flash at the factory: the model's configuration file\n"
    "(chosen by --pid and --product among the shipped ones unless --config or --resource\n"
    "names one) compiled with the drive's serial, and the image. A serial of \"1\" makes the\n"
    "bridge take the attached disk's serial (--disk-serial). --blocks counts 512-byte units\n"
    "of the disk behind the bridge, a sparse file of the folder; --sector is the logical-block\n"
    "length the bridge starts with (the disk's bytes read as 512- or 4096-byte blocks).\n"
    "--latency makes every request take time as on a real drive: a round trip, the data and\n"
    "the flash pages programmed (typical: 500 us, 25 us per KiB, 700 us per 256-byte page).\n"
    "show --digest adds a SHA-256 digest of what the disk holds (its non-zero 64 KiB chunks).\n"
    "disk fills the disk from a file or copies it out, at a byte offset; --length defaults\n"
    "to the rest of the disk, and the exported file is sparse where the disk holds zeros.\n"
    "fault counts N from the next command on (1 = the next one); CODE is a vendor function\n"
    "code or a SCSI opcode.\n"
    "create-disk makes a plain USB disk without the bridge: it answers what a disk answers\n"
    "(INQUIRY, READ CAPACITY, READ, WRITE, ...) and rejects every vendor command. set\n"
    "changes where a drive or disk sits in\n"
    "the host's device tree: plugged in or not, a CD-ROM interface beside the disk, how many\n"
    "levels up its USB device is (at 2 and 3 the node below it is its USB interface node\n"
    "unless --composite off), what its hub port reports, the case of its ids, the bus type,\n"
    "whether opening it or its device number query fails, and how many install-state reads\n"
    "report it still installing. list shows every device of ROOT (each folder holding one)\n"
    "with its interfaces, nodes and ids as the emulated device tree presents them.\n"
    "serve presents the drive as a USB mass-storage device to a virtual machine's usbredir\n"
    "device: it listens on the unix socket SOCKET (or connects to it with --connect) and\n"
    "serves the first peer until it goes away or SIGTERM (Linux only).\n";

int Usage(std::ostream& err, const std::string& why = {}) {
    if (!why.empty()) err << "error: " << why << "\n";
    err << kUsage;
    return kExitUsage;
}

int Failed(std::ostream& err, const std::string& why) {
    err << "error: " << why << "\n";
    return kExitFailed;
}

std::string Hex(std::uint32_t value, int digits) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%0*X", digits, value);
    return buf;
}

std::string InquiryText(std::span<const std::uint8_t> bytes) {
    std::string text;
    for (std::uint8_t b : bytes) text.push_back(b >= 0x20 && b < 0x7F ? static_cast<char>(b) : '.');
    while (!text.empty() && (text.back() == ' ' || text.back() == '.')) text.pop_back();
    return text;
}

// The shipped file of a generation whose PID and Product are these.
const EmbeddedResource* FindModelResource(int generation, std::uint32_t pid,
                                          const std::string& product) {
    for (const EmbeddedResource& resource : ConfigResources()) {
        ProfileFile file = ProfileFile::Parse(resource.bytes);
        std::uint32_t version = file.GetInt(u"Config", u"Version", 0xFFFFFFFFu);
        if ((generation == 1) != (version == 0)) continue;
        if (file.GetInt(u"USB Device Descriptor", u"PID", 0xFFFFFFFFu) != pid) continue;
        if (Utf16ToUtf8(file.GetString(u"USB String Descriptor", u"Product", u"", 65)) != product) {
            continue;
        }
        return &resource;
    }
    return nullptr;
}

std::optional<std::uint32_t> Count32(const std::optional<std::string>& text) {
    if (!text) return std::nullopt;
    auto v = ParseCount(*text);
    if (!v || *v > 0xFFFFFFFFull) return std::nullopt;
    return static_cast<std::uint32_t>(*v);
}

// "off", "typical" or three numbers: microseconds per request, per KiB and per flash page.
std::optional<EmulatedLatency> ParseLatency(const std::string& text) {
    if (text == "off") return EmulatedLatency{};
    if (text == "typical") return kTypicalLatency;
    std::uint32_t values[3];
    std::size_t at = 0;
    for (int i = 0; i < 3; ++i) {
        const std::size_t comma = i < 2 ? text.find(',', at) : text.size();
        if (comma == std::string::npos) return std::nullopt;
        auto v = Count32(text.substr(at, comma - at));
        if (!v) return std::nullopt;
        values[i] = *v;
        at = comma + 1;
    }
    return EmulatedLatency{values[0], values[1], values[2]};
}

constexpr const char* kLatencyUsage =
    "--latency is off, typical or REQUEST_US,KIB_US,PAGE_US (three numbers)";

std::string LatencyText(const EmulatedLatency& l) {
    if (!l.on()) return "off";
    return std::to_string(l.requestUs) + " us a request, " + std::to_string(l.kibUs) +
           " us per KiB, " + std::to_string(l.pageUs) + " us per flash page";
}

int Create(Args args, std::ostream& out, std::ostream& err) {
    CliArgs cli(args,
                {"--generation", "--pid", "--product", "--serial", "--firmware", "--config",
                 "--resource", "--sector", "--blocks", "--chip", "--flash-size", "--disk-serial",
                 "--restart-delay-ms", "--busy-reads", "--latency"},
                {"--ready-without-switch"});
    if (!cli.ok()) return Usage(err, cli.error());
    if (cli.positional().size() != 1) return Usage(err, "create needs one folder");
    auto generationText = cli.value("--generation");
    if (generationText != "1" && generationText != "2") {
        return Usage(err, "--generation must be 1 or 2");
    }
    const int generation = *generationText == "1" ? 1 : 2;
    auto serial = cli.value("--serial");
    auto firmware = cli.value("--firmware");
    if (!serial || !firmware) return Usage(err, "--serial and --firmware are required");
    if (cli.has("--config") && cli.has("--resource")) {
        return Usage(err, "--config and --resource exclude each other");
    }
    if ((cli.has("--config") || cli.has("--resource")) &&
        (cli.has("--pid") || cli.has("--product"))) {
        return Usage(err,
                     "--pid and --product choose a shipped file; not with --config or --resource");
    }

    EmulatedDriveSetup setup;
    setup.generation = generation;
    setup.chipName = cli.value("--chip").value_or("");
    if (auto v = cli.value("--disk-serial")) setup.diskSerial = *v;
    std::uint32_t sector = 512;
    if (auto v = cli.value("--sector")) {
        if (*v != "512" && *v != "4096") return Usage(err, "--sector must be 512 or 4096");
        sector = *v == "512" ? 512 : 4096;
    }
    struct Number32 {
        const char* option;
        std::uint32_t* target;
    };
    for (Number32 n : {Number32{"--flash-size", &setup.flashSize},
                       Number32{"--restart-delay-ms", &setup.restartDelayMs},
                       Number32{"--busy-reads", &setup.busyReads}}) {
        if (!cli.has(n.option)) continue;
        auto v = Count32(cli.value(n.option));
        if (!v) return Usage(err, std::string(n.option) + " needs a number");
        *n.target = *v;
    }
    if (auto v = cli.value("--blocks")) {
        auto blocks = ParseCount(*v);
        if (!blocks) return Usage(err, "--blocks needs a number");
        setup.diskBlocks = *blocks;
    }
    setup.readyWithoutSwitch = cli.has("--ready-without-switch");
    if (auto v = cli.value("--latency")) {
        auto latency = ParseLatency(*v);
        if (!latency) return Usage(err, kLatencyUsage);
        setup.latency = *latency;
    }
    if (setup.flashSize == 0) {
        setup.flashSize = generation == 1 ? kFirstGenerationFlashSize : kSecondGenerationFlashSize;
    }

    ExtractedResource extracted;
    std::string configPath;
    std::string configName;
    if (auto file = cli.value("--config")) {
        configPath = *file;
        configName = *file;
    } else {
        const EmbeddedResource* resource = nullptr;
        if (auto id = cli.value("--resource")) {
            auto number = ParseCount(*id);
            resource = number && *number < 100000 ? FindConfigResource(static_cast<int>(*number))
                                                  : nullptr;
            if (resource == nullptr)
                return Failed(err, "no shipped configuration file has id " + *id);
        } else {
            auto pid = Count32(cli.value("--pid").value_or(generation == 1 ? "0x7C31" : "0x7C34"));
            if (!pid) return Usage(err, "--pid needs a number");
            std::string product = cli.value("--product").value_or("ZR-MOX3");
            resource = FindModelResource(generation, *pid, product);
            if (resource == nullptr) {
                return Failed(err, "no shipped generation " + std::to_string(generation) +
                                       " configuration file has PID " + Hex(*pid, 4) +
                                       " and Product " + product);
            }
        }
        std::string why = extracted.Extract(*resource);
        if (!why.empty()) return Failed(err, why);
        configPath = extracted.file().string();
        configName = "resource " + std::to_string(resource->id);
    }

    CBridgeMgr mgr;
    ConfigBuildResult built = BuildConfigBlock(mgr, Utf8ToUtf16(*firmware), Utf8ToUtf16(configPath),
                                               generation, Utf8ToUtf16(*serial));
    if (!built.ok) return Failed(err, built.failedStep + ": " + built.reason);

    std::string why;
    setup.flash = FactoryFlash(
        generation, setup.flashSize,
        std::span<const std::uint8_t>(mgr.imageBuffer.data(), kConfigBlockSize),
        mgr.firmwareAddress,
        std::span<const std::uint8_t>(mgr.imageBuffer.data() + kImageOffset, mgr.firmwareLength),
        mgr.firmwareLength, sector, &why);
    if (setup.flash.empty()) return Failed(err, why);
    const fs::path dir = cli.positional()[0];
    if (!CreateEmulatedDrive(dir, setup, *SystemClock(), &why)) return Failed(err, why);

    out << "created " << dir.string() << ": generation " << generation << ", "
        << (setup.chipName.empty()
                ? (generation == 1 ? kFirstGenerationChipName : kSecondGenerationChipName)
                : setup.chipName)
        << ", flash " << setup.flashSize << " bytes; " << configName << " at "
        << EmulatedBlockAddress(generation) << ", firmware " << Utf16ToUtf8(mgr.firmwareVersionText)
        << " (" << mgr.firmwareLength << " bytes) at " << mgr.firmwareAddress << "\n";
    return kExitOk;
}

const char* BlockState(const EmulatedFlashReport& r) {
    return r.blockSealed ? "sealed" : r.blockErased ? "erased" : "broken";
}

const char* FirmwareState(const EmulatedFlashReport& r) {
    if (!r.firmwareAddressValid) return "no address";
    return r.firmwareIntact ? "intact" : r.firmwareErased ? "erased" : "broken";
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

int Show(Args args, std::ostream& out, std::ostream& err) {
    CliArgs cli(args, {}, {"--json", "--digest"});
    if (!cli.ok()) return Usage(err, cli.error());
    if (cli.positional().size() != 1) return Usage(err, "show needs one folder");
    const fs::path dir = cli.positional()[0];
    auto clock = SystemClock();
    std::string why;
    auto view = InspectEmulatedDrive(dir, *clock, &why);
    if (!view) return Failed(err, why);
    std::optional<std::string> digest;
    if (cli.has("--digest")) {
        digest = EmulatedMediumDigest(dir, &why);
        if (!digest) return Failed(err, why);
    }
    const EmulatedDriveView& v = *view;
    const bool bridge = !v.plainDisk;
    const EmulatedFlashReport& r = v.flashReport;
    std::optional<DecodedBlock> block;
    if (bridge && !r.blockErased) {
        block = DecodeConfigBlock(
            ConfigBlockView(v.flash.data() + r.blockAddress, kConfigBlockSize), v.generation);
    }
    const bool present = v.bus == EmulatedBus::Present && v.tree.attached;
    const std::uint64_t now = clock->NowMs();
    const std::uint64_t returnIn = v.returnAtMs > now ? v.returnAtMs - now : 0;
    auto span36 = [&](std::size_t offset, std::size_t size) {
        return std::span<const std::uint8_t>(v.inquiry.data() + offset, size);
    };
    std::string version = r.versionFound ? EmulatedVersionText(r.versionBlock) : "";

    if (cli.has("--json")) {
        JsonWriter j;
        j.BeginObject().Field("drive", dir.string()).Field("kind", bridge ? "bridge" : "disk");
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
        if (!bridge) {
            out << j.EndObject().str();
            return kExitOk;
        }
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
        out << j.EndObject().str();
        return kExitOk;
    }

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
        return kExitOk;
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
    return kExitOk;
}

int CreateDisk(Args args, std::ostream& out, std::ostream& err) {
    CliArgs cli(args,
                {"--vid", "--pid", "--manufacturer", "--product", "--serial", "--blocks",
                 "--sector", "--latency"},
                {});
    if (!cli.ok()) return Usage(err, cli.error());
    if (cli.positional().size() != 1) return Usage(err, "create-disk needs one folder");
    auto vid = Count32(cli.value("--vid"));
    auto pid = Count32(cli.value("--pid"));
    if (!vid || !pid || *vid > 0xFFFF || *pid > 0xFFFF) {
        return Usage(err, "--vid and --pid need numbers from 0x0000 to 0xFFFF");
    }
    EmulatedDiskSetup setup;
    setup.vendorId = static_cast<std::uint16_t>(*vid);
    setup.productId = static_cast<std::uint16_t>(*pid);
    if (auto v = cli.value("--manufacturer")) setup.manufacturer = Utf8ToUtf16(*v);
    if (auto v = cli.value("--product")) setup.product = Utf8ToUtf16(*v);
    if (auto v = cli.value("--serial")) setup.serialNumber = Utf8ToUtf16(*v);
    if (auto v = cli.value("--sector")) {
        if (*v != "512" && *v != "4096") return Usage(err, "--sector must be 512 or 4096");
        setup.blockLength = *v == "512" ? 512 : 4096;
    }
    if (auto v = cli.value("--blocks")) {
        auto blocks = ParseCount(*v);
        if (!blocks) return Usage(err, "--blocks needs a number");
        setup.diskBlocks = *blocks;
    }
    if (auto v = cli.value("--latency")) {
        auto latency = ParseLatency(*v);
        if (!latency) return Usage(err, kLatencyUsage);
        setup.latency = *latency;
    }
    const fs::path dir = cli.positional()[0];
    std::string why;
    if (!CreateEmulatedDisk(dir, setup, *SystemClock(), &why)) return Failed(err, why);
    out << "created " << dir.string() << ": plain USB disk " << Hex(setup.vendorId, 4) << ":"
        << Hex(setup.productId, 4) << ", " << setup.diskBlocks << " 512-byte units\n";
    return kExitOk;
}

std::optional<bool> OnOff(const std::string& text) {
    if (text == "on") return true;
    if (text == "off") return false;
    return std::nullopt;
}

int Set(Args args, std::ostream& out, std::ostream& err) {
    const std::vector<std::string> onOff = {"--cdrom", "--attached", "--composite",
                                            "--lower-case-ids", "--refuse-open"};
    CliArgs cli(args,
                {"--cdrom", "--usb-levels", "--attached", "--composite", "--port-identity",
                 "--lower-case-ids", "--bus-type", "--refuse-open", "--device-number",
                 "--install-pending", "--latency"},
                {});
    if (!cli.ok()) return Usage(err, cli.error());
    if (cli.positional().size() != 1) return Usage(err, "set needs one folder");

    std::map<std::string, bool> switches;
    for (const std::string& option : onOff) {
        if (auto v = cli.value(option)) {
            auto flag = OnOff(*v);
            if (!flag) return Usage(err, option + " is on or off");
            switches[option] = *flag;
        }
    }
    std::optional<int> levels;
    if (auto v = cli.value("--usb-levels")) {
        if (*v != "1" && *v != "2" && *v != "3") return Usage(err, "--usb-levels is 1, 2 or 3");
        levels = std::stoi(*v);
    }
    std::optional<EmulatedPortIdentity> port;
    if (auto v = cli.value("--port-identity")) {
        port = EmulatedPortIdentityFromName(*v);
        if (!port) return Usage(err, "--port-identity is full, no-serial or none");
    }
    std::optional<std::uint32_t> busType;
    if (auto v = cli.value("--bus-type")) {
        busType = Count32(v);
        if (!busType || *busType > 0xFF) return Usage(err, "--bus-type needs a number to 255");
    }
    std::optional<bool> numberFails;
    if (auto v = cli.value("--device-number")) {
        if (*v != "ok" && *v != "fails") return Usage(err, "--device-number is ok or fails");
        numberFails = *v == "fails";
    }
    std::optional<std::uint32_t> pending;
    if (cli.has("--install-pending")) {
        pending = Count32(cli.value("--install-pending"));
        if (!pending) return Usage(err, "--install-pending needs a number");
    }
    std::optional<EmulatedLatency> latency;
    if (auto v = cli.value("--latency")) {
        latency = ParseLatency(*v);
        if (!latency) return Usage(err, kLatencyUsage);
    }
    if (switches.empty() && !levels && !port && !busType && !numberFails && !pending && !latency) {
        return Usage(err, "set needs at least one setting");
    }

    const fs::path dir = cli.positional()[0];
    auto edit = [&](EmulatedTreeSettings& t) {
        auto take = [&](const char* option, bool& field) {
            if (auto it = switches.find(option); it != switches.end()) field = it->second;
        };
        take("--cdrom", t.cdrom);
        take("--attached", t.attached);
        take("--composite", t.composite);
        take("--lower-case-ids", t.lowerCaseIds);
        take("--refuse-open", t.refuseOpen);
        if (levels) t.usbLevels = *levels;
        if (port) t.portIdentity = *port;
        if (busType) t.busType = static_cast<std::uint8_t>(*busType);
        if (numberFails) t.deviceNumberFails = *numberFails;
        if (pending) t.installPending = *pending;
    };
    std::string why;
    auto clock = SystemClock();
    if (!ChangeEmulatedTreeSettings(dir, edit, *clock, &why)) return Failed(err, why);
    if (latency && !SetEmulatedDriveLatency(dir, *latency, &why)) return Failed(err, why);
    auto view = InspectEmulatedDrive(dir, *clock, &why);
    if (!view) return Failed(err, why);
    out << "host tree: " << TreeText(view->tree) << "\n";
    if (latency) out << "latency: " << LatencyText(view->latency) << "\n";
    return kExitOk;
}

std::string NodeText(DevNode node) {
    return Hex(node, 8);
}

// Every device of an emulator folder as the emulated device tree presents it.
int List(Args args, std::ostream& out, std::ostream& err) {
    CliArgs cli(args, {}, {"--json"});
    if (!cli.ok()) return Usage(err, cli.error());
    if (cli.positional().size() != 1) return Usage(err, "list needs one emulator folder");
    const fs::path root = cli.positional()[0];
    std::error_code ec;
    if (!fs::is_directory(root, ec)) return Failed(err, root.string() + " is not a folder");
    auto clock = SystemClock();
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

    JsonWriter j;
    const bool json = cli.has("--json");
    if (json) {
        j.BeginObject()
            .Field("root", root.string())
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
    if (json) out << j.EndArray().EndObject().str();
    return kExitOk;
}

int Fault(Args args, std::ostream& out, std::ostream& err) {
    CliArgs cli(
        args,
        {"--fail-command", "--fail-kind", "--from", "--times", "--corrupt-read", "--pull-cable-at"},
        {"--stay-busy", "--refuse-update-mode", "--no-return", "--return-in-loader", "--clear"});
    if (!cli.ok()) return Usage(err, cli.error());
    if (cli.positional().size() != 1) return Usage(err, "fault needs one folder");
    int chosen = 0;
    for (const char* o :
         {"--fail-command", "--fail-kind", "--corrupt-read", "--pull-cable-at", "--stay-busy",
          "--refuse-update-mode", "--no-return", "--return-in-loader", "--clear"}) {
        chosen += cli.has(o) ? 1 : 0;
    }
    if (chosen != 1) return Usage(err, "give exactly one fault (or --clear)");
    if (cli.has("--from") && !cli.has("--fail-kind"))
        return Usage(err, "--from goes with --fail-kind");
    const fs::path dir = cli.positional()[0];
    std::string why;
    if (cli.has("--clear")) {
        if (!ClearEmulatedDriveFaults(dir, &why)) return Failed(err, why);
        out << "faults cleared\n";
        return kExitOk;
    }
    using Kind = EmulatedFault::Kind;
    EmulatedFault fault;
    auto number = [&](const char* option) { return Count32(cli.value(option)); };
    if (cli.has("--fail-command")) {
        fault.kind = Kind::FailCommand;
        auto n = number("--fail-command");
        if (!n || *n == 0) return Usage(err, "--fail-command needs a count from 1");
        fault.count = *n;
    } else if (cli.has("--fail-kind")) {
        fault.kind = Kind::FailKind;
        auto code = number("--fail-kind");
        if (!code || *code > 0xFF) return Usage(err, "--fail-kind needs a code from 0x00 to 0xFF");
        fault.code = static_cast<std::uint8_t>(*code);
        auto from = cli.has("--from") ? number("--from") : std::optional<std::uint32_t>(1);
        if (!from || *from == 0) return Usage(err, "--from needs a count from 1");
        fault.count = *from;
        if (cli.has("--times")) {
            auto times = number("--times");
            if (!times || *times == 0) return Usage(err, "--times needs a count from 1");
            fault.times = *times;
        }
    } else if (cli.has("--corrupt-read")) {
        fault.kind = Kind::CorruptRead;
        auto address = number("--corrupt-read");
        if (!address) return Usage(err, "--corrupt-read needs a flash address");
        fault.address = *address;
    } else if (cli.has("--pull-cable-at")) {
        fault.kind = Kind::PullCable;
        auto n = number("--pull-cable-at");
        if (!n || *n == 0) return Usage(err, "--pull-cable-at needs a count from 1");
        fault.count = *n;
    } else if (cli.has("--stay-busy")) {
        fault.kind = Kind::StayBusy;
    } else if (cli.has("--refuse-update-mode")) {
        fault.kind = Kind::RefuseUpdateMode;
    } else if (cli.has("--return-in-loader")) {
        fault.kind = Kind::ReturnInLoader;
    } else {
        fault.kind = Kind::NoReturn;
    }
    if (!SetEmulatedDriveFault(dir, fault, &why)) return Failed(err, why);
    out << "fault set\n";
    return kExitOk;
}

// Fills the disk behind a drive from a file, or copies it out.
int Disk(Args args, std::ostream& out, std::ostream& err) {
    CliArgs cli(args, {"--import", "--export", "--offset", "--length"}, {});
    if (!cli.ok()) return Usage(err, cli.error());
    if (cli.positional().size() != 1) return Usage(err, "disk needs one folder");
    const bool import = cli.has("--import");
    if (import == cli.has("--export")) return Usage(err, "disk needs --import or --export");
    if (import && cli.has("--length")) return Usage(err, "--length goes with --export");
    std::uint64_t offset = 0;
    if (auto v = cli.value("--offset")) {
        auto n = ParseCount(*v);
        if (!n) return Usage(err, "--offset needs a number of bytes");
        offset = *n;
    }
    std::optional<std::uint64_t> length;
    if (auto v = cli.value("--length")) {
        length = ParseCount(*v);
        if (!length) return Usage(err, "--length needs a number of bytes");
    }
    const fs::path dir = cli.positional()[0];
    const fs::path file = *cli.value(import ? "--import" : "--export");
    std::string why;
    if (import) {
        if (!ImportEmulatedMedium(dir, file, offset, &why)) return Failed(err, why);
        std::error_code ec;
        out << "imported " << fs::file_size(file, ec) << " bytes of " << file.string()
            << " at offset " << offset << "\n";
        return kExitOk;
    }
    if (!ExportEmulatedMedium(dir, file, offset, length, &why)) return Failed(err, why);
    std::error_code ec;
    out << "exported " << fs::file_size(file, ec) << " bytes from offset " << offset << " to "
        << file.string() << "\n";
    return kExitOk;
}

int PowerCycle(Args args, std::ostream& out, std::ostream& err) {
    CliArgs cli(args, {}, {});
    if (!cli.ok()) return Usage(err, cli.error());
    if (cli.positional().size() != 1) return Usage(err, "power-cycle needs one folder");
    std::string why;
    if (!PowerCycleEmulatedDrive(cli.positional()[0], *SystemClock(), &why)) {
        return Failed(err, why);
    }
    out << "power-cycled " << cli.positional()[0] << "\n";
    return kExitOk;
}

int Serve(Args args, std::ostream& out, std::ostream& err) {
    CliArgs cli(args, {"--usbredir"}, {"--connect"});
    if (!cli.ok()) return Usage(err, cli.error());
    if (cli.positional().size() != 1) return Usage(err, "serve needs one folder");
    auto socket = cli.value("--usbredir");
    if (!socket) return Usage(err, "serve needs --usbredir SOCKET");
    const fs::path dir = cli.positional()[0];
    if (!IsEmulatedDriveFolder(dir)) return Failed(err, dir.string() + " is not an emulated drive");
#if defined(_WIN32)
    (void)out;
    return Failed(err, "serve --usbredir needs unix sockets: Linux only");
#else
    const bool connect = cli.has("--connect");
    std::string why;
    auto ready = [&](const std::string& path) {
        out << (connect ? "connected to " : "listening on ") << path << "\n";
        out.flush();
    };
    if (!ServeUsbRedirSocket(*socket, connect, dir, SystemClock(), ready, &why)) {
        return Failed(err, why);
    }
    out << "served " << dir.string() << "\n";
    return kExitOk;
#endif
}

}  // namespace

int RunEmulatorCommand(Args args, std::ostream& out, std::ostream& err) {
    if (args.empty()) return Usage(err);
    const std::string& sub = args[0];
    if (sub == "--help" || sub == "-h" || sub == "help") {
        out << kUsage;
        return kExitOk;
    }
    for (const std::string& word : args) {
        if (word == "--help" || word == "-h") {
            out << kUsage;
            return kExitOk;
        }
    }
    Args rest = args.subspan(1);
    if (sub == "create") return Create(rest, out, err);
    if (sub == "show") return Show(rest, out, err);
    if (sub == "create-disk") return CreateDisk(rest, out, err);
    if (sub == "set") return Set(rest, out, err);
    if (sub == "list") return List(rest, out, err);
    if (sub == "fault") return Fault(rest, out, err);
    if (sub == "power-cycle") return PowerCycle(rest, out, err);
    if (sub == "disk") return Disk(rest, out, err);
    if (sub == "serve") return Serve(rest, out, err);
    return Usage(err, "unknown emulator command " + sub);
}

}  // namespace mox3
