// Without the right to write a drive's flash, `update` says what it needs instead of finding
// no drive; the right is CAP_SYS_RAWIO among the process's effective capabilities.
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <sys/syscall.h>

#include <nlohmann/json.hpp>
#include <sstream>

#include "app/cli/terminal_view.h"
#include "app/private_mounts_linux.h"
#include "app/services_double.h"
#include "platform/platform.h"

namespace mox3::test {
namespace {

TEST(Privileges, AProcessWithoutRawIoIsToldToUseSudo) {
    const ChildResult child = RunInChild([]() -> std::string {
        __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
        __user_cap_data_struct data[2]{};
        if (::syscall(SYS_capget, &header, data) != 0) return "no capget";
        data[0].effective &= ~(1u << CAP_SYS_RAWIO);
        if (::syscall(SYS_capset, &header, data) != 0) return "no capset";
        std::string why;
        if (MayWriteDrives(&why)) return "may write drives";
        return why.find("needs root") != std::string::npos && why.find("sudo") != std::string::npos
                   ? ""
                   : why;
    });
    EXPECT_EQ(child.failure, "");
}

TEST(Privileges, UpdateOfRealDrivesAsksForTheRightFirstAndStopsWithoutIt) {
    DoubleServices doubles;
    doubles.rights->refusal = "updating a drive needs root";
    Session session;
    session.clock = std::make_shared<ManualClock>();
    session.services = doubles.services();
    for (const bool json : {false, true}) {
        RunOptions options;
        options.yes = true;
        options.json = json;
        std::ostringstream out, err;
        EXPECT_EQ(RunUpdate(session, options, out, err), 1);
        EXPECT_EQ(json ? nlohmann::json::parse(out.str())["error"]["code"].get<std::string>()
                       : err.str(),
                  json ? "needs-root" : "error: updating a drive needs root\n");
    }
    EXPECT_EQ(doubles.state->started, 0);
    // Emulated drives take no such right, nor do the records.
    RunOptions emulated;
    emulated.lockDir = "bus";
    std::ostringstream out, err;
    EXPECT_EQ(RunUpdate(session, emulated, out, err), 1);
    EXPECT_EQ(doubles.state->started, 1);
    EXPECT_NE(err.str().find("no state folder in this test"), std::string::npos) << err.str();
}

}  // namespace
}  // namespace mox3::test
