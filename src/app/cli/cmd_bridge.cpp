// bridge: one command to one device, for diagnosis.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "app/cli/cli_args.h"
#include "app/cli/cli_report.h"
#include "app/cli/commands.h"
#include "app/cli/json_out.h"
#include "app/run/host.h"
#include "app/session/session.h"
#include "base/text.h"
#include "bridge/vendor_commands.h"
#include "emulator/emulator_backend.h"
#include "platform/platform.h"

namespace mox3 {

namespace {

constexpr const char* kUsage =
    "usage: mox3-updater bridge (version|status|info|chip|capacity|inquiry) DEVICE [--json]\n"
    "DEVICE is a disk's device node (e.g. /dev/sdb) or an emulated drive's folder.\n";

std::string Text(const std::uint8_t* bytes, std::size_t n) {
    std::string out;
    for (std::size_t i = 0; i < n && bytes[i] != 0; ++i) {
        out.push_back(bytes[i] >= 0x20 && bytes[i] < 0x7F ? static_cast<char>(bytes[i]) : '.');
    }
    return out;
}

}  // namespace

int RunBridgeCommand(const Session& session, Args args, std::ostream& out, std::ostream& err) {
    CommandReport report("bridge", WantsJson(args), out, err, session.trace);
    if (IsHelp(args)) return report.Help(kUsage);
    CliArgs cli(args, {}, {"--json"});
    if (!cli.ok()) return report.Usage(cli.error(), kUsage);
    if (cli.positional().empty()) return report.Usage("bridge needs a command and a DEVICE", kUsage);
    const std::string& what = cli.positional()[0];
    static const char* kKnown[] = {"version", "status", "info", "chip", "capacity", "inquiry"};
    if (std::none_of(std::begin(kKnown), std::end(kKnown),
                     [&](const char* k) { return what == k; })) {
        return report.Usage("unknown bridge command " + what, kUsage);
    }
    report.Rename("bridge " + what);
    if (cli.positional().size() < 2) return report.Usage("bridge " + what + " needs a DEVICE", kUsage);
    if (cli.positional().size() > 2) {
        return report.Usage("unexpected argument " + cli.positional()[2], kUsage);
    }
    const std::string& device = cli.positional()[1];

    // Nothing is sent to a drive that an update is changing. With --emulator the drives share
    // the lock of their bus folder with the updates on that bus; an emulated drive reached
    // without one has its folder's own lock keep each request whole.
    HostOptions lockOptions;
    lockOptions.lockDir = Utf8Path(session.emulatedBusFolder);
    lockOptions.clock = session.clock;
    std::unique_ptr<DriveReadersLock> readers;
    if (!lockOptions.lockDir.empty() || !IsEmulatedDevicePath(Utf8ToUtf16(device))) {
        bool updateRunning = false;
        std::string why;
        readers = session.services.state->ShareLock(lockOptions, &updateRunning, &why);
        if (!readers) {
            return updateRunning ? report.Fail("update-running", UpdateRunningText(why))
                                 : report.Fail("lock-failed", why);
        }
    }

    // A folder can only be an emulated drive: say what it lacks rather than what opening a
    // folder as a device node says.
    std::error_code ec;
    if (std::filesystem::is_directory(Utf8Path(device), ec) &&
        !IsEmulatedDevicePath(Utf8ToUtf16(device))) {
        return report.Fail("not-an-emulated-drive", NotAnEmulatedDriveText(device));
    }
    CSpti request;
    if (!session.devices.backend || !request.Open(*session.devices.backend, Utf8ToUtf16(device))) {
        return report.Fail("cannot-open", request.openError().empty() ? "cannot open " + device
                                                                      : request.openError());
    }
    // The answer's fields, shown whether or not the device accepted the command.
    Json j = Json::object();
    j["device"] = device;
    std::string textOut;
    bool ok = false;
    if (what == "version") {
        std::uint8_t b[kVersionBlockSize];
        ok = ReadFirmwareVersion(b, request) == 1;
        std::string version = Utf16ToUtf8(FirmwareVersionText(b));
        j["bytes"] = HexString(b, HexDigits::Upper, " ");
        j["version"] = version;
        textOut =
            "firmware version " + version + " (" + HexString(b, HexDigits::Upper, " ") + ")\n";
    } else if (what == "status") {
        std::uint8_t b[kStatusBlockSize];
        ok = ReadBridgeStatus(b, request) == 1;
        j["bytes"] = HexString(b, HexDigits::Upper, " ");
        j["loader"] = (b[0] & kStatusLoader) != 0;
        j["readyWithoutSwitch"] = (b[0] & kStatusReady) != 0;
        j["busy"] = (b[0] & kStatusBusy) != 0;
        j["bits45Clear"] = (b[0] & kStatusMask45) == 0;
        textOut = "status " + HexString(b, HexDigits::Upper, " ") + "\n" +
                  "  mode: " + ((b[0] & kStatusLoader) ? "update loader" : "normal firmware") +
                  (b[0] & kStatusBusy ? ", busy" : "") + (b[0] & kStatusReady ? ", ready" : "") +
                  "\n";
    } else if (what == "info") {
        std::uint8_t b[kBridgeInfoSize];
        ok = ReadBridgeInfo(b, request) == 1;
        j["bytes"] = HexString(b, HexDigits::Upper, " ");
        textOut = "bridge information " + HexString(b, HexDigits::Upper, " ") + "\n";
    } else if (what == "chip") {
        std::uint8_t b[kChipNameSize];
        ok = ReadChipName(request, b);
        j["name"] = Text(b, sizeof b);
        textOut = "chip " + Text(b, sizeof b) + "\n";
    } else if (what == "capacity") {
        std::uint32_t blockLength = 0;
        std::int64_t blocks = ReadCapacity(request, blockLength);
        ok = blocks >= 0;
        j["blocks"] = blocks;
        j["blockLength"] = blockLength;
        textOut = std::to_string(blocks) + " blocks of " + std::to_string(blockLength) + " bytes\n";
    } else {
        std::uint8_t b[kInquirySize];
        ok = Inquiry(b, request) == 1;
        std::string vendor = Text(b + 8, 8), product = Text(b + 16, 16), revision = Text(b + 32, 4);
        j["bytes"] = HexString(b, HexDigits::Upper, " ");
        j["vendor"] = vendor;
        j["product"] = product;
        j["revision"] = revision;
        textOut = "vendor \"" + vendor + "\", product \"" + product + "\", revision \"" + revision +
                  "\"\n";
    }
    auto fields = [&](Json& into) { into.update(j); };
    if (!ok) {
        std::string text = device;
        text += " did not accept the " + what + " command";
        // INQUIRY and READ CAPACITY are every disk's; the others only this family's bridges take.
        if (what != "inquiry" && what != "capacity") {
            text += " (a disk without a bridge of this family refuses it)";
        }
        return report.Fail("command-failed", text, fields);
    }
    if (!report.json()) out << textOut;
    return report.Done(fields);
}

}  // namespace mox3
