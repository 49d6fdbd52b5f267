// Every command as a script sees it: one JSON object of the common shape on standard output
// with --json, the exit codes, --help, and what --verbose adds to a failure.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdio>
#include <functional>
#include <nlohmann/json.hpp>

#include "bridge/firmware_image.h"
#include "app/program_run_linux.h"
#include "emulator/emulator_fixture.h"

namespace mox3::test {
namespace {

using Result = ProgramResult;

class CliJson : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string why;
        WriteBytes(dir_ / "img.bin", MakeSampleImage({2, "01000700", 30000, 7}, &why));
        std::filesystem::create_directories(dir_ / "bus");
    }

    std::string P(const char* name) const { return (dir_ / name).string(); }

    // The program itself, with the emulated drives of `bus` as its drives.
    Result Run(std::vector<std::string> words) {
        words.insert(words.begin(), {"--emulator", P("bus")});
        return RunProgram(words, dir_.path());
    }

    // Standard output must be one JSON object and nothing else.
    static nlohmann::json Object(const Result& r) {
        nlohmann::json j = nlohmann::json::parse(r.out, nullptr, false);
        EXPECT_FALSE(j.is_discarded()) << r.out;
        EXPECT_TRUE(j.is_object()) << r.out;
        return j;
    }

    static std::string ReadText(const std::string& file) {
        auto bytes = ReadBytes(file);
        return std::string(bytes.begin(), bytes.end());
    }

    TempDir dir_;
};

TEST_F(CliJson, EveryFailureIsOneObjectWithAStableCodeAndTheRightExitCode) {
    ASSERT_EQ(Run({"emulator", "create", P("bus/d"), "--generation", "2", "--serial",
                   "ABCDEF0123456789", "--firmware", P("img.bin")})
                  .code,
              0);
    struct Case {
        std::vector<std::string> words;
        int exit;
        const char* command;
        const char* code;
    };
    const std::vector<Case> cases = {
        {{"image", "info", P("missing.bin")}, 1, "image info", "unreadable"},
        {{"image", "info", "--bogus"}, 2, "image info", "usage"},
        {{"image", "make", "--generation", "two", "--version", "010203", "--size", "5000", "-o",
          P("x")},
         2, "image make", "usage"},
        {{"compile", "--resource", "abc", "--image", P("img.bin"), "-o", P("x")}, 2, "compile",
         "usage"},
        {{"compile", "--resource", "999", "--image", P("img.bin"), "-o", P("x")}, 1, "compile",
         "no-resource"},
        {{"decode", P("missing.bin")}, 1, "decode", "unreadable"},
        {{"decode", P("a"), P("b")}, 2, "decode", "usage"},
        {{"resource", "extract", "105", "-o", P("x")}, 1, "resource extract", "no-resource"},
        {{"resource", "frob"}, 2, "resource", "usage"},
        {{"bridge", "version", P("nowhere")}, 1, "bridge version", "cannot-open"},
        {{"bridge", "flip", P("bus/d")}, 2, "bridge", "usage"},
        {{"emulator", "show", P("nowhere")}, 1, "emulator show", "not-an-emulated-drive"},
        {{"emulator", "fault", P("bus/d"), "--fail-command", "x"}, 2, "emulator fault", "usage"},
        {{"emulator", "set", P("bus/d"), "--attached", "maybe"}, 2, "emulator set", "usage"},
        {{"list", "extra"}, 2, "list", "usage"},
        {{"update", "--yes", "--model", "0x7C34"}, 2, "update", "usage"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> words = c.words;
        words.push_back("--json");
        const Result r = Run(words);
        const std::string what = c.words[0] + (c.words.size() > 1 ? " " + c.words[1] : "");
        EXPECT_EQ(r.code, c.exit) << what << "\n" << r.err;
        const nlohmann::json j = Object(r);
        if (!j.is_object() || !j.contains("error") || !j["error"].is_object()) {
            ADD_FAILURE() << what << ": no error object in\n" << r.out;
            continue;
        }
        EXPECT_EQ(j.value("ok", true), false) << what;
        EXPECT_EQ(j.value("command", ""), c.command) << what;
        EXPECT_EQ(j["error"].value("code", ""), c.code) << what << "\n" << r.out;
        EXPECT_FALSE(j["error"].value("text", "").empty()) << what;
        // Without --json the same failure says what went wrong on standard error only.
        const Result plain = Run(c.words);
        EXPECT_EQ(plain.code, c.exit) << what;
        EXPECT_TRUE(plain.out.empty()) << what << "\n" << plain.out;
        EXPECT_EQ(plain.err.rfind("error: ", 0), 0u) << what << "\n" << plain.err;
    }
    // A compile failure keeps naming its step beside the common error.
    EXPECT_EQ(Object(Run({"compile", "--resource", "999", "--image", P("img.bin"), "-o", P("x"),
                          "--json"}))["failedStep"],
              "config");
}

TEST_F(CliJson, SuccessesCarryOkCommandAndTheirOwnFields) {
    Result r = Run({"emulator", "create", P("bus/d"), "--generation", "2", "--serial",
                    "ABCDEF0123456789", "--firmware", P("img.bin"), "--json"});
    ASSERT_EQ(r.code, 0) << r.err;
    nlohmann::json j = Object(r);
    EXPECT_EQ(j["ok"], true);
    EXPECT_EQ(j["command"], "emulator create");
    EXPECT_EQ(j["firmwareVersion"], "V01L00R07");

    j = Object(Run({"emulator", "show", P("bus/d"), "--json"}));
    EXPECT_EQ(j["ok"], true);
    EXPECT_EQ(j["kind"], "bridge");
    EXPECT_EQ(j["flash"]["block"]["state"], "sealed");

    r = Run({"compile", "--resource", "117", "--image", P("img.bin"), "-o", P("block.bin"),
             "--json"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(Object(r)["itemTable"]["items"], 254);
    j = Object(Run({"decode", P("block.bin"), "--json"}));
    EXPECT_EQ(j["command"], "decode");
    EXPECT_EQ(j["generation"], 2);
    EXPECT_EQ(j["digest"]["holds"], true);

    // The listing is an object like every other answer, its entries in a field of their own.
    j = Object(Run({"resource", "list", "--json"}));
    ASSERT_TRUE(j["resources"].is_array());
    EXPECT_EQ(j["resources"].size(), 9u);

    j = Object(Run({"list", "--json"}));
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
        const Result r = Run(words);
        EXPECT_EQ(r.code, 0) << what << "\n" << r.err;
        EXPECT_EQ(r.out.rfind("usage:", 0), 0u) << what << "\n" << r.out;
        EXPECT_TRUE(r.err.empty()) << what;
    }
    // A subcommand's help is its own, not the whole command's.
    const Result show = Run({"emulator", "show", "--help"});
    EXPECT_EQ(show.out.find("create-disk"), std::string::npos) << show.out;
    EXPECT_EQ(Run({"help", "decode"}).out.rfind("usage: mox3-updater decode", 0), 0u);
    EXPECT_EQ(Run({"help", "emulator", "show"}).out, show.out);

    for (const std::vector<std::string>& words :
         std::vector<std::vector<std::string>>{{"image"}, {"bridge", "version"}, {"list", "extra"},
                                               {"decode", "--generation", "3", P("x")}}) {
        const Result r = Run(words);
        EXPECT_EQ(r.code, 2) << words[0];
        EXPECT_EQ(r.err.rfind("error: ", 0), 0u) << words[0] << "\n" << r.err;
        EXPECT_NE(r.err.find("\nusage:"), std::string::npos) << words[0] << "\n" << r.err;
        EXPECT_TRUE(r.out.empty()) << words[0];
    }
}

TEST_F(CliJson, WhatWasGivenWrongIsNamed) {
    ASSERT_EQ(Run({"emulator", "create", P("bus/d"), "--generation", "2", "--serial",
                   "ABCDEF0123456789", "--firmware", P("img.bin")})
                  .code,
              0);
    std::filesystem::create_directories(dir_ / "empty");
    std::filesystem::create_directories(dir_ / "odd" / "drive.state");
    WriteBytes(dir_ / "plain.bin", {1, 2, 3});
    struct Case {
        std::vector<std::string> words;  // the whole line, global options included
        int exit;
        const char* code;                // "" for success
        std::string says;                // in error.text
    };
    const std::vector<Case> cases = {
        // --json before the command's name is the command's.
        {{"--emulator", P("bus"), "--json", "list"}, 0, "", ""},
        {{"--json", "--emulator", P("bus"), "emulator", "show", P("bus/d")}, 0, "", ""},
        // An --emulator folder that cannot be one is bad usage.
        {{"--emulator", P("nowhere"), "--json", "list"}, 2, "usage", "does not exist"},
        {{"--emulator", P("plain.bin"), "list", "--json"}, 2, "usage", "is not a folder"},
        {{"--emulator", P("bus/d"), "--json", "list"}, 2, "usage",
         P("bus/d") + " is an emulated drive's folder; --emulator wants the folder that holds "
                      "the drives, e.g. " + P("bus")},
        // bridge says what is wrong with the device it was given.
        {{"--emulator", P("bus"), "bridge", "version", P("empty"), "--json"}, 1,
         "not-an-emulated-drive", P("empty") + " is not an emulated drive: drive.state is missing"},
        {{"--emulator", P("bus"), "bridge", "version", P("odd"), "--json"}, 1,
         "not-an-emulated-drive", "drive.state is not a regular file"},
        {{"--emulator", P("bus"), "bridge", "version", P("plain.bin"), "--json"}, 1, "cannot-open",
         P("plain.bin") + " is a regular file, not a disk's device node"},
        {{"--emulator", P("bus"), "bridge", "version", P("nowhere"), "--json"}, 1, "cannot-open",
         "there is no such device node or file"},
    };
    for (const Case& c : cases) {
        std::string what;
        for (const std::string& word : c.words) what += word + " ";
        const Result r = RunProgram(c.words, dir_.path());
        EXPECT_EQ(r.code, c.exit) << what << "\n" << r.err;
        const nlohmann::json j = Object(r);
        if (!j.is_object()) continue;
        EXPECT_EQ(j.value("ok", false), c.exit == 0) << what;
        if (c.exit == 0) continue;
        const std::string text = j["error"].value("text", "");
        EXPECT_EQ(j["error"].value("code", ""), c.code) << what;
        EXPECT_NE(text.find(c.says), std::string::npos) << what << "\n" << text;
        // Nobody is told to become root for what root could not change.
        EXPECT_EQ(text.find("run as root"), std::string::npos) << what << "\n" << text;
    }
}

TEST_F(CliJson, ListNamesTheGenerationAndWhatItFoundOfTheImage) {
    ASSERT_EQ(Run({"emulator", "create", P("bus/d"), "--generation", "2", "--serial",
                   "ABCDEF0123456789", "--firmware", P("img.bin")})
                  .code,
              0);
    const std::string image = "firmware_C311.bin";
    std::string why;
    auto damaged = MakeSampleImage({2, "01000900", 30000, 9}, &why);
    damaged[40] ^= 1;
    struct Case {
        const char* folder;
        std::function<void(const std::filesystem::path&)> make;  // puts the image file there
        std::string finding;  // of the one place searched
        bool isDamaged;
        std::string says;  // in the drive's text
    };
    const std::vector<Case> cases = {
        {"none", [](const std::filesystem::path&) {}, "missing", false, " (missing)"},
        {"folder", [](const std::filesystem::path& f) { std::filesystem::create_directories(f); },
         "a folder", false, " (a folder)"},
        {"fifo", [](const std::filesystem::path& f) { ASSERT_EQ(::mkfifo(f.c_str(), 0600), 0); },
         "not a regular file", false, " (not a regular file)"},
        {"damaged", [&](const std::filesystem::path& f) { WriteBytes(f, damaged); }, "damaged: ",
         true, " is damaged: "},
        {"sound",
         [&](const std::filesystem::path& f) { std::filesystem::copy_file(P("img.bin"), f); },
         "a sound image", false, ", not newer: nothing to update"},
    };
    for (const Case& c : cases) {
        const std::filesystem::path folder = dir_ / c.folder;
        std::filesystem::create_directories(folder);
        c.make(folder / image);
        const std::string place = (folder / image).string();
        const nlohmann::json j = Object(Run({"list", "--json", "--image-dir", folder.string()}));
        ASSERT_EQ(j["drives"].size(), 1u) << c.folder;
        const nlohmann::json& drive = j["drives"][0];
        EXPECT_EQ(drive["normalMode"], true) << c.folder;
        ASSERT_EQ(drive["imageSearched"].size(), 1u) << c.folder;
        EXPECT_EQ(drive["imageSearched"][0]["path"], place) << c.folder;
        EXPECT_EQ(drive["imageSearched"][0]["finding"].get<std::string>().rfind(c.finding, 0), 0u)
            << c.folder << "\n" << drive;
        EXPECT_EQ(drive.contains("imageDamaged"), c.isDamaged) << c.folder;
        if (c.isDamaged) {
            EXPECT_NE(drive["imageDamaged"].get<std::string>().find("digest"), std::string::npos)
                << drive;
        }

        ProgramSetting english;
        english.environment = {{"LANG", "C"}};
        english.unset = {"LC_ALL", "LC_MESSAGES", "LANGUAGE"};
        const Result text = RunProgram(
            {"--emulator", P("bus"), "list", "--image-dir", folder.string()}, dir_.path(), english);
        EXPECT_EQ(text.code, 0) << c.folder;
        EXPECT_NE(text.out.find("normal firmware, generation 2"), std::string::npos) << text.out;
        EXPECT_NE(text.out.find(c.says), std::string::npos) << c.folder << "\n" << text.out;
        if (!c.isDamaged && c.finding != "a sound image") {
            EXPECT_NE(text.out.find(place + c.says), std::string::npos) << text.out;
        }
    }
}

TEST_F(CliJson, TheDemoShowsTheShowCommandOnlyForAFolderThatStays) {
    std::filesystem::create_directories(dir_ / "tmp");
    struct Case {
        std::vector<std::string> words;
        bool hint;
    };
    const std::string drive = (dir_ / "kept" / "bus" / "ZR-MOX3").string();
    for (const Case& c : std::vector<Case>{{{"demo", "--dir", P("kept")}, true}, {{"demo"}, false}}) {
        ProgramSetting setting;
        setting.environment = {{"TMPDIR", P("tmp")}};
        const Result r = RunProgram(c.words, dir_.path(), setting);
        EXPECT_EQ(r.code, 0) << r.err;
        EXPECT_EQ(r.out.find("$ mox3-updater emulator show") != std::string::npos, c.hint) << r.out;
        if (c.hint) {
            EXPECT_NE(r.out.find("emulator show " + drive + "\n"), std::string::npos) << r.out;
            EXPECT_TRUE(std::filesystem::is_directory(drive));
        }
    }
    // The folder the demonstration chose itself is gone.
    EXPECT_TRUE(std::filesystem::is_empty(dir_ / "tmp"));
}

TEST_F(CliJson, VerboseNamesTheRequestTheDriveFailed) {
    ASSERT_EQ(Run({"emulator", "create", P("bus/d"), "--generation", "2", "--serial",
                   "ABCDEF0123456789", "--firmware", P("img.bin")})
                  .code,
              0);
    auto failNext = [&] {
        ASSERT_EQ(Run({"emulator", "fault", P("bus/d"), "--fail-command", "1"}).code, 0);
    };
    failNext();
    Result r = Run({"bridge", "inquiry", P("bus/d"), "--json"});
    EXPECT_EQ(r.code, 1);
    EXPECT_FALSE(Object(r)["error"].contains("request")) << "only with --verbose";

    failNext();
    r = Run({"--verbose", "bridge", "inquiry", P("bus/d"), "--json", "--trace", P("trace.txt")});
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
    r = Run({"bridge", "inquiry", P("bus/d"), "--verbose"});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("\nrequest: CDB 12"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("CHECK CONDITION"), std::string::npos) << r.err;
}

}  // namespace
}  // namespace mox3::test
