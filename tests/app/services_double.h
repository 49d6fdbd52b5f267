// Stand-ins for the system services a command is handed: scripted answers, given rights, a
// console that only notes what it was asked, and a state store that is never there.
#pragma once

#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "app/session/session.h"

namespace mox3::test {

struct ScriptedPrompts : Prompts {
    std::deque<std::string> answers;  // one line each; then the end of the input
    int asked = 0;
    bool ReadLine(std::string* line) override {
        ++asked;
        if (answers.empty()) return false;
        *line = answers.front();
        answers.pop_front();
        return true;
    }
};

struct GivenRights : Privileges {
    std::string refusal;  // empty: the drives may be written
    bool MayWriteDrives(std::string* why) override {
        if (!refusal.empty() && why) *why = refusal;
        return refusal.empty();
    }
};

struct NotingConsole : Console {
    bool terminal = false;
    bool interrupted = false;
    std::vector<std::string> calls;  // "protect 1", "awake 0", "install 4", ...
    bool StdoutIsTerminal() override { return terminal; }
    void PrepareForUtf8() override { calls.push_back("utf8"); }
    void InstallInterruptionHandling(int code) override { Note("install", code); }
    void SetInterruptionOutput(const std::string& text) override { Note("output", !text.empty()); }
    void ProtectFromInterruptions(bool on) override { Note("protect", on); }
    bool InterruptionArrived() override { return interrupted; }
    void KeepSystemAwake(bool on) override { Note("awake", on); }
    void Note(const char* what, int value) { calls.push_back(std::string(what) + " " + std::to_string(value)); }
};

// A store whose folder can never be had: whatever reaches it fails without touching the system.
struct NoStateStore : StateStore {
    int started = 0;
    std::unique_ptr<CliHost> StartHost(const HostOptions&, HostStartFailure* failure,
                                       std::string* error) override {
        ++started;
        *failure = HostStartFailure::kStateFolder;
        *error = "no state folder in this test";
        return nullptr;
    }
    std::unique_ptr<DriveReadersLock> ShareLock(const HostOptions&, bool* running,
                                                std::string* error) override {
        ++started;
        *running = false;
        *error = "no lock in this test";
        return nullptr;
    }
};

// Services made of the doubles above, each reachable for its settings.
struct DoubleServices {
    std::shared_ptr<ScriptedPrompts> prompts = std::make_shared<ScriptedPrompts>();
    std::shared_ptr<GivenRights> rights = std::make_shared<GivenRights>();
    std::shared_ptr<NotingConsole> console = std::make_shared<NotingConsole>();
    std::shared_ptr<NoStateStore> state = std::make_shared<NoStateStore>();
    Services services() const { return {prompts, rights, console, state}; }
};

}  // namespace mox3::test
