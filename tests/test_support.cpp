#include "test_support.h"

#include <cstdlib>
#include <fstream>
#include <random>
#include <stdexcept>

#include "base/text.h"

#ifndef _WIN32
#include <sys/wait.h>

#include <sstream>
#endif

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#endif

namespace mox3::test {

TempDir::TempDir() {
    std::random_device rd;
    for (int i = 0; i < 100; ++i) {
        auto candidate = std::filesystem::temp_directory_path() /
                         ("mox3-test-" + std::to_string(rd()) + std::to_string(i));
        if (std::filesystem::create_directory(candidate)) {
            path_ = candidate;
            return;
        }
    }
    throw std::runtime_error("cannot create a temporary folder");
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

void WriteBytes(const std::filesystem::path& file, const std::vector<std::uint8_t>& bytes) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + file.string());
}

void MakeLongFile(const std::filesystem::path& file, std::uint64_t length) {
#ifdef _WIN32
    HANDLE handle = CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) throw std::runtime_error("cannot create " + file.string());
    LARGE_INTEGER end;
    end.QuadPart = static_cast<LONGLONG>(length);
    const bool made = SetFilePointerEx(handle, end, nullptr, FILE_BEGIN) && SetEndOfFile(handle);
    CloseHandle(handle);
    if (!made) throw std::runtime_error("cannot lengthen " + file.string());
#else
    { std::ofstream(file, std::ios::binary | std::ios::trunc); }
    std::filesystem::resize_file(file, length);
#endif
}

std::vector<std::uint8_t> ReadBytes(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + file.string());
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::string ReadText(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteText(const std::filesystem::path& file, const std::string& text) {
    WriteBytes(file, std::vector<std::uint8_t>(text.begin(), text.end()));
}

void WriteUtf16Ini(const std::filesystem::path& file, const std::string& utf8Text) {
    std::string crlf;
    for (char c : utf8Text) {
        if (c == '\n') crlf.push_back('\r');
        crlf.push_back(c);
    }
    std::vector<std::uint8_t> bytes = {0xFF, 0xFE};
    for (char16_t u : Utf8ToUtf16(crlf)) {
        bytes.push_back(static_cast<std::uint8_t>(u & 0xFF));
        bytes.push_back(static_cast<std::uint8_t>(u >> 8));
    }
    WriteBytes(file, bytes);
}

void SetEnv(const char* name, const char* value) {
#ifdef _WIN32
    _putenv_s(name, value);
#else
    setenv(name, value, 1);
#endif
}

void UnsetEnv(const char* name) {
#ifdef _WIN32
    _putenv_s(name, "");
#else
    unsetenv(name);
#endif
}

#ifndef _WIN32
std::pair<int, std::string> RunCMakeScript(const std::string& definitions,
                                           const std::string& script,
                                           const std::filesystem::path& log) {
    const std::filesystem::path path = std::filesystem::path(MOX3_TEST_SOURCE_DIR) / script;
    const std::string command = "cmake " + definitions + " -P " + path.string() + " > " +
                                log.string() + " 2>&1";
    const int status = std::system(command.c_str());
    std::stringstream printed;
    printed << std::ifstream(log).rdbuf();
    std::string joined;
    for (char c : printed.str()) {
        if (c != '\n' && !(c == ' ' && !joined.empty() && joined.back() == ' ')) joined += c;
    }
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, joined};
}
#endif

}  // namespace mox3::test
