// The update command as a script or a user sees it: exit codes, what goes to standard output
// and what to standard error, and the JSON object (read with a JSON parser).
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <set>
#include <nlohmann/json.hpp>

#include "bridge/firmware_image.h"
#include "app/cli/commands.h"
#include "app/program_run_linux.h"
#include "app/run/backup_store.h"
#include "app/run/host_linux.h"
#include "base/sha256.h"
#include "base/text.h"
#include "emulator/emulator_fixture.h"

namespace mox3::test {
namespace {

using Result = ProgramResult;

class UpdateCommand : public EmulatorTest {
  protected:
    void SetUp() override { Reset(); }

    // The image in its folder and one drive that needs it, nothing else.
    void Reset() {
        std::string why;
        std::filesystem::remove_all(dir_ / "bus");
        std::filesystem::remove_all(dir_ / "state");
        std::filesystem::remove_all(dir_ / "images");
        std::filesystem::create_directories(dir_ / "images");
        WriteBytes(dir_ / "images" / "firmware_C311.bin",
                   MakeSampleImage({2, "01000700", 30000, 7}, &why));
        MakeProgrammedDrive(2, "01000500", "4A3F0012B7C4D9E1", {}, "bus/drive");
    }

    // `update` of the test's images and state folder, after the global options `first`.
    Result Update(const std::vector<std::string>& words, ProgramSetting setting = {},
                  std::vector<std::string> first = {}) {
        first.insert(first.end(), {"update", "--image-dir", (dir_ / "images").string(),
                                   "--state-dir", (dir_ / "state").string()});
        first.insert(first.end(), words.begin(), words.end());
        return Program(first, setting);
    }

    Result Program(std::vector<std::string> words, ProgramSetting setting = {}) {
        words.insert(words.begin(), {"--emulator", (dir_ / "bus").string()});
        setting.environment.emplace_back("MOX3_TIME_SCALE", "500");
        return RunProgram(words, dir_.path(), setting);
    }

    // `update` with `answer` on standard input and LANG set to `locale`; standard error goes
    // with standard output into the result's `out`.
    Result Answering(const std::vector<std::string>& words, const std::string& answer,
                     const std::string& locale = "C") {
        WriteBytes(dir_ / "answer.txt", std::vector<std::uint8_t>(answer.begin(), answer.end()));
        ProgramSetting setting;
        setting.input = dir_ / "answer.txt";
        setting.environment = {{"LANG", locale}};
        setting.unset = {"LC_ALL", "LC_MESSAGES"};
        setting.errorsWithOutput = true;
        return Update(words, setting);
    }

    std::string Firmware() { return View(dir_ / "bus" / "drive").firmwareVersion; }

    // The emulated drive's flash file.
    std::vector<std::uint8_t> Flash() {
        for (const auto& entry : std::filesystem::directory_iterator(dir_ / "bus" / "drive")) {
            if (entry.path().filename().string().rfind("flash-", 0) == 0) return ReadBytes(entry.path());
        }
        return {};
    }

    // backup or verify (`words` first) on the test's state folder, without a question.
    Result Read(std::vector<std::string> words, ProgramSetting setting = {}) {
        words.insert(words.end(), {"--state-dir", (dir_ / "state").string(), "--yes"});
        return Program(words, setting);
    }

    // `restore` of the test's state folder with `answer` on standard input.
    Result Restore(std::vector<std::string> words, const std::string& answer = "") {
        WriteBytes(dir_ / "answer.txt", std::vector<std::uint8_t>(answer.begin(), answer.end()));
        ProgramSetting setting;
        setting.input = dir_ / "answer.txt";
        words.insert(words.begin(), {"restore", "--state-dir", (dir_ / "state").string()});
        return Program(words, setting);
    }
};

TEST_F(UpdateCommand, ExitCodesStreamsAndTheJsonObject) {
    // --json never asks, so it wants --yes or --check.
    Result r = Update({"--json"});
    EXPECT_EQ(r.code, 2);
    EXPECT_NE(r.err.find("--json never asks"), std::string::npos) << r.err;
    auto usage = nlohmann::json::parse(r.out);
    EXPECT_EQ(usage["ok"], false);
    EXPECT_EQ(usage["error"]["code"], "usage");

    // A language the program does not speak is a usage error that lists those it does.
    r = Update({"--check", "--lang", "xx"});
    EXPECT_EQ(r.code, 2);
    EXPECT_NE(r.err.find("ja"), std::string::npos) << r.err;

    // A check says an update is available and changes nothing.
    r = Update({"--check", "--json"});
    EXPECT_EQ(r.code, 0) << r.err;
    auto j = nlohmann::json::parse(r.out);
    EXPECT_EQ(j["ok"], true);
    EXPECT_EQ(j["updateAvailable"], true);
    EXPECT_EQ(j["serial"], "4A3F0012B7C4D9E1");
    EXPECT_EQ(j["currentVersion"], "1.05");
    EXPECT_EQ(j["newVersion"], "1.07");
    EXPECT_EQ(View(dir_ / "bus" / "drive").firmwareVersion, "V01L00R05");

    // The list says which image an update would write and whether it is newer.
    const std::vector<std::string> list = {"list", "--json", "--image-dir",
                                           (dir_ / "images").string()};
    r = Program(list);
    ASSERT_EQ(r.code, 0) << r.err;
    j = nlohmann::json::parse(r.out);
    EXPECT_EQ(j["drives"][0]["imageVersion"], "V01L00R07");
    EXPECT_EQ(j["drives"][0]["imageNewer"], true);

    // Declining at the question is nothing to do, not a failure.
    r = Update({});
    EXPECT_EQ(r.code, 3);
    EXPECT_NE(r.out.find("Nothing was changed."), std::string::npos);

    // The update: results on standard output, the warning on standard error, a summary.
    r = Update({"--yes"});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find("progress 75%: waiting for the drive to return"), std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("Updated the drive with serial number 4A3F0012B7C4D9E1: 1.05 -> 1.07"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.err.find("Do not unplug"), std::string::npos) << r.err;
    EXPECT_EQ(r.out.find("Do not unplug"), std::string::npos);

    // Up to date now: the check finds nothing to do.
    r = Update({"--check", "--json"});
    EXPECT_EQ(r.code, 3);
    EXPECT_EQ(nlohmann::json::parse(r.out)["updateAvailable"], false);
    EXPECT_EQ(nlohmann::json::parse(Program(list).out)["drives"][0]["imageNewer"], false);
}

// A drive as new as the image, or newer, has nothing to do; --force updates it all the same,
// with the image's firmware.
TEST_F(UpdateCommand, ForceUpdatesADriveThatNeedsNoUpdate) {
    const auto image = ReadBytes(dir_ / "images" / "firmware_C311.bin");
    for (const char* digits : {"01000700", "01000900"}) {
        std::filesystem::remove_all(dir_ / "bus");
        const auto drive = MakeProgrammedDrive(2, digits, "4A3F0012B7C4D9E1", {}, "bus/drive");
        const auto before = View(drive).flash;
        Result r = Update({"--yes"});
        EXPECT_EQ(r.code, 3) << digits;
        EXPECT_NE(r.err.find("does not require an update"), std::string::npos) << r.err;
        EXPECT_EQ(View(drive).flash, before) << digits;
        r = Update({"--yes", "--force"});
        EXPECT_EQ(r.code, 0) << digits << ": " << r.err;
        const EmulatedDriveView after = View(drive);
        EXPECT_EQ(after.firmwareVersion, "V01L00R07") << digits;
        EXPECT_TRUE(std::equal(image.begin(), image.begin() + 16384,
                               after.flash.begin() + after.flashReport.firmwareAddress))
            << digits;
    }
}

// The answer to the question, read from standard input in the language of --lang, else of the
// environment: anything but that language's yes, or no answer at all, declines.
TEST_F(UpdateCommand, TheAnswerIsReadInTheUsersLanguage) {
    struct Row {
        std::vector<std::string> words;
        const char* answer;
        const char* locale;
        int exit;
    };
    const std::vector<Row> rows = {
        {{}, "ja\n", "fr_FR.UTF-8", 3},
        {{"--lang", "de"}, "Ja\r\n", "fr_FR.UTF-8", 0},
        {{}, "\xd0\x94\xd0\x90\n", "ru_RU.UTF-8", 0},  // ДА
    };
    for (const Row& row : rows) {
        Reset();
        const Result r = Answering(row.words, row.answer, row.locale);
        EXPECT_EQ(r.code, row.exit) << row.answer << r.out;
        EXPECT_EQ(Firmware(), row.exit == 0 ? "V01L00R07" : "V01L00R05") << row.answer;
    }
}


// Several drives: the refusal names each with its serial number and port, and --device picks
// one; a record made elsewhere needs an answer --yes does not give; recovery values are judged
// before anything is asked.
TEST_F(UpdateCommand, NamingTheDriveAndTheQuestionsYesDoesNotAnswer) {
    MakeProgrammedDrive(2, "01000500", "BBBB000000000002", {}, "bus/other");
    Result r = Update({"--yes", "--json"});
    auto j = nlohmann::json::parse(r.out);
    ASSERT_EQ(j["drives"].size(), 2u);
    EXPECT_EQ(j["drives"][0]["port"], "drive");
    EXPECT_EQ(j["drives"][1]["serial"], "BBBB000000000002");
    r = Update({"--yes"});
    EXPECT_NE(r.err.find("serial BBBB000000000002, port other"), std::string::npos) << r.err;

    r = Update({"--yes", "--device", "other"});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(View(dir_ / "bus" / "other").firmwareVersion, "V01L00R07");
    EXPECT_EQ(Firmware(), "V01L00R05");

    // A record of another drive, made at another port, for a drive in its loader.
    std::filesystem::remove_all(dir_ / "bus" / "other");
    std::filesystem::remove_all(dir_ / "bus" / "drive");
    EmulatedDriveSetup erased;
    erased.generation = 2;
    MakeDrive(erased, "bus/loader");
    std::filesystem::create_directories(dir_ / "state");
    std::filesystem::permissions(dir_ / "state", std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::replace);
    WriteBytes(dir_ / "state" / "ZR-MOX3_UPDATE", {'A', 'A', 'A', 'A', '1'});
    r = Update({"--yes", "--json"});
    EXPECT_EQ(r.code, 1);
    j = nlohmann::json::parse(r.out);
    EXPECT_EQ(j["error"]["code"], "confirmation-needed");
    EXPECT_NE(j["error"]["text"].get<std::string>().find("AAAA1"), std::string::npos);
    r = Answering({"--yes"}, "n\n");
    EXPECT_EQ(r.code, 3) << r.out;
    EXPECT_TRUE(View(dir_ / "bus" / "loader").loader);
    std::filesystem::remove(dir_ / "state" / "ZR-MOX3_UPDATE");

    // What a USB serial string cannot carry, and a model of the other generation.
    for (const std::string& serial : std::vector<std::string>{"with blank", "\xC3\x84\xE2\x82\xAC",
                                                             std::string(65, 'S'), "a\tb"}) {
        r = Update({"--recover-serial", serial, "--model", "0x7C34:ZR-MOX3"});
        EXPECT_EQ(r.code, 2) << serial;
    }
    r = Answering({"--recover-serial", "RECOVERED01", "--model", "0x7C31"}, "y\n");
    EXPECT_EQ(r.code, 1) << r.out;
    EXPECT_NE(r.out.find("not a model of this bridge's generation 2"), std::string::npos) << r.out;
    EXPECT_TRUE(View(dir_ / "bus" / "loader").loader);
}

// Several drives at once, of both generations: --all takes every drive of the family and
// --device given twice the two it names; one question for all; one drive's failure stops no
// other; the exit code is the worst; the JSON has one object per drive. With one drive, --all
// is the ordinary run. What cannot serve several drives is refused.
TEST_F(UpdateCommand, SeveralDrivesAtOnce) {
    const std::string copy = (dir_ / "copy.bin").string();
    const std::vector<std::vector<std::string>> refused = {
        {"--all", "--device", "drive"},
        {"--all", "--backup", copy},
        {"--device", "a", "--device", "b", "--backup", copy},
        {"--all", "--recover-serial", "R1", "--model", "0x7C34:ZR-MOX3"},
        {"--all", "--records"}};
    for (const std::vector<std::string>& words : refused) {
        const Result r = Update(words);
        EXPECT_EQ(r.code, 2) << words[1];
        EXPECT_NE(r.err.find("go"), std::string::npos) << r.err;
    }
    Result r = Update({"--all", "--yes", "--json"});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(nlohmann::json::parse(r.out)["serial"], "4A3F0012B7C4D9E1") << r.out;

    Reset();
    std::string why;
    WriteBytes(dir_ / "images" / "firmware_C30.bin", MakeSampleImage({1, "01000700", 30000, 7}, &why));
    MakeProgrammedDrive(1, "01000500", "CCCC000000000003", {}, "bus/first");
    MakeProgrammedDrive(2, "01000500", "BBBB000000000002", {}, "bus/other");
    ASSERT_EQ(Program({"emulator", "fault", (dir_ / "bus" / "other").string(), "--refuse-update-mode"})
                  .code,
              0);
    r = Answering({"--all"}, "n\n");
    EXPECT_EQ(r.code, 3) << r.out;
    EXPECT_NE(r.out.find("CCCC000000000003, port first: 1.05 -> 1.07"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Start the update of these 3 drives? [y/N] Nothing was changed."),
              std::string::npos) << r.out;

    r = Update({"--all", "--yes", "--json"});
    EXPECT_EQ(r.code, 1) << r.err;
    const nlohmann::json j = nlohmann::json::parse(r.out);
    EXPECT_EQ(j["ok"], false);
    ASSERT_EQ(j["drives"].size(), 3u) << r.out;
    std::map<std::string, std::string> ended;  // serial: drive state or error code
    for (const nlohmann::json& d : j["drives"]) {
        ended[d["serial"]] = d.contains("error") ? d["error"]["code"] : d["driveState"];
        EXPECT_EQ(d["newVersion"], "1.07") << d;
        EXPECT_EQ(d["currentVersion"], "1.05") << d;
        EXPECT_EQ(d.contains("backup"), !d.contains("error")) << d;
    }
    const std::map<std::string, std::string> expected = {{"4A3F0012B7C4D9E1", "updated"},
                                                         {"BBBB000000000002", "update-failed"},
                                                         {"CCCC000000000003", "updated"}};
    EXPECT_EQ(ended, expected);
    EXPECT_EQ(View(dir_ / "bus" / "first").firmwareVersion, "V01L00R07");
    EXPECT_EQ(View(dir_ / "bus" / "other").firmwareVersion, "V01L00R05");

    // Named twice: one drive updated, one up to date; each line says which drive it is about.
    ASSERT_EQ(Program({"emulator", "fault", (dir_ / "bus" / "other").string(), "--clear"}).code, 0);
    r = Update({"--device", "other", "--device", "4A3F0012B7C4D9E1", "--yes"});
    EXPECT_EQ(r.code, 3) << r.out << r.err;
    EXPECT_NE(r.out.find("[BBBB000000000002] progress 75%"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("BBBB000000000002, port other: updated, 1.05 -> 1.07, backup "),
              std::string::npos) << r.out;
    EXPECT_NE(r.out.find("4A3F0012B7C4D9E1, port drive: nothing to do"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("[CCCC000000000003]"), std::string::npos) << r.out;

    // A signal stops each run at its next safe wait, records kept, once every run has ended.
    Reset();
    MakeProgrammedDrive(2, "01000500", "BBBB000000000002", {}, "bus/other");
    ASSERT_EQ(Program({"emulator", "fault", (dir_ / "bus" / "other").string(), "--stay-busy"}).code, 0);
    ProgramSetting setting;
    setting.signalAfter = "[BBBB000000000002] waiting for the bridge to finish erasing (pass 1): 10 s";
    setting.signals = {SIGINT};
    r = Update({"--all", "--yes", "--no-backup"}, setting);
    EXPECT_EQ(r.code, 4) << r.out << r.err;
    EXPECT_TRUE(View(dir_ / "bus" / "other").loader);
    EXPECT_TRUE(std::filesystem::exists(dir_ / "state" / RecordFileName(u"BBBB000000000002")));
    EXPECT_TRUE(Firmware() == "V01L00R07" ||
                std::filesystem::exists(dir_ / "state" / RecordFileName(u"4A3F0012B7C4D9E1")));
}

// A signal while the bridge stays busy in its loader stops the run at its next wait, where
// nothing is being written, with the record kept; stopping and pausing signals do nothing. The
// waits are shown as they pass, in the user's language.
TEST_F(UpdateCommand, ASignalWhileTheBridgeStaysBusyStopsAtTheNextWait) {
    const std::vector<std::vector<int>> rows = {
        {SIGINT}, {SIGTERM}, {SIGUSR1}, {SIGALRM}, {SIGTSTP, SIGTTIN, SIGTTOU, SIGHUP}};
    for (const std::vector<int>& signals : rows) {
        const std::string row = "signal " + std::to_string(signals.front());
        Reset();
        ASSERT_EQ(Program({"emulator", "fault", (dir_ / "bus" / "drive").string(), "--stay-busy"})
                      .code,
                  0);
        ProgramSetting setting;
        setting.environment = {{"LANG", "de_DE.UTF-8"}};
        setting.unset = {"LC_ALL", "LC_MESSAGES"};
        setting.signalAfter = "(Durchgang 1): 10 s von 300 s";
        setting.signals = signals;
        // A bridge that stays busy reads no flash either: no backup.
        const Result r = Update({"--yes", "--no-backup"}, setting);
        EXPECT_EQ(r.code, 4) << row << "\n" << r.out << r.err;
        EXPECT_NE(r.out.find(setting.signalAfter), std::string::npos) << row << r.out;
        EXPECT_EQ(r.out.find("Durchgang 2"), std::string::npos) << row << r.out;
        EXPECT_TRUE(View(dir_ / "bus" / "drive").loader) << row;
        EXPECT_TRUE(std::filesystem::exists(dir_ / "state" / RecordFileName(u"4A3F0012B7C4D9E1")))
            << row;
    }
    // The next run finishes the drive, and names it by the serial number of its record.
    ASSERT_EQ(Program({"emulator", "fault", (dir_ / "bus" / "drive").string(), "--clear"}).code, 0);
    const Result finished = Update({"--yes"});
    EXPECT_EQ(finished.code, 0) << finished.err;
    EXPECT_NE(finished.out.find("serial number 4A3F0012B7C4D9E1: 0.00 -> 1.07"), std::string::npos)
        << finished.out;
}

// Every refusal ends with its code, one JSON object with its message id and a cause on
// standard error; the codes are the ones the README lists, no more and no fewer. A model that
// needs no update is nothing to do, no error.
TEST_F(UpdateCommand, EachRefusalSaysItsCodeAndCause) {
    const std::string readme = ReadText(std::filesystem::path(MOX3_TEST_SOURCE_DIR) / ".." /
                                        "README.md");
    const std::size_t from = readme.find("The codes:");
    const std::size_t to = readme.find(". A drive that needs no update", from);
    ASSERT_NE(to, std::string::npos);
    std::set<std::string> listed;
    for (std::size_t at = readme.find('`', from); at < to; at = readme.find('`', at + 1)) {
        const std::size_t close = readme.find('`', at + 1);
        listed.insert(readme.substr(at + 1, close - at - 1));
        at = close;
    }
    const std::set<std::string> codes(UpdateErrorCodes().begin(), UpdateErrorCodes().end());
    EXPECT_EQ(listed, codes);

    struct Row {
        const char* what;
        std::function<void()> prepare;
        int exit;
        const char* code;   // "" when the run is no error
        int messageId;
        const char* cause;  // in the text output
        const char* english;  // of the cause, never in a German run's output (nullptr: none)
    };
    const std::filesystem::path bus = dir_ / "bus";
    const std::vector<Row> rows = {
        {"no drive", [&] { std::filesystem::remove_all(bus / "drive"); }, 1, "no-drive", 104,
         "cause: no drive of this family is attached", "no drive of this family"},
        {"several drives",
         [&] { MakeProgrammedDrive(2, "01000500", "BBBB000000000002", {}, "bus/other"); }, 1,
         "several-drives", 105, "cause: 2 drives of this family are attached; name one with --device",
         "name one with"},
        {"no image",
         [&] {
             std::filesystem::remove(dir_ / "images" / "firmware_C311.bin");
             std::filesystem::create_directory(dir_ / "images" / "firmware_C311.bin");
         },
         1, "image-missing", 0, "firmware_C311.bin (a folder)", "(a folder)"},
        {"a damaged image",
         [&] {
             auto bytes = ReadBytes(dir_ / "images" / "firmware_C311.bin");
             bytes[100] ^= 1;
             WriteBytes(dir_ / "images" / "firmware_C311.bin", bytes);
         },
         1, "image-damaged", 115, "(failed test: digest)", nullptr},
        {"a loader without a record",
         [&] {
             std::filesystem::remove_all(bus / "drive");
             EmulatedDriveSetup erased;
             erased.generation = 2;
             MakeDrive(erased, "bus/loader");
         },
         1, "loader-without-record", 117, "--recover-serial SERIAL --model PID[:NAME]", nullptr},
        {"a refused switch",
         [&] {
             ASSERT_EQ(Program({"emulator", "fault", (bus / "drive").string(),
                                "--refuse-update-mode"}).code, 0);
         },
         1, "update-failed", 106, "cause: the bridge refused to switch into its update mode",
         "refused to switch"},
        {"a bridge that refuses to read its flash",
         [&] {
             ASSERT_EQ(Program({"emulator", "fault", (bus / "drive").string(),
                                "--refuse-read-before-erase"}).code, 0);
         },
         1, "backup-failed", 124,
         "cause: no backup of the flash could be made: the bridge refused to read its flash",
         "refused to read its flash"},
        {"reads of the flash that never agree",
         [&] {
             ASSERT_EQ(Program({"emulator", "fault", (bus / "drive").string(), "--unsteady-read",
                                "5000"}).code, 0);
         },
         1, "backup-failed", 124, "never gave the same bytes twice in a row", "never gave the same"},
        {"a model that needs no update",
         [&] {
             std::filesystem::remove_all(bus / "drive");
             ASSERT_EQ(Program({"emulator", "create-disk", (bus / "disk").string(), "--vid",
                                "0x5E3B", "--pid", "0x7C37"})
                           .code,
                       0);
         },
         3, "", 112, "This drive does not require an update.", nullptr},
    };
    for (const Row& row : rows) {
        Reset();
        row.prepare();
        const Result json = Update({"--yes", "--json"});
        EXPECT_EQ(json.code, row.exit) << row.what;
        const nlohmann::json j = nlohmann::json::parse(json.out, nullptr, false);
        ASSERT_TRUE(j.is_object()) << row.what << ": " << json.out;
        EXPECT_EQ(j.value("messageId", 0), row.messageId) << row.what << ": " << json.out;
        const nlohmann::json::json_pointer code("/error/code");
        EXPECT_EQ(j.value(code, std::string()), row.code) << row.what;
        EXPECT_EQ(codes.count(row.code), *row.code ? 1u : 0u) << row.what;
        EXPECT_FALSE(j.contains("currentVersion") && j["currentVersion"] == "0.00") << row.what;
        const Result text = Update({"--yes"});
        EXPECT_EQ(text.code, row.exit) << row.what;
        EXPECT_NE(text.err.find(row.cause), std::string::npos) << row.what << ": " << text.err;
        for (const std::string& line : {text.out, text.err}) {
            EXPECT_EQ(line.find(" \n"), std::string::npos) << row.what << ": trailing blank";
        }
        // In the user's language; the JSON's text stays English for whoever parses it.
        if (!*row.code) continue;
        const Result german = Update({"--yes", "--lang", "de"});
        EXPECT_NE(german.err.find("Ursache: "), std::string::npos) << row.what << ": " << german.err;
        if (row.english) {
            EXPECT_EQ(german.err.find(row.english), std::string::npos) << row.what << ": " << german.err;
            EXPECT_NE(json.out.find(row.english), std::string::npos) << row.what << ": " << json.out;
        }
    }
}

// On a terminal the bar's line moves with the time of a long wait, second by second.
TEST_F(UpdateCommand, OnATerminalTheBarMovesThroughTheWaits) {
    ProgramSetting setting;
    setting.terminal = true;
    setting.environment = {{"LANG", "C"}};
    const Result r = Update({"--yes"}, setting);
    EXPECT_EQ(r.code, 0) << r.out;
    // The 15 s wait after the switch, redrawn each second it lasts (the seconds themselves
    // depend on how fast the machine is).
    std::set<int> seconds;
    const std::string wait = "update mode: ";
    for (std::size_t at = r.out.find(wait); at != std::string::npos; at = r.out.find(wait, at + 1)) {
        seconds.insert(std::atoi(r.out.c_str() + at + wait.size()));
    }
    EXPECT_GE(seconds.size(), 10u) << r.out;
    EXPECT_EQ(seconds.count(0), 1u) << r.out;
}

// With --verbose a failed update names the drive's request that failed, in words and in JSON.
TEST_F(UpdateCommand, VerboseNamesTheRequestThatFailed) {
    const std::string drive = (dir_ / "bus" / "drive").string();
    ASSERT_EQ(Program({"emulator", "fault", drive, "--fail-kind", "0x20"}).code, 0);
    Result r = Update({"--yes"});
    EXPECT_EQ(r.code, 1) << r.out << r.err;
    EXPECT_EQ(r.err.find("request: CDB"), std::string::npos) << "only with --verbose";
    r = Update({"--yes"}, {}, {"--verbose"});
    EXPECT_EQ(r.code, 1) << r.out << r.err;
    EXPECT_NE(r.err.find("\nrequest: CDB 3b0120"), std::string::npos) << r.err;
    r = Update({"--yes", "--json"}, {}, {"--verbose"});
    EXPECT_EQ(r.code, 1) << r.out << r.err;
    const nlohmann::json request = nlohmann::json::parse(r.out)["error"]["request"];
    EXPECT_EQ(request["cdb"], "3b012080000000000000") << r.out;
    EXPECT_EQ(request["status"], 2);
}

// Before it writes, the update keeps the flash as it was, of either generation, with a sidecar
// whose digest is the backup's, and a copy where --backup says; a read that differs is read
// again, never kept; the newest 5 backups of a drive stay, another drive's are not touched.
TEST_F(UpdateCommand, KeepsTheFlashAsItWasBeforeTheUpdate) {
    struct Row {
        int generation;
        const char* unsteady;  // a flash address read wrong once, or nullptr
        std::size_t size;
    };
    const std::string serial = "4A3F0012B7C4D9E1";
    const std::filesystem::path backups = dir_ / "state" / "backups";
    for (const Row& row : {Row{1, nullptr, 65536}, Row{2, nullptr, 131072}, Row{2, "70000", 131072}}) {
        std::filesystem::remove_all(dir_ / "bus");
        std::filesystem::remove_all(dir_ / "state");
        std::string why;
        WriteBytes(dir_ / "images" / "firmware_C30.bin", MakeSampleImage({1, "01000700", 30000, 7}, &why));
        const std::filesystem::path drive = MakeProgrammedDrive(row.generation, "01000500", serial, {}, "bus/drive");
        std::vector<std::uint8_t> before;
        for (const auto& entry : std::filesystem::directory_iterator(drive)) {
            if (entry.path().filename().string().rfind("flash-", 0) == 0) before = ReadBytes(entry.path());
        }
        if (row.unsteady) {
            ASSERT_EQ(Program({"emulator", "fault", drive.string(), "--unsteady-read", row.unsteady,
                               "--times", "1"}).code, 0);
        }
        // Six older backups of this drive, one of another.
        std::filesystem::create_directories(backups);
        for (const auto& folder : {dir_ / "state", backups}) {
            std::filesystem::permissions(folder, std::filesystem::perms::owner_all);
        }
        for (int day = 1; day <= 6; ++day) {
            for (const char* ext : {".bin", ".json"}) {
                WriteBytes(backups / (serial + "-2020010" + std::to_string(day) + "T000000Z" + ext), {1});
            }
        }
        WriteBytes(backups / "OTHER-20200101T000000Z.bin", {1});

        const Result r = Update({"--yes", "--json", "--backup", (dir_ / "copy.bin").string()});
        ASSERT_EQ(r.code, 0) << row.generation << r.out << r.err;
        const std::filesystem::path kept = nlohmann::json::parse(r.out)["backup"].get<std::string>();
        EXPECT_EQ(kept.parent_path(), backups);
        const std::vector<std::uint8_t> bytes = ReadBytes(kept);
        ASSERT_EQ(bytes.size(), row.size) << row.generation;
        EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), before.begin())) << row.generation;
        EXPECT_EQ(ReadBytes(dir_ / "copy.bin"), bytes);
        std::filesystem::path sidecarPath = kept;
        const nlohmann::json sidecar = nlohmann::json::parse(ReadText(sidecarPath.replace_extension(".json")));
        EXPECT_EQ(sidecar["sha256"], HexString(*Sha256(bytes), HexDigits::Lower));
        EXPECT_EQ(sidecar["serial"], serial);
        EXPECT_EQ(sidecar["generation"], row.generation);
        EXPECT_EQ(sidecar["flashSize"], row.size);
        EXPECT_EQ(ReadText(dir_ / "copy.bin.json"), ReadText(sidecarPath));
        std::set<std::string> left;
        for (const auto& entry : std::filesystem::directory_iterator(backups)) {
            left.insert(entry.path().filename().string());
        }
        EXPECT_EQ(left.size(), 11u) << row.generation;  // 5 of this drive, each with its sidecar
        EXPECT_EQ(left.count(serial + "-20200102T000000Z.bin"), 0u);
        EXPECT_EQ(left.count(serial + "-20200102T000000Z.json"), 0u);
        EXPECT_EQ(left.count(serial + "-20200103T000000Z.bin"), 1u);
        EXPECT_EQ(left.count("OTHER-20200101T000000Z.bin"), 1u);
        // Both read back as they were kept.
        Told told;
        for (const std::filesystem::path& path : {kept, dir_ / "copy.bin"}) {
            const std::optional<BackupFile> back = ReadBackupFile(path, &told);
            ASSERT_TRUE(back) << InEnglish(told);
            EXPECT_EQ(back->flash, bytes);
            EXPECT_EQ(back->generation, row.generation);
            EXPECT_EQ(back->serial, Utf8ToUtf16(serial));
        }
    }
    // A backup whose bytes changed, or without its description, is not read.
    std::vector<std::uint8_t> damaged = ReadBytes(dir_ / "copy.bin");
    damaged[100] ^= 1;
    WriteBytes(dir_ / "copy.bin", damaged);
    Told why;
    EXPECT_FALSE(ReadBackupFile(dir_ / "copy.bin", &why));
    EXPECT_EQ(why.what, Finding::kBackupDigestWrong);
    std::filesystem::remove(dir_ / "copy.bin.json");
    EXPECT_FALSE(ReadBackupFile(dir_ / "copy.bin", &why));
    EXPECT_EQ(why.what, Finding::kBackupSidecarBad);
}

// Without a backup the run goes on only when the user says so or gave --no-backup; declined,
// the drive waits in its update mode with its record, and the next run finishes it.
TEST_F(UpdateCommand, WithoutABackupOnlyWhenTheUserSaysSo) {
    struct Row {
        const char* answer;
        std::vector<std::string> words;
        int exit;
    };
    const std::string drive = (dir_ / "bus" / "drive").string();
    for (const Row& row : {Row{"n\n", {"--yes"}, 1}, Row{"y\n", {"--yes"}, 0}, Row{"", {"--yes", "--no-backup"}, 0}}) {
        std::filesystem::remove_all(dir_ / "bus");
        std::filesystem::remove_all(dir_ / "state");
        MakeProgrammedDrive(2, "01000500", "4A3F0012B7C4D9E1", {}, "bus/drive");
        ASSERT_EQ(Program({"emulator", "fault", drive, "--refuse-read-before-erase"}).code, 0);
        const Result r = Answering(row.words, row.answer);
        EXPECT_EQ(r.code, row.exit) << row.answer << r.out;
        EXPECT_EQ(r.out.find("Update without a backup?") != std::string::npos, *row.answer != 0) << r.out;
        const std::filesystem::path backups = dir_ / "state" / "backups";
        EXPECT_TRUE(!std::filesystem::exists(backups) || std::filesystem::is_empty(backups));
        if (row.exit == 0) {
            EXPECT_EQ(Firmware(), "V01L00R07");
            continue;
        }
        EXPECT_NE(r.out.find("run the update again"), std::string::npos) << r.out;
        EXPECT_EQ(Answering({"--yes", "--no-backup"}, "").code, 0);
        EXPECT_EQ(Firmware(), "V01L00R07");
    }
}

// The record of an update names its backup; the run that finishes it makes no other.
TEST_F(UpdateCommand, TheRecordNamesTheBackup) {
    const std::string drive = (dir_ / "bus" / "drive").string();
    ASSERT_EQ(Program({"emulator", "fault", drive, "--fail-kind", "0x21"}).code, 0);
    Result r = Update({"--yes", "--json"});
    ASSERT_EQ(r.code, 1) << r.out;
    const std::string kept = nlohmann::json::parse(r.out)["backup"].get<std::string>();
    EXPECT_NE(ReadText(dir_ / "state" / RecordFileName(u"4A3F0012B7C4D9E1")).find("\nbackup=" + kept + "\n"),
              std::string::npos);
    ASSERT_EQ(Program({"emulator", "fault", drive, "--clear"}).code, 0);
    r = Update({"--yes", "--json"});
    ASSERT_EQ(r.code, 0) << r.out;
    EXPECT_FALSE(nlohmann::json::parse(r.out).contains("backup"));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_ / "state" / "backups"),
                            std::filesystem::directory_iterator()), 2);
}

// backup keeps the flash as it is; verify finds an update's flash matching the image and
// differing from the backup made before it, in the firmware from its first changed byte. Neither
// writes the flash, and neither leaves a record.
TEST_F(UpdateCommand, BackupAndVerifyReadTheFlashAndChangeNothing) {
    const std::string serial = "4A3F0012B7C4D9E1";
    for (int generation : {1, 2}) {
        std::filesystem::remove_all(dir_ / "bus");
        std::filesystem::remove_all(dir_ / "state");
        std::string why;
        WriteBytes(dir_ / "images" / "firmware_C30.bin", MakeSampleImage({1, "01000700", 30000, 7}, &why));
        MakeProgrammedDrive(generation, "01000500", serial, {}, "bus/drive");
        const std::vector<std::uint8_t> before = Flash();
        const Result kept = Read({"backup", "--json", "-o", (dir_ / "copy.bin").string()});
        ASSERT_EQ(kept.code, 0) << generation << kept.out << kept.err;
        // The flash as far as the block says it goes.
        const std::vector<std::uint8_t> bytes = ReadBytes(nlohmann::json::parse(kept.out)["backup"].get<std::string>());
        EXPECT_EQ(bytes.size(), generation == 1 ? 65536u : 131072u);
        EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), before.begin()));
        EXPECT_EQ(ReadBytes(dir_ / "copy.bin"), bytes);
        EXPECT_EQ(Flash(), before);
        const Result updated = Update({"--yes", "--json"});
        ASSERT_EQ(updated.code, 0) << updated.out;
        const std::string backup = nlohmann::json::parse(updated.out)["backup"].get<std::string>();
        const std::vector<std::uint8_t> after = Flash();
        std::uint32_t changed = 8192;  // the firmware's first changed byte
        while (changed < after.size() && after[changed] == before[changed]) ++changed;
        struct Row {
            std::vector<std::string> against;
            int code;
            nlohmann::json firmwareDifference;
        };
        for (const Row& row : {Row{{}, 0, nullptr}, Row{{"--against", backup}, 5, changed}}) {
            std::vector<std::string> words = {"verify", "--json", "--image-dir", (dir_ / "images").string()};
            words.insert(words.end(), row.against.begin(), row.against.end());
            const Result r = Read(words);
            ASSERT_EQ(r.code, row.code) << generation << r.out << r.err;
            const nlohmann::json j = nlohmann::json::parse(r.out);
            for (const nlohmann::json& region : j["regions"]) {
                if (row.code == 0 || region["name"] == "firmware") {
                    EXPECT_EQ(region["firstDifference"], row.firmwareDifference) << r.out;
                }
            }
            EXPECT_EQ(Flash(), after);
        }
        EXPECT_FALSE(std::filesystem::exists(dir_ / "state" / RecordFileName(Utf8ToUtf16(serial))));
    }
}

// A read that fails brings the drive back; one that cannot bring it back, or is stopped while
// the drive waits in its loader, keeps the record, and the next run finishes the drive (unless
// the record is an update's: that flash may be half written). The flash stays as it was.
TEST_F(UpdateCommand, AReadThatFailsOrStopsLeavesTheDriveBackOrFinishable) {
    struct Row {
        std::vector<std::string> fault;
        const char* signalAfter;  // or nullptr
        int code;
        const char* cause;
        bool inLoader;
    };
    const std::filesystem::path drive = dir_ / "bus" / "drive";
    const std::filesystem::path record = dir_ / "state" / RecordFileName(u"4A3F0012B7C4D9E1");
    for (const Row& row : {Row{{"--refuse-read-before-erase"}, nullptr, 1, "refused to read its flash", false},
                           Row{{"--unsteady-read", "4000", "--times", "9"}, nullptr, 1, "never gave the same", false},
                           Row{{"--return-in-loader"}, nullptr, 1, "did not come back", true},
                           Row{{}, "waiting for the bridge to return", 4, "run the same command again", true}}) {
        Reset();
        const std::vector<std::uint8_t> before = Flash();
        ProgramSetting setting;
        if (row.signalAfter) {
            // A loader slow to appear: the run waits for it long enough to be stopped.
            std::string state = ReadText(drive / "drive.state");
            state.replace(state.find("restart-delay-ms=3000"), 21, "restart-delay-ms=40000");
            WriteBytes(drive / "drive.state", std::vector<std::uint8_t>(state.begin(), state.end()));
            setting.signalAfter = row.signalAfter;
            setting.signals = {SIGINT};
        } else {
            std::vector<std::string> fault = {"emulator", "fault", drive.string()};
            fault.insert(fault.end(), row.fault.begin(), row.fault.end());
            ASSERT_EQ(Program(fault).code, 0);
        }
        const Result r = Read({"backup"}, setting);
        EXPECT_EQ(r.code, row.code) << r.out << r.err;
        EXPECT_NE(r.err.find(row.cause), std::string::npos) << r.err;
        // Stopped while it restarted: it comes back in its loader.
        const EmulatedDriveView left = View(drive);
        EXPECT_EQ(left.loader || left.bus == EmulatedBus::Restarting, row.inLoader) << row.cause;
        EXPECT_EQ(std::filesystem::exists(record), row.inLoader) << row.cause;
        EXPECT_EQ(Flash(), before);
        if (!row.inLoader) continue;
        ASSERT_EQ(Program({"emulator", "fault", drive.string(), "--clear"}).code, 0);
        const std::string text = ReadText(record);
        std::string update = text;
        update.erase(update.find("read-only=1\n"), 12);
        WriteBytes(record, std::vector<std::uint8_t>(update.begin(), update.end()));
        const Result refused = Read({"verify", "--image-dir", (dir_ / "images").string()});
        EXPECT_EQ(refused.code, 1);
        EXPECT_NE(refused.err.find("finish it with the update command"), std::string::npos) << refused.err;
        WriteBytes(record, std::vector<std::uint8_t>(text.begin(), text.end()));
        const Result finished = Read({"backup"});
        EXPECT_EQ(finished.code, 0) << finished.out << finished.err;
        EXPECT_FALSE(View(drive).loader);
        EXPECT_FALSE(std::filesystem::exists(record));
        EXPECT_EQ(Flash(), before);
    }
}

// An update's backup written back leaves the flash as it was before the update, of either
// generation and with either block length, which the drive keeps.
TEST_F(UpdateCommand, RestoringTheUpdatesBackupUndoesIt) {
    const std::filesystem::path drive = dir_ / "bus" / "drive";
    for (const auto& [generation, sector] : {std::pair{1, "512"}, {1, "4096"}, {2, "512"}, {2, "4096"}}) {
        std::filesystem::remove_all(dir_ / "bus");
        std::filesystem::remove_all(dir_ / "state");
        std::string why;
        WriteBytes(dir_ / "images" / "firmware_C30.bin", MakeSampleImage({1, "01000700", 30000, 7}, &why));
        WriteBytes(dir_ / "old.bin", MakeSampleImage({generation, "01000500", 30000, 7}, &why));
        std::filesystem::create_directories(dir_ / "bus");
        ASSERT_EQ(Program({"emulator", "create", drive.string(), "--generation", std::to_string(generation),
                           "--serial", "4A3F0012B7C4D9E1", "--firmware", (dir_ / "old.bin").string(),
                           "--sector", sector}).code, 0);
        const std::vector<std::uint8_t> before = View(drive).flash;
        Result r = Update({"--yes", "--json"});
        ASSERT_EQ(r.code, 0) << r.out;
        // The oldest of six backups of the drive: the restore's own backup does not remove it.
        const std::filesystem::path backups = dir_ / "state" / "backups";
        const std::string backup = (backups / "4A3F0012B7C4D9E1-20200101T000000Z.bin").string();
        std::filesystem::path kept = nlohmann::json::parse(r.out)["backup"].get<std::string>();
        std::filesystem::rename(kept, backup);
        std::filesystem::rename(kept.replace_extension(".json"), backups / "4A3F0012B7C4D9E1-20200101T000000Z.json");
        for (const char* day : {"02", "03", "04", "05"}) {
            WriteBytes(backups / ("4A3F0012B7C4D9E1-202001" + std::string(day) + "T000000Z.bin"), {1});
        }
        r = Restore({backup, "--yes", "--json"});
        ASSERT_EQ(r.code, 0) << generation << sector << r.out << r.err;
        const nlohmann::json j = nlohmann::json::parse(r.out);
        EXPECT_EQ(j["driveState"], "restored");
        EXPECT_NE(j["flashBackup"], backup);
        const EmulatedDriveView after = View(drive);
        const std::size_t size = ReadBytes(backup).size();  // still there
        EXPECT_TRUE(std::equal(before.begin(), before.begin() + size, after.flash.begin())) << generation << sector;
        EXPECT_EQ(after.firmwareVersion, "V01L00R05");
        EXPECT_EQ(std::to_string(after.logicalBlockLength), sector);
        EXPECT_FALSE(std::filesystem::exists(dir_ / "state" / RecordFileName(u"4A3F0012B7C4D9E1")));
        // And verify says so, region by region.
        EXPECT_EQ(Read({"verify", "--against", backup}).code, 0) << generation << sector;
    }
}

// A backup that does not fit the drive is refused before anything is sent; another drive's
// only after a question naming both serial numbers, which --json cannot answer.
TEST_F(UpdateCommand, RestoreRefusesWhatDoesNotFit) {
    Result r = Update({"--yes", "--json"});
    ASSERT_EQ(r.code, 0) << r.out;
    const std::filesystem::path kept = nlohmann::json::parse(r.out)["backup"].get<std::string>();
    std::filesystem::copy(kept, dir_ / "damaged.bin");
    std::filesystem::copy(std::filesystem::path(kept).replace_extension(".json"), dir_ / "damaged.bin.json");
    std::vector<std::uint8_t> bytes = ReadBytes(dir_ / "damaged.bin");
    bytes[5000] ^= 1;
    WriteBytes(dir_ / "damaged.bin", bytes);
    const std::string backup = kept.string();
    struct Row {
        const char* what;
        int generation;          // of the drive attached
        const char* serial;      // its serial number
        std::vector<std::string> words;
        const char* answer;
        int exit;
        const char* code;        // with --json, else ""
        const char* said;        // in the output
    };
    const std::set<std::string> codes(RestoreErrorCodes().begin(), RestoreErrorCodes().end());
    for (const Row& row : {
             Row{"damaged", 2, "4A3F0012B7C4D9E1", {(dir_ / "damaged.bin").string(), "--yes", "--json"}, "", 1,
                 "backup-damaged", "SHA-256"},
             Row{"generation", 1, "4A3F0012B7C4D9E1", {backup, "--yes", "--json"}, "", 1, "generation-mismatch",
                 "generation 2 bridge"},
             Row{"serial", 2, "BBBB000000000002", {backup, "--yes", "--json"}, "", 1, "serial-mismatch",
                 "--other-drive"},
             Row{"other json", 2, "BBBB000000000002", {backup, "--other-drive", "--yes", "--json"}, "", 2,
                 "usage", "does not go with --json"},
             Row{"other declined", 2, "BBBB000000000002", {backup, "--other-drive", "--yes"}, "n\n", 3, "",
                 "serial number 4A3F0012B7C4D9E1, not of this drive with serial number BBBB000000000002"},
             Row{"other accepted", 2, "BBBB000000000002", {backup, "--other-drive"}, "y\n", 0, "",
                 "serial number 4A3F0012B7C4D9E1, not of this drive with serial number BBBB000000000002"},
         }) {
        std::filesystem::remove_all(dir_ / "bus");
        MakeProgrammedDrive(row.generation, "01000500", row.serial, {}, "bus/drive");
        r = Restore(row.words, row.answer);
        EXPECT_EQ(r.code, row.exit) << row.what << r.out << r.err;
        EXPECT_NE((r.out + r.err).find(row.said), std::string::npos) << row.what << r.out << r.err;
        if (*row.code) {
            EXPECT_EQ(nlohmann::json::parse(r.out)["error"]["code"], row.code) << row.what;
            EXPECT_TRUE(codes.count(row.code)) << row.code;
        }
        // Only the accepted one wrote the drive: it is the backup's drive now.
        EXPECT_EQ(Utf16ToUtf8(View(dir_ / "bus" / "drive").usb.serialNumber),
                  row.exit == 0 ? "4A3F0012B7C4D9E1" : row.serial) << row.what;
    }
}

}  // namespace
}  // namespace mox3::test
