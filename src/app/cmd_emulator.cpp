// emulator: make, look at, break and power-cycle emulated bridge drives.
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <optional>
#include <sstream>

#include "app/cli_args.h"
#include "app/commands.h"
#include "app/json.h"
#include "bridge/config_build.h"
#include "config/block_decode.h"
#include "config/profile_reader.h"
#include "config/text.h"
#include "emulator/emulator_backend.h"
#include "resources/resources.h"

namespace mox3 {

namespace {

namespace fs = std::filesystem;

constexpr const char* kUsage =
    "usage: mox3-updater emulator create DIR --generation 1|2 --serial TEXT --firmware IMAGE\n"
    "           [--pid ID] [--product NAME] [--config FILE | --resource ID]\n"
    "           [--sector 512|4096] [--blocks N] [--chip NAME] [--flash-size BYTES]\n"
    "           [--disk-serial TEXT] [--restart-delay-ms MS] [--busy-reads N]\n"
    "           [--ready-without-switch]\n"
    "       mox3-updater emulator show DIR [--json]\n"
    "       mox3-updater emulator fault DIR (--fail-command N | --fail-kind CODE [--from N] |\n"
    "           --corrupt-read ADDR | --stay-busy | --refuse-update-mode | --no-return |\n"
    "           --pull-cable-at N | --clear)\n"
    "       mox3-updater emulator power-cycle DIR\n"
    "\n"
    "create programs a new drive's flash at the factory: the model's configuration file\n"
    "(chosen by --pid and --product among the shipped ones unless --config or --resource\n"
    "names one) compiled with the drive's serial, and the image. A serial of \"1\" makes the\n"
    "bridge take the attached disk's serial (--disk-serial). --blocks counts 512-byte units.\n"
    "fault counts N from the next command on (1 = the next one); CODE is a vendor function\n"
    "code or a SCSI opcode.\n";

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

std::string HexBytes(std::span<const std::uint8_t> bytes) {
    std::string out;
    char buf[4];
    for (std::uint8_t b : bytes) {
        std::snprintf(buf, sizeof buf, "%02X", b);
        out += buf;
    }
    return out;
}

std::string InquiryText(std::span<const std::uint8_t> bytes) {
    std::string text;
    for (std::uint8_t b : bytes) text.push_back(b >= 0x20 && b < 0x7F ? static_cast<char>(b) : '.');
    while (!text.empty() && (text.back() == ' ' || text.back() == '.')) text.pop_back();
    return text;
}

// A shipped configuration file written out for the compiler, removed afterwards.
class ExtractedConfig {
  public:
    ~ExtractedConfig() {
        std::error_code ec;
        if (!dir_.empty()) fs::remove_all(dir_, ec);
    }
    std::string Extract(const EmbeddedResource& resource) {
        std::string pattern = (fs::temp_directory_path() / "mox3-emulator-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) return "cannot create a temporary folder";
        dir_ = pattern;
        file_ = dir_ / "config.ini";
        return WriteFileAtomically(file_.string(), resource.bytes.data(), resource.bytes.size());
    }
    const fs::path& file() const { return file_; }

  private:
    fs::path dir_;
    fs::path file_;
};

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

int Create(Args args, std::ostream& out, std::ostream& err) {
    CliArgs cli(args,
                {"--generation", "--pid", "--product", "--serial", "--firmware", "--config",
                 "--resource", "--sector", "--blocks", "--chip", "--flash-size", "--disk-serial",
                 "--restart-delay-ms", "--busy-reads"},
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
    if (setup.flashSize == 0) {
        setup.flashSize = generation == 1 ? kFirstGenerationFlashSize : kSecondGenerationFlashSize;
    }

    ExtractedConfig extracted;
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

const char* BusText(EmulatedBus bus) {
    switch (bus) {
        case EmulatedBus::Present:
            return "present";
        case EmulatedBus::Restarting:
            return "restarting";
        case EmulatedBus::Absent:
            return "absent";
    }
    return "present";
}

const char* BlockState(const EmulatedFlashReport& r) {
    return r.blockSealed ? "sealed" : r.blockErased ? "erased" : "broken";
}

const char* FirmwareState(const EmulatedFlashReport& r) {
    if (!r.firmwareAddressValid) return "no address";
    return r.firmwareIntact ? "intact" : r.firmwareErased ? "erased" : "broken";
}

int Show(Args args, std::ostream& out, std::ostream& err) {
    CliArgs cli(args, {}, {"--json"});
    if (!cli.ok()) return Usage(err, cli.error());
    if (cli.positional().size() != 1) return Usage(err, "show needs one folder");
    const fs::path dir = cli.positional()[0];
    auto clock = SystemClock();
    std::string why;
    auto view = InspectEmulatedDrive(dir, *clock, &why);
    if (!view) return Failed(err, why);
    const EmulatedDriveView& v = *view;
    const EmulatedFlashReport& r = v.flashReport;
    std::optional<DecodedBlock> block;
    if (!r.blockErased) {
        block = DecodeConfigBlock(
            ConfigBlockView(v.flash.data() + r.blockAddress, kConfigBlockBytes), v.generation);
    }
    const bool present = v.bus == EmulatedBus::Present;
    const std::uint64_t now = clock->NowMs();
    const std::uint64_t returnIn = v.returnAtMs > now ? v.returnAtMs - now : 0;
    auto span36 = [&](std::size_t offset, std::size_t size) {
        return std::span<const std::uint8_t>(v.inquiry.data() + offset, size);
    };
    std::string version = r.versionFound ? EmulatedVersionText(r.versionBlock) : "";

    if (cli.has("--json")) {
        JsonWriter j;
        j.BeginObject()
            .Field("drive", dir.string())
            .Field("generation", static_cast<std::int64_t>(v.generation))
            .Field("chip", v.chipName)
            .Field("flashSize", static_cast<std::int64_t>(v.flashSize))
            .Field("bus", BusText(v.bus));
        if (v.bus == EmulatedBus::Restarting)
            j.Field("returnInMs", static_cast<std::int64_t>(returnIn));
        if (v.bus == EmulatedBus::Absent) j.Field("absentReason", v.absentReason);
        j.Key("host");
        if (present) {
            j.BeginObject()
                .Field("mode", v.loader ? "loader" : "normal")
                .Field("vendorId", Hex(v.usb.vendorId, 4))
                .Field("productId", Hex(v.usb.productId, 4))
                .Field("bcdDevice", Hex(v.usb.bcdDevice, 4))
                .Field("manufacturer", Utf16ToUtf8(v.usb.manufacturer))
                .Field("product", Utf16ToUtf8(v.usb.product))
                .Field("serialNumber", Utf16ToUtf8(v.usb.serialNumber))
                .Field("firmwareVersion", v.firmwareVersion)
                .Field("versionBlock", HexBytes(v.versionBlock))
                .Key("inquiry")
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
        j.Key("bridge")
            .BeginObject()
            .Field("updateModeSelected", v.updateModeSelected)
            .Field("busyReadsLeft", static_cast<std::int64_t>(v.busyReadsLeft))
            .Field("nextLogicalBlockLength", static_cast<std::int64_t>(v.nextBlockLength))
            .Key("flashParameters");
        if (v.flashParameters) {
            j.String(HexBytes(*v.flashParameters));
        } else {
            j.Null();
        }
        j.Field("commandsTotal", static_cast<std::int64_t>(v.commandsTotal)).EndObject();
        j.Key("disk")
            .BeginObject()
            .Field("serial", v.diskSerial)
            .Field("blocks512", static_cast<std::int64_t>(v.diskBlocks))
            .EndObject();
        j.Key("faults").BeginArray();
        for (const std::string& f : v.faults) j.String(f);
        j.EndArray();
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

    out << "drive " << dir.string() << ": generation " << v.generation << ", chip " << v.chipName
        << ", flash " << v.flashSize << " bytes\n";
    out << "bus: " << BusText(v.bus);
    if (v.bus == EmulatedBus::Restarting) out << " (back in " << returnIn << " ms)";
    if (v.bus == EmulatedBus::Absent) out << " (" << v.absentReason << "; power-cycle it)";
    out << "\n";
    if (present) {
        out << "mode: " << (v.loader ? "update loader" : "normal firmware") << "\n"
            << "USB: " << Hex(v.usb.vendorId, 4) << ":" << Hex(v.usb.productId, 4) << " bcdDevice "
            << Hex(v.usb.bcdDevice, 4) << ", \"" << Utf16ToUtf8(v.usb.manufacturer) << "\" \""
            << Utf16ToUtf8(v.usb.product) << "\" serial \"" << Utf16ToUtf8(v.usb.serialNumber)
            << "\"\n"
            << "firmware version: " << v.firmwareVersion << "\n"
            << "INQUIRY: \"" << InquiryText(span36(8, 8)) << "\" \"" << InquiryText(span36(16, 16))
            << "\" \"" << InquiryText(span36(32, 4)) << "\"\n"
            << "capacity: " << v.logicalBlocks << " blocks of " << v.logicalBlockLength
            << " bytes\n";
    }
    if (v.updateModeSelected) out << "pending: update mode selected\n";
    if (v.nextBlockLength != v.logicalBlockLength) {
        out << "pending: " << v.nextBlockLength << "-byte blocks at the next start\n";
    }
    if (v.busyReadsLeft > 0) out << "busy for " << v.busyReadsLeft << " more status reads\n";
    out << "disk: serial \"" << v.diskSerial << "\", " << v.diskBlocks << " 512-byte units\n";
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

int Fault(Args args, std::ostream& out, std::ostream& err) {
    CliArgs cli(args,
                {"--fail-command", "--fail-kind", "--from", "--corrupt-read", "--pull-cable-at"},
                {"--stay-busy", "--refuse-update-mode", "--no-return", "--clear"});
    if (!cli.ok()) return Usage(err, cli.error());
    if (cli.positional().size() != 1) return Usage(err, "fault needs one folder");
    int chosen = 0;
    for (const char* o : {"--fail-command", "--fail-kind", "--corrupt-read", "--pull-cable-at",
                          "--stay-busy", "--refuse-update-mode", "--no-return", "--clear"}) {
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
    } else {
        fault.kind = Kind::NoReturn;
    }
    if (!SetEmulatedDriveFault(dir, fault, &why)) return Failed(err, why);
    out << "fault set\n";
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
    if (sub == "fault") return Fault(rest, out, err);
    if (sub == "power-cycle") return PowerCycle(rest, out, err);
    return Usage(err, "unknown emulator command " + sub);
}

}  // namespace mox3
