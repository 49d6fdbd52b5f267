// Medium files on Windows: the file grows as it is written (no room is taken for a disk that
// is never written), and all of it counts as data.
#include <fstream>

#include "emulator/disk_medium.h"

namespace mox3 {

namespace fs = std::filesystem;

bool CreateSparseFile(const fs::path& file, std::uint64_t /*size*/, std::string* error) {
    std::ofstream out(file, std::ios::binary | std::ios::app);
    if (!out) {
        if (error) *error = "cannot make " + file.string();
        return false;
    }
    return true;
}

std::optional<std::vector<MediumExtent>> FileDataExtents(const fs::path& file, std::uint64_t limit,
                                                         std::string* error) {
    std::error_code ec;
    const std::uint64_t size = fs::file_size(file, ec);
    if (ec) {
        if (error) *error = "cannot read " + file.string() + ": " + ec.message();
        return std::nullopt;
    }
    std::vector<MediumExtent> extents;
    if (std::min(size, limit) > 0) extents.push_back({0, std::min(size, limit)});
    return extents;
}

}  // namespace mox3
