// Runs the built command-line program as a user would: in its own process, with standard
// input from a file and standard output and error caught in files of a work folder.
#pragma once

#include <gtest/gtest.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "bridge/firmware_image.h"
#include "test_support.h"

// `text` holds (or lacks) `part`; the text is shown when not.
#define EXPECT_HAS(text, part) EXPECT_NE(std::string(text).find(part), std::string::npos) << (text)
#define EXPECT_LACKS(text, part) EXPECT_EQ(std::string(text).find(part), std::string::npos) << (text)

namespace mox3::test {

// `j` has the fields of `want` with their values; its other fields are not looked at.
inline void ExpectFields(const nlohmann::json& j, const nlohmann::json& want) {
    nlohmann::json got = nlohmann::json::object();
    for (const auto& [key, value] : want.items()) got[key] = j.contains(key) ? j[key] : nullptr;
    EXPECT_EQ(got, want) << j;
}

struct ProgramResult {
    int code = -1;  // the exit code; -1 when the program did not exit by itself
    std::string out, err;
};

struct ProgramSetting {
    std::filesystem::path input = "/dev/null";
    std::vector<std::pair<std::string, std::string>> environment = {};  // set in the child
    std::vector<std::string> unset = {};                                // removed in the child
    bool errorsWithOutput = false;  // standard error into standard output's file
    // Standard output through a pipe: `signals` are sent, in turn, once `signalAfter` has
    // appeared in it.
    std::string signalAfter = {};
    std::vector<int> signals = {};
    bool terminal = false;  // standard output is a terminal of the test's own (a pseudo-terminal)
};

// The run ended with `code`, its standard output holding `out` and its standard error `err`.
inline void ExpectEnd(const ProgramResult& r, int code, const std::string& out,
                      const std::string& err = "") {
    EXPECT_EQ(r.code, code) << r.out << r.err;
    EXPECT_HAS(r.out, out);
    EXPECT_HAS(r.err, err);
}

// MOX3_CLI_PATH with `words`; the testing aids' kill point is always removed.
inline ProgramResult RunProgram(const std::vector<std::string>& words,
                                const std::filesystem::path& work,
                                const ProgramSetting& setting = {}) {
    const std::filesystem::path outFile = work / "program-out.txt", errFile = work / "program-err.txt";
    int pipeEnds[2] = {-1, -1};
    if (setting.terminal ? ::openpty(&pipeEnds[0], &pipeEnds[1], nullptr, nullptr, nullptr) != 0
                         : !setting.signalAfter.empty() && ::pipe(pipeEnds) != 0) {
        return {};
    }
    pid_t pid = ::fork();
    if (pid == 0) {
        ::unsetenv("MOX3_KILL_AT_REQUEST");
        for (const auto& name : setting.unset) ::unsetenv(name.c_str());
        for (const auto& [name, value] : setting.environment) ::setenv(name.c_str(), value.c_str(), 1);
        FILE* out = std::fopen(outFile.c_str(), "w");
        FILE* err = setting.errorsWithOutput ? out : std::fopen(errFile.c_str(), "w");
        FILE* in = std::fopen(setting.input.c_str(), "r");
        if (out && err && in) {
            ::dup2(pipeEnds[1] >= 0 ? pipeEnds[1] : fileno(out), 1);
            ::dup2(fileno(err), 2);
            ::dup2(fileno(in), 0);
        }
        if (pipeEnds[0] >= 0) ::close(pipeEnds[0]);
        std::vector<char*> argv = {const_cast<char*>(MOX3_CLI_PATH)};
        for (const std::string& w : words) argv.push_back(const_cast<char*>(w.c_str()));
        argv.push_back(nullptr);
        ::execv(MOX3_CLI_PATH, argv.data());
        ::_exit(127);
    }
    std::string piped;
    if (pipeEnds[0] >= 0) {
        ::close(pipeEnds[1]);
        bool sent = false;
        char buffer[4096];
        for (ssize_t got; (got = ::read(pipeEnds[0], buffer, sizeof buffer)) != 0;) {
            if (got < 0 && errno == EINTR) continue;
            if (got < 0) break;  // a terminal whose other side closed
            piped.append(buffer, static_cast<std::size_t>(got));
            if (!sent && piped.find(setting.signalAfter) != std::string::npos) {
                for (int signal : setting.signals) ::kill(pid, signal);
                sent = true;
            }
        }
        ::close(pipeEnds[0]);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, pipeEnds[0] >= 0 ? piped : ReadText(outFile),
            setting.errorsWithOutput ? "" : ReadText(errFile)};
}

// A folder holding a sample image (img.bin) and a bus with one emulated drive (bus/d), and the
// program run beside it: "@x" in a word stands for the path of x in the folder.
class ProgramTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string why;
        WriteBytes(dir_ / "img.bin", MakeSampleImage({2, "01000700", 30000, 7}, &why));
        ASSERT_EQ(Run({"emulator", "create", "@bus/d", "--generation", "2", "--serial",
                       "ABCDEF0123456789", "--firmware", "@img.bin"}).code, 0);
    }
    std::string P(const std::string& name) const { return (dir_ / name).string(); }
    ProgramResult Run(std::vector<std::string> words, const ProgramSetting& setting = {}) {
        for (std::string& w : words) w = w.size() > 1 && w[0] == '@' ? P(w.substr(1)) : w;
        return RunProgram(words, work_.path(), setting);
    }
    // Standard output must be one JSON object and nothing else.
    static nlohmann::json Object(const ProgramResult& r) {
        nlohmann::json j = nlohmann::json::parse(r.out, nullptr, false);
        EXPECT_TRUE(j.is_object()) << r.out;
        return j;
    }
    TempDir dir_;
    TempDir work_;  // the program's own output files
};

}  // namespace mox3::test
