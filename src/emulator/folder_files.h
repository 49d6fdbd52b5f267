// How an emulated drive writes the files of its folder. The emulator models a process that
// is killed, not a machine that loses power: nothing is flushed to the disk, a file changes
// in place or is replaced by renaming a complete new one over it. A file is never truncated
// and rewritten, nor renamed over one that holds data, when it can be helped: some file
// systems (ext4, for one) push such a file's data to the disk right away, which costs
// milliseconds each time.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace mox3 {

// The name a file's replacement is written under before it is renamed into place.
std::filesystem::path ReplacementFor(const std::filesystem::path& file);

// Creates `file` (a new name, normally) holding `data`.
bool WriteNewFile(const std::filesystem::path& file, std::string_view data, std::string* error);

// Overwrites `data.size()` bytes of the existing `file` at `offset`.
bool WriteFileRange(const std::filesystem::path& file, std::uint64_t offset,
                    std::span<const std::uint8_t> data, std::string* error);

// The largest file of a drive folder that is read whole.
inline constexpr std::uint64_t kLargestFolderFile = 64ull * 1024 * 1024;

// The whole file, or nothing when it cannot be read: when it is missing, is no regular file (a
// FIFO would block the reader, a device such as /dev/zero never ends) or is longer than
// `largest`. `error` (when given) says which.
std::optional<std::string> ReadFileContents(const std::filesystem::path& file,
                                            std::uint64_t largest = kLargestFolderFile,
                                            std::string* error = nullptr);
// The whole file into `bytes`; false when it cannot be read, as for ReadFileContents.
bool ReadFileBytes(const std::filesystem::path& file, std::vector<std::uint8_t>& bytes,
                   std::uint64_t largest = kLargestFolderFile, std::string* error = nullptr);

}  // namespace mox3
