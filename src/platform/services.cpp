#include "platform/services.h"

#include "platform/platform.h"

namespace mox3 {

namespace {

class StandardInput : public Prompts {
  public:
    bool ReadLine(std::string* line) override { return ReadInputLine(line); }
};

class ProcessRights : public Privileges {
  public:
    bool MayWriteDrives(std::string* why) override { return mox3::MayWriteDrives(why); }
};

class ProcessConsole : public Console {
  public:
    bool StdoutIsTerminal() override { return mox3::StdoutIsTerminal(); }
    void PrepareForUtf8() override { PrepareConsoleForUtf8(); }
    void InstallInterruptionHandling(int exitCode) override {
        mox3::InstallInterruptionHandling(exitCode);
    }
    void SetInterruptionOutput(const std::string& text) override {
        mox3::SetInterruptionOutput(text);
    }
    void ProtectFromInterruptions(bool protect) override {
        mox3::ProtectFromInterruptions(protect);
    }
    bool InterruptionArrived() override { return mox3::InterruptionArrived(); }
    void KeepSystemAwake(bool on) override { mox3::KeepSystemAwake(on); }
};

}  // namespace

std::shared_ptr<Prompts> SystemPrompts() {
    static const auto prompts = std::make_shared<StandardInput>();
    return prompts;
}

std::shared_ptr<Privileges> SystemPrivileges() {
    static const auto rights = std::make_shared<ProcessRights>();
    return rights;
}

std::shared_ptr<Console> SystemConsole() {
    static const auto console = std::make_shared<ProcessConsole>();
    return console;
}

}  // namespace mox3
