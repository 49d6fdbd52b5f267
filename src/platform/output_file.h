// Files the program writes where the user says: the one rule for every output path, the
// identity of files (to keep an output off its own inputs), and the two ways of writing.
//
// The rule: an output path may name nothing yet, or a regular file, which is then replaced
// whole and atomically (the bytes go to a new file in the same folder, which is flushed and
// renamed over it). A symbolic link (on Windows any reparse point) is refused, not followed;
// so are a folder, a FIFO, a socket and a device node: they are never written to and never
// replaced. Refusals name the path and what stands there.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace mox3 {

// What makes a file the same file under any name: on Linux its device and inode numbers, on
// Windows its volume's serial number and its file index.
struct FileIdentity {
    std::uint64_t volume = 0;
    std::uint64_t index = 0;
    friend bool operator==(const FileIdentity&, const FileIdentity&) = default;
};

// The identity of the file or folder `path` names (a link followed); nothing when there is none.
std::optional<FileIdentity> IdentifyFile(const std::filesystem::path& path);

// Empty when `path` may be written by the rule above; else why not ("OUT is a FIFO, not a
// regular file; it is not replaced"). A missing folder above it is named too.
std::string OutputPathProblem(const std::filesystem::path& path);

// True when standard error is a terminal (or a console): where progress may be shown.
bool StderrIsTerminal();

// A file written beside its target and put in the target's place only by Commit; until then
// (and when it is dropped uncommitted) the target is untouched and the new file removed.
class OutputFile {
  public:
    explicit OutputFile(std::filesystem::path target) : target_(std::move(target)) {}
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // Checks the rule and makes the new file. Each call returns false with `error` set on failure.
    bool Open(std::string* error);
    // Sets the length: what is not written reads as zeros (a hole where the system keeps them).
    bool Resize(std::uint64_t size, std::string* error);
    bool WriteAt(std::uint64_t offset, const void* data, std::size_t size, std::string* error);
    // Flushes the new file, checks the rule again and renames it over the target, then flushes
    // the folder.
    bool Commit(std::string* error);

  private:
    std::filesystem::path target_;
    std::filesystem::path temp_;
    std::intptr_t file_ = -1;
    std::intptr_t folder_ = -1;  // Linux: the target's folder, opened once
};

// Writes `bytes` as the whole new content of `target`, by the rule; false with `error` set.
inline bool WriteWholeOutputFile(const std::filesystem::path& target, std::string_view bytes,
                                 std::string* error) {
    OutputFile file(target);
    return file.Open(error) && file.WriteAt(0, bytes.data(), bytes.size(), error) &&
           file.Commit(error);
}

// A file lines are appended to, opened by the same rule (a new or regular file, no link, never a
// device or FIFO), for a log such as the request trace.
class AppendFile {
  public:
    AppendFile() = default;
    ~AppendFile();
    AppendFile(const AppendFile&) = delete;
    AppendFile& operator=(const AppendFile&) = delete;

    // Opens or makes `path`; `firstLine` gets the start of the file up to its first line end
    // (at most 4096 bytes, empty for an empty file), for the caller to tell whether it is
    // the kind of file it may append to.
    bool Open(const std::filesystem::path& path, std::string* firstLine, std::string* error);
    // Appends `text` whole; a short write (a full disk, a file-size limit) is an error.
    bool Append(std::string_view text, std::string* error);

  private:
    std::filesystem::path path_;
    std::intptr_t file_ = -1;
};

}  // namespace mox3
