// Medium files on Linux: made sparse with ftruncate, their data found with SEEK_DATA and
// SEEK_HOLE.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "emulator/disk_medium.h"

namespace mox3 {

namespace fs = std::filesystem;

namespace {

std::string SystemError(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

struct Descriptor {
    int fd;
    ~Descriptor() {
        if (fd >= 0) ::close(fd);
    }
};

}  // namespace

bool CreateSparseFile(const fs::path& file, std::uint64_t size, std::string* error) {
    Descriptor d{::open(file.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644)};
    if (d.fd < 0 || ::ftruncate(d.fd, static_cast<off_t>(size)) != 0) {
        if (error) *error = SystemError("cannot make " + file.string());
        return false;
    }
    return true;
}

std::optional<std::vector<MediumExtent>> FileDataExtents(const fs::path& file, std::uint64_t limit,
                                                         std::string* error) {
    Descriptor d{::open(file.c_str(), O_RDONLY | O_CLOEXEC)};
    if (d.fd < 0) {
        if (error) *error = SystemError("cannot open " + file.string());
        return std::nullopt;
    }
    const off_t end = ::lseek(d.fd, 0, SEEK_END);
    if (end < 0) {
        if (error) *error = SystemError("cannot read " + file.string());
        return std::nullopt;
    }
    const std::uint64_t stop = std::min<std::uint64_t>(limit, static_cast<std::uint64_t>(end));
    std::vector<MediumExtent> extents;
    std::uint64_t at = 0;
    while (at < stop) {
        const off_t data = ::lseek(d.fd, static_cast<off_t>(at), SEEK_DATA);
        if (data < 0 && errno == ENXIO) break;  // nothing but a hole from here on
        if (data < 0) {
            // A file system that cannot tell: everything may be data.
            extents.push_back({at, stop - at});
            break;
        }
        const off_t hole = ::lseek(d.fd, data, SEEK_HOLE);
        const std::uint64_t from = static_cast<std::uint64_t>(data);
        const std::uint64_t to =
            hole < 0 ? stop : std::min<std::uint64_t>(stop, static_cast<std::uint64_t>(hole));
        if (from >= stop) break;
        extents.push_back({from, to - from});
        at = to;
    }
    return extents;
}

}  // namespace mox3
