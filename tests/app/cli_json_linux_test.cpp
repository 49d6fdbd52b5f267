// Every command as a script sees it: one JSON object of the common shape on standard output
// with --json, the exit codes, --help, and what --verbose adds to a failure.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdio>

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
    nlohmann::json j = Object(r);
    EXPECT_EQ(j["ok"], true);
    EXPECT_EQ(j["command"], "emulator create");
    EXPECT_EQ(j["firmwareVersion"], "V01L00R07");

    j = Object(Run({"emulator", "show", "@made", "--json"}));
    EXPECT_EQ(j["ok"], true);
    EXPECT_EQ(j["kind"], "bridge");
    EXPECT_EQ(j["flash"]["block"]["state"], "sealed");

    r = OnBus({"compile", "--resource", "117", "--image", P("img.bin"), "-o", P("block.bin"),
             "--json"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(Object(r)["itemTable"]["items"], 254);
    j = Object(OnBus({"decode", P("block.bin"), "--json"}));
    EXPECT_EQ(j["command"], "decode");
    EXPECT_EQ(j["generation"], 2);
    EXPECT_EQ(j["digest"]["holds"], true);

    // The listing is an object like every other answer, its entries in a field of their own.
    j = Object(OnBus({"resource", "list", "--json"}));
    ASSERT_TRUE(j["resources"].is_array());
    EXPECT_EQ(j["resources"].size(), 9u);

    j = Object(OnBus({"list", "--json"}));
    EXPECT_EQ(j["ok"], true);
    EXPECT_EQ(j["deviceCount"], 1);
    EXPECT_EQ(j["drives"][0]["productId"], "0x7C34");
    EXPECT_FALSE(j["drives"][0]["port"].get<std::string>().empty());
}

TEST_F(CliJson, HelpForEveryCommandAndSubcommandAndUsageErrorsNameTheProblem) {
    const std::vector<std::vector<std::string>> helps = {
        {"update"},           {"demo"},          {"list"},
        {"compile"},          {"decode"},        {"bridge"},
        {"bridge", "version"}, {"image"},        {"image", "info"},
        {"image", "make"},    {"resource"},      {"resource", "list"},
        {"resource", "extract"}, {"emulator"},   {"emulator", "show"},
        {"emulator", "create"}, {"emulator", "fault"}, {"emulator", "serve"},
    };
    for (std::vector<std::string> words : helps) {
        const std::string what = words.size() > 1 ? words[0] + " " + words[1] : words[0];
        words.push_back("--help");
        const Result r = OnBus(words);
        EXPECT_EQ(r.code, 0) << what << "\n" << r.err;
        EXPECT_EQ(r.out.rfind("usage:", 0), 0u) << what << "\n" << r.out;
        EXPECT_TRUE(r.err.empty()) << what;
    }
    // A subcommand's help is its own, not the whole command's.
    const Result show = OnBus({"emulator", "show", "--help"});
    EXPECT_EQ(show.out.find("create-disk"), std::string::npos) << show.out;
    EXPECT_EQ(OnBus({"help", "decode"}).out.rfind("usage: mox3-updater decode", 0), 0u);
    EXPECT_EQ(OnBus({"help", "emulator", "show"}).out, show.out);

    for (const std::vector<std::string>& words :
         std::vector<std::vector<std::string>>{{"image"}, {"bridge", "version"}, {"list", "extra"},
                                               {"decode", "--generation", "3", P("x")}}) {
        const Result r = OnBus(words);
        EXPECT_EQ(r.code, 2) << words[0];
        EXPECT_EQ(r.err.rfind("error: ", 0), 0u) << words[0] << "\n" << r.err;
        EXPECT_NE(r.err.find("\nusage:"), std::string::npos) << words[0] << "\n" << r.err;
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
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"none", "missing"},
        {"folder", "a folder"},
        {"fifo", "not a regular file"},
        {"damaged", "damaged: the image's digest header does not match its contents"},
        {"sound", "a sound image"},
    };
    ProgramSetting english;
    english.environment = {{"LANG", "C"}};
    english.unset = {"LC_ALL", "LC_MESSAGES", "LANGUAGE"};
    for (const auto& [folder, finding] : cases) {
        const std::string place = (dir_ / folder / image).string();
        const nlohmann::json j = Object(OnBus({"list", "--json", "--image-dir", P(folder)}));
        ASSERT_EQ(j["drives"].size(), 1u) << folder;
        const nlohmann::json& drive = j["drives"][0];
        EXPECT_EQ(drive["normalMode"], true) << folder;
        EXPECT_EQ(drive["imageSearched"],
                  nlohmann::json::array({{{"path", place}, {"finding", finding}}}));
        EXPECT_EQ(drive.contains("imageDamaged"), folder == "damaged") << drive;

        const Result text =
            Run({"--emulator", "@bus", "list", "--image-dir", P(folder)}, english);
        EXPECT_NE(text.out.find("normal firmware, generation 2\n"), std::string::npos) << text.out;
        const std::string says = folder == "sound"     ? "not newer: nothing to update"
                                 : folder == "damaged" ? place + " is damaged: "
                                                       : place + " (" + finding + ")";
        EXPECT_NE(text.out.find(says), std::string::npos) << text.out;
    }
}

TEST_F(CliJson, TheDemoShowsTheShowCommandOnlyForAFolderThatStays) {
    std::filesystem::create_directories(dir_ / "tmp");
    ProgramSetting setting;
    setting.environment = {{"TMPDIR", P("tmp")}};
    const std::string drive = (dir_ / "kept" / "bus" / "ZR-MOX3").string();
    Result r = Run({"demo", "--dir", "@kept"}, setting);
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find("$ mox3-updater emulator show " + drive + "\n"), std::string::npos);
    EXPECT_TRUE(std::filesystem::is_directory(drive));
    r = Run({"demo"}, setting);
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out.find("emulator show"), std::string::npos) << r.out;
    EXPECT_TRUE(std::filesystem::is_empty(dir_ / "tmp"));  // its own folder is gone
}

TEST_F(CliJson, VerboseNamesTheRequestTheDriveFailed) {
    auto failNext = [&] {
        ASSERT_EQ(OnBus({"emulator", "fault", P("bus/d"), "--fail-command", "1"}).code, 0);
    };
    failNext();
    Result r = OnBus({"bridge", "inquiry", P("bus/d"), "--json"});
    EXPECT_EQ(r.code, 1);
    EXPECT_FALSE(Object(r)["error"].contains("request")) << "only with --verbose";

    failNext();
    r = OnBus({"--verbose", "bridge", "inquiry", P("bus/d"), "--json", "--trace", P("trace.txt")});
    EXPECT_EQ(r.code, 1);
    const nlohmann::json request = Object(r)["error"]["request"];
    EXPECT_EQ(request["cdb"].get<std::string>().substr(0, 2), "12") << r.out;  // INQUIRY
    EXPECT_EQ(request["delivered"], true);
    EXPECT_EQ(request["status"], 2);
    EXPECT_FALSE(request["sense"].get<std::string>().empty());
    // The trace says the same of the request, with its time.
    const std::string trace = ReadText(P("trace.txt"));
    const nlohmann::json line = nlohmann::json::parse(trace.substr(0, trace.find('\n')));
    EXPECT_EQ(line["why"], request["why"]);
    EXPECT_TRUE(line.contains("durationMs"));

    failNext();
    r = OnBus({"bridge", "inquiry", P("bus/d"), "--verbose"});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("\nrequest: CDB 12"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("CHECK CONDITION"), std::string::npos) << r.err;
}

}  // namespace
}  // namespace mox3::test
