// Every command as a script sees it: one JSON object of the common shape on standard output
// with --json, the exit codes, --help, and what --verbose adds to a failure.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdio>
#include <sstream>

#include "app/program_run_linux.h"

namespace mox3::test {
namespace {

using Result = ProgramResult;

class CliJson : public ProgramTest {
  protected:
    // The program with the emulated drives of `bus` as its drives.
    Result OnBus(std::vector<std::string> words) {
        words.insert(words.begin(), {"--emulator", "@bus"});
        return Run(words);
    }
};

TEST_F(CliJson, SuccessesCarryOkCommandAndTheirOwnFields) {
    Result r = Run({"emulator", "create", "@made", "--generation", "2", "--serial",
                    "ABCDEF0123456789", "--firmware", "@img.bin", "--json"});
    ASSERT_EQ(r.code, 0) << r.err;
    ExpectFields(Object(r),
                 {{"ok", true}, {"command", "emulator create"}, {"firmwareVersion", "V01L00R07"}});
    r = OnBus({"compile", "--resource", "117", "--image", "@img.bin", "-o", "@block.bin", "--json"});
    ASSERT_EQ(r.code, 0) << r.err;
    nlohmann::json j = Object(OnBus({"decode", "@block.bin", "--json"}));
    ExpectFields(j, {{"command", "decode"}, {"generation", 2}});
    EXPECT_EQ(j["digest"]["holds"], true);
    // The listing is an object like every other answer, its entries in a field of their own.
    j = Object(OnBus({"resource", "list", "--json"}))["resources"];
    EXPECT_TRUE(j.is_array() && j.size() == 9u) << j;

    j = Object(OnBus({"list", "--json"}));
    ExpectFields(j, {{"ok", true}, {"deviceCount", 1}});
    EXPECT_EQ(j["drives"][0]["productId"], "0x7C34");
    EXPECT_FALSE(j["drives"][0]["port"].get<std::string>().empty());
}

// Each command's and subcommand's help is its own; a usage error names the problem, then the usage.
TEST_F(CliJson, HelpForEveryCommandAndSubcommandAndUsageErrorsNameTheProblem) {
    for (const char* command :
         {"update", "demo", "list", "compile", "decode", "bridge", "bridge version", "image",
          "image info", "image make", "resource", "resource list", "resource extract", "emulator",
          "emulator show", "emulator create", "emulator fault", "emulator serve"}) {
        SCOPED_TRACE(command);
        std::vector<std::string> words;
        for (std::istringstream in(command); in >> words.emplace_back();) {}
        words.back() = "--help";
        const Result r = OnBus(words);
        EXPECT_EQ(r.code, 0) << r.err;
        EXPECT_EQ(r.out.rfind("usage:", 0), 0u) << r.out;
        EXPECT_TRUE(r.err.empty());
    }
    const Result show = OnBus({"emulator", "show", "--help"});
    EXPECT_EQ(show.out.find("create-disk"), std::string::npos) << show.out;
    EXPECT_EQ(OnBus({"help", "decode"}).out.rfind("usage: mox3-updater decode", 0), 0u);
    EXPECT_EQ(OnBus({"help", "emulator", "show"}).out, show.out);

    // clang-format off
    for (const std::vector<std::string>& words : std::vector<std::vector<std::string>>{
             {"image"}, {"bridge", "version"}, {"list", "extra"}, {"decode", "--generation", "3", "@x"},
             {"resource", "extract", "116"}, {"resource", "extract", "116x", "-o", "x.ini"},
             {"resource", "extract", "116", "117", "-o", "x.ini"}}) {
        // clang-format on
        const Result r = OnBus(words);
        ExpectEnd(r, 2, "", "\nusage:");
        EXPECT_TRUE(r.out.empty()) << words[0];
    }
}

TEST_F(CliJson, ListNamesTheGenerationAndWhatItFoundOfTheImage) {
    // One image folder per finding.
    std::string why;
    auto damaged = MakeSampleImage({2, "01000900", 30000, 9}, &why);
    damaged[40] ^= 1;
    const std::string image = "firmware_C311.bin";
    for (const char* folder : {"none", "folder/firmware_C311.bin", "fifo", "damaged", "sound"}) {
        std::filesystem::create_directories(dir_ / folder);
    }
    ASSERT_EQ(::mkfifo((dir_ / "fifo" / image).c_str(), 0600), 0);
    WriteBytes(dir_ / "damaged" / image, damaged);
    std::filesystem::copy_file(P("img.bin"), dir_ / "sound" / image);
    const ProgramSetting english = {.environment = {{"LANG", "C"}}, .unset = {"LC_ALL", "LC_MESSAGES", "LANGUAGE"}};
    for (const auto& [folder, finding] : std::vector<std::pair<std::string, std::string>>{
             {"none", "missing"}, {"folder", "a folder"}, {"fifo", "not a regular file"},
             {"damaged", "damaged: the image's digest header does not match its contents"},
             {"sound", "a sound image"}}) {
        SCOPED_TRACE(folder);
        const std::string place = (dir_ / folder / image).string();
        const nlohmann::json j = Object(OnBus({"list", "--json", "--image-dir", "@" + folder}));
        ASSERT_EQ(j["drives"].size(), 1u);
        ExpectFields(j["drives"][0], {{"normalMode", true},
                                      {"imageSearched", {{{"path", place}, {"finding", finding}}}}});
        EXPECT_EQ(j["drives"][0].contains("imageDamaged"), folder == "damaged");
        const Result text = Run({"--emulator", "@bus", "list", "--image-dir", "@" + folder}, english);
        EXPECT_HAS(text.out, "normal firmware, generation 2\n");
        EXPECT_HAS(text.out, folder == "sound"     ? "not newer: nothing to update"
                             : folder == "damaged" ? place + " is damaged: "
                                                   : place + " (" + finding + ")");
    }
}

TEST_F(CliJson, TheDemoShowsTheShowCommandOnlyForAFolderThatStays) {
    std::filesystem::create_directories(dir_ / "tmp");
    const ProgramSetting setting = {.environment = {{"TMPDIR", P("tmp")}}};
    const std::string drive = (dir_ / "kept" / "bus" / "ZR-MOX3").string();
    ExpectEnd(Run({"demo", "--dir", "@kept"}, setting), 0, "$ mox3-updater emulator show " + drive + "\n");
    EXPECT_TRUE(std::filesystem::is_directory(drive));
    const Result r = Run({"demo"}, setting);
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_LACKS(r.out, "emulator show");
    EXPECT_TRUE(std::filesystem::is_empty(dir_ / "tmp"));  // its own folder is gone
}

// With --verbose a failure names the drive's request as the trace does, its sense worded too.
TEST_F(CliJson, VerboseNamesTheRequestTheDriveFailedAsTheTraceDoes) {
    EXPECT_EQ(OnBus({"emulator", "fault", "@bus/d", "--fail-command", "1"}).code, 0);
    const Result r =
        OnBus({"--verbose", "bridge", "inquiry", "@bus/d", "--json", "--trace", "@trace.txt"});
    const nlohmann::json request = Object(r)["error"]["request"];
    ExpectFields(request, {{"delivered", true}, {"status", 2}});
    EXPECT_FALSE(request["sense"].get<std::string>().empty());
    const std::string trace = ReadText(P("trace.txt"));
    EXPECT_EQ(nlohmann::json::parse(trace.substr(0, trace.find('\n')))["why"], request["why"]);
    EXPECT_EQ(OnBus({"emulator", "fault", "@bus/d", "--fail-command", "1"}).code, 0);
    ExpectEnd(OnBus({"bridge", "inquiry", "@bus/d", "--verbose"}), 1, "", "CHECK CONDITION");
}

}  // namespace
}  // namespace mox3::test
