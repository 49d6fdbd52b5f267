#include "app/run/disk_use.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "base/text.h"
#include "transport/nt_dev_ctrl.h"

namespace mox3 {

namespace fs = std::filesystem;

namespace {

std::string FirstLine(const fs::path& file) {
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    return line;
}

// Mount points in mountinfo escape blanks and a few others as \ooo.
std::string Unescape(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 3 < text.size()) {
            const std::string digits = text.substr(i + 1, 3);
            if (digits.size() == 3 && digits.find_first_not_of("01234567") == std::string::npos) {
                out += static_cast<char>(std::stoi(digits, nullptr, 8));
                i += 3;
                continue;
            }
        }
        out += text[i];
    }
    return out;
}

// The disk and its partitions: sysfs folder and name, by device number.
struct DiskNodes {
    std::vector<std::pair<std::string, fs::path>> nodes;  // "sdb1", its sysfs folder
    std::map<std::string, std::string> byNumber;          // "8:17" -> "sdb1"
    std::map<dev_t, std::string> byDevice;                // the same, as a device number
};

DiskNodes FindNodes(const std::string& blockName, const fs::path& disk) {
    DiskNodes found;
    found.nodes.push_back({blockName, disk});
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(disk, ec)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind(blockName, 0) == 0 && fs::exists(entry.path() / "partition", ec)) {
            found.nodes.push_back({name, entry.path()});
        }
    }
    for (const auto& [name, dir] : found.nodes) {
        const std::string number = FirstLine(dir / "dev");
        if (number.empty()) continue;
        found.byNumber[number] = name;
        char* end = nullptr;
        const unsigned long major = std::strtoul(number.c_str(), &end, 10);
        if (*end != ':') continue;
        const unsigned long minor = std::strtoul(end + 1, &end, 10);
        if (*end == '\0') {
            found.byDevice[makedev(static_cast<unsigned>(major), static_cast<unsigned>(minor))] =
                name;
        }
    }
    return found;
}

// The mounts of one mount table (a mountinfo file) that come from the disk: the node's name
// and where it is mounted.
std::vector<std::pair<std::string, std::string>> MountsFrom(const fs::path& mountinfo,
                                                            const DiskNodes& disk) {
    std::vector<std::pair<std::string, std::string>> mounts;
    std::ifstream in(mountinfo);
    for (std::string line; std::getline(in, line);) {
        std::istringstream fields(line);
        std::string id, parent, number, root, point;
        fields >> id >> parent >> number >> root >> point;
        std::string word, source;
        while (fields >> word && word != "-") {
        }
        std::string type;
        fields >> type >> source;
        std::string name;
        if (auto found = disk.byNumber.find(number); found != disk.byNumber.end()) {
            name = found->second;
        }
        for (const auto& [part, dir] : disk.nodes) {
            if (source == "/dev/" + part) name = part;
        }
        if (!name.empty()) mounts.push_back({name, Unescape(point)});
    }
    return mounts;
}

std::string LinkText(const fs::path& link) {
    std::error_code ec;
    const fs::path target = fs::read_symlink(link, ec);
    return ec ? std::string() : target.string();
}

// The processes of procfs by number, lowest first.
std::vector<long> ProcessIds(const fs::path& procRoot) {
    std::vector<long> ids;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(procRoot, ec)) {
        const std::string name = entry.path().filename().string();
        if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;
        ids.push_back(std::strtol(name.c_str(), nullptr, 10));
    }
    std::sort(ids.begin(), ids.end());
    return ids;
}

// The nodes of the disk that a process has open, by name. The files are looked at with the
// attributes the kernel has at hand, so that a file on a network file system whose server
// does not answer cannot hold the search up.
std::set<std::string> NodesHeldOpen(const fs::path& fdDir, const DiskNodes& disk) {
    std::set<std::string> held;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(fdDir, ec)) {
        struct statx st {};
        if (::statx(AT_FDCWD, entry.path().c_str(), AT_STATX_DONT_SYNC, STATX_TYPE, &st) != 0 ||
            !S_ISBLK(st.stx_mode)) {
            continue;
        }
        const auto found = disk.byDevice.find(makedev(st.stx_rdev_major, st.stx_rdev_minor));
        if (found != disk.byDevice.end()) held.insert(found->second);
    }
    return held;
}

}  // namespace

std::vector<Told> DiskUses(const std::string& blockName, const fs::path& sysRoot,
                           const fs::path& procRoot) {
    std::vector<Told> uses;
    if (blockName.empty() || blockName.find('/') != std::string::npos) return uses;
    const fs::path disk = sysRoot / "block" / blockName;
    std::error_code ec;
    if (!fs::is_directory(disk, ec)) return uses;
    const DiskNodes nodes = FindNodes(blockName, disk);

    for (const auto& [name, dir] : nodes.nodes) {
        for (const auto& holder : fs::directory_iterator(dir / "holders", ec)) {
            uses.push_back(Tell(Finding::kUsedBy,
                                {"/dev/" + name, "/dev/" + holder.path().filename().string()}));
        }
    }

    // Mounts this process sees; other namespaces' copies of them are not named again.
    std::set<std::pair<std::string, std::string>> named;
    for (const auto& mount : MountsFrom(procRoot / "self" / "mountinfo", nodes)) {
        named.insert(mount);
        uses.push_back(Tell(Finding::kMountedOn, {"/dev/" + mount.first, mount.second}));
    }

    std::ifstream swaps(procRoot / "swaps");
    std::string header;
    std::getline(swaps, header);
    for (std::string line; std::getline(swaps, line);) {
        const std::string file = line.substr(0, line.find_first_of(" \t"));
        for (const auto& [part, dir] : nodes.nodes) {
            if (file == "/dev/" + part) uses.push_back(Tell(Finding::kUsedAsSwap, {file}));
        }
    }

    // Processes holding the disk open, and the mount namespaces of processes (each read once).
    std::set<std::string> namespaces = {LinkText(procRoot / "self" / "ns" / "mnt")};
    const long self = static_cast<long>(::getpid());
    for (long id : ProcessIds(procRoot)) {
        if (id == self) continue;
        const fs::path process = procRoot / std::to_string(id);
        const std::string pid = std::to_string(id);
        const std::string name = FirstLine(process / "comm");
        for (const std::string& node : NodesHeldOpen(process / "fd", nodes)) {
            uses.push_back(Tell(Finding::kHeldOpenBy, {"/dev/" + node, pid, name}));
        }
        const std::string space = LinkText(process / "ns" / "mnt");
        if (space.empty() || !namespaces.insert(space).second) continue;
        for (const auto& mount : MountsFrom(process / "mountinfo", nodes)) {
            if (!named.insert(mount).second) continue;
            uses.push_back(Tell(Finding::kMountedInNamespace,
                                {"/dev/" + mount.first, mount.second, pid, name}));
        }
    }
    return uses;
}

namespace {

constexpr std::uint8_t kSynchronizeCache10 = 0x35;
// A disk writes its whole cache out: seconds, on a slow drive with a large cache.
constexpr std::uint32_t kSynchronizeTimeoutSeconds = 60;

}  // namespace

DiskClaim::DiskClaim(OpenNode open) : open_(std::move(open)) {
    if (!open_) {
        open_ = [](const char* path, int flags) { return ::open(path, flags); };
    }
}

DiskClaim::~DiskClaim() {
    Release();
}

std::vector<Told> DiskClaim::Claim(const std::vector<std::string>& nodes) {
    std::vector<Told> refusals;
    for (const std::string& node : nodes) {
        if (std::any_of(held_.begin(), held_.end(),
                        [&](const auto& h) { return h.first == node; })) {
            continue;
        }
        // Read-only, so that closing it later does not make udev probe the disk again;
        // non-blocking, so that a disk without a medium opens all the same.
        const int fd = open_(node.c_str(), O_RDONLY | O_EXCL | O_CLOEXEC | O_NONBLOCK);
        if (fd < 0) {
            const int error = errno;
            refusals.push_back(error == EBUSY
                                   ? Tell(Finding::kInUseBySystem, {node})
                                   : Tell(Finding::kCannotTake, {node, std::strerror(error)}));
            continue;
        }
        // A path is a name: whatever answered to it must be a disk for the claim to mean one.
        struct stat st {};
        if (::fstat(fd, &st) != 0 || !S_ISBLK(st.st_mode)) {
            ::close(fd);
            refusals.push_back(Tell(Finding::kNotBlockDevice, {node}));
            continue;
        }
        held_.push_back({node, fd});
    }
    if (!refusals.empty()) Release();
    return refusals;
}

std::vector<Told> DiskClaim::Flush(PassThroughBackend& backend) {
    std::vector<Told> failures;
    for (const auto& [node, fd] : held_) {
        // The system's buffers of the node, and a cache flush of the disk behind them.
        if (::fsync(fd) != 0) {
            failures.push_back(Tell(Finding::kFlushFailed, {node, std::strerror(errno)}));
        }
        // The bridge's own path to the medium, whatever the system thinks the disk needs.
        CSpti request;
        if (!request.Open(backend, Utf8ToUtf16(node))) {
            failures.push_back(Tell(Finding::kCacheNotWritten, {node, request.openError()}));
            continue;
        }
        request.Setup(DataDirection::None, 10, nullptr, 0, kSynchronizeTimeoutSeconds);
        request.cdb[0] = kSynchronizeCache10;
        if (!request.Execute()) {
            failures.push_back(Tell(Finding::kSynchronizeFailed, {node}));
        }
    }
    return failures;
}

void DiskClaim::Release() {
    for (const auto& [node, fd] : held_) ::close(fd);
    held_.clear();
}

std::vector<Told> ClaimDriveDisks(DiskClaim& claim, PassThroughBackend& backend,
                                  const std::vector<std::string>& paths, std::vector<Told>* notes) {
    std::vector<std::string> disks;
    for (const std::string& path : paths) {
        const fs::path node(path);
        if (node.parent_path() != "/dev" || node.filename().string().rfind("sd", 0) != 0) continue;
        if (std::find(disks.begin(), disks.end(), path) == disks.end()) disks.push_back(path);
    }
    std::vector<Told> refusals = claim.Claim(disks);
    if (!refusals.empty()) return refusals;
    for (Told& failure : claim.Flush(backend)) {
        if (notes) notes->push_back(std::move(failure));
    }
    return {};
}

}  // namespace mox3
