// The update run's host on Linux: the state folder reached through one trusted descriptor, the
// records in it, the configuration file, the update lock, the disk checks and the inhibitor.
// Size: these share the folder descriptor and the rules of trust that guard it; apart, each
// piece would have to re-check what the folder is.
#include "app/run/host_linux.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cassert>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>

#include "app/run/backup_store.h"
#include "app/run/disk_use.h"
#include "base/sha256.h"
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

// The record of an update as versions before records per drive kept it: the serial number
// alone, and the block length in a file beside it. Still read, and removed with its serial.
constexpr const char* kMarkerName = "ZR-MOX3_UPDATE";
constexpr const char* kLengthName = "ZR-MOX3_UPDATE.length";
constexpr const char* kRecordPrefix = "record-";
constexpr const char* kConfigName = "MOX3_config.ini";
constexpr const char* kLockName = "KAVELIN ZR-MOX3 UPDATER.lock";
constexpr const char* kRootStateDir = "/var/lib/mox3-updater";
constexpr std::size_t kRecordLimit = 4096;
constexpr std::size_t kConfigLimit = 1 << 20;

fs::path ProgramFolder() {
    std::error_code ec;
    fs::path exe = fs::read_symlink("/proc/self/exe", ec);
    return ec ? fs::path(".") : exe.parent_path();
}

std::string ErrnoText(const std::string& what, int error) {
    return what + ": " + std::strerror(error);
}

std::string UidText(uid_t uid) {
    std::string text = "uid " + std::to_string(uid);
    if (const passwd* entry = ::getpwuid(uid); entry && entry->pw_name) {
        text = std::string(entry->pw_name) + " (" + text + ")";
    }
    return text;
}

// A folder above the one opened: root's or this user's, and writable by nobody else unless
// only the owners of its entries may remove them (the sticky bit).
bool CheckFolderAbove(int fd, const fs::path& path, std::string* error) {
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISDIR(st.st_mode)) {
        if (error) *error = path.string() + " is not a folder";
        return false;
    }
    if (st.st_uid != 0 && st.st_uid != ::geteuid()) {
        if (error) {
            *error = path.string() + " belongs to " + UidText(st.st_uid) +
                     ", who could replace what lies below it; choose a folder whose every " +
                     "folder above belongs to root" +
                     (::geteuid() == 0 ? std::string() : " or to this user");
        }
        return false;
    }
    if ((st.st_mode & 022) != 0 && (st.st_mode & S_ISVTX) == 0) {
        if (error) {
            *error = path.string() + " can be written by other users, who could replace what " +
                     "lies below it";
        }
        return false;
    }
    return true;
}

bool CheckFolderItself(const struct stat& st, const fs::path& path, FolderKind kind,
                       std::string* error) {
    const uid_t me = ::geteuid();
    bool ownerOk = false;
    mode_t forbidden = 0;
    switch (kind) {
        case FolderKind::kState:
            ownerOk = st.st_uid == me;
            forbidden = 077;
            break;
        case FolderKind::kSystemLock:
            ownerOk = st.st_uid == 0;
            forbidden = 022;
            break;
        case FolderKind::kGivenLock:
            ownerOk = st.st_uid == 0 || st.st_uid == me;
            forbidden = (st.st_mode & S_ISVTX) ? 0 : 002;
            break;
    }
    if (!ownerOk) {
        if (error) {
            *error = path.string() + " belongs to " + UidText(st.st_uid) + ", not to " +
                     (kind == FolderKind::kSystemLock ? std::string("root") : UidText(me));
        }
        return false;
    }
    if ((st.st_mode & forbidden) != 0) {
        if (error) {
            char mode[8];
            std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
            *error = path.string() + " is open to other users (mode " + mode + ")" +
                     (kind == FolderKind::kState ? "; it must be private to its owner" : "");
        }
        return false;
    }
    return true;
}

}  // namespace

FolderHandle::~FolderHandle() {
    if (fd_ >= 0) ::close(fd_);
}

FolderHandle::FolderHandle(FolderHandle&& other) noexcept
    : fd_(other.fd_), path_(std::move(other.path_)) {
    other.fd_ = -1;
}

FolderHandle& FolderHandle::operator=(FolderHandle&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = other.fd_;
        path_ = std::move(other.path_);
        other.fd_ = -1;
    }
    return *this;
}

FolderHandle OpenCheckedFolder(const fs::path& given, FolderKind kind, bool create,
                               std::string* error) {
    std::error_code ec;
    fs::path full = given.empty() ? fs::path() : fs::absolute(given, ec).lexically_normal();
    if (!full.empty() && !full.has_filename()) full = full.parent_path();  // a trailing '/'
    if (full.empty() || ec || full == full.root_path()) {
        if (error) *error = "no usable folder: \"" + given.string() + "\"";
        return {};
    }
    // Links above the folder are resolved now; what is opened below is checked as it is.
    fs::path above = fs::weakly_canonical(full.parent_path(), ec);
    if (ec) above = full.parent_path();
    const fs::path name = full.filename();
    const fs::path shown = above / name;

    FolderHandle current(::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC), "/");
    if (!current.ok() || !CheckFolderAbove(current.fd(), "/", error)) return {};
    fs::path walked = "/";
    for (const fs::path& part : above.relative_path()) {
        if (part.empty()) continue;
        walked /= part;
        int next =
            ::openat(current.fd(), part.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (next < 0 && errno == ENOENT && create) {
            if (::mkdirat(current.fd(), part.c_str(), 0700) != 0 && errno != EEXIST) {
                if (error) *error = ErrnoText("cannot create " + walked.string(), errno);
                return {};
            }
            next =
                ::openat(current.fd(), part.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        }
        if (next < 0) {
            if (error) *error = ErrnoText("cannot open " + walked.string(), errno);
            return {};
        }
        current = FolderHandle(next, walked);
        if (!CheckFolderAbove(current.fd(), walked, error)) return {};
    }

    struct stat st {};
    if (::fstatat(current.fd(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISLNK(st.st_mode)) {
        if (error) *error = shown.string() + " is a link, not a folder";
        return {};
    }
    const mode_t mode = kind == FolderKind::kSystemLock ? 0755 : 0700;
    bool made = false;
    if (create && ::mkdirat(current.fd(), name.c_str(), mode) == 0) {
        made = true;
    } else if (create && errno != EEXIST) {
        if (error) *error = ErrnoText("cannot create " + shown.string(), errno);
        return {};
    }
    FolderHandle folder(
        ::openat(current.fd(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC),
        shown);
    if (!folder.ok()) {
        const int why = errno;
        if (error) {
            *error = why == ENOTDIR || why == ELOOP
                         ? shown.string() + " is not a folder"
                         : ErrnoText("cannot open " + shown.string(), why);
        }
        return {};
    }
    // The mode asked for, whatever the process's umask took away from it.
    if (made) ::fchmod(folder.fd(), mode);
    if (::fstat(folder.fd(), &st) != 0 || !CheckFolderItself(st, shown, kind, error)) return {};
    return folder;
}

fs::path DefaultStateDir(std::string* error) {
    // Root's state is the program's own: never in a home that HOME or sudo's variables name.
    if (::geteuid() == 0) return kRootStateDir;
    std::string home;
    if (const char* value = std::getenv("HOME"); value && *value == '/') {
        home = value;
    } else if (const passwd* entry = ::getpwuid(::geteuid()); entry && entry->pw_dir) {
        home = entry->pw_dir;
    }
    if (home.empty()) {
        if (error) *error = "this user has no home folder; give --state-dir";
        return {};
    }
    struct stat st {};
    if (::stat(home.c_str(), &st) != 0) {
        if (error) *error = ErrnoText("cannot find the home folder " + home, errno);
        return {};
    }
    if (st.st_uid != ::geteuid()) {
        if (error) {
            *error = "the home folder " + home + " belongs to " + UidText(st.st_uid) + ", not to " +
                     UidText(::geteuid()) + "; give --state-dir";
        }
        return {};
    }
    if (const char* xdg = std::getenv("XDG_STATE_HOME"); xdg && *xdg == '/') {
        return fs::path(xdg) / "mox3-updater";
    }
    return fs::path(home) / ".local" / "state" / "mox3-updater";
}

namespace {

std::function<void(const std::string&, FolderWriteStep)>& FolderWriteWatcher() {
    static std::function<void(const std::string&, FolderWriteStep)> watcher;
    return watcher;
}

void Done(const std::string& name, FolderWriteStep step) {
    if (FolderWriteWatcher()) FolderWriteWatcher()(name, step);
}

// fsync, told to the watcher when it succeeds.
int Flush(int fd, const std::string& name, FolderWriteStep step) {
    const int result = ::fsync(fd);
    if (result == 0) Done(name, step);
    return result;
}

}  // namespace

void WatchFolderWrites(std::function<void(const std::string&, FolderWriteStep)> watcher) {
    FolderWriteWatcher() = std::move(watcher);
}

bool WriteFileInFolder(int dirFd, const std::string& name, std::string_view data,
                       std::string* error) {
    std::random_device random;
    const std::string temp = "." + name + ".tmp" + std::to_string(random());
    // A new file of its own: never one that is there already, nor a link's target.
    int fd =
        ::openat(dirFd, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    std::string why;
    if (fd < 0) why = ErrnoText("cannot write " + name, errno);
    std::size_t done = 0;
    while (why.empty() && done < data.size()) {
        ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) why = ErrnoText("cannot write " + name, n < 0 ? errno : ENOSPC);
        if (n > 0) done += static_cast<std::size_t>(n);
    }
    if (why.empty()) Done(name, FolderWriteStep::kWritten);
    if (why.empty() && Flush(fd, name, FolderWriteStep::kFileFlushed) != 0) {
        why = ErrnoText("cannot flush " + name, errno);
    }
    if (fd >= 0 && ::close(fd) != 0 && why.empty()) why = ErrnoText("cannot write " + name, errno);
    if (why.empty() && ::renameat(dirFd, temp.c_str(), dirFd, name.c_str()) != 0) {
        why = ErrnoText("cannot replace " + name, errno);
    }
    if (why.empty()) Done(name, FolderWriteStep::kRenamed);
    if (why.empty() && Flush(dirFd, name, FolderWriteStep::kFolderFlushed) != 0)
        why = ErrnoText("cannot flush the folder of " + name, errno);
    if (why.empty()) return true;
    ::unlinkat(dirFd, temp.c_str(), 0);
    if (error) *error = why;
    return false;
}

namespace {

// A regular file of at most `limit` bytes in the folder, whole; nothing when it is missing
// (`missing` set), not a regular file, larger or unreadable.
std::optional<std::string> ReadFileInFolder(int dirFd, const char* name, std::size_t limit,
                                            bool* missing = nullptr) {
    int fd = ::openat(dirFd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (missing) *missing = fd < 0 && errno == ENOENT;
    if (fd < 0) return std::nullopt;
    struct stat st {};
    std::optional<std::string> text;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
        static_cast<std::uint64_t>(st.st_size) <= limit) {
        // One byte more than allowed tells a file that grew since.
        std::string bytes(limit + 1, '\0');
        std::size_t done = 0;
        for (;;) {
            ssize_t n = ::read(fd, bytes.data() + done, bytes.size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                if (n == 0 && done <= limit) {
                    bytes.resize(done);
                    text = std::move(bytes);
                }
                break;
            }
            done += static_cast<std::size_t>(n);
            if (done > limit) break;
        }
    }
    ::close(fd);
    return text;
}

// Values are kept on one line each: control characters, DEL and '%' as %XX.
std::string EscapeValue(std::string_view text) {
    std::string out;
    for (unsigned char c : text) {
        if (c < 0x20 || c == 0x7F || c == '%') {
            char code[4];
            std::snprintf(code, sizeof code, "%%%02X", c);
            out += code;
        } else {
            out.push_back(static_cast<char>(c));
        }
    }
    return out;
}

std::string UnescapeValue(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        unsigned value = 0;
        if (text[i] == '%' && i + 2 < text.size() &&
            std::from_chars(text.data() + i + 1, text.data() + i + 3, value, 16).ptr ==
                text.data() + i + 3) {
            out.push_back(static_cast<char>(value));
            i += 2;
        } else {
            out.push_back(text[i]);
        }
    }
    return out;
}

template <typename Number>
std::optional<Number> ParseNumber(std::string_view text) {
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.remove_prefix(2);
        base = 16;
    }
    Number value{};
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (ec != std::errc() || end != text.data() + text.size() || text.empty()) return std::nullopt;
    return value;
}

std::string FormatRecord(const UpdateMarker& m) {
    char ids[48];
    std::snprintf(ids, sizeof ids, "vendorId=0x%04X\nproductId=0x%04X\n", m.vendorId, m.productId);
    std::string text = "# mox3-updater: an update not finished yet\n";
    text += "serial=" + EscapeValue(Utf16ToUtf8(m.serial)) + "\n";
    text +=
        "blockLength=" + (m.blockLength ? std::to_string(*m.blockLength) : std::string()) + "\n";
    text += "port=" + EscapeValue(Utf16ToUtf8(m.port)) + "\n";
    text += ids;
    text += "product=" + EscapeValue(Utf16ToUtf8(m.product)) + "\n";
    text += "generation=" + std::to_string(m.generation) + "\n";
    text += "resourceId=" + std::to_string(m.resourceId) + "\n";
    text += "configDigest=" + EscapeValue(m.configDigest) + "\n";
    text += "writtenAt=" + std::to_string(m.writtenAt) + "\n";
    // Only where there is one: older versions neither write nor read it.
    if (!m.backup.empty()) text += "backup=" + EscapeValue(Utf16ToUtf8(m.backup)) + "\n";
    if (m.readOnly) text += "read-only=1\n";
    if (!m.restoreFrom.empty()) text += "restore=" + EscapeValue(Utf16ToUtf8(m.restoreFrom)) + "\n";
    return text;
}

// A record's fields; one without a serial line has an empty serial (it cannot be told whose it
// is). Unknown keys are left for versions that know them.
UpdateMarker ParseRecord(std::string_view text) {
    UpdateMarker m;
    while (!text.empty()) {
        const std::size_t end = std::min(text.find('\n'), text.size());
        std::string_view line = text.substr(0, end);
        text.remove_prefix(std::min(end + 1, text.size()));
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        const std::size_t eq = line.find('=');
        if (line.empty() || line[0] == '#' || eq == std::string_view::npos) continue;
        const std::string_view key = line.substr(0, eq);
        const std::string_view value = line.substr(eq + 1);
        if (key == "serial") {
            m.serial =
                std::u16string(CutToCapacity(Utf8ToUtf16(UnescapeValue(value)), kShortTextUnits));
        } else if (key == "blockLength") {
            if (auto n = ParseNumber<std::uint32_t>(value); n && (*n == 512 || *n == 4096)) {
                m.blockLength = *n;
            }
        } else if (key == "port") {
            m.port = Utf8ToUtf16(UnescapeValue(value));
        } else if (key == "vendorId") {
            m.vendorId = ParseNumber<std::uint16_t>(value).value_or(0);
        } else if (key == "productId") {
            m.productId = ParseNumber<std::uint16_t>(value).value_or(0);
        } else if (key == "product") {
            m.product = Utf8ToUtf16(UnescapeValue(value));
        } else if (key == "generation") {
            const int g = ParseNumber<int>(value).value_or(0);
            m.generation = g == 1 || g == 2 ? g : 0;
        } else if (key == "resourceId") {
            m.resourceId = std::max(0, ParseNumber<int>(value).value_or(0));
        } else if (key == "configDigest") {
            const bool hex = value.size() == 64 &&
                             value.find_first_not_of("0123456789abcdef") == std::string_view::npos;
            m.configDigest = hex ? std::string(value) : std::string();
        } else if (key == "writtenAt") {
            m.writtenAt = ParseNumber<std::int64_t>(value).value_or(0);
        } else if (key == "backup") {
            m.backup = Utf8ToUtf16(UnescapeValue(value));
        } else if (key == "read-only") {
            m.readOnly = value == "1";
        } else if (key == "restore") {
            m.restoreFrom = Utf8ToUtf16(UnescapeValue(value));
        }
    }
    return m;
}

// Where a run looks for the image of a chip kind, in order, up to the first place where
// something is: the given folder alone, else beside the program and then the installed data
// folder.
std::vector<fs::path> ImagePlaces(const fs::path& imageDir, int chipKind) {
    const char* name = chipKind == 1 ? "firmware_C30.bin" : "firmware_C311.bin";
    if (!imageDir.empty()) return {imageDir / name};
    std::vector<fs::path> places = {ProgramFolder() / name};
    std::error_code ec;
    if (!fs::exists(places.front(), ec)) {
        // The program's folder is a real path (no links), so ".." can be resolved by the text.
        places.push_back((ProgramFolder() / MOX3_DATA_DIR_FROM_PROGRAM / name).lexically_normal());
    }
    return places;
}

}  // namespace

std::string RecordFileName(const std::u16string& serial) {
    const std::string utf8 = Utf16ToUtf8(serial);
    const std::span<const std::uint8_t> bytes(reinterpret_cast<const std::uint8_t*>(utf8.data()),
                                              utf8.size());
    // A file name holds 255 bytes; a longer serial is named by its digest.
    if (2 * bytes.size() <= 200) return kRecordPrefix + HexString(bytes, HexDigits::Lower);
    const Sha256Digest digest = Sha256(bytes).value_or(Sha256Builtin(bytes));
    return std::string(kRecordPrefix) + "sha256-" + HexString(digest, HexDigits::Lower);
}

LinuxHost::LinuxHost(LinuxHostOptions options) : options_(std::move(options)) {}

std::string LinuxHost::ConfigName() const {
    return ConfigFileName(kConfigName, options_.configTag);
}

std::u16string LinuxHost::LoadText(int id) {
    return options_.texts ? options_.texts(id) : Utf8ToUtf16(std::to_string(id));
}

std::u16string LinuxHost::ImagePath(int chipKind) {
    const std::vector<fs::path> places = ImagePlaces(options_.imageDir, chipKind);
    // The place where something is; with nothing anywhere, the first.
    std::error_code ec;
    const fs::path& taken = fs::exists(places.back(), ec) ? places.back() : places.front();
    return Utf8ToUtf16(taken.string());
}

int LinuxHost::StateFolderFd() {
    if (!stateTried_) {
        stateTried_ = true;
        if (options_.stateDir.empty()) options_.stateDir = DefaultStateDir(&stateError_);
        if (!options_.stateDir.empty()) {
            state_ = OpenCheckedFolder(options_.stateDir, FolderKind::kState, true, &stateError_);
        }
    }
    return state_.fd();
}

fs::path LinuxHost::PrivateDir(std::string* error) {
    if (StateFolderFd() < 0) {
        if (error) *error = stateError_;
        return {};
    }
    return state_.path();
}

std::u16string LinuxHost::ConfigFilePath() {
    StateFolderFd();
    const fs::path dir = state_.ok() ? state_.path() : options_.stateDir;
    return Utf8ToUtf16((dir / ConfigName()).string());
}

bool LinuxHost::IsConfigFile(const std::u16string& path) {
    return StateFolderFd() >= 0 && path == ConfigFilePath();
}

std::optional<std::vector<std::uint8_t>> LinuxHost::WriteConfigFile(int resourceId) {
    const EmbeddedResource* resource = FindConfigResource(resourceId);
    if (resource == nullptr || StateFolderFd() < 0) return std::nullopt;
    const std::string_view bytes(reinterpret_cast<const char*>(resource->bytes.data()),
                                 resource->bytes.size());
    if (!WriteFileInFolder(state_.fd(), ConfigName(), bytes, nullptr)) {
        // An older file must not stand in for the one that was not written.
        if (::unlinkat(state_.fd(), ConfigName().c_str(), 0) == 0) ::fsync(state_.fd());
        return std::nullopt;
    }
    return std::vector<std::uint8_t>(resource->bytes.begin(), resource->bytes.end());
}

std::optional<std::vector<std::uint8_t>> LinuxHost::ReadConfigFile() {
    if (StateFolderFd() < 0) return std::nullopt;
    std::optional<std::string> text = ReadFileInFolder(state_.fd(), ConfigName().c_str(), kConfigLimit);
    if (!text) return std::nullopt;
    return std::vector<std::uint8_t>(text->begin(), text->end());
}

bool LinuxHost::FileExists(const std::u16string& path) {
    struct stat st {};
    if (IsConfigFile(path)) {
        return ::fstatat(state_.fd(), ConfigName().c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
               S_ISREG(st.st_mode);
    }
    return ::lstat(Utf16ToUtf8(path).c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

void LinuxHost::RemoveFile(const std::u16string& path) {
    if (IsConfigFile(path)) {
        if (::unlinkat(state_.fd(), ConfigName().c_str(), 0) == 0) ::fsync(state_.fd());
        return;
    }
    ::unlink(Utf16ToUtf8(path).c_str());
}

std::optional<UpdateMarker> LinuxHost::LegacyMarker() {
    bool missing = false;
    std::optional<std::string> serial = ReadFileInFolder(state_.fd(), kMarkerName, 512, &missing);
    if (missing) return std::nullopt;
    UpdateMarker marker;  // a marker that cannot be read has no serial
    if (serial)
        marker.serial = std::u16string(CutToCapacity(Utf8ToUtf16(*serial), kShortTextUnits));
    if (std::optional<std::string> length = ReadFileInFolder(state_.fd(), kLengthName, 32)) {
        if (*length == "512\n" || *length == "4096\n") {
            marker.blockLength = static_cast<std::uint32_t>(std::stoul(*length));
        }
    }
    return marker;
}

std::vector<LinuxHost::StoredRecord> LinuxHost::StoredRecords() {
    std::vector<StoredRecord> records;
    if (StateFolderFd() < 0) return records;
    int listFd = ::openat(state_.fd(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* list = listFd >= 0 ? ::fdopendir(listFd) : nullptr;
    if (list == nullptr) {
        if (listFd >= 0) ::close(listFd);
        return records;
    }
    const std::string_view prefix = kRecordPrefix;
    while (const dirent* entry = ::readdir(list)) {
        const std::string_view name = entry->d_name;
        if (name.substr(0, prefix.size()) != prefix) continue;
        bool missing = false;
        std::optional<std::string> text =
            ReadFileInFolder(state_.fd(), entry->d_name, kRecordLimit, &missing);
        if (missing) continue;  // removed meanwhile
        // A record that cannot be read is still a record: of a drive that cannot be told.
        records.push_back({std::string(name), text ? ParseRecord(*text) : UpdateMarker{}});
    }
    ::closedir(list);
    std::sort(records.begin(), records.end(), [](const StoredRecord& a, const StoredRecord& b) {
        if (a.marker.writtenAt != b.marker.writtenAt)
            return a.marker.writtenAt < b.marker.writtenAt;
        return a.name < b.name;
    });
    return records;
}

bool LinuxHost::WriteMarker(const UpdateMarker& marker) {
    if (StateFolderFd() < 0) return false;
    UpdateMarker kept = marker;
    kept.serial = std::u16string(CutToCapacity(marker.serial, kShortTextUnits));
    // On failure the drive's earlier record, if any, stays as it was: it still tells what an
    // earlier run left to finish.
    if (!WriteFileInFolder(state_.fd(), RecordFileName(kept.serial), FormatRecord(kept), nullptr)) {
        return false;
    }
    // This drive's record of an older version is replaced by this one.
    if (std::optional<UpdateMarker> legacy = LegacyMarker();
        legacy && legacy->serial == kept.serial) {
        ::unlinkat(state_.fd(), kMarkerName, 0);
        ::unlinkat(state_.fd(), kLengthName, 0);
        ::fsync(state_.fd());
    }
    return true;
}

std::vector<UpdateMarker> LinuxHost::ReadMarkers() {
    std::vector<UpdateMarker> markers;
    if (StateFolderFd() < 0) return markers;
    std::vector<StoredRecord> records = StoredRecords();
    if (std::optional<UpdateMarker> legacy = LegacyMarker()) {
        const bool replaced =
            std::any_of(records.begin(), records.end(), [&](const StoredRecord& r) {
                return !legacy->serial.empty() && r.marker.serial == legacy->serial;
            });
        if (!replaced) markers.push_back(*legacy);
    }
    for (StoredRecord& record : records) markers.push_back(std::move(record.marker));
    return markers;
}

void LinuxHost::RemoveMarker(const std::u16string& serial) {
    if (StateFolderFd() < 0) return;
    for (const StoredRecord& record : StoredRecords()) {
        if (record.marker.serial == serial) ::unlinkat(state_.fd(), record.name.c_str(), 0);
    }
    if (std::optional<UpdateMarker> legacy = LegacyMarker(); legacy && legacy->serial == serial) {
        ::unlinkat(state_.fd(), kMarkerName, 0);
        ::unlinkat(state_.fd(), kLengthName, 0);
    }
    ::fsync(state_.fd());
}

namespace {

constexpr const char* kBackupFolder = "backups";

// The state folder's "backups", reached through its own descriptor: this user's, open to
// nobody else, never a link.
class LinuxBackupFolder : public BackupFolder {
  public:
    LinuxBackupFolder(FolderHandle folder) : folder_(std::move(folder)) {}
    bool Write(const std::string& name, std::string_view bytes, std::string* error) override {
        return WriteFileInFolder(folder_.fd(), name, bytes, error);
    }
    std::vector<std::string> Names() override {
        std::vector<std::string> names;
        const int listFd = ::openat(folder_.fd(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        DIR* list = listFd >= 0 ? ::fdopendir(listFd) : nullptr;
        if (list == nullptr) {
            if (listFd >= 0) ::close(listFd);
            return names;
        }
        while (const dirent* entry = ::readdir(list)) names.emplace_back(entry->d_name);
        ::closedir(list);
        return names;
    }
    void Remove(const std::string& name) override { ::unlinkat(folder_.fd(), name.c_str(), 0); }
    std::u16string PathOf(const std::string& name) override {
        return Utf8ToUtf16((folder_.path() / name).string());
    }

  private:
    FolderHandle folder_;
};

}  // namespace

BackupOutcome LinuxHost::BackupFlash(CBridgeMgr& mgr, int index, const UpdateMarker& record,
                                     const std::u16string& firmwareVersion,
                                     const BackupProgressFn& progress) {
    copyProblem_.clear();
    backup_ = KeepBackup(
        mgr, index, record, firmwareVersion, progress, options_.noBackup, options_.backupCopy,
        [this](std::string* error) -> std::unique_ptr<BackupFolder> {
            if (StateFolderFd() < 0) {
                *error = stateError_;
                return nullptr;
            }
            if (::mkdirat(state_.fd(), kBackupFolder, 0700) != 0 && errno != EEXIST) {
                *error = ErrnoText("cannot make " + (state_.path() / kBackupFolder).string(), errno);
                return nullptr;
            }
            FolderHandle folder(
                ::openat(state_.fd(), kBackupFolder, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC),
                state_.path() / kBackupFolder);
            struct stat st {};
            if (!folder.ok() || ::fstat(folder.fd(), &st) != 0) {
                *error = ErrnoText("cannot open " + folder.path().string(), errno);
                return nullptr;
            }
            if (!CheckFolderItself(st, folder.path(), FolderKind::kState, error)) return nullptr;
            return std::make_unique<LinuxBackupFolder>(std::move(folder));
        },
        &copyProblem_);
    return backup_;
}

std::vector<Told> LinuxHost::DiskUses(const std::vector<std::u16string>& paths) {
    std::vector<Told> uses;
    for (const std::u16string& interfacePath : paths) {
        const fs::path path = PathFromText(interfacePath);
        if (path.parent_path() != "/dev") continue;  // an emulated drive's folder
        for (Told& use : mox3::DiskUses(path.filename().string())) {
            if (std::find(uses.begin(), uses.end(), use) == uses.end()) uses.push_back(std::move(use));
        }
    }
    return uses;
}

std::vector<Told> LinuxHost::ClaimDisks(const std::vector<std::u16string>& paths) {
    std::vector<std::string> nodes;
    for (const std::u16string& path : paths) nodes.push_back(Utf16ToUtf8(path));
    const std::shared_ptr<PassThroughBackend> backend =
        options_.devices.backend ? options_.devices.backend : PlatformPassThroughBackend();
    return ClaimDriveDisks(diskClaim_, *backend, nodes, &diskNotes_);
}

void LinuxHost::ReleaseDisks() {
    diskClaim_.Release();
}

std::u16string LinuxHost::CommandLineArguments() {
    return options_.force ? u"/UPDATE" : u"";
}

namespace {

constexpr const char* kAnnounceName = "update-running";

bool ReadSmallFile(const std::string& path, std::string* text) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    char buffer[1024];
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    ::close(fd);
    if (got <= 0) return false;
    text->assign(buffer, static_cast<std::size_t>(got));
    return true;
}

// The start time of a process in clock ticks since boot (field 22 of /proc/PID/stat); 0 when
// it is not there. A pid is used again; a pid and its start time are not.
std::uint64_t ProcessStartTicks(pid_t pid) {
    std::string stat;
    if (!ReadSmallFile("/proc/" + std::to_string(pid) + "/stat", &stat)) return 0;
    const std::size_t end = stat.rfind(')');  // the name may hold blanks and parentheses
    if (end == std::string::npos) return 0;
    std::size_t at = end + 1;
    for (int field = 3; field < 22; ++field) {
        at = stat.find(' ', at + 1);
        if (at == std::string::npos) return 0;
    }
    std::uint64_t ticks = 0;
    const char* from = stat.data() + at + 1;
    std::from_chars(from, stat.data() + stat.size(), ticks);
    return ticks;
}

// Puts a new lock file, root's alone and held exclusively, in the place of the one open as
// `oldFd`, and closes that. The old one stays when no new one can be made.
int ReplaceLooseLock(int folderFd, int oldFd) {
    const std::string temporary = std::string(kLockName) + ".new-" + std::to_string(::getpid());
    ::unlinkat(folderFd, temporary.c_str(), 0);
    int fd = ::openat(folderFd, temporary.c_str(),
                      O_RDONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return oldFd;
    if (::fchmod(fd, 0600) != 0 || ::flock(fd, LOCK_EX | LOCK_NB) != 0 ||
        ::renameat(folderFd, temporary.c_str(), folderFd, kLockName) != 0) {
        ::close(fd);
        ::unlinkat(folderFd, temporary.c_str(), 0);
        return oldFd;
    }
    ::close(oldFd);
    return fd;
}

}  // namespace

UpdateLock::Outcome UpdateLock::Take(const FolderHandle& folder, bool exclusive, Clock& clock,
                                     std::string* error, bool rootsAlone) {
    path_ = folder.path() / kLockName;
    const std::uint64_t deadline = clock.NowMs() + kWaitMs;
    for (int attempt = 0; attempt < 8; ++attempt) {
        // Readable by all unless it is root's: every copy of a user's program locks the same
        // file, and flock needs no more than reading.
        int fd = ::openat(folder.fd(), kLockName,
                          O_RDONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC,
                          rootsAlone ? 0600 : 0644);
        if (fd < 0) {
            if (error) {
                *error = errno == ELOOP ? path_.string() + " is a link, not a lock file"
                                        : ErrnoText("cannot open the lock " + path_.string(), errno);
            }
            return Outcome::kFailed;
        }
        struct stat st {};
        std::string wrong;
        if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
            wrong = path_.string() + " is not a lock file (not a regular file)";
        } else if (st.st_uid != 0 && st.st_uid != ::geteuid()) {
            // Another user's file could be removed and made anew by them, unlocked.
            wrong = "the lock " + path_.string() + " was made by " + UidText(st.st_uid) +
                    ", not by root or this user";
        }
        if (!wrong.empty()) {
            ::close(fd);
            if (error) *error = wrong;
            return Outcome::kFailed;
        }
        if (rootsAlone && exclusive && (st.st_mode & 077) != 0) {
            // Others could open it, and hold it shared for as long as they like: unless an
            // update holds it, root makes a lock of its own in its place.
            if (::flock(fd, LOCK_SH | LOCK_NB) == 0) {
                fd = ReplaceLooseLock(folder.fd(), fd);
                if (::fstat(fd, &st) != 0) st = {};
            }
        }
        const Outcome outcome = Lock(fd, exclusive, clock, error);
        if (outcome != Outcome::kHeld) {
            ::close(fd);
            return outcome;
        }
        // The file may have been replaced while this process waited for it: hold the one
        // that is there now.
        struct stat now {};
        if (::fstatat(folder.fd(), kLockName, &now, AT_SYMLINK_NOFOLLOW) != 0 ||
            now.st_ino != st.st_ino || now.st_dev != st.st_dev) {
            ::close(fd);
            if (clock.NowMs() >= deadline) break;
            continue;
        }
        fd_ = fd;
        folderFd_ = ::fcntl(folder.fd(), F_DUPFD_CLOEXEC, 0);
        return Outcome::kHeld;
    }
    if (error) *error = path_.string();
    return Outcome::kBusy;
}

UpdateLock::Outcome UpdateLock::Lock(int fd, bool exclusive, Clock& clock, std::string* error) {
    const std::uint64_t deadline = clock.NowMs() + kWaitMs;
    for (;;) {
        if (::flock(fd, (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB) == 0) return Outcome::kHeld;
        if (errno == EINTR) continue;
        if (errno != EWOULDBLOCK) {
            if (error) *error = ErrnoText("cannot lock " + path_.string(), errno);
            return Outcome::kFailed;
        }
        // Busy. When it can be shared, only readers hold it: an update waits for them a while.
        bool readersOnly = false;
        if (exclusive && ::flock(fd, LOCK_SH | LOCK_NB) == 0) {
            readersOnly = true;
            ::flock(fd, LOCK_UN);
        }
        if (!readersOnly || clock.NowMs() >= deadline) {
            if (error) *error = path_.string();
            return Outcome::kBusy;
        }
        clock.SleepMs(kPollMs);
    }
}

bool UpdateLock::Announce(std::string* error) {
    if (fd_ < 0 || folderFd_ < 0) return false;
    const std::string text = std::to_string(::getpid()) + " " +
                             std::to_string(ProcessStartTicks(::getpid())) + "\n";
    const std::string temporary = std::string(kAnnounceName) + ".new";
    ::unlinkat(folderFd_, temporary.c_str(), 0);
    int fd = ::openat(folderFd_, temporary.c_str(),
                      O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    bool written = fd >= 0 && ::fchmod(fd, 0644) == 0 &&
                   ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    if (fd >= 0) ::close(fd);
    written = written && ::renameat(folderFd_, temporary.c_str(), folderFd_, kAnnounceName) == 0;
    if (!written) {
        if (error) *error = ErrnoText("cannot tell other users that an update runs", errno);
        ::unlinkat(folderFd_, temporary.c_str(), 0);
        return false;
    }
    announced_ = true;
    return true;
}

UpdateLock::~UpdateLock() {
    if (announced_) ::unlinkat(folderFd_, kAnnounceName, 0);
    if (folderFd_ >= 0) ::close(folderFd_);
    if (fd_ >= 0) ::close(fd_);  // closing the descriptor lets go of the lock
}

bool RootUpdateAnnounced(const FolderHandle& folder) {
    int fd = ::openat(folder.fd(), kAnnounceName, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st {};
    char text[64] = {};
    const bool trusted = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == 0 &&
                         (st.st_mode & 022) == 0 && st.st_size < static_cast<off_t>(sizeof text);
    const ssize_t got = trusted ? ::read(fd, text, sizeof text - 1) : -1;
    ::close(fd);
    if (got <= 0) return false;
    long long pid = 0;
    unsigned long long ticks = 0;
    if (std::sscanf(text, "%lld %llu", &pid, &ticks) != 2 || pid <= 0) return false;
    return ProcessStartTicks(static_cast<pid_t>(pid)) == ticks && ticks != 0;
}

FolderHandle OpenLockFolder(const HostOptions& options, int stateFd, const fs::path& stateDir,
                            std::string* error) {
    if (!options.lockDir.empty()) {
        return OpenCheckedFolder(options.lockDir, FolderKind::kGivenLock, false, error);
    }
    if (::geteuid() == 0) {
        return OpenCheckedFolder(kSystemLockDir, FolderKind::kSystemLock, true, error);
    }
    int fd = stateFd >= 0 ? ::fcntl(stateFd, F_DUPFD_CLOEXEC, 0) : -1;
    if (fd < 0 && error) *error = "no folder for the update lock: the state folder cannot be had";
    return fd >= 0 ? FolderHandle(fd, stateDir) : FolderHandle();
}

namespace {

class LockedLinuxHost : public LinuxHost {
  public:
    explicit LockedLinuxHost(const HostOptions& options) : LinuxHost(options) {}
    UpdateLock lock;
};

class ReadersLock : public DriveReadersLock {
  public:
    UpdateLock lock;
};

// A reader other than root cannot open root's lock; it looks whether root's update said it
// runs. Nothing to look at when root has no lock folder.
UpdateLock::Outcome LookForRootUpdate(std::string* error) {
    struct stat st {};
    if (::lstat(kSystemLockDir, &st) != 0 && errno == ENOENT) return UpdateLock::Outcome::kHeld;
    FolderHandle folder = OpenCheckedFolder(kSystemLockDir, FolderKind::kSystemLock, false, error);
    if (!folder.ok()) return UpdateLock::Outcome::kFailed;
    if (!RootUpdateAnnounced(folder)) return UpdateLock::Outcome::kHeld;
    if (error) *error = (folder.path() / kLockName).string();
    return UpdateLock::Outcome::kBusy;
}

// Opens the lock's folder and takes the lock; `lock` holds it on kHeld.
UpdateLock::Outcome TakeLock(const HostOptions& options, LinuxHost* stateHost, bool exclusive,
                             UpdateLock& lock, std::string* error) {
    int stateFd = -1;
    fs::path stateDir;
    // Only a user other than root keeps the lock in the state folder.
    if (options.lockDir.empty() && ::geteuid() != 0) {
        stateDir = stateHost->PrivateDir(error);
        if (stateDir.empty()) return UpdateLock::Outcome::kFailed;
        stateFd = stateHost->StateFolderFd();
    }
    FolderHandle folder = OpenLockFolder(options, stateFd, stateDir, error);
    if (!folder.ok()) return UpdateLock::Outcome::kFailed;
    assert(options.clock && "the lock's waits go by the session's clock");
    const bool roots = options.lockDir.empty() && ::geteuid() == 0;
    UpdateLock::Outcome outcome = lock.Take(folder, exclusive, *options.clock, error, roots);
    if (outcome == UpdateLock::Outcome::kHeld && roots && exclusive && !lock.Announce(error)) {
        return UpdateLock::Outcome::kFailed;
    }
    return outcome;
}

}  // namespace

std::u16string FindImagePath(const HostOptions& options, int chipKind) {
    return LinuxHost(options).ImagePath(chipKind);
}

std::vector<ImagePlace> SearchedImagePlaces(const HostOptions& options, int chipKind) {
    std::vector<ImagePlace> places;
    for (const fs::path& path : ImagePlaces(options.imageDir, chipKind)) {
        places.push_back(InspectImagePlace(path, chipKind));
    }
    return places;
}

std::unique_ptr<CliHost> StartCliHost(const HostOptions& options, HostStartFailure* failure,
                                      std::string* error) {
    HostStartFailure ignored;
    if (!failure) failure = &ignored;
    *failure = HostStartFailure::kStateFolder;
    auto host = std::make_unique<LockedLinuxHost>(options);
    if (host->PrivateDir(error).empty()) return nullptr;
    switch (TakeLock(options, host.get(), true, host->lock, error)) {
        case UpdateLock::Outcome::kHeld:
            *failure = HostStartFailure::kNone;
            return host;
        case UpdateLock::Outcome::kBusy:
            *failure = HostStartFailure::kAlreadyRunning;
            return nullptr;
        case UpdateLock::Outcome::kFailed:
            break;
    }
    *failure = HostStartFailure::kLock;
    return nullptr;
}

std::unique_ptr<CliHost> MakeDriveHost(const HostOptions& options) {
    return std::make_unique<LinuxHost>(options);
}

std::unique_ptr<DriveReadersLock> ShareUpdateLock(const HostOptions& options, bool* updateRunning,
                                                  std::string* error) {
    if (updateRunning) *updateRunning = false;
    auto held = std::make_unique<ReadersLock>();
    LinuxHost stateHost(options);
    UpdateLock::Outcome outcome = TakeLock(options, &stateHost, false, held->lock, error);
    if (outcome == UpdateLock::Outcome::kHeld && options.lockDir.empty() && ::geteuid() != 0) {
        outcome = LookForRootUpdate(error);
    }
    switch (outcome) {
        case UpdateLock::Outcome::kHeld:
            return held;
        case UpdateLock::Outcome::kBusy:
            if (updateRunning) *updateRunning = true;
            return nullptr;
        case UpdateLock::Outcome::kFailed:
            break;
    }
    return nullptr;
}

}  // namespace mox3
