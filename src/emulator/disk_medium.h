// The disk behind an emulated drive: its bytes, kept in a sparse file of the drive's folder.
// The bytes do not depend on the logical-block length: block n of length L is the L bytes at
// n * L, so the same medium reads as 512-byte or as 4096-byte blocks, as behind a bridge that
// emulates 512-byte blocks on a disk of 4096-byte sectors.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "emulator/emulated_drive.h"

namespace mox3 {

inline constexpr const char* kMediumFileName = kEmulatedMediumFile;

// The digest of a medium is SHA-256 over the SHA-256 digests of its non-zero chunks, in order:
// each chunk is 64 KiB at a multiple of 64 KiB (the last one ends with the medium), and its
// digest is taken over its offset as 8 big-endian bytes followed by its bytes. Chunks of zeros
// count for nothing, so the digest tells what was written without reading terabytes of holes;
// a medium that holds only zeros has the digest of no bytes at all.
inline constexpr std::uint64_t kMediumDigestChunk = 64 * 1024;

struct MediumExtent {
    std::uint64_t offset = 0;
    std::uint64_t length = 0;
};

class DiskMedium {
  public:
    // The medium of `size` bytes kept in `file`.
    DiskMedium(std::filesystem::path file, std::uint64_t size)
        : file_(std::move(file)), size_(size) {}

    const std::filesystem::path& file() const { return file_; }
    std::uint64_t size() const { return size_; }

    // Makes the file: all zeros, taking no room on a file system that keeps holes.
    bool Create(std::string* error) const;
    // `out.size()` bytes at `offset`; whatever the file does not hold reads as zeros.
    bool Read(std::uint64_t offset, std::span<std::uint8_t> out, std::string* error) const;
    bool Write(std::uint64_t offset, std::span<const std::uint8_t> data, std::string* error) const;
    // The parts of the medium that may hold anything but zeros, in order.
    std::optional<std::vector<MediumExtent>> DataExtents(std::string* error) const;
    // The digest in lower-case hex (see kMediumDigestChunk).
    std::optional<std::string> Digest(std::string* error) const;

  private:
    bool Fits(std::uint64_t offset, std::uint64_t length, std::string* error) const;

    std::filesystem::path file_;
    std::uint64_t size_;
};

// What the platform does for a medium file, in medium_file_linux.cpp and _windows.cpp:
// creates `file` of `size` zero bytes, sparse where it can;
bool CreateSparseFile(const std::filesystem::path& file, std::uint64_t size, std::string* error);
// the parts of `file` below `limit` that hold data (holes left out where the system tells).
std::optional<std::vector<MediumExtent>> FileDataExtents(const std::filesystem::path& file,
                                                         std::uint64_t limit, std::string* error);

}  // namespace mox3
