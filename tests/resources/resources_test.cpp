// The configuration files carried inside the program and the "resource" command.
#include "resources/resources.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <span>
#include <sstream>
#include <string>
#include <vector>

#include "app/cli/commands.h"
#include "base/text.h"
#include "test_support.h"

namespace mox3 {
namespace {

const std::vector<int> kIds = {104, 106, 116, 117, 118, 119, 120, 121, 123};
const std::vector<int> kFirstGeneration = {104, 106};
const std::vector<int> kSecondGeneration = {116, 117, 118, 119, 120, 121, 123};

const EmbeddedResource& Resource(int id) {
    const EmbeddedResource* r = FindConfigResource(id);
    if (r == nullptr) throw std::runtime_error("missing resource " + std::to_string(id));
    return *r;
}

// The text after the byte-order mark, split at CRLF; the text ends with a line end.
std::vector<std::string> Lines(int id) {
    auto bytes = Resource(id).bytes;
    std::u16string units;
    for (std::size_t i = 2; i + 1 < bytes.size(); i += 2) {
        units.push_back(static_cast<char16_t>(bytes[i] | (bytes[i + 1] << 8)));
    }
    std::string text = Utf16ToUtf8(units);
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2) {
        lines.push_back(text.substr(start, end - start));
    }
    EXPECT_EQ(start, text.size()) << "resource " << id << " does not end with CRLF";
    return lines;
}

// The lines in which two files of the same layout differ, as "a | b".
std::vector<std::string> DifferingLines(int a, int b) {
    auto la = Lines(a);
    auto lb = Lines(b);
    EXPECT_EQ(la.size(), lb.size()) << a << " vs " << b;
    std::vector<std::string> diff;
    for (std::size_t i = 0; i < std::min(la.size(), lb.size()); ++i) {
        if (la[i] != lb[i]) diff.push_back(la[i] + " | " + lb[i]);
    }
    return diff;
}

bool HasLine(const std::vector<std::string>& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

TEST(ConfigResources, AllNineFilesAreFoundByIdAndListedInIdOrder) {
    std::vector<int> listed;
    for (const EmbeddedResource& r : ConfigResources()) listed.push_back(r.id);
    EXPECT_EQ(listed, kIds);

    for (int id : kIds) {
        const EmbeddedResource* r = FindConfigResource(id);
        ASSERT_NE(r, nullptr) << id;
        EXPECT_EQ(r->id, id);
        EXPECT_EQ(r->fileName, "config_" + std::to_string(id) + ".ini");
        EXPECT_FALSE(r->bytes.empty());
    }
    for (int id : {0, -1, 103, 105, 107, 115, 122, 124, 1000}) {
        EXPECT_EQ(FindConfigResource(id), nullptr) << id;
    }
}

TEST(ConfigResources, FilesAreUtf16WithBomHeaderCommentAndCrlfLineEnds) {
    for (int id : kIds) {
        SCOPED_TRACE(id);
        auto bytes = Resource(id).bytes;
        ASSERT_GE(bytes.size(), 4u);
        EXPECT_EQ(bytes[0], 0xFF);
        EXPECT_EQ(bytes[1], 0xFE);
        EXPECT_EQ(bytes.size() % 2, 0u);

        auto lines = Lines(id);
        ASSERT_GE(lines.size(), 3u);
        EXPECT_EQ(lines[0], "; * This file must be written in UTF-16 LE with BOM encoding.");
        EXPECT_EQ(lines[1], "");
        EXPECT_EQ(lines[2], "[Config]");
        for (const std::string& line : lines) {
            EXPECT_EQ(line.find_first_of("\r\n"), std::string::npos) << "stray line end: " << line;
        }
    }
}

TEST(ConfigResources, FilesCarryTheirModelsIdentityAndGeneration) {
    struct Model {
        int id;
        const char* version;
        const char* pid;
        const char* product;
    };
    const Model models[] = {
        {104, "0", "0x7C31", "ZR-MOX3"},  {106, "0", "0x7C32", "ZR-MOX3"},
        {116, "2", "0x7C33", "ZR-MOX3"},  {117, "2", "0x7C34", "ZR-MOX3"},
        {118, "2", "0x7C34", "ZR-MOXE3"}, {119, "2", "0x7C35", "ZR-MOX3"},
        {120, "2", "0x7C35", "ZR-MOXE3"}, {121, "2", "0x7C36", "ZR-MOX3"},
        {123, "2", "0x7C36", "ZR-MOXE3"},
    };
    for (const Model& m : models) {
        SCOPED_TRACE(m.id);
        auto lines = Lines(m.id);
        EXPECT_TRUE(HasLine(lines, std::string("Version=") + m.version));
        EXPECT_TRUE(HasLine(lines, std::string("PID=") + m.pid));
        EXPECT_TRUE(HasLine(lines, std::string("Product=") + m.product));
    }
}

TEST(ConfigResources, FilesOfOneGenerationDifferOnlyInPidOrProduct) {
    using Diff = std::vector<std::string>;
    EXPECT_EQ(DifferingLines(104, 106), (Diff{"PID=0x7C31 | PID=0x7C32"}));
    EXPECT_EQ(DifferingLines(116, 117), (Diff{"PID=0x7C33 | PID=0x7C34"}));
    EXPECT_EQ(DifferingLines(117, 118), (Diff{"Product=ZR-MOX3 | Product=ZR-MOXE3"}));
    EXPECT_EQ(DifferingLines(119, 120), (Diff{"Product=ZR-MOX3 | Product=ZR-MOXE3"}));
    EXPECT_EQ(DifferingLines(121, 123), (Diff{"Product=ZR-MOX3 | Product=ZR-MOXE3"}));
    EXPECT_EQ(DifferingLines(118, 120), (Diff{"PID=0x7C34 | PID=0x7C35"}));
    EXPECT_EQ(DifferingLines(119, 121), (Diff{"PID=0x7C35 | PID=0x7C36"}));
}

TEST(ConfigResources, GenerationSpecificTextsSurviveAsWritten) {
    const std::string key = "R4TX8WQ2LM7ZK5NC9VH3PJ6DB1FYG0SE";
    for (int id : kFirstGeneration) {
        SCOPED_TRACE(id);
        auto lines = Lines(id);
        // The quotation marks keep the INQUIRY texts' trailing blanks.
        EXPECT_TRUE(HasLine(lines, "Vendor=\"KAVELIN \""));
        EXPECT_TRUE(HasLine(lines, "Product=\"External HDD    \""));
        EXPECT_TRUE(HasLine(lines, "SecretDelKey=" + key));
        EXPECT_TRUE(HasLine(lines, ";StandbyTransTime=600"));
        EXPECT_TRUE(HasLine(lines, ";bInterfaceSubClass-HS=0x06"));
    }
    for (int id : kSecondGeneration) {
        SCOPED_TRACE(id);
        auto lines = Lines(id);
        EXPECT_TRUE(HasLine(lines, "0-Vendor=KAVELIN"));
        EXPECT_TRUE(HasLine(lines, "0-Product=External HDD"));
        EXPECT_TRUE(HasLine(lines, "DeleteKey=" + key));
        EXPECT_TRUE(HasLine(lines, "SFlashInfo="));
        EXPECT_TRUE(HasLine(lines, ";bInterfaceSubClass-SS=0x06"));
    }
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

TEST(ResourceCommand, ListNamesEveryFileWithItsIdentity) {
    CommandResult r = RunResource({"list"});
    ASSERT_EQ(r.code, kExitOk) << r.err;
    std::istringstream lines(r.out);
    std::vector<std::string> rows;
    for (std::string line; std::getline(lines, line);) rows.push_back(line);
    ASSERT_EQ(rows.size(), kIds.size()) << r.out;
    for (std::size_t i = 0; i < kIds.size(); ++i) {
        EXPECT_EQ(rows[i].rfind(std::to_string(kIds[i]), 0), 0u) << rows[i];
        EXPECT_NE(rows[i].find(std::to_string(Resource(kIds[i]).bytes.size()) + " bytes"),
                  std::string::npos)
            << rows[i];
    }
    EXPECT_NE(rows[0].find("first"), std::string::npos) << rows[0];
    EXPECT_NE(rows[0].find("0x7C31"), std::string::npos) << rows[0];
    EXPECT_NE(rows[4].find("second"), std::string::npos) << rows[4];
    EXPECT_NE(rows[4].find("0x7C34"), std::string::npos) << rows[4];
    EXPECT_NE(rows[4].find("ZR-MOXE3"), std::string::npos) << rows[4];
}

TEST(ResourceCommand, ListJsonHasOneObjectPerFile) {
    CommandResult r = RunResource({"list", "--json"});
    ASSERT_EQ(r.code, kExitOk) << r.err;
    for (int id : kIds) {
        EXPECT_NE(r.out.find("\"id\": " + std::to_string(id) + ","), std::string::npos) << id;
    }
    auto count = [&](const std::string& s) {
        std::size_t n = 0;
        for (auto p = r.out.find(s); p != std::string::npos; p = r.out.find(s, p + 1)) ++n;
        return n;
    };
    EXPECT_EQ(count("\"generation\": \"first\""), 2u);
    EXPECT_EQ(count("\"generation\": \"second\""), 7u);
    EXPECT_EQ(count("\"product\": \"ZR-MOXE3\""), 3u);
    EXPECT_EQ(count("\"pid\": \"0x7C36\""), 2u);
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
