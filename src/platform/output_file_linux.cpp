// The output rule on Linux: lstat tells what stands at a path, O_NOFOLLOW and O_EXCL keep a
// link or another file from being taken for the new one, and the folder is opened once so
// that the new file is made, renamed and flushed in the very folder that was checked.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <random>

#include "platform/output_file.h"

namespace mox3 {

namespace fs = std::filesystem;

namespace {

std::string ErrnoText(const std::string& what, int error = errno) {
    return what + ": " + std::strerror(error);
}

// What a file of this mode is, when it is not one an output may replace; nullptr for a
// regular file.
const char* RefusedKind(mode_t mode) {
    if (S_ISREG(mode)) return nullptr;
    if (S_ISLNK(mode)) return "a symbolic link; an output is never written through a link";
    if (S_ISDIR(mode)) return "a folder, not a regular file";
    if (S_ISFIFO(mode)) return "a FIFO, not a regular file; it is not replaced";
    if (S_ISCHR(mode)) return "a character device, not a regular file; it is not replaced";
    if (S_ISBLK(mode)) return "a block device, not a regular file; it is not replaced";
    if (S_ISSOCK(mode)) return "a socket, not a regular file; it is not replaced";
    return "not a regular file; it is not replaced";
}

fs::path FolderOf(const fs::path& file) {
    return file.has_parent_path() ? file.parent_path() : fs::path(".");
}

void CloseIfOpen(std::intptr_t& fd) {
    if (fd >= 0) ::close(static_cast<int>(fd));
    fd = -1;
}

// Run as root, an output's folders must all be root's and writable by no one else (but for a
// folder with the sticky bit, as /tmp), and no link another user made is followed on the way:
// another user could otherwise send the file anywhere, or make root write into their home.
// Checked on the path as given and on the folder it leads to. Empty when all is well.
std::string RootOutputFolderProblem(const fs::path& output) {
    if (::geteuid() != 0) return {};
    std::error_code ec;
    const fs::path given = fs::absolute(FolderOf(output), ec).lexically_normal();
    const fs::path resolved = fs::canonical(given, ec);
    if (ec) return "cannot write " + output.string() + ": " + ec.message();
    for (const fs::path& folder : {given, resolved}) {
        fs::path at;
        for (const fs::path& part : folder) {
            at /= part;
            if (part.empty() || part == "/") continue;
            struct stat st {};
            if (::lstat(at.c_str(), &st) != 0) return ErrnoText("cannot write " + output.string());
            if (S_ISLNK(st.st_mode)) {
                if (st.st_uid == 0) continue;
                return "cannot write " + output.string() + ": " + at.string() +
                       " is a link of user " + std::to_string(st.st_uid) +
                       "; run as root the program follows no link another user controls";
            }
            if (st.st_uid != 0) {
                return "cannot write " + output.string() + ": the folder " + at.string() +
                       " belongs to user " + std::to_string(st.st_uid) +
                       "; run as root the program writes only into folders of root's";
            }
            if ((st.st_mode & 022) != 0 && (st.st_mode & S_ISVTX) == 0) {
                return "cannot write " + output.string() + ": the folder " + at.string() +
                       " can be written by other users";
            }
        }
    }
    return {};
}

}  // namespace

std::optional<FileIdentity> IdentifyFile(const fs::path& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return std::nullopt;
    return FileIdentity{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
}

std::string OutputPathProblem(const fs::path& path) {
    const std::string name = path.filename().string();
    if (name.empty() || name == "." || name == "..") {
        return "cannot write " + path.string() + ": it names a folder, not a file";
    }
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0) {
        if (const char* kind = RefusedKind(st.st_mode)) return path.string() + " is " + kind;
        return RootOutputFolderProblem(path);
    }
    if (errno != ENOENT) return ErrnoText("cannot write " + path.string());
    struct stat folder {};
    const fs::path dir = FolderOf(path);
    if (::stat(dir.c_str(), &folder) != 0 || !S_ISDIR(folder.st_mode)) {
        return "cannot write " + path.string() + ": there is no folder " + dir.string();
    }
    return RootOutputFolderProblem(path);
}

bool StderrIsTerminal() {
    return ::isatty(2) != 0;
}

OutputFile::~OutputFile() {
    if (file_ >= 0) {
        CloseIfOpen(file_);
        ::unlinkat(static_cast<int>(folder_), temp_.c_str(), 0);
    }
    CloseIfOpen(folder_);
}

bool OutputFile::Open(std::string* error) {
    if (std::string why = OutputPathProblem(target_); !why.empty()) {
        if (error) *error = why;
        return false;
    }
    folder_ = ::open(FolderOf(target_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder_ < 0) {
        if (error) *error = ErrnoText("cannot write " + target_.string());
        return false;
    }
    std::random_device random;
    temp_ = target_.filename().string() + ".tmp" + std::to_string(random());
    // A new file of its own: never one that is there already, nor a link's target.
    file_ = ::openat(static_cast<int>(folder_), temp_.c_str(),
                     O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (file_ < 0) {
        if (error) *error = ErrnoText("cannot write " + target_.string());
        return false;
    }
    return true;
}

bool OutputFile::Resize(std::uint64_t size, std::string* error) {
    if (::ftruncate(static_cast<int>(file_), static_cast<off_t>(size)) != 0) {
        if (error) *error = ErrnoText("cannot write " + target_.string());
        return false;
    }
    return true;
}

bool OutputFile::WriteAt(std::uint64_t offset, const void* data, std::size_t size,
                         std::string* error) {
    const char* bytes = static_cast<const char*>(data);
    std::size_t done = 0;
    while (done < size) {
        ssize_t n = ::pwrite(static_cast<int>(file_), bytes + done, size - done,
                             static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (error) *error = ErrnoText("cannot write " + target_.string(), n < 0 ? errno : ENOSPC);
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

bool OutputFile::Commit(std::string* error) {
    auto fail = [&](std::string why) {
        if (error) *error = std::move(why);
        return false;
    };
    if (::fsync(static_cast<int>(file_)) != 0) return fail(ErrnoText("cannot flush " + target_.string()));
    const int closed = ::close(static_cast<int>(file_));
    file_ = -1;
    const int dir = static_cast<int>(folder_);
    if (closed != 0) {
        const int saved = errno;
        ::unlinkat(dir, temp_.c_str(), 0);
        return fail(ErrnoText("cannot write " + target_.string(), saved));
    }
    // Whatever was made at the target meanwhile must still be a file the rule lets go.
    const std::string name = target_.filename().string();
    struct stat st {};
    if (::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
        if (const char* kind = RefusedKind(st.st_mode)) {
            ::unlinkat(dir, temp_.c_str(), 0);
            return fail(target_.string() + " is " + kind);
        }
    }
    if (::renameat(dir, temp_.c_str(), dir, name.c_str()) != 0) {
        const int saved = errno;
        ::unlinkat(dir, temp_.c_str(), 0);
        return fail(ErrnoText("cannot replace " + target_.string(), saved));
    }
    // Until the folder is flushed the new name may not survive a power failure.
    if (::fsync(dir) != 0) return fail(ErrnoText("cannot flush the folder of " + target_.string()));
    return true;
}

AppendFile::~AppendFile() {
    CloseIfOpen(file_);
}

bool AppendFile::Open(const fs::path& path, std::string* firstLine, std::string* error) {
    path_ = path;
    if (std::string why = OutputPathProblem(path); !why.empty()) {
        if (error) *error = why;
        return false;
    }
    // O_NONBLOCK: a FIFO put there since the check must not keep the open waiting for a reader.
    file_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC,
                   0644);
    if (file_ < 0) {
        if (error) *error = ErrnoText("cannot write " + path.string());
        return false;
    }
    const int fd = static_cast<int>(file_);
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        const char* kind = RefusedKind(st.st_mode);
        if (error) *error = path.string() + " is " + (kind ? kind : "not a regular file");
        CloseIfOpen(file_);
        return false;
    }
    ::fcntl(fd, F_SETFL, O_APPEND);
    char head[4096];
    ssize_t n;
    do {
        n = ::pread(fd, head, sizeof head, 0);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        if (error) *error = ErrnoText("cannot read " + path.string());
        CloseIfOpen(file_);
        return false;
    }
    std::string text(head, static_cast<std::size_t>(n));
    if (auto end = text.find('\n'); end != std::string::npos) text.resize(end);
    if (!text.empty() && text.back() == '\r') text.pop_back();
    if (firstLine) *firstLine = std::move(text);
    return true;
}

bool AppendFile::Append(std::string_view text, std::string* error) {
    std::size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(static_cast<int>(file_), text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (error) *error = ErrnoText("cannot write " + path_.string(), n < 0 ? errno : ENOSPC);
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace mox3
