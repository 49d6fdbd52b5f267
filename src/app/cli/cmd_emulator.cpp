// emulator: make, look at, break and power-cycle emulated bridge drives and plain disks, and
// see them as the host's device tree shows them.
// Size: one subcommand each, sharing the parsing of the drive's settings; each is short.
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <optional>
#include <sstream>
#include <utility>
#include <vector>

#include "app/cli/cli_args.h"
#include "app/cli/cli_report.h"
#include "app/cli/commands.h"
#include "app/cli/json_out.h"
#include "app/cli/output_file.h"
#include "app/cli/emulator_render.h"
#include "app/cli/warning_report.h"
#include "app/session/session.h"
#include "base/text.h"
#include "bridge/config_build.h"
#include "config/block_decode.h"
#include "config/profile_reader.h"
#include "discovery/device_tree.h"
#include "emulator/emulator_backend.h"
#include "emulator/emulator_tree.h"
#include "emulator/usbredir_device.h"
#include "platform/output_file.h"
#include "resources/resources.h"

namespace mox3 {

namespace {

namespace fs = std::filesystem;

constexpr const char* kCreateUsage =
    "usage: mox3-updater emulator create DIR --generation 1|2 --serial TEXT --firmware IMAGE\n"
    "           [--pid ID] [--product NAME] [--config FILE | --resource ID]\n"
    "           [--sector 512|4096] [--blocks N] [--chip NAME] [--flash-size BYTES]\n"
    "           [--disk-serial TEXT] [--restart-delay-ms MS] [--busy-reads N]\n"
    "           [--ready-without-switch] [--latency off|typical|REQUEST_US,KIB_US,PAGE_US]\n"
    "           [--json]\n"
    "Programs a new drive's flash at the factory: the model's configuration file (chosen by\n"
    "--pid and --product among the shipped ones unless --config or --resource names one)\n"
    "compiled with the drive's serial, and the image. A serial of \"1\" makes the bridge take\n"
    "the attached disk's serial (--disk-serial). --blocks counts 512-byte units of the disk\n"
    "behind the bridge, a sparse file of the folder; --sector is the logical-block length the\n"
    "bridge starts with (the disk's bytes read as 512- or 4096-byte blocks). --latency makes\n"
    "every request take time as on a real drive: a round trip, the data and the flash pages\n"
    "programmed (typical: 500 us, 25 us per KiB, 700 us per 256-byte page).\n";

constexpr const char* kShowUsage =
    "usage: mox3-updater emulator show DIR [--json] [--digest]\n"
    "Shows the drive or disk: its place on the bus and in the host's tree, what it presents,\n"
    "its disk and its flash. --digest adds a SHA-256 digest of what the disk holds (its\n"
    "non-zero 64 KiB chunks).\n";

constexpr const char* kDiskUsage =
    "usage: mox3-updater emulator disk DIR (--import FILE [--offset BYTES] |\n"
    "           --export FILE [--offset BYTES] [--length BYTES]) [--json]\n"
    "Fills the disk from a file or copies it out, at a byte offset; --length defaults to the\n"
    "rest of the disk, and the exported file is sparse where the disk holds zeros.\n";

constexpr const char* kFaultUsage =
    "usage: mox3-updater emulator fault DIR (--fail-command N | --fail-kind CODE [--from N]\n"
    "           [--times N] | --corrupt-read ADDR | --stay-busy | --refuse-update-mode |\n"
    "           --no-return | --return-in-loader | --pull-cable-at N |\n"
    "           --unsteady-read ADDR [--times N] | --refuse-read-before-erase | --clear) [--json]\n"
    "Counts N from the next command on (1 = the next one); CODE is a vendor function code or\n"
    "a SCSI opcode.\n";

constexpr const char* kPowerCycleUsage =
    "usage: mox3-updater emulator power-cycle DIR [--json]\n"
    "Unplugs the drive and plugs it in again.\n";

constexpr const char* kCreateDiskUsage =
    "usage: mox3-updater emulator create-disk DIR --vid ID --pid ID [--manufacturer TEXT]\n"
    "           [--product TEXT] [--serial TEXT] [--blocks N] [--sector 512|4096]\n"
    "           [--latency ...] [--json]\n"
    "Makes a plain USB disk without the bridge: it answers what a disk answers (INQUIRY,\n"
    "READ CAPACITY, READ, WRITE, ...) and rejects every vendor command.\n";

constexpr const char* kSetUsage =
    "usage: mox3-updater emulator set DIR [--attached on|off] [--cdrom on|off]\n"
    "           [--usb-levels 1|2|3] [--composite on|off] [--port-identity full|no-serial|none]\n"
    "           [--lower-case-ids on|off] [--bus-type N] [--refuse-open on|off]\n"
    "           [--device-number ok|fails] [--install-pending N] [--latency ...] [--json]\n"
    "Changes where a drive or disk sits in the host's device tree: plugged in or not, a CD-ROM\n"
    "interface beside the disk, how many levels up its USB device is (at 2 and 3 the node\n"
    "below it is its USB interface node unless --composite off), what its hub port reports,\n"
    "the case of its ids, the bus type, whether opening it or its device number query fails,\n"
    "and how many install-state reads report it still installing.\n";

constexpr const char* kListUsage =
    "usage: mox3-updater emulator list ROOT [--json]\n"
    "Shows every device of ROOT (each folder holding one) with its interfaces, nodes and ids\n"
    "as the emulated device tree presents them.\n";

constexpr const char* kServeUsage =
    "usage: mox3-updater emulator serve DIR --usbredir SOCKET [--connect]\n"
    "Presents the drive as a USB mass-storage device to a virtual machine's usbredir device:\n"
    "it listens on the unix socket SOCKET (or connects to it with --connect) and serves the\n"
    "first peer until it goes away or SIGTERM (Linux only).\n";

// What is wrong with the words naming the one folder a subcommand works on; empty when nothing.
std::string FolderProblem(const CliArgs& cli, const std::string& subcommand) {
    if (cli.positional().empty()) return subcommand + " needs one folder";
    if (cli.positional().size() > 1) return "unexpected argument " + cli.positional()[1];
    return {};
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

int Create(const std::shared_ptr<Clock>& clock, Args args, std::ostream& out, std::ostream& err) {
    CommandReport report("emulator create", WantsJson(args), out, err);
    if (IsHelp(args)) return report.Help(kCreateUsage);
    auto usage = [&](const std::string& why) { return report.Usage(why, kCreateUsage); };
    auto failed = [&](const std::string& why) { return report.Fail("emulator-failed", why); };
    CliArgs cli(args,
                {"--generation", "--pid", "--product", "--serial", "--firmware", "--config",
                 "--resource", "--sector", "--blocks", "--chip", "--flash-size", "--disk-serial",
                 "--restart-delay-ms", "--busy-reads", "--latency"},
                {"--ready-without-switch", "--json"});
    if (!cli.ok()) return usage(cli.error());
    if (cli.positional().empty()) return usage("create needs one folder");
    if (cli.positional().size() > 1) return usage("unexpected argument " + cli.positional()[1]);
    auto generationText = cli.value("--generation");
    if (generationText != "1" && generationText != "2") {
        return usage("--generation must be 1 or 2");
    }
    const int generation = *generationText == "1" ? 1 : 2;
    auto serial = cli.value("--serial");
    auto firmware = cli.value("--firmware");
    if (!serial || !firmware) return usage("--serial and --firmware are required");
    if (cli.has("--config") && cli.has("--resource")) {
        return usage("--config and --resource exclude each other");
    }
    if ((cli.has("--config") || cli.has("--resource")) &&
        (cli.has("--pid") || cli.has("--product"))) {
        return usage("--pid and --product choose a shipped file; not with --config or --resource");
    }

    EmulatedDriveSetup setup;
    setup.generation = generation;
    setup.chipName = cli.value("--chip").value_or("");
    if (auto v = cli.value("--disk-serial")) setup.diskSerial = *v;
    std::uint32_t sector = 512;
    if (auto v = cli.value("--sector")) {
        if (*v != "512" && *v != "4096") return usage("--sector must be 512 or 4096");
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
        if (!v) return usage(std::string(n.option) + " needs a number");
        *n.target = *v;
    }
    if (auto v = cli.value("--blocks")) {
        auto blocks = ParseCount(*v);
        if (!blocks) return usage("--blocks needs a number");
        setup.diskBlocks = *blocks;
    }
    setup.readyWithoutSwitch = cli.has("--ready-without-switch");
    if (auto v = cli.value("--latency")) {
        auto latency = ParseLatency(*v);
        if (!latency) return usage(kLatencyUsage);
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
            if (!number) return usage("--resource takes a number, not " + *id);
            resource = *number < 100000 ? FindConfigResource(static_cast<int>(*number)) : nullptr;
            if (resource == nullptr) {
                return report.Fail("no-resource", "no shipped configuration file has id " + *id);
            }
        } else {
            auto pid = Count32(cli.value("--pid").value_or(generation == 1 ? "0x7C31" : "0x7C34"));
            if (!pid) return usage("--pid needs a number");
            std::string product = cli.value("--product").value_or("ZR-MOX3");
            resource = FindModelResource(generation, *pid, product);
            if (resource == nullptr) {
                return report.Fail("no-resource", "no shipped generation " +
                                                      std::to_string(generation) +
                                                      " configuration file has PID " +
                                                      Hex(*pid, 4) + " and Product " + product);
            }
        }
        std::string why = extracted.Extract(*resource);
        if (!why.empty()) return failed(why);
        configPath = extracted.file().string();
        configName = "resource " + std::to_string(resource->id);
    }

    CBridgeMgr mgr;
    ConfigBuildResult built = BuildConfigBlock(mgr, Utf8ToUtf16(*firmware), Utf8ToUtf16(configPath),
                                               generation, Utf8ToUtf16(*serial));
    // Values of the file taken only in part: the drive is made with what was taken.
    std::vector<CompileWarning> warnings = built.warnings;
    if (!cli.has("--config")) NameWarningFile(warnings, configName);
    if (!report.json()) WriteWarningLines(err, warnings);
    if (!built.ok) {
        return report.Fail("compile-failed", built.failedStep + ": " + built.reason,
                           [&](Json& j) { WriteWarningsJson(j, warnings); });
    }

    std::string why;
    setup.flash = FactoryFlash(
        generation, setup.flashSize,
        std::span<const std::uint8_t>(mgr.imageBuffer.data(), kConfigBlockSize),
        mgr.firmwareAddress,
        std::span<const std::uint8_t>(mgr.imageBuffer.data() + kImageOffset, mgr.firmwareLength),
        mgr.firmwareLength, sector, &why);
    if (setup.flash.empty()) return failed(why);
    const fs::path dir = cli.positional()[0];
    if (!CreateEmulatedDrive(dir, setup, *clock, &why)) return failed(why);

    const std::string chip =
        setup.chipName.empty()
            ? (generation == 1 ? kFirstGenerationChipName : kSecondGenerationChipName)
            : setup.chipName;
    if (!report.json()) {
        out << "created " << dir.string() << ": generation " << generation << ", " << chip
            << ", flash " << setup.flashSize << " bytes; " << configName << " at "
            << EmulatedBlockAddress(generation) << ", firmware "
            << Utf16ToUtf8(mgr.firmwareVersionText) << " (" << mgr.firmwareLength
            << " bytes) at " << mgr.firmwareAddress << "\n";
    }
    return report.Done([&](Json& j) {
        j["drive"] = dir.string();
        j["generation"] = static_cast<std::int64_t>(generation);
        j["chip"] = chip;
        j["flashSize"] = static_cast<std::int64_t>(setup.flashSize);
        j["config"] = configName;
        j["firmwareVersion"] = Utf16ToUtf8(mgr.firmwareVersionText);
        j["firmwareLength"] = static_cast<std::int64_t>(mgr.firmwareLength);
        j["firmwareAddress"] = static_cast<std::int64_t>(mgr.firmwareAddress);
        WriteWarningsJson(j, warnings);
    });
}

int Show(const std::shared_ptr<Clock>& clock, Args args, std::ostream& out, std::ostream& err) {
    CommandReport report("emulator show", WantsJson(args), out, err);
    if (IsHelp(args)) return report.Help(kShowUsage);
    auto usage = [&](const std::string& why) { return report.Usage(why, kShowUsage); };
    CliArgs cli(args, {}, {"--json", "--digest"});
    if (!cli.ok()) return usage(cli.error());
    if (cli.positional().empty()) return usage("show needs one folder");
    if (cli.positional().size() > 1) return usage("unexpected argument " + cli.positional()[1]);
    const fs::path dir = cli.positional()[0];
    std::string why;
    auto view = InspectEmulatedDrive(dir, *clock, &why);
    if (!view) return report.Fail("not-an-emulated-drive", why);
    std::optional<std::string> digest;
    if (cli.has("--digest")) {
        digest = EmulatedMediumDigest(dir, &why);
        if (!digest) return report.Fail("emulator-failed", why);
    }
    const std::uint64_t now = clock->NowMs();
    if (!report.json()) WriteDriveText(out, dir, *view, digest, now);
    return report.Done([&](Json& j) { WriteDriveJson(j, dir, *view, digest, now); });
}

int CreateDisk(const std::shared_ptr<Clock>& clock, Args args, std::ostream& out,
               std::ostream& err) {
    CommandReport report("emulator create-disk", WantsJson(args), out, err);
    if (IsHelp(args)) return report.Help(kCreateDiskUsage);
    auto usage = [&](const std::string& why) { return report.Usage(why, kCreateDiskUsage); };
    auto failed = [&](const std::string& why) { return report.Fail("emulator-failed", why); };
    CliArgs cli(args,
                {"--vid", "--pid", "--manufacturer", "--product", "--serial", "--blocks",
                 "--sector", "--latency"},
                {"--json"});
    if (!cli.ok()) return usage(cli.error());
    if (std::string why = FolderProblem(cli, "create-disk"); !why.empty()) return usage(why);
    auto vid = Count32(cli.value("--vid"));
    auto pid = Count32(cli.value("--pid"));
    if (!vid || !pid || *vid > 0xFFFF || *pid > 0xFFFF) {
        return usage("--vid and --pid need numbers from 0x0000 to 0xFFFF");
    }
    EmulatedDiskSetup setup;
    setup.vendorId = static_cast<std::uint16_t>(*vid);
    setup.productId = static_cast<std::uint16_t>(*pid);
    if (auto v = cli.value("--manufacturer")) setup.manufacturer = Utf8ToUtf16(*v);
    if (auto v = cli.value("--product")) setup.product = Utf8ToUtf16(*v);
    if (auto v = cli.value("--serial")) setup.serialNumber = Utf8ToUtf16(*v);
    if (auto v = cli.value("--sector")) {
        if (*v != "512" && *v != "4096") return usage("--sector must be 512 or 4096");
        setup.blockLength = *v == "512" ? 512 : 4096;
    }
    if (auto v = cli.value("--blocks")) {
        auto blocks = ParseCount(*v);
        if (!blocks) return usage("--blocks needs a number");
        setup.diskBlocks = *blocks;
    }
    if (auto v = cli.value("--latency")) {
        auto latency = ParseLatency(*v);
        if (!latency) return usage(kLatencyUsage);
        setup.latency = *latency;
    }
    const fs::path dir = cli.positional()[0];
    std::string why;
    if (!CreateEmulatedDisk(dir, setup, *clock, &why)) return failed(why);
    if (!report.json()) {
        out << "created " << dir.string() << ": plain USB disk " << Hex(setup.vendorId, 4) << ":"
            << Hex(setup.productId, 4) << ", " << setup.diskBlocks << " 512-byte units\n";
    }
    return report.Done([&](Json& j) {
        j["disk"] = dir.string();
        j["vendorId"] = Hex(setup.vendorId, 4);
        j["productId"] = Hex(setup.productId, 4);
        j["blocks512"] = static_cast<std::int64_t>(setup.diskBlocks);
    });
}

std::optional<bool> OnOff(const std::string& text) {
    if (text == "on") return true;
    if (text == "off") return false;
    return std::nullopt;
}

int Set(const std::shared_ptr<Clock>& clock, Args args, std::ostream& out, std::ostream& err) {
    CommandReport report("emulator set", WantsJson(args), out, err);
    if (IsHelp(args)) return report.Help(kSetUsage);
    auto usage = [&](const std::string& why) { return report.Usage(why, kSetUsage); };
    auto failed = [&](const std::string& why) { return report.Fail("emulator-failed", why); };
    const std::vector<std::string> onOff = {"--cdrom", "--attached", "--composite",
                                            "--lower-case-ids", "--refuse-open"};
    CliArgs cli(args,
                {"--cdrom", "--usb-levels", "--attached", "--composite", "--port-identity",
                 "--lower-case-ids", "--bus-type", "--refuse-open", "--device-number",
                 "--install-pending", "--latency"},
                {"--json"});
    if (!cli.ok()) return usage(cli.error());
    if (std::string why = FolderProblem(cli, "set"); !why.empty()) return usage(why);

    std::map<std::string, bool> switches;
    for (const std::string& option : onOff) {
        if (auto v = cli.value(option)) {
            auto flag = OnOff(*v);
            if (!flag) return usage(option + " is on or off");
            switches[option] = *flag;
        }
    }
    std::optional<int> levels;
    if (auto v = cli.value("--usb-levels")) {
        if (*v != "1" && *v != "2" && *v != "3") return usage("--usb-levels is 1, 2 or 3");
        levels = std::stoi(*v);
    }
    std::optional<EmulatedPortIdentity> port;
    if (auto v = cli.value("--port-identity")) {
        port = EmulatedPortIdentityFromName(*v);
        if (!port) return usage("--port-identity is full, no-serial or none");
    }
    std::optional<std::uint32_t> busType;
    if (auto v = cli.value("--bus-type")) {
        busType = Count32(v);
        if (!busType || *busType > 0xFF) return usage("--bus-type needs a number to 255");
    }
    std::optional<bool> numberFails;
    if (auto v = cli.value("--device-number")) {
        if (*v != "ok" && *v != "fails") return usage("--device-number is ok or fails");
        numberFails = *v == "fails";
    }
    std::optional<std::uint32_t> pending;
    if (cli.has("--install-pending")) {
        pending = Count32(cli.value("--install-pending"));
        if (!pending) return usage("--install-pending needs a number");
    }
    std::optional<EmulatedLatency> latency;
    if (auto v = cli.value("--latency")) {
        latency = ParseLatency(*v);
        if (!latency) return usage(kLatencyUsage);
    }
    if (switches.empty() && !levels && !port && !busType && !numberFails && !pending && !latency) {
        return usage("set needs at least one setting");
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
    if (!ChangeEmulatedTreeSettings(dir, edit, *clock, &why)) return failed(why);
    if (latency && !SetEmulatedDriveLatency(dir, *latency, &why)) return failed(why);
    auto view = InspectEmulatedDrive(dir, *clock, &why);
    if (!view) return failed(why);
    if (!report.json()) {
        out << "host tree: " << TreeText(view->tree) << "\n";
        if (latency) out << "latency: " << LatencyText(view->latency) << "\n";
    }
    return report.Done([&](Json& j) {
        j["drive"] = dir.string();
        j["tree"] = TreeText(view->tree);
        j["latency"] = LatencyText(view->latency);
    });
}

// Every device of an emulator folder as the emulated device tree presents it.
int List(const std::shared_ptr<Clock>& clock, Args args, std::ostream& out, std::ostream& err) {
    CommandReport report("emulator list", WantsJson(args), out, err);
    if (IsHelp(args)) return report.Help(kListUsage);
    auto usage = [&](const std::string& why) { return report.Usage(why, kListUsage); };
    CliArgs cli(args, {}, {"--json"});
    if (!cli.ok()) return usage(cli.error());
    if (cli.positional().empty()) return usage("list needs one emulator folder");
    if (cli.positional().size() > 1) return usage("unexpected argument " + cli.positional()[1]);
    const fs::path root = cli.positional()[0];
    std::error_code ec;
    if (!fs::is_directory(root, ec)) {
        return report.Fail("not-a-folder", root.string() + " is not a folder");
    }
    if (!report.json()) {
        Json unused;
        WriteDeviceList(root, clock, false, out, unused);
    }
    return report.Done([&](Json& j) { WriteDeviceList(root, clock, true, out, j); });
}

int Fault(const std::shared_ptr<Clock>&, Args args, std::ostream& out, std::ostream& err) {
    CommandReport report("emulator fault", WantsJson(args), out, err);
    if (IsHelp(args)) return report.Help(kFaultUsage);
    auto usage = [&](const std::string& why) { return report.Usage(why, kFaultUsage); };
    auto failed = [&](const std::string& why) { return report.Fail("emulator-failed", why); };
    CliArgs cli(
        args,
        {"--fail-command", "--fail-kind", "--from", "--times", "--corrupt-read", "--pull-cable-at",
         "--unsteady-read"},
        {"--stay-busy", "--refuse-update-mode", "--no-return", "--return-in-loader", "--clear",
         "--refuse-read-before-erase", "--json"});
    if (!cli.ok()) return usage(cli.error());
    if (std::string why = FolderProblem(cli, "fault"); !why.empty()) return usage(why);
    int chosen = 0;
    for (const char* o :
         {"--fail-command", "--fail-kind", "--corrupt-read", "--pull-cable-at", "--stay-busy",
          "--refuse-update-mode", "--no-return", "--return-in-loader", "--clear", "--unsteady-read",
          "--refuse-read-before-erase"}) {
        chosen += cli.has(o) ? 1 : 0;
    }
    if (chosen != 1) return usage("give exactly one fault (or --clear)");
    if (cli.has("--from") && !cli.has("--fail-kind"))
        return usage("--from goes with --fail-kind");
    if (cli.has("--times") && !cli.has("--fail-kind") && !cli.has("--unsteady-read"))
        return usage("--times goes with --fail-kind or --unsteady-read");
    const fs::path dir = cli.positional()[0];
    std::string why;
    if (cli.has("--clear")) {
        if (!ClearEmulatedDriveFaults(dir, &why)) return failed(why);
        if (!report.json()) out << "faults cleared\n";
        return report.Done([&](Json& j) { j["drive"] = dir.string(); });
    }
    using Kind = EmulatedFault::Kind;
    EmulatedFault fault;
    auto number = [&](const char* option) { return Count32(cli.value(option)); };
    if (cli.has("--fail-command")) {
        fault.kind = Kind::FailCommand;
        auto n = number("--fail-command");
        if (!n || *n == 0) return usage("--fail-command needs a count from 1");
        fault.count = *n;
    } else if (cli.has("--fail-kind")) {
        fault.kind = Kind::FailKind;
        auto code = number("--fail-kind");
        if (!code || *code > 0xFF) return usage("--fail-kind needs a code from 0x00 to 0xFF");
        fault.code = static_cast<std::uint8_t>(*code);
        auto from = cli.has("--from") ? number("--from") : std::optional<std::uint32_t>(1);
        if (!from || *from == 0) return usage("--from needs a count from 1");
        fault.count = *from;
        if (cli.has("--times")) {
            auto times = number("--times");
            if (!times || *times == 0) return usage("--times needs a count from 1");
            fault.times = *times;
        }
    } else if (cli.has("--corrupt-read")) {
        fault.kind = Kind::CorruptRead;
        auto address = number("--corrupt-read");
        if (!address) return usage("--corrupt-read needs a flash address");
        fault.address = *address;
    } else if (cli.has("--unsteady-read")) {
        fault.kind = Kind::UnsteadyRead;
        auto address = number("--unsteady-read");
        if (!address) return usage("--unsteady-read needs a flash address");
        fault.address = *address;
        if (cli.has("--times")) {
            auto times = number("--times");
            if (!times) return usage("--times needs a count (0: ever)");
            fault.times = *times;
        }
    } else if (cli.has("--refuse-read-before-erase")) {
        fault.kind = Kind::RefuseReadBeforeErase;
    } else if (cli.has("--pull-cable-at")) {
        fault.kind = Kind::PullCable;
        auto n = number("--pull-cable-at");
        if (!n || *n == 0) return usage("--pull-cable-at needs a count from 1");
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
    if (!SetEmulatedDriveFault(dir, fault, &why)) return failed(why);
    if (!report.json()) out << "fault set\n";
    return report.Done([&](Json& j) { j["drive"] = dir.string(); });
}

// A long copy's progress on a terminal: one line rewritten as each percent passes.
class CopyProgress {
  public:
    CopyProgress(const char* verb, bool shown, std::ostream& err)
        : verb_(verb), shown_(shown), err_(err) {}
    MediumProgress Teller() {
        if (!shown_) return {};
        return [this](std::uint64_t done, std::uint64_t total) {
            constexpr std::uint64_t kLongCopy = 64ull << 20;
            if (total < kLongCopy) return;
            const int percent = static_cast<int>(done * 100 / total);
            if (percent == percent_) return;
            percent_ = percent;
            err_ << "\r" << verb_ << ": " << (done >> 20) << " of " << (total >> 20) << " MiB ("
                 << percent << "%)" << std::flush;
        };
    }
    void End() {
        if (percent_ >= 0) err_ << "\n" << std::flush;
    }

  private:
    const char* verb_;
    bool shown_;
    std::ostream& err_;
    int percent_ = -1;
};

// Fills the disk behind a drive from a file, or copies it out.
int Disk(const std::shared_ptr<Clock>&, Args args, std::ostream& out, std::ostream& err) {
    CommandReport report("emulator disk", WantsJson(args), out, err);
    if (IsHelp(args)) return report.Help(kDiskUsage);
    auto usage = [&](const std::string& why) { return report.Usage(why, kDiskUsage); };
    auto failed = [&](const std::string& why) { return report.Fail("emulator-failed", why); };
    CliArgs cli(args, {"--import", "--export", "--offset", "--length"}, {"--json"});
    if (!cli.ok()) return usage(cli.error());
    if (std::string why = FolderProblem(cli, "disk"); !why.empty()) return usage(why);
    const bool import = cli.has("--import");
    if (import == cli.has("--export")) return usage("disk needs --import or --export");
    if (import && cli.has("--length")) return usage("--length goes with --export");
    std::uint64_t offset = 0;
    if (auto v = cli.value("--offset")) {
        auto n = ParseCount(*v);
        if (!n) return usage("--offset needs a number of bytes");
        offset = *n;
    }
    std::optional<std::uint64_t> length;
    if (auto v = cli.value("--length")) {
        length = ParseCount(*v);
        if (!length) return usage("--length needs a number of bytes");
    }
    const fs::path dir = cli.positional()[0];
    const fs::path file = *cli.value(import ? "--import" : "--export");
    // The drive's own files are neither the source of an import nor the target of an export;
    // an export goes by the output rule.
    const std::string fileText = *cli.value(import ? "--import" : "--export");
    if (std::string why = OutsideFolderProblem(fileText, dir.string(), "the emulated drive's folder");
        !why.empty()) {
        return report.Fail(import ? "unreadable" : kOutputRefusedCode, why);
    }
    if (!import) {
        if (std::string why = OutputProblem(fileText, {}); !why.empty()) {
            return report.Fail(kOutputRefusedCode, why);
        }
    }
    CopyProgress progress(import ? "importing" : "exporting", !report.json() && StderrIsTerminal(),
                          err);
    std::string why;
    const bool copied = import ? ImportEmulatedMedium(dir, file, offset, &why, progress.Teller())
                               : ExportEmulatedMedium(dir, file, offset, length, &why,
                                                      progress.Teller());
    progress.End();
    if (!copied) return failed(why);
    std::error_code ec;
    const std::uintmax_t bytes = fs::file_size(file, ec);
    if (report.json()) {
        return report.Done([&](Json& j) {
            j["drive"] = dir.string();
            j[import ? "imported" : "exported"] = file.string();
            j["offset"] = static_cast<std::int64_t>(offset);
            j["bytes"] = static_cast<std::int64_t>(bytes);
        });
    }
    if (import) {
        out << "imported " << bytes << " bytes of " << file.string() << " at offset " << offset
            << "\n";
    } else {
        out << "exported " << bytes << " bytes from offset " << offset << " to " << file.string()
            << "\n";
    }
    return kExitOk;
}

int PowerCycle(const std::shared_ptr<Clock>& clock, Args args, std::ostream& out,
               std::ostream& err) {
    CommandReport report("emulator power-cycle", WantsJson(args), out, err);
    if (IsHelp(args)) return report.Help(kPowerCycleUsage);
    auto usage = [&](const std::string& why) { return report.Usage(why, kPowerCycleUsage); };
    auto failed = [&](const std::string& why) { return report.Fail("emulator-failed", why); };
    CliArgs cli(args, {}, {"--json"});
    if (!cli.ok()) return usage(cli.error());
    if (std::string why = FolderProblem(cli, "power-cycle"); !why.empty()) return usage(why);
    std::string why;
    if (!PowerCycleEmulatedDrive(cli.positional()[0], *clock, &why)) {
        return failed(why);
    }
    if (!report.json()) out << "power-cycled " << cli.positional()[0] << "\n";
    return report.Done([&](Json& j) { j["drive"] = cli.positional()[0]; });
}

int Serve(const std::shared_ptr<Clock>& clock, Args args, std::ostream& out, std::ostream& err) {
    CommandReport report("emulator serve", WantsJson(args), out, err);
    if (IsHelp(args)) return report.Help(kServeUsage);
    auto usage = [&](const std::string& why) { return report.Usage(why, kServeUsage); };
    auto failed = [&](const std::string& why) { return report.Fail("emulator-failed", why); };
    CliArgs cli(args, {"--usbredir"}, {"--connect", "--json"});
    if (!cli.ok()) return usage(cli.error());
    if (std::string why = FolderProblem(cli, "serve"); !why.empty()) return usage(why);
    auto socket = cli.value("--usbredir");
    if (!socket) return usage("serve needs --usbredir SOCKET");
    const fs::path dir = cli.positional()[0];
    if (!IsEmulatedDriveFolder(dir)) {
        return report.Fail("not-an-emulated-drive", dir.string() + " is not an emulated drive");
    }
#if defined(_WIN32)
    (void)out;
    (void)clock;
    return failed("serve --usbredir needs unix sockets: Linux only");
#else
    const bool connect = cli.has("--connect");
    std::string why;
    auto ready = [&](const std::string& path) {
        if (report.json()) return;
        out << (connect ? "connected to " : "listening on ") << path << "\n";
        out.flush();
    };
    if (!ServeUsbRedirSocket(*socket, connect, dir, clock, ready, &why)) {
        return failed(why);
    }
    if (!report.json()) out << "served " << dir.string() << "\n";
    return report.Done([&](Json& j) {
        j["drive"] = dir.string();
        j["socket"] = *socket;
    });
#endif
}

}  // namespace

int RunEmulatorCommand(const Session& session, Args args, std::ostream& out, std::ostream& err) {
    struct Subcommand {
        const char* name;
        const char* usage;
        int (*run)(const std::shared_ptr<Clock>&, Args, std::ostream&, std::ostream&);
    };
    static constexpr Subcommand kSubcommands[] = {
        {"create", kCreateUsage, Create},       {"show", kShowUsage, Show},
        {"disk", kDiskUsage, Disk},             {"fault", kFaultUsage, Fault},
        {"power-cycle", kPowerCycleUsage, PowerCycle},
        {"create-disk", kCreateDiskUsage, CreateDisk},
        {"set", kSetUsage, Set},                {"list", kListUsage, List},
        {"serve", kServeUsage, Serve},
    };
    std::string all;
    for (const Subcommand& sub : kSubcommands) all += std::string(all.empty() ? "" : "\n") + sub.usage;
    CommandReport report("emulator", WantsJson(args), out, err);
    if (args.empty()) return report.Usage("emulator needs a command", all);
    const std::string& name = args[0];
    if (name == "--help" || name == "-h" || name == "help") return report.Help(all);
    for (const Subcommand& sub : kSubcommands) {
        if (name == sub.name) return sub.run(session.clock, args.subspan(1), out, err);
    }
    return report.Usage("unknown emulator command " + name, all);
}

}  // namespace mox3
