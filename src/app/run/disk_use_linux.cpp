#include "app/run/disk_use.h"

#include <fstream>
#include <map>
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

}  // namespace

std::vector<std::string> DiskUses(const std::string& blockName, const fs::path& sysRoot,
                                  const fs::path& procRoot) {
    std::vector<std::string> uses;
    if (blockName.empty() || blockName.find('/') != std::string::npos) return uses;
    const fs::path disk = sysRoot / "block" / blockName;
    std::error_code ec;
    if (!fs::is_directory(disk, ec)) return uses;

    // The disk and its partitions, by device number.
    std::map<std::string, std::string> parts;  // "8:17" -> "sdb1"
    std::vector<std::pair<std::string, fs::path>> nodes = {{blockName, disk}};
    for (const auto& entry : fs::directory_iterator(disk, ec)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind(blockName, 0) == 0 && fs::exists(entry.path() / "partition", ec)) {
            nodes.push_back({name, entry.path()});
        }
    }
    for (const auto& [name, dir] : nodes) {
        const std::string number = FirstLine(dir / "dev");
        if (!number.empty()) parts[number] = name;
        for (const auto& holder : fs::directory_iterator(dir / "holders", ec)) {
            uses.push_back("/dev/" + name + " is used by /dev/" +
                           holder.path().filename().string());
        }
    }

    std::ifstream mountinfo(procRoot / "self" / "mountinfo");
    for (std::string line; std::getline(mountinfo, line);) {
        std::istringstream fields(line);
        std::string id, parent, number, root, point;
        fields >> id >> parent >> number >> root >> point;
        std::string word, source;
        while (fields >> word && word != "-") {
        }
        std::string type;
        fields >> type >> source;
        std::string name;
        if (auto found = parts.find(number); found != parts.end()) name = found->second;
        for (const auto& [part, dir] : nodes) {
            if (source == "/dev/" + part) name = part;
        }
        if (!name.empty()) uses.push_back("/dev/" + name + " is mounted on " + Unescape(point));
    }

    std::ifstream swaps(procRoot / "swaps");
    std::string header;
    std::getline(swaps, header);
    for (std::string line; std::getline(swaps, line);) {
        const std::string file = line.substr(0, line.find_first_of(" \t"));
        for (const auto& [part, dir] : nodes) {
            if (file == "/dev/" + part) uses.push_back(file + " is used as swap");
        }
    }
    return uses;
}

}  // namespace mox3
