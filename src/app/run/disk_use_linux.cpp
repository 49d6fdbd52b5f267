#include "app/run/disk_use.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

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

std::vector<std::string> DiskUses(const std::string& blockName, const fs::path& sysRoot,
                                  const fs::path& procRoot) {
    std::vector<std::string> uses;
    if (blockName.empty() || blockName.find('/') != std::string::npos) return uses;
    const fs::path disk = sysRoot / "block" / blockName;
    std::error_code ec;
    if (!fs::is_directory(disk, ec)) return uses;
    const DiskNodes nodes = FindNodes(blockName, disk);

    for (const auto& [name, dir] : nodes.nodes) {
        for (const auto& holder : fs::directory_iterator(dir / "holders", ec)) {
            uses.push_back("/dev/" + name + " is used by /dev/" +
                           holder.path().filename().string());
        }
    }

    // Mounts this process sees; other namespaces' copies of them are not named again.
    std::set<std::pair<std::string, std::string>> named;
    for (const auto& mount : MountsFrom(procRoot / "self" / "mountinfo", nodes)) {
        named.insert(mount);
        uses.push_back("/dev/" + mount.first + " is mounted on " + mount.second);
    }

    std::ifstream swaps(procRoot / "swaps");
    std::string header;
    std::getline(swaps, header);
    for (std::string line; std::getline(swaps, line);) {
        const std::string file = line.substr(0, line.find_first_of(" \t"));
        for (const auto& [part, dir] : nodes.nodes) {
            if (file == "/dev/" + part) uses.push_back(file + " is used as swap");
        }
    }

    // Processes holding the disk open, and the mount namespaces of processes (each read once).
    std::set<std::string> namespaces = {LinkText(procRoot / "self" / "ns" / "mnt")};
    const long self = static_cast<long>(::getpid());
    for (long id : ProcessIds(procRoot)) {
        if (id == self) continue;
        const fs::path process = procRoot / std::to_string(id);
        const std::string who =
            "process " + std::to_string(id) + " (" + FirstLine(process / "comm") + ")";
        for (const std::string& name : NodesHeldOpen(process / "fd", nodes)) {
            uses.push_back("/dev/" + name + " is held open by " + who);
        }
        const std::string space = LinkText(process / "ns" / "mnt");
        if (space.empty() || !namespaces.insert(space).second) continue;
        for (const auto& mount : MountsFrom(process / "mountinfo", nodes)) {
            if (!named.insert(mount).second) continue;
            uses.push_back("/dev/" + mount.first + " is mounted on " + mount.second +
                           " in the mount namespace of " + who);
        }
    }
    return uses;
}

}  // namespace mox3
