// Runs a piece of a test in a child process with a mount namespace of its own, test folders
// bound over system folders (/var/lib, /run), so that what root's defaults do can be seen
// without touching the system's folders. Also: a child that runs as another user.
#pragma once

#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace mox3::test {

// A user id that is nobody's on the test machine.
inline constexpr uid_t kOtherUid = 54321;

struct ChildResult {
    bool skipped = false;  // no mount namespace here (no CAP_SYS_ADMIN, or a container's limits)
    std::string failure;   // what `body` complained of; empty when nothing
};

// Runs `body` in a child, first given a private mount namespace with each pair's first folder
// bound over its second.
inline ChildResult RunInChild(
    const std::function<std::string()>& body,
    const std::vector<std::pair<std::filesystem::path, std::filesystem::path>>& binds = {}) {
    int fds[2];
    if (::pipe(fds) != 0) return {false, "no pipe"};
    const pid_t pid = ::fork();
    if (pid == 0) {
        bool bound =
            binds.empty() || (::unshare(CLONE_NEWNS) == 0 &&
                              ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0);
        for (const auto& [from, onto] : binds) {
            bound = bound && ::mount(from.c_str(), onto.c_str(), nullptr, MS_BIND, nullptr) == 0;
        }
        const std::string said = bound ? body() : "\x01";
        ssize_t ignored = ::write(fds[1], said.data(), said.size());
        (void)ignored;
        ::_exit(0);
    }
    ::close(fds[1]);
    std::string said;
    char buffer[512];
    for (ssize_t n; (n = ::read(fds[0], buffer, sizeof buffer)) > 0;) said.append(buffer, n);
    ::close(fds[0]);
    ::waitpid(pid, nullptr, 0);
    return said == "\x01" ? ChildResult{true, ""} : ChildResult{false, said};
}

}  // namespace mox3::test
