// Shared pieces of the fuzz targets: a scratch folder for the targets whose code reads files,
// and the stop that turns a broken property into a finding.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <span>
#include <string>

namespace mox3::fuzz {

// A folder of this process under the system's temporary folder, made on first use and
// removed when the process ends normally.
inline const std::filesystem::path& ScratchFolder() {
    struct Folder {
        std::filesystem::path path;
        Folder() {
            std::string pattern = (std::filesystem::temp_directory_path() / "mox3-fuzz-XXXXXX");
            if (mkdtemp(pattern.data()) == nullptr) {
                std::perror("mkdtemp");
                std::abort();
            }
            path = pattern;
        }
        ~Folder() {
            std::error_code ec;
            std::filesystem::remove_all(path, ec);
        }
    };
    static Folder folder;
    return folder.path;
}

inline void WriteFile(const std::filesystem::path& file, std::span<const std::uint8_t> bytes) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    if (!out) {
        std::fprintf(stderr, "cannot write %s\n", file.c_str());
        std::abort();
    }
}

// A property the code promises did not hold: libFuzzer reports the input as a crash.
[[noreturn]] inline void Broken(const char* what) {
    std::fprintf(stderr, "property broken: %s\n", what);
    std::abort();
}

}  // namespace mox3::fuzz
