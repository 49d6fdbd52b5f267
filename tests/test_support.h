// Helpers shared by the tests: temporary folders, files and synthetic images.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace mox3::test {

// A fresh folder under the system's temporary folder, removed with the object.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

  private:
    std::filesystem::path path_;
};

void WriteBytes(const std::filesystem::path& file, const std::vector<std::uint8_t>& bytes);
// Makes `file` `length` bytes long without writing them (a sparse file where the file system
// has them). Unlike std::filesystem::resize_file it reaches past 2 GiB in the 32-bit Windows
// build, whose runtime library refuses such lengths with "File too large".
void MakeLongFile(const std::filesystem::path& file, std::uint64_t length);
std::vector<std::uint8_t> ReadBytes(const std::filesystem::path& file);
// The file's text, or nothing when it cannot be read.
std::string ReadText(const std::filesystem::path& file);
void WriteText(const std::filesystem::path& file, const std::string& text);
// Writes UTF-8 text as a UTF-16LE file with a byte-order mark, "\n" turned into CRLF.
void WriteUtf16Ini(const std::filesystem::path& file, const std::string& utf8Text);

// Sets or removes an environment variable of the process.
void SetEnv(const char* name, const char* value);
#ifndef _WIN32
// Runs one of the build's scripts, `cmake <definitions> -P <script>` (the script's path
// relative to the tests' folder), its output kept in `log`: its exit status (-1 when it did not
// exit) and everything it printed, with its lines joined and runs of blanks made one (CMake
// wraps and indents long messages).
std::pair<int, std::string> RunCMakeScript(const std::string& definitions,
                                           const std::string& script,
                                           const std::filesystem::path& log);
#endif
void UnsetEnv(const char* name);

}  // namespace mox3::test
