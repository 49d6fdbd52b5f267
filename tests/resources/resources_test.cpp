// The configuration files carried inside the program and the "resource" command.
#include "resources/resources.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "app/cli/commands.h"
#include "test_support.h"

namespace mox3 {
namespace {

struct CommandResult {
    int code;
    std::string out;
    std::string err;
};

CommandResult RunResource(std::vector<std::string> args) {
    std::ostringstream out, err;
    int code = RunResourceCommand(args, out, err);
    return {code, out.str(), err.str()};
}

TEST(ResourceCommand, ExtractWritesTheExactBytesAndReplacesAnOldFile) {
    test::TempDir dir;
    for (int id : {104, 123}) {
        auto target = dir / "MOX3_config.ini";
        test::WriteBytes(target, std::vector<std::uint8_t>(10000, 0xAA));
        CommandResult r = RunResource({"extract", std::to_string(id), "-o", target.string()});
        ASSERT_EQ(r.code, kExitOk) << r.err;
        auto expected = FindConfigResource(id)->bytes;
        EXPECT_EQ(test::ReadBytes(target),
                  std::vector<std::uint8_t>(expected.begin(), expected.end()));
    }
    // No temporary file is left beside the result.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);
}

TEST(ResourceCommand, BadUsageShowsUsage) {
    for (const std::vector<std::string>& args :
         std::vector<std::vector<std::string>>{{},
                                               {"list", "--xml"},
                                               {"extract", "116"},
                                               {"extract", "116x", "-o", "x.ini"},
                                               {"extract", "116", "117", "-o", "x.ini"}}) {
        CommandResult r = RunResource(args);
        EXPECT_EQ(r.code, kExitUsage) << args.size();
        EXPECT_NE(r.err.find("usage:"), std::string::npos) << r.err;
        EXPECT_TRUE(r.out.empty()) << r.out;
    }
}

}  // namespace
}  // namespace mox3
