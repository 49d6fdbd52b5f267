// Stand-ins for the system services a command is handed: no answers, given rights, a
// console that installs nothing, and a state store that is never there.
#pragma once

#include <memory>
#include <string>

#include "app/session/session.h"

namespace mox3::test {

// The end of the input at once: every question goes unanswered.
struct NoAnswers : Prompts {
    bool ReadLine(std::string*) override { return false; }
};

struct GivenRights : Privileges {
    std::string refusal;  // empty: the drives may be written
    bool MayWriteDrives(std::string* why) override {
        if (why) *why = refusal;
        return refusal.empty();
    }
};

struct QuietConsole : Console {
    bool interrupted = false;
    bool awake = false;  // what KeepSystemAwake was last told
    bool StdoutIsTerminal() override { return false; }
    void PrepareForUtf8() override {}
    void InstallInterruptionHandling(int) override {}
    void SetInterruptionOutput(const std::string&) override {}
    void ProtectFromInterruptions(bool) override {}
    bool InterruptionArrived() override { return interrupted; }
    void KeepSystemAwake(bool on) override { awake = on; }
};

// Whatever reaches it fails without touching the system; `started` counts the tries.
struct NoStateStore : StateStore {
    int started = 0;
    std::unique_ptr<CliHost> StartHost(const HostOptions&, HostStartFailure* failure,
                                       std::string* error) override {
        return ++started, *failure = HostStartFailure::kStateFolder,
               *error = "no state folder in this test", nullptr;
    }
    std::unique_ptr<DriveReadersLock> ShareLock(const HostOptions&, bool* running,
                                                std::string* error) override {
        return ++started, *running = false, *error = "no lock in this test", nullptr;
    }
};

struct DoubleServices {
    std::shared_ptr<NoAnswers> prompts = std::make_shared<NoAnswers>();
    std::shared_ptr<GivenRights> rights = std::make_shared<GivenRights>();
    std::shared_ptr<QuietConsole> console = std::make_shared<QuietConsole>();
    std::shared_ptr<NoStateStore> state = std::make_shared<NoStateStore>();
    Services services() const { return {prompts, rights, console, state}; }
};

}  // namespace mox3::test
