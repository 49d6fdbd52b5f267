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
    std::string failure;   // empty when `body` returned nothing to complain of
};

// Runs `body` in a child; what it returns is its failure (empty: none). With `binds`, the
// child first gets a private mount namespace with each pair's folder bound over the second.
inline ChildResult RunInChild(
    const std::function<std::string()>& body,
    const std::vector<std::pair<std::filesystem::path, std::filesystem::path>>& binds = {}) {
    int pipeFds[2];
    if (::pipe(pipeFds) != 0) return {false, "no pipe"};
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(pipeFds[0]);
        std::string said;
        if (!binds.empty() && (::unshare(CLONE_NEWNS) != 0 ||
                               ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)) {
            said = "\x01";
        }
        for (const auto& [from, onto] : binds) {
            if (said.empty() && ::mount(from.c_str(), onto.c_str(), nullptr, MS_BIND, nullptr) != 0) {
                said = "\x01";
            }
        }
        if (said.empty()) said = body();
        ssize_t ignored = ::write(pipeFds[1], said.data(), said.size());
        (void)ignored;
        ::_exit(0);
    }
    ::close(pipeFds[1]);
    std::string said;
    char buffer[512];
    for (ssize_t n; (n = ::read(pipeFds[0], buffer, sizeof buffer)) > 0;) said.append(buffer, n);
    ::close(pipeFds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (said == "\x01") return {true, ""};
    if (!WIFEXITED(status)) return {false, "the child did not end by itself"};
    return {false, said};
}

}  // namespace mox3::test
