// The configuration files carried inside the program and the "resource" command.
#include "resources/resources.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "app/cli/commands.h"
#include "base/text.h"
#include "test_support.h"

namespace mox3 {
namespace {

const std::vector<int> kIds = {104, 106, 116, 117, 118, 119, 120, 121, 123};

const EmbeddedResource& Resource(int id) {
    const EmbeddedResource* r = FindConfigResource(id);
    if (r == nullptr) throw std::runtime_error("missing resource " + std::to_string(id));
    return *r;
}

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

// Every file is found by its id and listed in id order, as text and as JSON.
TEST(ResourceCommand, ListNamesEveryFileInIdOrder) {
    for (int id : {0, 103, 105, 122, 124}) EXPECT_EQ(FindConfigResource(id), nullptr) << id;
    CommandResult r = RunResource({"list"});
    ASSERT_EQ(r.code, kExitOk) << r.err;
    std::istringstream lines(r.out);
    std::vector<std::string> rows;
    for (std::string line; std::getline(lines, line);) rows.push_back(line);
    ASSERT_EQ(rows.size(), kIds.size()) << r.out;
    const std::string json = RunResource({"list", "--json"}).out;
    for (std::size_t i = 0; i < kIds.size(); ++i) {
        EXPECT_EQ(Resource(kIds[i]).fileName, "config_" + std::to_string(kIds[i]) + ".ini");
        EXPECT_EQ(rows[i].rfind(std::to_string(kIds[i]), 0), 0u) << rows[i];
        EXPECT_NE(json.find("\"id\": " + std::to_string(kIds[i]) + ","), std::string::npos);
    }
}

TEST(ResourceCommand, ExtractWritesTheExactBytesAndReplacesAnOldFile) {
    test::TempDir dir;
    for (int id : {104, 123}) {
        auto target = dir / "MOX3_config.ini";
        test::WriteBytes(target, std::vector<std::uint8_t>(10000, 0xAA));
        CommandResult r = RunResource({"extract", std::to_string(id), "-o", target.string()});
        ASSERT_EQ(r.code, kExitOk) << r.err;
        auto expected = Resource(id).bytes;
        EXPECT_EQ(test::ReadBytes(target),
                  std::vector<std::uint8_t>(expected.begin(), expected.end()));
    }
    // No temporary file is left beside the result.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);
}

TEST(ResourceCommand, ExtractFailures) {
    test::TempDir dir;
    auto target = (dir / "out.ini").string();

    CommandResult unknown = RunResource({"extract", "105", "-o", target});
    EXPECT_EQ(unknown.code, kExitFailed);
    EXPECT_NE(unknown.err.find("105"), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(target));

    CommandResult noFolder =
        RunResource({"extract", "116", "-o", (dir / "missing" / "x.ini").string()});
    EXPECT_EQ(noFolder.code, kExitFailed);
    EXPECT_FALSE(noFolder.err.empty());

    // A folder in the way cannot be replaced; nothing is left behind.
    std::filesystem::create_directory(dir / "busy");
    CommandResult folder = RunResource({"extract", "116", "-o", (dir / "busy").string()});
    EXPECT_EQ(folder.code, kExitFailed);
    EXPECT_TRUE(std::filesystem::is_directory(dir / "busy"));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);
}

TEST(ResourceCommand, BadUsageShowsUsage) {
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"unpack"},
        {"list", "--xml"},
        {"extract"},
        {"extract", "116"},
        {"extract", "-o", "x.ini"},
        {"extract", "116", "-o"},
        {"extract", "abc", "-o", "x.ini"},
        {"extract", "116x", "-o", "x.ini"},
        {"extract", "116", "117", "-o", "x.ini"},
    };
    for (const auto& args : cases) {
        CommandResult r = RunResource(args);
        std::string joined;
        for (const auto& a : args) joined += a + " ";
        EXPECT_EQ(r.code, kExitUsage) << joined;
        EXPECT_NE(r.err.find("usage:"), std::string::npos) << joined;
        EXPECT_TRUE(r.out.empty()) << joined;
    }
}

}  // namespace
}  // namespace mox3
