// The emulated drive's state file: reading, writing, checking and the views tests take of it.
// Size: the one format of the state file, both directions beside each other.
#include "emulator/drive_state.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <map>
#include <sstream>

#include "base/text.h"
#include "emulator/flash_layout.h"
#include "emulator/folder_files.h"
#include "platform/platform.h"

namespace mox3 {

namespace fs = std::filesystem;

namespace {

constexpr const char* kTempSuffix = ".tmp";
// The last line of every state this program writes: a state file read while it is being
// written lacks it.
constexpr std::string_view kStateEndLine = "# end";

bool Complete(const std::string& text) {
    // The line may end in CR LF when the file went through an editor of another system.
    for (const char* end : {"\n", "\r\n"}) {
        const std::string last = std::string(kStateEndLine) + end;
        if (text.size() >= last.size() &&
            text.compare(text.size() - last.size(), std::string::npos, last) == 0) {
            return true;
        }
    }
    return false;
}

std::string Hex(std::span<const std::uint8_t> bytes) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string out(2 * bytes.size(), '0');
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        out[2 * i] = kDigits[bytes[i] >> 4];
        out[2 * i + 1] = kDigits[bytes[i] & 0x0F];
    }
    return out;
}

// The value of a hexadecimal digit, -1 for anything else.
int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// Pairs of hexadecimal digits into `out`; false at anything else.
bool HexBytes(std::string_view text, std::uint8_t* out) {
    if (text.size() % 2 != 0) return false;
    for (std::size_t i = 0; i < text.size(); i += 2) {
        const int high = HexDigit(text[i]);
        const int low = HexDigit(text[i + 1]);
        if (high < 0 || low < 0) return false;
        out[i / 2] = static_cast<std::uint8_t>(high << 4 | low);
    }
    return true;
}

std::string Hex16(std::uint32_t value) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "0x%04X", value & 0xFFFFu);
    return buf;
}

std::string Hex8(std::uint32_t value) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "0x%02X", value & 0xFFu);
    return buf;
}

// Texts are UTF-8 on one line: backslash, line breaks and other control characters escaped.
std::string Escape(std::string_view text) {
    std::string out;
    for (char c : text) {
        auto u = static_cast<unsigned char>(c);
        if (c == '\\') {
            out += "\\\\";
        } else if (c == '\n') {
            out += "\\n";
        } else if (u < 0x20 || u == 0x7F) {
            char buf[5];
            std::snprintf(buf, sizeof buf, "\\x%02X", u);
            out += buf;
        } else {
            out.push_back(c);
        }
    }
    return out;
}

std::optional<std::string> Unescape(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            out.push_back(text[i]);
            continue;
        }
        if (++i >= text.size()) return std::nullopt;
        if (text[i] == '\\') {
            out.push_back('\\');
        } else if (text[i] == 'n') {
            out.push_back('\n');
        } else if (text[i] == 'x' && i + 2 < text.size()) {
            std::string digits(text.substr(i + 1, 2));
            char* end = nullptr;
            long v = std::strtol(digits.c_str(), &end, 16);
            if (end != digits.c_str() + 2) return std::nullopt;
            out.push_back(static_cast<char>(v));
            i += 2;
        } else {
            return std::nullopt;
        }
    }
    return out;
}

// A number as written in the state: decimal, hexadecimal after "0x", octal after a leading 0.
std::optional<std::uint64_t> Number(std::string_view text) {
    unsigned base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text.remove_prefix(2);
    } else if (text.size() > 1 && text[0] == '0') {
        base = 8;
        text.remove_prefix(1);
    }
    if (text.empty()) return std::nullopt;
    std::uint64_t value = 0;
    for (char c : text) {
        const int digit = HexDigit(c);
        if (digit < 0 || static_cast<unsigned>(digit) >= base) return std::nullopt;
        if (value > (std::numeric_limits<std::uint64_t>::max() - digit) / base) return std::nullopt;
        value = value * base + static_cast<unsigned>(digit);
    }
    return value;
}

template <std::size_t N>
std::optional<std::array<std::uint8_t, N>> FromHex(std::string_view text) {
    std::array<std::uint8_t, N> bytes{};
    if (text.size() != 2 * N || !HexBytes(text, bytes.data())) return std::nullopt;
    return bytes;
}

// The values of a state's keys; the views point into the state's text.
class Reader {
  public:
    explicit Reader(std::map<std::string_view, std::string_view> values)
        : values_(std::move(values)) {}
    const std::string& error() const { return error_; }
    bool ok() const { return error_.empty(); }

    std::optional<std::string_view> Raw(std::string_view key, bool required) {
        auto it = values_.find(key);
        if (it == values_.end()) {
            if (required) Fail(key, "missing");
            return std::nullopt;
        }
        return it->second;
    }
    template <typename T>
    void Num(std::string_view key, T& out, bool required = false) {
        auto raw = Raw(key, required);
        if (!raw) return;
        auto v = Number(*raw);
        if (!v || *v > static_cast<std::uint64_t>(std::numeric_limits<T>::max())) {
            Fail(key, "not a number in range");
            return;
        }
        out = static_cast<T>(*v);
    }
    template <typename T>
    void OptNum(std::string_view key, std::optional<T>& out) {
        T v{};
        if (!Raw(key, false)) return;
        Num(key, v);
        out = v;
    }
    void Flag(std::string_view key, bool& out) {
        auto raw = Raw(key, false);
        if (!raw) return;
        if (*raw != "0" && *raw != "1") Fail(key, "not 0 or 1");
        out = *raw == "1";
    }
    void Text(std::string_view key, std::string& out, bool required = false) {
        auto raw = Raw(key, required);
        if (!raw) return;
        auto text = Unescape(*raw);
        if (!text) Fail(key, "bad escape");
        out = text.value_or("");
    }
    void Text16(std::string_view key, std::u16string& out) {
        std::string utf8;
        Text(key, utf8);
        out = Utf8ToUtf16(utf8);
    }
    template <std::size_t N>
    void Bytes(std::string_view key, std::array<std::uint8_t, N>& out) {
        auto raw = Raw(key, false);
        if (!raw) return;
        auto bytes = FromHex<N>(*raw);
        if (!bytes) {
            Fail(key, "not " + std::to_string(N) + " hex bytes");
            return;
        }
        out = *bytes;
    }
    void Fail(std::string_view key, const std::string& why) {
        if (error_.empty()) error_ = std::string(key) + ": " + why;
    }

  private:
    std::map<std::string_view, std::string_view> values_;
    std::string error_;
};

// Flash patches as "ADDRESS:HEX;ADDRESS:HEX".
std::string RedoText(const std::vector<FlashPatch>& patches) {
    std::string text;
    for (const FlashPatch& p : patches) {
        if (!text.empty()) text += ';';
        text += std::to_string(p.address) + ':' + Hex(p.bytes);
    }
    return text;
}

std::optional<std::vector<FlashPatch>> ParseRedo(std::string_view text) {
    std::vector<FlashPatch> patches;
    while (!text.empty()) {
        const std::size_t end = std::min(text.find(';'), text.size());
        const std::string_view item = text.substr(0, end);
        text.remove_prefix(std::min(end + 1, text.size()));
        const std::size_t colon = item.find(':');
        if (colon == std::string_view::npos) return std::nullopt;
        auto address = Number(std::string(item.substr(0, colon)));
        if (!address || *address > 0xFFFFFFFFu) return std::nullopt;
        FlashPatch patch;
        patch.address = static_cast<std::uint32_t>(*address);
        const std::string_view digits = item.substr(colon + 1);
        patch.bytes.resize(digits.size() / 2);
        if (!HexBytes(digits, patch.bytes.data())) return std::nullopt;
        patches.push_back(std::move(patch));
    }
    return patches;
}

// Whatever a killed process left behind: temporary files and flash files nobody names.
void RemoveLeftovers(const fs::path& dir, const DriveState& s) {
    const std::string current = FlashFileName(s.flashRevision);
    std::error_code ec;
    for (const fs::directory_entry& entry : fs::directory_iterator(dir, ec)) {
        std::string name = entry.path().filename().string();
        bool temp = name.size() > 4 && name.substr(name.size() - 4) == kTempSuffix;
        bool staleFlash = name.rfind("flash-", 0) == 0 && name != current;
        if (temp || staleFlash) fs::remove(entry.path(), ec);
    }
}

}  // namespace

const char* EmulatedBusName(EmulatedBus bus) {
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

std::string FlashFileName(std::uint64_t revision) {
    return "flash-" + std::to_string(revision) + ".bin";
}

std::string SerializeDriveState(const DriveState& s) {
    std::ostringstream o;
    auto line = [&](const char* key, const std::string& value) {
        o << key << '=' << value << '\n';
    };
    auto num = [&](const char* key, std::uint64_t value) { line(key, std::to_string(value)); };
    auto flag = [&](const char* key, bool value) { line(key, value ? "1" : "0"); };
    const bool bridge = s.kind == DeviceKind::Bridge;
    o << kDriveStateFormatLine << '\n';
    line("kind", bridge ? "bridge" : "disk");
    if (bridge) {
        o << "# the drive\n";
        num("generation", static_cast<std::uint64_t>(s.generation));
        line("chip", Escape(s.chipName));
        num("flash-size", s.flashSize);
        line("disk-serial", Escape(s.diskSerial));
        num("disk-blocks", s.diskBlocks);
        num("restart-delay-ms", s.restartDelayMs);
        num("busy-reads", s.busyReads);
        flag("ready-without-switch", s.readyWithoutSwitch);
        line("flash-file", FlashFileName(s.flashRevision));
        if (!s.flashRedo.empty()) line("flash-redo", RedoText(s.flashRedo));
    } else {
        o << "# the disk\n";
        num("disk-blocks", s.diskBlocks);
    }
    if (s.latency.on()) {
        o << "# time a request takes\n";
        num("latency-request-us", s.latency.requestUs);
        num("latency-kib-us", s.latency.kibUs);
        num("latency-page-us", s.latency.pageUs);
    }
    o << "# the bus\n";
    line("bus", EmulatedBusName(s.bus));
    num("return-at-ms", s.returnAtMs);
    line("absent-reason", Escape(s.absentReason));
    num("session", s.session);
    if (bridge) flag("restart-into-loader", s.restartIntoLoader);
    o << "# where it sits in the host's device tree\n";
    const EmulatedTreeSettings& t = s.tree;
    flag("attached", t.attached);
    flag("cdrom", t.cdrom);
    num("usb-levels", static_cast<std::uint64_t>(t.usbLevels));
    flag("composite", t.composite);
    line("port-identity", EmulatedPortIdentityName(t.portIdentity));
    flag("lower-case-ids", t.lowerCaseIds);
    num("bus-type", t.busType);
    flag("refuse-open", t.refuseOpen);
    flag("device-number-fails", t.deviceNumberFails);
    num("install-pending", t.installPending);
    o << (bridge ? "# presented since the bridge started\n" : "# presented\n");
    if (bridge) line("mode", s.loader ? "loader" : "normal");
    line("usb-vendor-id", Hex16(s.usb.vendorId));
    line("usb-product-id", Hex16(s.usb.productId));
    line("usb-bcd-device", Hex16(s.usb.bcdDevice));
    line("usb-manufacturer", Escape(Utf16ToUtf8(s.usb.manufacturer)));
    line("usb-product", Escape(Utf16ToUtf8(s.usb.product)));
    line("usb-serial", Escape(Utf16ToUtf8(s.usb.serialNumber)));
    line("inquiry", Hex(s.inquiry));
    if (bridge) line("version-block", Hex(s.versionBlock));
    num("block-length", s.blockLength);
    if (bridge) {
        o << "# bridge working memory\n";
        flag("update-mode-selected", s.updateModeSelected);
        num("busy-left", s.busyLeft);
        flag("header-armed", s.headerArmed);
        line("header-function", Hex8(s.headerFunction));
        line("header-checksum", Hex16(s.headerChecksum));
        line("flash-parameters", s.flashParameters ? Hex(*s.flashParameters) : "none");
        if (s.flashUpdateBegun) flag("flash-update-begun", true);
    }
    line("last-failed-code", Hex8(s.lastFailedCode));
    line("last-sense-key", Hex8(s.lastSenseKey));
    num("commands-since-start", s.commandsSinceStart);
    num("commands-total", s.commandsTotal);
    o << "# faults\n";
    const DriveFaults& f = s.faults;
    if (f.failCommandAt) num("fault-fail-command-at", *f.failCommandAt);
    if (f.pullCableAt) num("fault-pull-cable-at", *f.pullCableAt);
    if (f.failKind) {
        line("fault-fail-kind", Hex8(*f.failKind));
        num("fault-fail-kind-from", f.failKindFrom);
        num("fault-fail-kind-seen", f.failKindSeen);
        num("fault-fail-kind-times", f.failKindTimes);
    }
    if (f.corruptReadAddress) num("fault-corrupt-read", *f.corruptReadAddress);
    if (f.unsteadyReadAddress) {
        num("fault-unsteady-read", *f.unsteadyReadAddress);
        num("fault-unsteady-read-times", f.unsteadyReadTimes);
        num("fault-unsteady-reads-seen", f.unsteadyReadsSeen);
    }
    if (f.refuseReadBeforeErase) flag("fault-refuse-read-before-erase", true);
    if (f.stayBusy) flag("fault-stay-busy", true);
    if (f.refuseUpdateMode) flag("fault-refuse-update-mode", true);
    if (f.noReturn) flag("fault-no-return", true);
    if (f.returnInLoader) flag("fault-return-in-loader", true);
    o << kStateEndLine << '\n';
    return o.str();
}

std::optional<DriveState> ParseDriveState(std::string_view text, std::string* error) {
    auto fail = [&](std::string why) -> std::optional<DriveState> {
        if (error) *error = std::move(why);
        return std::nullopt;
    };
    std::map<std::string_view, std::string_view> values;
    bool first = true;
    while (!text.empty()) {
        const std::size_t end = std::min(text.find('\n'), text.size());
        std::string_view lineText = text.substr(0, end);
        text.remove_prefix(std::min(end + 1, text.size()));
        if (!lineText.empty() && lineText.back() == '\r') lineText.remove_suffix(1);
        if (first) {
            if (lineText != kDriveStateFormatLine) return fail("not an emulated drive state");
            first = false;
            continue;
        }
        if (lineText.empty() || lineText[0] == '#') continue;
        auto eq = lineText.find('=');
        if (eq == std::string_view::npos) {
            return fail("line without '=': " + std::string(lineText));
        }
        values[lineText.substr(0, eq)] = lineText.substr(eq + 1);
    }
    if (first) return fail("empty state file");

    DriveState s;
    Reader r(std::move(values));
    // Keys that came after the first drives default to what those drives were: a bridge,
    // plugged in, with a disk interface right below its USB device.
    if (auto kind = r.Raw("kind", false)) {
        if (*kind != "bridge" && *kind != "disk") r.Fail("kind", "neither bridge nor disk");
        s.kind = *kind == "disk" ? DeviceKind::PlainDisk : DeviceKind::Bridge;
    }
    const bool bridge = s.kind == DeviceKind::Bridge;
    r.Num("generation", s.generation, bridge);
    r.Text("chip", s.chipName, bridge);
    r.Num("flash-size", s.flashSize, bridge);
    r.Text("disk-serial", s.diskSerial);
    r.Num("disk-blocks", s.diskBlocks, true);
    r.Num("restart-delay-ms", s.restartDelayMs);
    r.Num("busy-reads", s.busyReads);
    r.Flag("ready-without-switch", s.readyWithoutSwitch);
    r.Num("latency-request-us", s.latency.requestUs);
    r.Num("latency-kib-us", s.latency.kibUs);
    r.Num("latency-page-us", s.latency.pageUs);
    if (auto redo = r.Raw("flash-redo", false)) {
        auto patches = ParseRedo(*redo);
        if (!patches) r.Fail("flash-redo", "not ADDRESS:HEX pairs separated by ';'");
        s.flashRedo = patches.value_or(std::vector<FlashPatch>{});
    }
    if (auto file = r.Raw("flash-file", bridge)) {
        std::string name(*file);
        if (name.rfind("flash-", 0) != 0 || name.size() < 11 ||
            name.substr(name.size() - 4) != ".bin") {
            r.Fail("flash-file", "not flash-N.bin");
        } else if (auto n = Number(name.substr(6, name.size() - 10))) {
            s.flashRevision = *n;
        } else {
            r.Fail("flash-file", "not flash-N.bin");
        }
    }
    if (auto bus = r.Raw("bus", false)) {
        if (*bus == "present") {
            s.bus = EmulatedBus::Present;
        } else if (*bus == "restarting") {
            s.bus = EmulatedBus::Restarting;
        } else if (*bus == "absent") {
            s.bus = EmulatedBus::Absent;
        } else {
            r.Fail("bus", "unknown state " + std::string(*bus));
        }
    }
    r.Num("return-at-ms", s.returnAtMs);
    r.Text("absent-reason", s.absentReason);
    r.Num("session", s.session);
    r.Flag("restart-into-loader", s.restartIntoLoader);
    EmulatedTreeSettings& t = s.tree;
    r.Flag("attached", t.attached);
    r.Flag("cdrom", t.cdrom);
    r.Num("usb-levels", t.usbLevels);
    r.Flag("composite", t.composite);
    if (auto port = r.Raw("port-identity", false)) {
        auto identity = EmulatedPortIdentityFromName(*port);
        if (!identity) r.Fail("port-identity", "not full, no-serial or none");
        t.portIdentity = identity.value_or(EmulatedPortIdentity::Full);
    }
    r.Flag("lower-case-ids", t.lowerCaseIds);
    r.Num("bus-type", t.busType);
    r.Flag("refuse-open", t.refuseOpen);
    r.Flag("device-number-fails", t.deviceNumberFails);
    r.Num("install-pending", t.installPending);
    s.loader = bridge;
    if (auto mode = r.Raw("mode", false)) {
        if (*mode != "loader" && *mode != "normal") r.Fail("mode", "neither loader nor normal");
        s.loader = bridge && *mode == "loader";
    }
    r.Num("usb-vendor-id", s.usb.vendorId);
    r.Num("usb-product-id", s.usb.productId);
    r.Num("usb-bcd-device", s.usb.bcdDevice);
    r.Text16("usb-manufacturer", s.usb.manufacturer);
    r.Text16("usb-product", s.usb.product);
    r.Text16("usb-serial", s.usb.serialNumber);
    r.Bytes("inquiry", s.inquiry);
    r.Bytes("version-block", s.versionBlock);
    r.Num("block-length", s.blockLength);
    r.Flag("update-mode-selected", s.updateModeSelected);
    r.Num("busy-left", s.busyLeft);
    r.Flag("header-armed", s.headerArmed);
    r.Flag("flash-update-begun", s.flashUpdateBegun);
    r.Num("header-function", s.headerFunction);
    r.Num("header-checksum", s.headerChecksum);
    if (auto params = r.Raw("flash-parameters", false); params && *params != "none") {
        std::array<std::uint8_t, 8> bytes{};
        r.Bytes("flash-parameters", bytes);
        s.flashParameters = bytes;
    }
    r.Num("last-failed-code", s.lastFailedCode);
    r.Num("last-sense-key", s.lastSenseKey);
    r.Num("commands-since-start", s.commandsSinceStart);
    r.Num("commands-total", s.commandsTotal);
    DriveFaults& f = s.faults;
    r.OptNum("fault-fail-command-at", f.failCommandAt);
    r.OptNum("fault-pull-cable-at", f.pullCableAt);
    r.OptNum("fault-fail-kind", f.failKind);
    r.Num("fault-fail-kind-from", f.failKindFrom);
    r.Num("fault-fail-kind-seen", f.failKindSeen);
    r.Num("fault-fail-kind-times", f.failKindTimes);
    r.OptNum("fault-corrupt-read", f.corruptReadAddress);
    r.OptNum("fault-unsteady-read", f.unsteadyReadAddress);
    r.Num("fault-unsteady-read-times", f.unsteadyReadTimes);
    r.Num("fault-unsteady-reads-seen", f.unsteadyReadsSeen);
    r.Flag("fault-refuse-read-before-erase", f.refuseReadBeforeErase);
    r.Flag("fault-stay-busy", f.stayBusy);
    r.Flag("fault-refuse-update-mode", f.refuseUpdateMode);
    r.Flag("fault-no-return", f.noReturn);
    r.Flag("fault-return-in-loader", f.returnInLoader);
    if (!r.ok()) return fail(r.error());
    if (s.generation != 1 && s.generation != 2) return fail("generation must be 1 or 2");
    if (bridge) {
        // The bridge reads its configuration block at a fixed address: a smaller flash has none.
        const std::uint64_t least = EmulatedBlockAddress(s.generation) + kConfigBlockSize;
        if (s.flashSize < least || s.flashSize > kLargestEmulatedFlash) {
            return fail("flash-size: " + std::to_string(s.flashSize) + " bytes; a generation " +
                        std::to_string(s.generation) + " flash holds " + std::to_string(least) +
                        " to " + std::to_string(kLargestEmulatedFlash) + " bytes");
        }
    }
    if (t.usbLevels < 1 || t.usbLevels > 3) return fail("usb-levels: 1, 2 or 3");
    if (s.blockLength != 512 && s.blockLength != 4096) return fail("block-length: 512 or 4096");
    for (const FlashPatch& p : s.flashRedo) {
        if (p.address + std::uint64_t{p.bytes.size()} > s.flashSize) {
            return fail("flash-redo: bytes beyond the flash");
        }
    }
    return s;
}

DriveFolderLock::DriveFolderLock(const fs::path& dir) : lock_(dir / kDriveLockFile) {}

std::optional<std::string> ReadDriveStateText(const fs::path& dir) {
    const fs::path file = dir / kDriveStateFile;
    if (auto text = ReadFileContents(file, kLargestStateFile)) return text;
    // Perhaps a save is between removing the old state and renaming the new one into place.
    if (auto text = ReadFileContents(ReplacementFor(file), kLargestStateFile);
        text && Complete(*text)) {
        return text;
    }
    return ReadFileContents(file, kLargestStateFile);
}

std::optional<DriveState> LoadDriveState(const fs::path& dir, std::string* error) {
    auto text = ReadDriveStateText(dir);
    if (!text) {
        if (error) *error = dir.string() + " is not an emulated drive (no " + kDriveStateFile + ")";
        return std::nullopt;
    }
    std::string why;
    auto state = ParseDriveState(*text, &why);
    if (!state && error) *error = dir.string() + ": bad " + kDriveStateFile + ": " + why;
    return state;
}

std::optional<LoadedDrive> LoadDrive(const fs::path& dir, std::string* error) {
    auto fail = [&](std::string why) -> std::optional<LoadedDrive> {
        if (error) *error = std::move(why);
        return std::nullopt;
    };
    const fs::path stateFile = dir / kDriveStateFile;
    std::error_code ec;
    std::string unreadable;
    auto text = ReadFileContents(stateFile, kLargestStateFile, &unreadable);
    if (!text) {
        // A state that is there but is no regular file, or far too long, is refused as such.
        if (fs::exists(fs::symlink_status(stateFile, ec))) {
            return fail(dir.string() + ": bad " + kDriveStateFile + ": " + unreadable);
        }
        // A save killed between removing the old state and renaming the new one: the new one
        // is complete and goes into its place now.
        text = ReadFileContents(ReplacementFor(stateFile), kLargestStateFile);
        if (!text || !Complete(*text)) {
            return fail(dir.string() + " is not an emulated drive (no " + kDriveStateFile + ")");
        }
        if (!MoveIntoPlace(ReplacementFor(stateFile), stateFile, error)) return std::nullopt;
    }
    std::string why;
    auto state = ParseDriveState(*text, &why);
    if (!state) return fail(dir.string() + ": bad " + kDriveStateFile + ": " + why);
    LoadedDrive drive;
    drive.dir = dir;
    drive.state = std::move(*state);
    // A save that would write the same text again is left out.
    drive.loadedText = std::move(*text);
    if (drive.state.kind == DeviceKind::PlainDisk) return drive;
    fs::path flashFile = dir / FlashFileName(drive.state.flashRevision);
    if (!ReadFileBytes(flashFile, drive.flash, kLargestEmulatedFlash, &why)) {
        return fail("cannot read the flash: " + why);
    }
    if (drive.flash.size() != drive.state.flashSize) {
        return fail(flashFile.string() + " holds " + std::to_string(drive.flash.size()) +
                    " bytes, the flash has " + std::to_string(drive.state.flashSize));
    }
    // Pages the last save committed may not have reached the flash file: they go there now.
    for (const FlashPatch& p : drive.state.flashRedo) {
        std::copy(p.bytes.begin(), p.bytes.end(), drive.flash.begin() + p.address);
        if (!WriteFileRange(flashFile, p.address, p.bytes, error)) return std::nullopt;
    }
    drive.state.flashRedo.clear();
    return drive;
}

bool SaveDrive(const fs::path& dir, LoadedDrive& drive, std::string* error,
               const std::function<void(SaveStep)>& onStep) {
    DriveState& s = drive.state;
    const std::uint64_t oldRevision = s.flashRevision;
    if (drive.flashChanged) {
        // A new file: the old state keeps naming the old flash until the commit.
        std::uint64_t revision = oldRevision + 1;
        std::string_view bytes(reinterpret_cast<const char*>(drive.flash.data()),
                               drive.flash.size());
        if (!WriteNewFile(dir / FlashFileName(revision), bytes, error)) return false;
        s.flashRevision = revision;
        if (onStep) onStep(SaveStep::FlashWritten);
    } else {
        for (const auto& [address, length] : drive.flashWrites) {
            const auto from = drive.flash.begin() + address;
            s.flashRedo.push_back({address, std::vector<std::uint8_t>(from, from + length)});
        }
    }
    const std::string text = SerializeDriveState(s);
    if (text == drive.loadedText) {
        s.flashRedo.clear();
        RemoveLeftovers(dir, s);
        return true;
    }
    const fs::path stateFile = dir / kDriveStateFile;
    const fs::path newStateFile = ReplacementFor(stateFile);
    auto undo = [&] {
        s.flashRevision = oldRevision;
        s.flashRedo.clear();
        return false;
    };
    if (!WriteNewFile(newStateFile, text, error)) return undo();
    if (onStep) onStep(SaveStep::StateWritten);
    std::error_code ec;
    fs::remove(stateFile, ec);
    if (ec) {
        if (error) *error = "cannot replace " + stateFile.string() + ": " + ec.message();
        return undo();
    }
    if (onStep) onStep(SaveStep::OldStateRemoved);
    if (!MoveIntoPlace(newStateFile, stateFile, error)) {
        // The next load takes the new state from where it is.
        return undo();
    }
    if (onStep) onStep(SaveStep::Committed);
    drive.loadedText = text;
    drive.flashChanged = false;
    drive.flashWrites.clear();
    const fs::path flashFile = dir / FlashFileName(s.flashRevision);
    for (const FlashPatch& p : s.flashRedo) {
        // Should this fail, the next load writes the bytes from the state.
        if (!WriteFileRange(flashFile, p.address, p.bytes, error)) break;
    }
    s.flashRedo.clear();
    RemoveLeftovers(dir, s);
    return true;
}

bool IsEmulatedDriveFolder(const fs::path& dir) {
    auto text = ReadDriveStateText(dir);
    const std::string_view format = kDriveStateFormatLine;
    return text && text->starts_with(format) &&
           (text->size() == format.size() || (*text)[format.size()] == '\n' ||
            (*text)[format.size()] == '\r');
}

bool UpdateDrive(const fs::path& dir, const std::function<bool(LoadedDrive&)>& change,
                 std::string* error) {
    if (!IsEmulatedDriveFolder(dir)) {
        if (error) {
            // A state file that is there but cannot be read says why.
            const fs::path stateFile = dir / kDriveStateFile;
            std::error_code ec;
            std::string why;
            *error = fs::exists(fs::symlink_status(stateFile, ec)) &&
                             !ReadFileContents(stateFile, kLargestStateFile, &why)
                         ? dir.string() + ": bad " + kDriveStateFile + ": " + why
                         : dir.string() + " is not an emulated drive";
        }
        return false;
    }
    DriveFolderLock lock(dir);
    if (!lock.ok()) {
        if (error) *error = lock.error();
        return false;
    }
    auto drive = LoadDrive(dir, error);
    if (!drive) return false;
    if (!change(*drive)) return false;
    return SaveDrive(dir, *drive, error);
}

}  // namespace mox3
