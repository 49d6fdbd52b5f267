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

std::optional<std::string> ReadFileContents(const fs::path& file) {
    std::ifstream in(file, std::ios::binary | std::ios::ate);
    if (!in) return std::nullopt;
    const std::streamoff size = in.tellg();
    if (size < 0) return std::nullopt;
    std::string bytes(static_cast<std::size_t>(size), '\0');
    in.seekg(0);
    in.read(bytes.data(), static_cast<std::streamsize>(size));
    if (in.gcount() != size) return std::nullopt;
    return bytes;
}

bool ReadFileBytes(const fs::path& file, std::vector<std::uint8_t>& bytes) {
    std::ifstream in(file, std::ios::binary | std::ios::ate);
    if (!in) return false;
    const std::streamoff size = in.tellg();
    if (size < 0) return false;
    bytes.resize(static_cast<std::size_t>(size));
    in.seekg(0);
    in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(size));
    return in.gcount() == size;
}

}  // namespace mox3
