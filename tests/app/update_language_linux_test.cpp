// The update's question answered in the user's language: the real program on an emulated
// drive, the language from --lang or from the environment, the answer on standard input.
#include <gtest/gtest.h>

#include "bridge/firmware_image.h"
#include "app/program_run_linux.h"
#include "emulator/emulator_fixture.h"

namespace mox3::test {
namespace {

class UpdateInLanguage : public EmulatorTest {
  protected:
    void SetUp() override {
        std::string why;
        std::filesystem::create_directories(dir_ / "images");
        WriteBytes(dir_ / "images" / "firmware_C311.bin",
                   MakeSampleImage({2, "01000700", 30000, 7}, &why));
        MakeProgrammedDrive(2, "01000500", "4A3F0012B7C4D9E1", {}, "bus/drive");
    }

    // Runs `update` with `words`, `answer` on standard input and LANG set to `locale`; the
    // exit code, standard output and standard error in `out`.
    int Update(const std::vector<std::string>& words, const std::string& answer,
               const std::string& locale = "C", std::string* out = nullptr) {
        std::vector<std::string> args = {"--emulator", (dir_ / "bus").string(),
                                         "update", "--image-dir", (dir_ / "images").string(),
                                         "--state-dir", (dir_ / "state").string()};
        args.insert(args.end(), words.begin(), words.end());
        WriteBytes(dir_ / "answer.txt", std::vector<std::uint8_t>(answer.begin(), answer.end()));
        ProgramSetting setting;
        setting.input = dir_ / "answer.txt";
        setting.environment = {{"MOX3_TIME_SCALE", "500"}, {"LANG", locale}};
        setting.unset = {"LC_ALL", "LC_MESSAGES"};
        setting.errorsWithOutput = true;
        ProgramResult r = RunProgram(args, dir_.path(), setting);
        if (out) *out = r.out;
        return r.code;
    }

    std::string Firmware() { return View(dir_ / "bus" / "drive").firmwareVersion; }
};

TEST_F(UpdateInLanguage, GermanAnswersDecide) {
    std::string out;
    // "nein", and an English answer the German question does not take as yes, decline.
    EXPECT_EQ(Update({"--lang", "de"}, "nein\n", "C", &out), 3) << out;
    EXPECT_EQ(Update({"--lang", "de"}, "jo\n", "C", &out), 3) << out;
    EXPECT_EQ(Firmware(), "V01L00R05");
    // --lang outranks an environment of another language.
    EXPECT_EQ(Update({"--lang", "de"}, "Ja\r\n", "fr_FR.UTF-8", &out), 0) << out;
    EXPECT_EQ(Firmware(), "V01L00R07");
}

TEST_F(UpdateInLanguage, TheEnvironmentChoosesTheYesWord) {
    std::string out;
    // "ja" is no answer of a French question; "oui" is.
    EXPECT_EQ(Update({}, "ja\n", "fr_FR.UTF-8", &out), 3) << out;
    EXPECT_EQ(Firmware(), "V01L00R05");
    EXPECT_EQ(Update({}, "\xd0\x94\xd0\x90\n", "ru_RU.UTF-8", &out), 0) << out;  // ДА
    EXPECT_EQ(Firmware(), "V01L00R07");
}

TEST_F(UpdateInLanguage, TheEndOfTheInputDeclines) {
    std::string out;
    EXPECT_EQ(Update({"--lang", "ja"}, "", "C", &out), 3) << out;
    EXPECT_EQ(Firmware(), "V01L00R05");
}

}  // namespace
}  // namespace mox3::test
