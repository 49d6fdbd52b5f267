#include "emulator/folder_files.h"

#include <fstream>

namespace mox3 {

namespace fs = std::filesystem;

fs::path ReplacementFor(const fs::path& file) {
    fs::path temp = file;
    temp += ".tmp";
    return temp;
}

bool WriteNewFile(const fs::path& file, std::string_view data, std::string* error) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(data.data(), static_cast<std::streamsize>(data.size()));
    out.close();
    if (!out) {
        if (error) *error = "cannot write " + file.string();
        return false;
    }
    return true;
}

bool WriteFileRange(const fs::path& file, std::uint64_t offset, std::span<const std::uint8_t> data,
                    std::string* error) {
    std::fstream io(file, std::ios::binary | std::ios::in | std::ios::out);
    if (io) {
        io.seekp(static_cast<std::streamoff>(offset));
        io.write(reinterpret_cast<const char*>(data.data()),
                 static_cast<std::streamsize>(data.size()));
        io.close();
    }
    if (!io) {
        if (error) *error = "cannot write " + file.string();
        return false;
    }
    return true;
}

namespace {

// Reads a regular file of at most `largest` bytes into `out` (a string or a byte vector).
template <typename Buffer>
bool ReadWhole(const fs::path& file, Buffer& out, std::uint64_t largest, std::string* error) {
    auto fail = [&](std::string why) {
        if (error) *error = std::move(why);
        return false;
    };
    std::error_code ec;
    // Links are followed: what counts is what reading the name would read.
    const fs::file_status status = fs::status(file, ec);
    if (ec || !fs::exists(status)) return fail("there is no file " + file.string());
    if (!fs::is_regular_file(status)) return fail(file.string() + " is not a regular file");
    const std::uintmax_t size = fs::file_size(file, ec);
    if (ec) return fail("cannot read the size of " + file.string());
    if (size > largest) {
        return fail(file.string() + " holds " + std::to_string(size) + " bytes, more than the " +
                    std::to_string(largest) + " it may hold");
    }
    std::ifstream in(file, std::ios::binary);
    if (!in) return fail("cannot open " + file.string());
    // Read to the end, whatever the size said, but never past the limit: the file may have
    // changed since.
    out.resize(static_cast<std::size_t>(size) + 1);
    in.read(reinterpret_cast<char*>(out.data()), static_cast<std::streamsize>(out.size()));
    if (in.bad()) return fail("cannot read " + file.string());
    const auto got = static_cast<std::size_t>(in.gcount());
    if (got > size) return fail(file.string() + " grew while it was read");
    out.resize(got);
    return true;
}

}  // namespace

std::optional<std::string> ReadFileContents(const fs::path& file, std::uint64_t largest,
                                            std::string* error) {
    std::string bytes;
    if (!ReadWhole(file, bytes, largest, error)) return std::nullopt;
    return bytes;
}

bool ReadFileBytes(const fs::path& file, std::vector<std::uint8_t>& bytes, std::uint64_t largest,
                   std::string* error) {
    return ReadWhole(file, bytes, largest, error);
}

}  // namespace mox3
