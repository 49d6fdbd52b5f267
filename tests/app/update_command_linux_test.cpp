// The update command as a script or a user sees it: exit codes, what goes to standard output
// and what to standard error, and the JSON object (read with a JSON parser).
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <set>
#include <nlohmann/json.hpp>

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
const std::string kSerial = "4A3F0012B7C4D9E1";

class UpdateCommand : public EmulatorTest {
  protected:
    void SetUp() override { Reset(); }

    // The image in its folder (with the first generation's too when `both`) and one drive of
    // `generation` that needs it, nothing else.
    std::filesystem::path Reset(int generation = 2, bool both = false) {
        for (const char* folder : {"bus", "state", "images"}) std::filesystem::remove_all(dir_ / folder);
        std::filesystem::create_directories(dir_ / "images");
        std::string why;
        WriteBytes(dir_ / "images" / "firmware_C311.bin", MakeSampleImage({2, "01000700", 30000, 7}, &why));
        if (both) WriteBytes(dir_ / "images" / "firmware_C30.bin", MakeSampleImage({1, "01000700", 30000, 7}, &why));
        return Drive(generation, kSerial, "drive");
    }
    std::filesystem::path Drive(int generation, const std::string& serial, const std::string& port) {
        return MakeProgrammedDrive(generation, "01000500", serial, {}, "bus/" + port);
    }
    void Loader() {
        EmulatedDriveSetup erased;
        erased.generation = 2;
        MakeDrive(erased, "bus/loader");
    }
    void Fault(const std::string& port, std::vector<std::string> words) {
        words.insert(words.begin(), {"emulator", "fault", (dir_ / "bus" / port).string()});
        ASSERT_EQ(Program(words).code, 0);
    }
    std::filesystem::path Record(const std::u16string& serial = u"4A3F0012B7C4D9E1") {
        return dir_ / "state" / RecordFileName(serial);
    }
    // Standard output as JSON, of a run that ended with `code` (-1: not looked at).
    static nlohmann::json J(const Result& r, int code = -1) {
        if (code >= 0) {
            EXPECT_EQ(r.code, code) << r.out << r.err;
        }
        return nlohmann::json::parse(r.out, nullptr, false);
    }

    // `update` of the test's images and state folder, after the global options `first`.
    Result Update(const std::vector<std::string>& words, ProgramSetting setting = {},
                  std::vector<std::string> first = {}) {
        first.insert(first.end(), {"update", "--image-dir", (dir_ / "images").string(),
                                   "--state-dir", (dir_ / "state").string()});
        first.insert(first.end(), words.begin(), words.end());
        return Program(first, setting);
    }
    static ProgramSetting StopAfter(const std::string& text) { return {.signalAfter = text, .signals = {SIGINT}}; }
    Result Program(std::vector<std::string> words, ProgramSetting setting = {}) {
        words.insert(words.begin(), {"--emulator", (dir_ / "bus").string()});
        if (std::ranges::none_of(setting.environment, [](auto& e) { return e.first == "MOX3_TIME_SCALE"; }))
            setting.environment.emplace_back("MOX3_TIME_SCALE", "500");
        return RunProgram(words, dir_.path(), setting);
    }
    std::filesystem::path Input(const std::string& answer) {
        WriteText(dir_ / "answer.txt", answer);
        return dir_ / "answer.txt";
    }
    // `update` with `answer` on standard input and LANG set to `locale`; standard error goes
    // with standard output into the result's `out`.
    Result Answering(const std::vector<std::string>& words, const std::string& answer,
                     const std::string& locale = "C") {
        return Update(words, {.input = Input(answer), .environment = {{"LANG", locale}},
                              .unset = {"LC_ALL", "LC_MESSAGES"}, .errorsWithOutput = true});
    }
    // backup or verify (`words` first) on the test's state folder, without a question.
    Result Read(std::vector<std::string> words, ProgramSetting setting = {}) {
        words.insert(words.end(), {"--state-dir", (dir_ / "state").string(), "--yes"});
        return Program(words, setting);
    }
    // `restore` of the test's state folder with `answer` on standard input.
    Result Restore(std::vector<std::string> words, const std::string& answer = "") {
        words.insert(words.begin(), {"restore", "--state-dir", (dir_ / "state").string()});
        return Program(words, {.input = Input(answer)});
    }

    std::string Firmware() { return View(dir_ / "bus" / "drive").firmwareVersion; }
    std::vector<std::uint8_t> Flash() { return View(dir_ / "bus" / "drive").flash; }
};

TEST_F(UpdateCommand, ExitCodesStreamsAndTheJsonObject) {
    // --json never asks, so it wants --yes or --check.
    Result r = Update({"--json"});
    ExpectEnd(r, 2, "", "--json never asks");
    EXPECT_EQ(J(r)["ok"], false);
    EXPECT_EQ(J(r)["error"]["code"], "usage");
    // A language the program does not speak is a usage error that lists those it does.
    ExpectEnd(Update({"--check", "--lang", "xx"}), 2, "", "ja");
    // A check says an update is available and changes nothing.
    ExpectFields(J(Update({"--check", "--json"}), 0), {{"ok", true}, {"updateAvailable", true},
                 {"serial", kSerial}, {"currentVersion", "1.05"}, {"newVersion", "1.07"}});
    EXPECT_EQ(Firmware(), "V01L00R05");
    // The list says which image an update would write and whether it is newer.
    const std::vector<std::string> list = {"list", "--json", "--image-dir", (dir_ / "images").string()};
    ExpectFields(J(Program(list), 0)["drives"][0], {{"imageVersion", "V01L00R07"}, {"imageNewer", true}});
    // Declining at the question is nothing to do, not a failure.
    ExpectEnd(Update({}), 3, "Nothing was changed.");
    // The update: results on standard output, the warning on standard error, a summary.
    r = Update({"--yes"});
    ExpectEnd(r, 0, "progress 75%: waiting for the drive to return", "Do not unplug");
    EXPECT_HAS(r.out, "Updated the drive with serial number 4A3F0012B7C4D9E1: 1.05 -> 1.07");
    EXPECT_LACKS(r.out, "Do not unplug");
    // Up to date now: the check finds nothing to do.
    EXPECT_EQ(J(Update({"--check", "--json"}), 3)["updateAvailable"], false);
    EXPECT_EQ(J(Program(list))["drives"][0]["imageNewer"], false);
}

// A drive as new as the image, or newer, needs nothing; --force writes the image's firmware all the same.
TEST_F(UpdateCommand, ForceUpdatesADriveThatNeedsNoUpdate) {
    const auto image = ReadBytes(dir_ / "images" / "firmware_C311.bin");
    for (const char* digits : {"01000700", "01000900"}) {
        SCOPED_TRACE(digits);
        std::filesystem::remove_all(dir_ / "bus");
        const auto drive = MakeProgrammedDrive(2, digits, kSerial, {}, "bus/drive");
        const auto before = Flash();
        ExpectEnd(Update({"--yes"}), 3, "", "does not require an update");
        EXPECT_EQ(Flash(), before);
        EXPECT_EQ(Update({"--yes", "--force"}).code, 0);
        const EmulatedDriveView after = View(drive);
        EXPECT_EQ(after.firmwareVersion, "V01L00R07");
        EXPECT_TRUE(std::equal(image.begin(), image.begin() + 16384,
                               after.flash.begin() + after.flashReport.firmwareAddress));
    }
}

// The answer is read in the language of --lang, else of the environment; anything else declines.
TEST_F(UpdateCommand, TheAnswerIsReadInTheUsersLanguage) {
    const struct { std::vector<std::string> words; const char *answer, *locale; int exit; } rows[] = {
        {{}, "ja\n", "fr_FR.UTF-8", 3}, {{"--lang", "de"}, "Ja\r\n", "fr_FR.UTF-8", 0},
        {{}, "\xd0\x94\xd0\x90\n", "ru_RU.UTF-8", 0}};  // ДА
    for (const auto& row : rows) {
        SCOPED_TRACE(row.answer);
        Reset();
        EXPECT_EQ(Answering(row.words, row.answer, row.locale).code, row.exit);
        EXPECT_EQ(Firmware(), row.exit == 0 ? "V01L00R07" : "V01L00R05");
    }
}

// Several drives are named by serial number and port for --device; a record made elsewhere needs an
// answer --yes does not give; recovery values are judged before anything is asked.
TEST_F(UpdateCommand, NamingTheDriveAndTheQuestionsYesDoesNotAnswer) {
    Drive(2, "BBBB000000000002", "other");
    nlohmann::json j = J(Update({"--yes", "--json"}));
    ASSERT_EQ(j["drives"].size(), 2u);
    EXPECT_EQ(j["drives"][0]["port"], "drive");
    EXPECT_EQ(j["drives"][1]["serial"], "BBBB000000000002");
    EXPECT_HAS(Update({"--yes"}).err, "serial BBBB000000000002, port other");
    EXPECT_EQ(Update({"--yes", "--device", "other"}).code, 0);
    EXPECT_EQ(View(dir_ / "bus" / "other").firmwareVersion, "V01L00R07");
    ExpectEnd(Update({"--yes", "--device", "nosuch"}), 1, "", "no drive of this family is nosuch");
    EXPECT_EQ(Firmware(), "V01L00R05");

    // A record of another drive, made at another port, for a drive in its loader.
    std::filesystem::remove_all(dir_ / "bus");
    Loader();
    std::filesystem::create_directories(dir_ / "state");
    std::filesystem::permissions(dir_ / "state", std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::replace);
    WriteBytes(dir_ / "state" / "ZR-MOX3_UPDATE", {'A', 'A', 'A', 'A', '1'});
    j = J(Update({"--yes", "--json"}), 1);
    EXPECT_EQ(j["error"]["code"], "confirmation-needed");
    EXPECT_HAS(j["error"]["text"].get<std::string>(), "AAAA1");
    EXPECT_EQ(Answering({"--yes"}, "n\n").code, 3);
    EXPECT_TRUE(View(dir_ / "bus" / "loader").loader);
    std::filesystem::remove(dir_ / "state" / "ZR-MOX3_UPDATE");

    // What a USB serial string cannot carry, and a model of the other generation.
    for (const std::string& serial :
         std::vector<std::string>{"with blank", "\xC3\x84\xE2\x82\xAC", std::string(65, 'S'), "a\tb"}) {
        EXPECT_EQ(Update({"--recover-serial", serial, "--model", "0x7C34:ZR-MOX3"}).code, 2) << serial;
    }
    ExpectEnd(Answering({"--recover-serial", "RECOVERED01", "--model", "0x7C31"}, "y\n"), 1,
              "not a model of this bridge's generation 2");
    EXPECT_TRUE(View(dir_ / "bus" / "loader").loader);
}

// --all, and --device twice: one question for all, one drive's failure stops no other, the worst
// exit code, one JSON object per drive; what cannot serve several drives is refused.
TEST_F(UpdateCommand, SeveralDrivesAtOnce) {
    const std::string copy = (dir_ / "copy.bin").string();
    for (const std::vector<std::string>& words : std::vector<std::vector<std::string>>{
             {"--all", "--device", "drive"}, {"--all", "--backup", copy},
             {"--device", "a", "--device", "b", "--backup", copy},
             {"--all", "--recover-serial", "R1", "--model", "0x7C34:ZR-MOX3"}, {"--all", "--records"}}) {
        ExpectEnd(Update(words), 2, "", "go");
    }
    EXPECT_EQ(J(Update({"--all", "--yes", "--json"}), 0)["serial"], kSerial);

    Reset(2, true);
    Drive(1, "CCCC000000000003", "first");
    Drive(2, "BBBB000000000002", "other");
    Fault("other", {"--refuse-update-mode"});
    Result r = Answering({"--all"}, "n\n");
    ExpectEnd(r, 3, "CCCC000000000003, port first: 1.05 -> 1.07");
    EXPECT_HAS(r.out, "Start the update of these 3 drives? [y/N] Nothing was changed.");

    const nlohmann::json j = J(Update({"--all", "--yes", "--json"}), 1);
    EXPECT_EQ(j["ok"], false);
    ASSERT_EQ(j["drives"].size(), 3u) << j;
    std::map<std::string, std::string> ended;  // serial: drive state or error code
    for (const nlohmann::json& d : j["drives"]) {
        ended[d["serial"]] = d.contains("error") ? d["error"]["code"] : d["driveState"];
        ExpectFields(d, {{"newVersion", "1.07"}, {"currentVersion", "1.05"}});
        EXPECT_EQ(d.contains("backup"), !d.contains("error")) << d;
    }
    EXPECT_EQ(ended, (std::map<std::string, std::string>{{kSerial, "updated"},
                                                         {"BBBB000000000002", "update-failed"},
                                                         {"CCCC000000000003", "updated"}}));
    EXPECT_EQ(View(dir_ / "bus" / "first").firmwareVersion, "V01L00R07");
    EXPECT_EQ(View(dir_ / "bus" / "other").firmwareVersion, "V01L00R05");

    // Named twice: one drive updated, one up to date; each line says which drive it is about.
    Fault("other", {"--clear"});
    r = Update({"--device", "other", "--device", kSerial, "--yes"});
    ExpectEnd(r, 3, "[BBBB000000000002] progress 75%");
    EXPECT_HAS(r.out, "BBBB000000000002, port other: updated, 1.05 -> 1.07, backup ");
    EXPECT_HAS(r.out, "4A3F0012B7C4D9E1, port drive: nothing to do");
    EXPECT_LACKS(r.out, "[CCCC000000000003]");

    // A signal stops each run at its next safe wait, records kept, once every run has ended.
    Reset();
    Drive(2, "BBBB000000000002", "other");
    Fault("other", {"--stay-busy"});
    const ProgramSetting stop =
        StopAfter("[BBBB000000000002] waiting for the bridge to finish erasing (pass 1): 10 s");
    EXPECT_EQ(Update({"--all", "--yes", "--no-backup"}, stop).code, 4);
    EXPECT_TRUE(View(dir_ / "bus" / "other").loader);
    EXPECT_TRUE(std::filesystem::exists(Record(u"BBBB000000000002")));
    EXPECT_TRUE(Firmware() == "V01L00R07" || std::filesystem::exists(Record()));
}

// A signal while the bridge stays busy stops the run at its next wait, the record kept; stopping and
// pausing signals do nothing. The waits are shown as they pass, in the user's language.
TEST_F(UpdateCommand, ASignalWhileTheBridgeStaysBusyStopsAtTheNextWait) {
    for (const std::vector<int>& signals : std::vector<std::vector<int>>{
             {SIGINT}, {SIGTERM}, {SIGUSR1}, {SIGALRM}, {SIGTSTP, SIGTTIN, SIGTTOU, SIGHUP}}) {
        SCOPED_TRACE("signal " + std::to_string(signals.front()));
        Reset();
        Fault("drive", {"--stay-busy"});
        const ProgramSetting setting = {.environment = {{"LANG", "de_DE.UTF-8"}}, .unset = {"LC_ALL", "LC_MESSAGES"},
                                        .signalAfter = "(Durchgang 1): 10 s von 300 s", .signals = signals};
        // A bridge that stays busy reads no flash either: no backup.
        const Result r = Update({"--yes", "--no-backup"}, setting);
        ExpectEnd(r, 4, setting.signalAfter);
        EXPECT_LACKS(r.out, "Durchgang 2");
        EXPECT_TRUE(View(dir_ / "bus" / "drive").loader);
        EXPECT_TRUE(std::filesystem::exists(Record()));
    }
    // The next run finishes the drive, and names it by the serial number of its record.
    Fault("drive", {"--clear"});
    ExpectEnd(Update({"--yes"}), 0, "serial number 4A3F0012B7C4D9E1: 0.00 -> 1.07");
}

// Every refusal: its exit code, one JSON object with its message id and code (those the README lists,
// no more), and its cause on standard error, in the user's language.
TEST_F(UpdateCommand, EachRefusalSaysItsCodeAndCause) {
    const std::string readme = ReadText(std::filesystem::path(MOX3_TEST_SOURCE_DIR) / ".." / "README.md");
    const std::size_t from = readme.find("The codes:"), to = readme.find(". A drive that needs no", from);
    ASSERT_NE(to, std::string::npos);
    const std::string listed = readme.substr(from, to - from);
    const std::set<std::string> codes(UpdateErrorCodes().begin(), UpdateErrorCodes().end());
    EXPECT_EQ(std::count(listed.begin(), listed.end(), '`'), 2 * std::ssize(codes)) << listed;
    for (const std::string& code : codes) EXPECT_HAS(listed, "`" + code + "`");

    const std::filesystem::path bus = dir_ / "bus", image = dir_ / "images" / "firmware_C311.bin";
    auto fault = [&](std::vector<std::string> words) { return [this, words] { Fault("drive", words); }; };
    // The error code is "" when the run is no error; the cause is in the text output, and its
    // `english` words (if not nullptr) never in a German run's.
    const struct {
        const char* what; std::function<void()> prepare; int exit; const char* code; int messageId;
        const char *cause, *english;
    } rows[] = {
        {"no drive", [&] { std::filesystem::remove_all(bus / "drive"); }, 1, "no-drive", 104,
         "cause: no drive of this family is attached", "no drive of this family"},
        {"several drives", [&] { Drive(2, "BBBB000000000002", "other"); }, 1, "several-drives", 105,
         "cause: 2 drives of this family are attached; name one with --device", "name one with"},
        {"no image", [&] { std::filesystem::remove(image); std::filesystem::create_directory(image); },
         1, "image-missing", 0, "firmware_C311.bin (a folder)", "(a folder)"},
        {"a damaged image",
         [&] { auto bytes = ReadBytes(image); bytes[100] ^= 1; WriteBytes(image, bytes); }, 1,
         "image-damaged", 115, "(failed test: digest)", nullptr},
        {"a loader without a record", [&] { std::filesystem::remove_all(bus / "drive"); Loader(); }, 1,
         "loader-without-record", 117, "--recover-serial SERIAL --model PID[:NAME]", nullptr},
        {"a refused switch", fault({"--refuse-update-mode"}), 1, "update-failed", 106,
         "cause: the bridge refused to switch into its update mode", "refused to switch"},
        {"a bridge that refuses to read its flash", fault({"--refuse-read-before-erase"}), 1,
         "backup-failed", 124,
         "cause: no backup of the flash could be made: the bridge refused to read its flash",
         "refused to read its flash"},
        {"reads of the flash that never agree", fault({"--unsteady-read", "5000"}), 1, "backup-failed",
         124, "never gave the same bytes twice in a row", "never gave the same"},
        {"a model that needs no update",
         [&] {
             std::filesystem::remove_all(bus / "drive");
             ASSERT_EQ(Program({"emulator", "create-disk", (bus / "disk").string(), "--vid", "0x5E3B",
                                "--pid", "0x7C37"}).code, 0);
         },
         3, "", 112, "This drive does not require an update.", nullptr},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        Reset();
        row.prepare();
        const Result json = Update({"--yes", "--json"});
        const nlohmann::json j = J(json, row.exit);
        ASSERT_TRUE(j.is_object()) << json.out;
        EXPECT_EQ(nlohmann::json({j.value("messageId", 0), j.value("/error/code"_json_pointer, "")}),
                  nlohmann::json({row.messageId, row.code})) << json.out;
        EXPECT_EQ(codes.count(row.code), *row.code ? 1u : 0u);
        EXPECT_FALSE(j.contains("currentVersion") && j["currentVersion"] == "0.00");
        const Result text = Update({"--yes"});
        ExpectEnd(text, row.exit, "", row.cause);
        EXPECT_LACKS(text.out + text.err, " \n");  // no trailing blanks
        // In the user's language; the JSON's text stays English for whoever parses it.
        if (!*row.code) continue;
        const Result german = Update({"--yes", "--lang", "de"});
        EXPECT_HAS(german.err, "Ursache: ");
        if (row.english) {
            EXPECT_LACKS(german.err, row.english);
            EXPECT_HAS(json.out, row.english);
        }
    }
}

// On a terminal the bar's line moves with the time of a long wait, second by second.
TEST_F(UpdateCommand, OnATerminalTheBarMovesThroughTheWaits) {
    const Result r = Update({"--yes"}, {.environment = {{"LANG", "C"}}, .terminal = true});
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
    Fault("drive", {"--fail-kind", "0x20"});
    const Result r = Update({"--yes"});
    EXPECT_LACKS(r.err, "request: CDB");  // only with --verbose
    ExpectEnd(Update({"--yes"}, {}, {"--verbose"}), 1, "", "\nrequest: CDB 3b0120");
    ExpectFields(J(Update({"--yes", "--json"}, {}, {"--verbose"}), 1)["error"]["request"],
                 {{"cdb", "3b012080000000000000"}, {"status", 2}});
}

// The update's backup: the flash as it was, a sidecar with its digest, a copy where --backup says; a
// read that differs is read again; a drive's newest 5 backups stay, another drive's too.
TEST_F(UpdateCommand, KeepsTheFlashAsItWasBeforeTheUpdate) {
    const std::filesystem::path backups = dir_ / "state" / "backups";
    auto name = [](int day, const char* ext) { return kSerial + "-2020010" + std::to_string(day) + "T000000Z" + ext; };
    // `unsteady`: a flash address read wrong once, or "".
    const struct { int generation; const char* unsteady; std::size_t size; } rows[] = {
        {1, "60000", 65536}, {2, "", 131072}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.generation);
        Reset(row.generation, true);
        const std::vector<std::uint8_t> before = Flash();
        if (*row.unsteady) Fault("drive", {"--unsteady-read", row.unsteady, "--times", "1"});
        // Six older backups of this drive, one of another.
        std::filesystem::create_directories(backups);
        for (const auto& f : {dir_ / "state", backups}) {
            std::filesystem::permissions(f, std::filesystem::perms::owner_all);
        }
        for (int day = 1; day <= 6; ++day) {
            for (const char* ext : {".bin", ".json"}) WriteBytes(backups / name(day, ext), {1});
        }
        WriteBytes(backups / "OTHER-20200101T000000Z.bin", {1});

        const Result r = Update({"--yes", "--json", "--backup", (dir_ / "copy.bin").string()});
        const std::filesystem::path kept = J(r, 0)["backup"].get<std::string>();
        const std::filesystem::path sidecar = std::filesystem::path(kept).replace_extension(".json");
        EXPECT_EQ(kept.parent_path(), backups);
        const std::vector<std::uint8_t> bytes = ReadBytes(kept);
        ASSERT_EQ(bytes.size(), row.size);
        EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), before.begin()));
        EXPECT_EQ(ReadBytes(dir_ / "copy.bin"), bytes);
        ExpectFields(nlohmann::json::parse(ReadText(sidecar)),
                     {{"sha256", HexString(*Sha256(bytes), HexDigits::Lower)}, {"serial", kSerial},
                      {"generation", row.generation}, {"flashSize", row.size}});
        EXPECT_EQ(ReadText(dir_ / "copy.bin.json"), ReadText(sidecar));
        // 5 of this drive, each with its sidecar, and the other drive's.
        std::set<std::string> left, want = {"OTHER-20200101T000000Z.bin", kept.filename().string(),
                                            sidecar.filename().string()};
        for (const auto& entry : std::filesystem::directory_iterator(backups)) {
            left.insert(entry.path().filename().string());
        }
        for (int day = 3; day <= 6; ++day) want.insert({name(day, ".bin"), name(day, ".json")});
        EXPECT_EQ(left, want);
    }
    // A backup without its description is not read.
    std::filesystem::remove(dir_ / "copy.bin.json");
    Told why;
    EXPECT_FALSE(ReadBackupFile(dir_ / "copy.bin", &why));
    EXPECT_EQ(why.what, Finding::kBackupSidecarBad);
}

// No backup: on only at a yes or with --no-backup; declined, the drive waits for the next run.
TEST_F(UpdateCommand, WithoutABackupOnlyWhenTheUserSaysSo) {
    const struct { const char* answer; std::vector<std::string> words; int exit; } rows[] = {
        {"n\n", {"--yes"}, 1}, {"y\n", {"--yes"}, 0}, {"", {"--yes", "--no-backup"}, 0}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.answer);
        Reset();
        Fault("drive", {"--refuse-read-before-erase"});
        const Result r = Answering(row.words, row.answer);
        EXPECT_EQ(r.code, row.exit) << r.out;
        EXPECT_EQ(r.out.find("Update without a backup?") != std::string::npos, *row.answer != 0) << r.out;
        const std::filesystem::path backups = dir_ / "state" / "backups";
        EXPECT_TRUE(!std::filesystem::exists(backups) || std::filesystem::is_empty(backups));
        if (row.exit != 0) {
            EXPECT_HAS(r.out, "run the update again");
            EXPECT_EQ(Answering({"--yes", "--no-backup"}, "").code, 0);
        }
        EXPECT_EQ(Firmware(), "V01L00R07");
    }
}

// The record of an update names its backup; the run that finishes it makes no other.
TEST_F(UpdateCommand, TheRecordNamesTheBackup) {
    Fault("drive", {"--fail-kind", "0x21"});
    const std::string kept = J(Update({"--yes", "--json"}), 1)["backup"].get<std::string>();
    EXPECT_HAS(ReadText(Record()), "\nbackup=" + kept + "\n");
    Fault("drive", {"--clear"});
    EXPECT_FALSE(J(Update({"--yes", "--json"}), 0).contains("backup"));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_ / "state" / "backups"),
                            std::filesystem::directory_iterator()), 2);
}

// Neither writes the flash or leaves a record; verify finds the first changed byte of the firmware.
TEST_F(UpdateCommand, BackupAndVerifyReadTheFlashAndChangeNothing) {
    for (int generation : {1, 2}) {
        SCOPED_TRACE(generation);
        Reset(generation, true);
        const std::vector<std::uint8_t> before = Flash();
        const Result kept = Read({"backup", "--json", "-o", (dir_ / "copy.bin").string()});
        // The flash as far as the block says it goes.
        const std::vector<std::uint8_t> bytes = ReadBytes(J(kept, 0)["backup"].get<std::string>());
        EXPECT_EQ(bytes.size(), generation == 1 ? 65536u : 131072u);
        EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), before.begin()));
        EXPECT_EQ(ReadBytes(dir_ / "copy.bin"), bytes);
        EXPECT_EQ(Flash(), before);
        const std::string backup = J(Update({"--yes", "--json"}), 0)["backup"].get<std::string>();
        const std::vector<std::uint8_t> after = Flash();
        std::uint32_t changed = 8192;  // the firmware's first changed byte
        while (changed < after.size() && after[changed] == before[changed]) ++changed;
        const struct { std::vector<std::string> against; int code; nlohmann::json firmwareDifference; }
            rows[] = {{{}, 0, nullptr}, {{"--against", backup}, 5, changed}};
        for (const auto& row : rows) {
            std::vector<std::string> words = {"verify", "--json", "--image-dir", (dir_ / "images").string()};
            words.insert(words.end(), row.against.begin(), row.against.end());
            const nlohmann::json j = J(Read(words), row.code);
            for (const nlohmann::json& region : j["regions"]) {
                if (row.code == 0 || region["name"] == "firmware") {
                    EXPECT_EQ(region["firstDifference"], row.firmwareDifference) << j;
                }
            }
            EXPECT_EQ(Flash(), after);
        }
        EXPECT_FALSE(std::filesystem::exists(Record()));
    }
}

// A read that fails brings the drive back; one that cannot, or is stopped in the loader, keeps the
// record for the next run (an update's record is refused). The flash stays as it was.
TEST_F(UpdateCommand, AReadThatFailsOrStopsLeavesTheDriveBackOrFinishable) {
    const std::filesystem::path drive = dir_ / "bus" / "drive";
    // A fault of the drive, or the output after which the run is stopped.
    const struct {
        std::vector<std::string> fault; const char* signalAfter; int code; const char* cause; bool inLoader;
    } rows[] = {{{"--refuse-read-before-erase"}, nullptr, 1, "refused to read its flash", false},
                {{"--return-in-loader"}, nullptr, 1, "did not come back", true},
                {{}, "waiting for the bridge to return", 4, "run the same command again", true}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.cause);
        Reset();
        const std::vector<std::uint8_t> before = Flash();
        if (row.signalAfter) {
            // A loader slow to appear: the run waits for it long enough to be stopped.
            std::string state = ReadText(drive / "drive.state");
            state.replace(state.find("restart-delay-ms=3000"), 21, "restart-delay-ms=40000");
            WriteText(drive / "drive.state", state);
        } else {
            Fault("drive", row.fault);
        }
        // The loader's 40 s take 1.6 s here, time enough for the signal on a busy machine.
        ProgramSetting setting = row.signalAfter ? StopAfter(row.signalAfter) : ProgramSetting{};
        if (row.signalAfter) setting.environment = {{"MOX3_TIME_SCALE", "25"}};
        ExpectEnd(Read({"backup"}, setting), row.code, "", row.cause);
        // Stopped while it restarted: it comes back in its loader.
        const EmulatedDriveView left = View(drive);
        EXPECT_EQ(left.loader || left.bus == EmulatedBus::Restarting, row.inLoader);
        EXPECT_EQ(std::filesystem::exists(Record()), row.inLoader);
        EXPECT_EQ(Flash(), before);
        if (!row.inLoader) continue;
        Fault("drive", {"--clear"});
        const std::string text = ReadText(Record());
        std::string update = text;
        WriteText(Record(), update.erase(update.find("read-only=1\n"), 12));
        ExpectEnd(Read({"verify", "--image-dir", (dir_ / "images").string()}), 1, "",
                  "finish it with the update command");
        WriteText(Record(), text);
        EXPECT_EQ(Read({"backup"}).code, 0);
        EXPECT_FALSE(View(drive).loader);
        EXPECT_FALSE(std::filesystem::exists(Record()));
        EXPECT_EQ(Flash(), before);
    }
}

// Restoring an update's backup undoes it; the restore's own backup leaves the one restored.
TEST_F(UpdateCommand, RestoringTheUpdatesBackupUndoesIt) {
    const std::filesystem::path backups = dir_ / "state" / "backups";
    Reset(1, true);
    const std::vector<std::uint8_t> before = Flash();
    // The oldest of six backups of the drive.
    const std::string backup = (backups / (kSerial + "-20200101T000000Z.bin")).string();
    std::filesystem::path kept = J(Update({"--yes", "--json"}), 0)["backup"].get<std::string>();
    std::filesystem::rename(kept, backup);
    std::filesystem::rename(kept.replace_extension(".json"),
                            backups / (kSerial + "-20200101T000000Z.json"));
    for (const char* day : {"02", "03", "04", "05"}) {
        WriteBytes(backups / (kSerial + "-202001" + day + "T000000Z.bin"), {1});
    }
    const nlohmann::json j = J(Restore({backup, "--yes", "--json"}), 0);
    EXPECT_EQ(j["driveState"], "restored");
    EXPECT_NE(j["flashBackup"], backup);
    const std::size_t size = ReadBytes(backup).size();  // still there
    EXPECT_TRUE(std::equal(before.begin(), before.begin() + size, Flash().begin()));
    EXPECT_FALSE(std::filesystem::exists(Record()));
    EXPECT_EQ(Read({"verify", "--against", backup}).code, 0);
    // The drive keeps the block length it has, whatever the backup's, and says so.
    SwitchTo4096ByteBlocks(dir_ / "bus" / "drive");
    const Result r = Restore({backup, "--yes"});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_HAS(r.out + r.err, "the backup records 512-byte blocks; the drive keeps the 4096-byte blocks");
    EXPECT_EQ(View(dir_ / "bus" / "drive").logicalBlockLength, 4096u);
}

// A backup that does not fit is refused; another drive's only after a question --json cannot answer.
TEST_F(UpdateCommand, RestoreRefusesWhatDoesNotFit) {
    const std::filesystem::path kept = J(Update({"--yes", "--json"}), 0)["backup"].get<std::string>();
    const std::string backup = kept.string(), damaged = (dir_ / "damaged.bin").string();
    std::filesystem::copy(std::filesystem::path(kept).replace_extension(".json"), damaged + ".json");
    std::vector<std::uint8_t> bytes = ReadBytes(kept);
    bytes[5000] ^= 1;
    WriteBytes(damaged, bytes);
    const std::string other = "serial number 4A3F0012B7C4D9E1, not of this drive with serial number BBBB000000000002";
    const std::set<std::string> codes(RestoreErrorCodes().begin(), RestoreErrorCodes().end());
    // The drive attached, the restore's words and answer, its exit code, error code (with --json,
    // else "") and what it says.
    const struct {
        int generation; const char* serial; std::vector<std::string> words; const char* answer; int exit;
        const char* code; std::string said;
    } rows[] = {
        {2, "4A3F0012B7C4D9E1", {damaged, "--yes", "--json"}, "", 1, "backup-damaged", "SHA-256"},
        {1, "4A3F0012B7C4D9E1", {backup, "--yes", "--json"}, "", 1, "generation-mismatch", "generation 2 bridge"},
        {2, "BBBB000000000002", {backup, "--yes", "--json"}, "", 1, "serial-mismatch", "--other-drive"},
        {2, "BBBB000000000002", {backup, "--other-drive", "--yes", "--json"}, "", 2, "usage",
         "does not go with --json"},
        {2, "BBBB000000000002", {backup, "--other-drive", "--yes"}, "n\n", 3, "", other},
        {2, "BBBB000000000002", {backup, "--other-drive"}, "y\n", 0, "", other},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.words[1] + " " + row.serial + " " + std::to_string(row.exit));
        std::filesystem::remove_all(dir_ / "bus");
        Drive(row.generation, row.serial, "drive");
        const Result r = Restore(row.words, row.answer);
        EXPECT_EQ(r.code, row.exit) << r.out << r.err;
        EXPECT_HAS(r.out + r.err, row.said);
        if (*row.code) {
            EXPECT_EQ(J(r)["error"]["code"], row.code);
            EXPECT_TRUE(codes.count(row.code)) << row.code;
        }
        // Only the accepted one wrote the drive: it is the backup's drive now.
        EXPECT_EQ(Utf16ToUtf8(View(dir_ / "bus" / "drive").usb.serialNumber),
                  row.exit == 0 ? kSerial : row.serial);
    }
}

}  // namespace
}  // namespace mox3::test
