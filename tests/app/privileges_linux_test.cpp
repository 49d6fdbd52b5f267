// Without the right to write a drive's flash, `update` says what it needs instead of finding
// no drive.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "test_support.h"

namespace mox3::test {
namespace {

TEST(Privileges, UpdateWithoutRawIoSaysItNeedsRoot) {
    const char* setpriv = "/usr/bin/setpriv";
    if (::access(setpriv, X_OK) != 0) GTEST_SKIP() << "setpriv is not installed";
    TempDir dir;
    const auto log = dir / "log.txt";
    pid_t pid = ::fork();
    if (pid == 0) {
        FILE* out = std::fopen(log.c_str(), "w");
        if (out) {
            ::dup2(fileno(out), 1);
            ::dup2(fileno(out), 2);
        }
        // The capability dropped from every set, as a plain user's process has none.
        ::execl(setpriv, setpriv, "--inh-caps=-sys_rawio", "--bounding-set=-sys_rawio",
                MOX3_CLI_PATH, "update", "--yes", "--state-dir", (dir / "state").c_str(),
                static_cast<char*>(nullptr));
        ::_exit(127);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    const std::string text = ReadText(log);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 127) GTEST_SKIP() << text;
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << text;
    EXPECT_NE(text.find("needs root"), std::string::npos) << text;
    EXPECT_NE(text.find("sudo"), std::string::npos) << text;
    EXPECT_EQ(text.find("not connected"), std::string::npos) << text;
}

}  // namespace
}  // namespace mox3::test
