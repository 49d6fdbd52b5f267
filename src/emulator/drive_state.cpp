#include "emulator/drive_state.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <limits>
#include <map>
#include <sstream>

#include "config/text.h"
#include "platform/platform.h"

namespace mox3 {

namespace fs = std::filesystem;

namespace {

constexpr const char* kTempSuffix = ".tmp";

std::string Hex(std::span<const std::uint8_t> bytes) {
    std::string out;
    char buf[3];
    for (std::uint8_t b : bytes) {
        std::snprintf(buf, sizeof buf, "%02X", b);
        out += buf;
    }
    return out;
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

std::optional<std::uint64_t> Number(const std::string& text) {
    if (text.empty() || text[0] == '-' || text[0] == '+' || text[0] == ' ') return std::nullopt;
    errno = 0;
    char* end = nullptr;
    unsigned long long v = std::strtoull(text.c_str(), &end, 0);
    if (errno != 0 || end == nullptr || *end != '\0') return std::nullopt;
    return v;
}

template <std::size_t N>
std::optional<std::array<std::uint8_t, N>> FromHex(const std::string& text) {
    if (text.size() != 2 * N) return std::nullopt;
    std::array<std::uint8_t, N> bytes{};
    for (std::size_t i = 0; i < N; ++i) {
        std::string pair = text.substr(2 * i, 2);
        char* end = nullptr;
        long v = std::strtol(pair.c_str(), &end, 16);
        if (end != pair.c_str() + 2) return std::nullopt;
        bytes[i] = static_cast<std::uint8_t>(v);
    }
    return bytes;
}

class Reader {
  public:
    explicit Reader(std::map<std::string, std::string> values) : values_(std::move(values)) {}
    const std::string& error() const { return error_; }
    bool ok() const { return error_.empty(); }

    std::optional<std::string> Raw(const std::string& key, bool required) {
        auto it = values_.find(key);
        if (it == values_.end()) {
            if (required) Fail(key, "missing");
            return std::nullopt;
        }
        return it->second;
    }
    template <typename T>
    void Num(const std::string& key, T& out, bool required = false) {
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
    void OptNum(const std::string& key, std::optional<T>& out) {
        T v{};
        if (!Raw(key, false)) return;
        Num(key, v);
        out = v;
    }
    void Flag(const std::string& key, bool& out) {
        auto raw = Raw(key, false);
        if (!raw) return;
        if (*raw != "0" && *raw != "1") Fail(key, "not 0 or 1");
        out = *raw == "1";
    }
    void Text(const std::string& key, std::string& out, bool required = false) {
        auto raw = Raw(key, required);
        if (!raw) return;
        auto text = Unescape(*raw);
        if (!text) Fail(key, "bad escape");
        out = text.value_or("");
    }
    void Text16(const std::string& key, std::u16string& out) {
        std::string utf8;
        Text(key, utf8);
        out = Utf8ToUtf16(utf8);
    }
    template <std::size_t N>
    void Bytes(const std::string& key, std::array<std::uint8_t, N>& out) {
        auto raw = Raw(key, false);
        if (!raw) return;
        auto bytes = FromHex<N>(*raw);
        if (!bytes) {
            Fail(key, "not " + std::to_string(N) + " hex bytes");
            return;
        }
        out = *bytes;
    }
    void Fail(const std::string& key, const std::string& why) {
        if (error_.empty()) error_ = key + ": " + why;
    }

  private:
    std::map<std::string, std::string> values_;
    std::string error_;
};

fs::path TemporaryFor(const fs::path& target) {
    fs::path temp = target;
    temp += kTempSuffix;
    return temp;
}

// Writes `data` durably to the temporary file beside `target`.
bool WriteTemporary(const fs::path& target, std::string_view data, std::string* error) {
    return WriteFileDurably(TemporaryFor(target), data, error);
}

// Puts the temporary file written for `target` in its place.
bool ReplaceWithTemporary(const fs::path& target, std::string* error) {
    return MoveIntoPlace(TemporaryFor(target), target, error);
}

std::optional<std::string> ReadWhole(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) return std::nullopt;
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad()) return std::nullopt;
    return text.str();
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
    } else {
        o << "# the disk\n";
        num("disk-blocks", s.diskBlocks);
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
    if (f.stayBusy) flag("fault-stay-busy", true);
    if (f.refuseUpdateMode) flag("fault-refuse-update-mode", true);
    if (f.noReturn) flag("fault-no-return", true);
    if (f.returnInLoader) flag("fault-return-in-loader", true);
    return o.str();
}

std::optional<DriveState> ParseDriveState(std::string_view text, std::string* error) {
    auto fail = [&](std::string why) -> std::optional<DriveState> {
        if (error) *error = std::move(why);
        return std::nullopt;
    };
    std::map<std::string, std::string> values;
    std::istringstream in{std::string(text)};
    std::string lineText;
    bool first = true;
    while (std::getline(in, lineText)) {
        if (first) {
            if (lineText != kDriveStateFormatLine) return fail("not an emulated drive state");
            first = false;
            continue;
        }
        if (lineText.empty() || lineText[0] == '#') continue;
        auto eq = lineText.find('=');
        if (eq == std::string::npos) return fail("line without '=': " + lineText);
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
    if (auto file = r.Raw("flash-file", bridge)) {
        std::string name = *file;
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
            r.Fail("bus", "unknown state " + *bus);
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
    r.Flag("fault-stay-busy", f.stayBusy);
    r.Flag("fault-refuse-update-mode", f.refuseUpdateMode);
    r.Flag("fault-no-return", f.noReturn);
    r.Flag("fault-return-in-loader", f.returnInLoader);
    if (!r.ok()) return fail(r.error());
    if (s.generation != 1 && s.generation != 2) return fail("generation must be 1 or 2");
    if (t.usbLevels < 1 || t.usbLevels > 3) return fail("usb-levels: 1, 2 or 3");
    if (s.blockLength != 512 && s.blockLength != 4096) return fail("block-length: 512 or 4096");
    return s;
}

DriveFolderLock::DriveFolderLock(const fs::path& dir) : lock_(dir / kDriveLockFile) {}

std::optional<DriveState> LoadDriveState(const fs::path& dir, std::string* error) {
    auto text = ReadWhole(dir / kDriveStateFile);
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
    auto state = LoadDriveState(dir, error);
    if (!state) return std::nullopt;
    LoadedDrive drive;
    drive.state = std::move(*state);
    if (drive.state.kind == DeviceKind::PlainDisk) return drive;
    fs::path flashFile = dir / FlashFileName(drive.state.flashRevision);
    auto flash = ReadWhole(flashFile);
    if (!flash) return fail("cannot read " + flashFile.string());
    if (flash->size() != drive.state.flashSize) {
        return fail(flashFile.string() + " holds " + std::to_string(flash->size()) +
                    " bytes, the flash has " + std::to_string(drive.state.flashSize));
    }
    drive.flash.assign(flash->begin(), flash->end());
    return drive;
}

bool SaveDrive(const fs::path& dir, LoadedDrive& drive, std::string* error,
               const std::function<void(SaveStep)>& onStep) {
    const std::uint64_t oldRevision = drive.state.flashRevision;
    if (drive.flashChanged) {
        // A new file: the old state keeps naming the old flash until the commit.
        std::uint64_t revision = oldRevision + 1;
        fs::path file = dir / FlashFileName(revision);
        std::string_view bytes(reinterpret_cast<const char*>(drive.flash.data()),
                               drive.flash.size());
        if (!WriteTemporary(file, bytes, error) || !ReplaceWithTemporary(file, error)) {
            return false;
        }
        drive.state.flashRevision = revision;
        if (onStep) onStep(SaveStep::FlashWritten);
    }
    const fs::path stateFile = dir / kDriveStateFile;
    if (!WriteTemporary(stateFile, SerializeDriveState(drive.state), error)) {
        drive.state.flashRevision = oldRevision;
        return false;
    }
    if (onStep) onStep(SaveStep::StateWritten);
    if (!ReplaceWithTemporary(stateFile, error)) {
        drive.state.flashRevision = oldRevision;
        return false;
    }
    SyncFolder(dir);
    if (onStep) onStep(SaveStep::Committed);
    drive.flashChanged = false;
    // Whatever a killed process left behind: temporary files and flash files nobody names.
    const std::string current = FlashFileName(drive.state.flashRevision);
    std::error_code ec;
    for (const fs::directory_entry& entry : fs::directory_iterator(dir, ec)) {
        std::string name = entry.path().filename().string();
        bool temp = name.size() > 4 && name.substr(name.size() - 4) == kTempSuffix;
        bool staleFlash = name.rfind("flash-", 0) == 0 && name != current;
        if (temp || staleFlash) fs::remove(entry.path(), ec);
    }
    return true;
}

bool UpdateDrive(const fs::path& dir, const std::function<bool(LoadedDrive&)>& change,
                 std::string* error) {
    if (!IsEmulatedDriveFolder(dir)) {
        if (error) *error = dir.string() + " is not an emulated drive";
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
