#include "app/run/host_linux.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>

#include "app/run/disk_use.h"
#include "base/text.h"
#include "config/profile_reader.h"
#include "platform/platform.h"
#include "resources/resources.h"

// The installed data folder, relative to the program's folder (set by the build from the
// install layout), so that an installation moved elsewhere as a whole still finds it.
#ifndef MOX3_DATA_DIR_FROM_PROGRAM
#define MOX3_DATA_DIR_FROM_PROGRAM "../share/mox3-updater"
#endif

namespace mox3 {

namespace fs = std::filesystem;

namespace {

constexpr const char* kMarkerName = "ZR-MOX3_UPDATE";
// The block length beside the marker, in its own file so that the marker stays the serial
// number alone, as older versions wrote and read it.
constexpr const char* kLengthName = "ZR-MOX3_UPDATE.length";
constexpr const char* kConfigName = "MOX3_config.ini";
constexpr const char* kLockName = "KAVELIN ZR-MOX3 UPDATER.lock";

fs::path ProgramFolder() {
    std::error_code ec;
    fs::path exe = fs::read_symlink("/proc/self/exe", ec);
    return ec ? fs::path(".") : exe.parent_path();
}

// A folder that only its owner, the current user, can reach; made when missing.
bool MakePrivateDir(const fs::path& dir, std::string* error) {
    std::error_code ec;
    fs::create_directories(dir.parent_path(), ec);
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
        if (error) *error = "cannot create " + dir.string();
        return false;
    }
    struct stat st {};
    if (::lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::getuid() ||
        (st.st_mode & 077) != 0) {
        if (error) *error = dir.string() + " is not a folder private to this user";
        return false;
    }
    return true;
}

}  // namespace

fs::path DefaultStateDir() {
    if (const char* xdg = std::getenv("XDG_STATE_HOME"); xdg && *xdg == '/') {
        return fs::path(xdg) / "mox3-updater";
    }
    const char* home = std::getenv("HOME");
    return fs::path(home && *home ? home : "/tmp") / ".local" / "state" / "mox3-updater";
}

bool WritePrivateFile(const fs::path& path, const void* data, std::size_t size) {
    if (ReplaceFileAtomically(path, std::string_view(static_cast<const char*>(data), size), true,
                              nullptr)) {
        return true;
    }
    std::error_code ec;
    fs::remove(path, ec);  // an older file must not stand in for the one not written
    return false;
}

LinuxHost::LinuxHost(LinuxHostOptions options) : options_(std::move(options)) {
    if (options_.stateDir.empty()) options_.stateDir = DefaultStateDir();
    if (!options_.clock) options_.clock = SystemClock();
}

std::u16string LinuxHost::LoadText(int id) {
    lastTextId_ = id;
    return options_.texts ? options_.texts(id) : Utf8ToUtf16(std::to_string(id));
}

std::u16string LinuxHost::ImagePath(int chipKind) {
    const char* name = chipKind == 1 ? "firmware_C30.bin" : "firmware_C311.bin";
    if (!options_.imageDir.empty()) return Utf8ToUtf16((options_.imageDir / name).string());
    fs::path beside = ProgramFolder() / name;
    std::error_code ec;
    if (!fs::exists(beside, ec)) {
        // The program's folder is a real path (no links), so ".." can be resolved by the text.
        fs::path installed =
            (ProgramFolder() / MOX3_DATA_DIR_FROM_PROGRAM / name).lexically_normal();
        if (fs::exists(installed, ec)) return Utf8ToUtf16(installed.string());
    }
    return Utf8ToUtf16(beside.string());
}

fs::path LinuxHost::PrivateDir(std::string* error) {
    return MakePrivateDir(options_.stateDir, error) ? options_.stateDir : fs::path();
}

std::u16string LinuxHost::ConfigFilePath() {
    return Utf8ToUtf16((options_.stateDir / kConfigName).string());
}

std::optional<std::vector<std::uint8_t>> LinuxHost::WriteConfigFile(int resourceId) {
    const EmbeddedResource* resource = FindConfigResource(resourceId);
    fs::path dir = PrivateDir(nullptr);
    if (resource == nullptr || dir.empty()) return std::nullopt;
    if (!WritePrivateFile(dir / kConfigName, resource->bytes.data(), resource->bytes.size())) {
        return std::nullopt;
    }
    return std::vector<std::uint8_t>(resource->bytes.begin(), resource->bytes.end());
}

bool LinuxHost::FileExists(const std::u16string& path) {
    struct stat st {};
    return ::lstat(Utf16ToUtf8(path).c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

void LinuxHost::RemoveFile(const std::u16string& path) {
    ::unlink(Utf16ToUtf8(path).c_str());
}

bool LinuxHost::WriteMarker(const UpdateMarker& marker) {
    fs::path dir = PrivateDir(nullptr);
    if (dir.empty()) return false;
    // The length goes first: the marker's appearance is what makes both count.
    if (marker.blockLength) {
        const std::string length = std::to_string(*marker.blockLength) + "\n";
        if (!WritePrivateFile(dir / kLengthName, length.data(), length.size())) return false;
    } else {
        ::unlink((dir / kLengthName).c_str());
        SyncFolder(dir);
    }
    std::string text = Utf16ToUtf8(marker.serial);
    return WritePrivateFile(dir / kMarkerName, text.data(), text.size());
}

namespace {

// Up to `limit` bytes of a file in the private folder; nothing when it cannot be opened.
std::optional<std::string> ReadSmallFile(const fs::path& path, std::size_t limit) {
    int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    struct stat st {};
    std::string text(limit, '\0');
    ssize_t n = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) ? ::read(fd, text.data(), limit) : -1;
    ::close(fd);
    text.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    return text;
}

}  // namespace

std::optional<std::vector<std::uint8_t>> LinuxHost::ReadConfigFile() {
    fs::path dir = PrivateDir(nullptr);
    if (dir.empty()) return std::nullopt;
    std::optional<std::string> text = ReadSmallFile(dir / kConfigName, 1 << 20);
    if (!text) return std::nullopt;
    return std::vector<std::uint8_t>(text->begin(), text->end());
}

std::vector<UpdateMarker> LinuxHost::ReadMarkers() {
    fs::path dir = PrivateDir(nullptr);
    if (dir.empty()) return {};
    std::optional<std::string> serial = ReadSmallFile(dir / kMarkerName, 512);
    if (!serial) return {};
    UpdateMarker marker;
    marker.serial = std::u16string(CutToCapacity(Utf8ToUtf16(*serial), 65));
    if (std::optional<std::string> length = ReadSmallFile(dir / kLengthName, 32)) {
        if (*length == "512\n" || *length == "4096\n") {
            marker.blockLength = static_cast<std::uint32_t>(std::stoul(*length));
        }
    }
    return {marker};
}

void LinuxHost::RemoveMarker(const std::u16string& serial) {
    for (const UpdateMarker& marker : ReadMarkers()) {
        if (marker.serial != serial) return;  // another drive's record stays
    }
    ::unlink((options_.stateDir / kMarkerName).c_str());
    ::unlink((options_.stateDir / kLengthName).c_str());
    SyncFolder(options_.stateDir);
}

std::vector<std::string> LinuxHost::DiskUses(const std::vector<std::u16string>& paths) {
    std::vector<std::string> uses;
    for (const std::u16string& interfacePath : paths) {
        const fs::path path = PathFromText(interfacePath);
        if (path.parent_path() != "/dev") continue;  // an emulated drive's folder
        for (std::string& use : mox3::DiskUses(path.filename().string())) {
            if (std::find(uses.begin(), uses.end(), use) == uses.end()) uses.push_back(use);
        }
    }
    return uses;
}

std::vector<std::string> LinuxHost::ClaimDisks(const std::vector<std::u16string>& paths) {
    std::vector<std::string> nodes;
    for (const std::u16string& path : paths) nodes.push_back(Utf16ToUtf8(path));
    return ClaimDriveDisks(diskClaim_, nodes, &diskNotes_);
}

void LinuxHost::ReleaseDisks() {
    diskClaim_.Release();
}

std::u16string LinuxHost::CommandLineArguments() {
    return options_.force ? u"/UPDATE" : u"";
}

SingleInstanceLock::SingleInstanceLock(const fs::path& dir) : path_(dir / kLockName) {
    // Readable by all, so that every user's copy locks the same file; a file made by another
    // user opens for reading, which is all flock needs.
    fd_ = ::open(path_.c_str(), O_RDONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd_ >= 0 && ::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

fs::path DefaultLockDir(const fs::path& stateDir) {
    const fs::path shared = "/run/lock";
    return ::access(shared.c_str(), W_OK | X_OK) == 0 ? shared : stateDir;
}

SingleInstanceLock::~SingleInstanceLock() {
    if (fd_ >= 0) ::close(fd_);
}

namespace {

class LockedLinuxHost : public LinuxHost {
  public:
    LockedLinuxHost(const HostOptions& options, const fs::path& lockDir)
        : LinuxHost(options), lock_(lockDir) {}
    bool locked() const { return lock_.held(); }
    const fs::path& lockPath() const { return lock_.path(); }

  private:
    SingleInstanceLock lock_;
};

}  // namespace

std::u16string FindImagePath(const HostOptions& options, int chipKind) {
    return LinuxHost(options).ImagePath(chipKind);
}

std::unique_ptr<CliHost> StartCliHost(const HostOptions& options, bool* alreadyRunning,
                                      std::string* error) {
    if (alreadyRunning) *alreadyRunning = false;
    HostOptions resolved = options;
    if (resolved.stateDir.empty()) resolved.stateDir = DefaultStateDir();
    LinuxHost probe(resolved);
    fs::path stateDir = probe.PrivateDir(error);
    if (stateDir.empty()) return nullptr;
    const fs::path lockDir = resolved.lockDir.empty() ? DefaultLockDir(stateDir) : resolved.lockDir;
    auto host = std::make_unique<LockedLinuxHost>(resolved, lockDir);
    if (!host->locked()) {
        if (alreadyRunning) *alreadyRunning = true;
        if (error) *error = host->lockPath().string();
        return nullptr;
    }
    return host;
}

}  // namespace mox3
