// The system services a front end asks through objects it is handed rather than through the
// free functions of platform.h, so that a test can answer in the system's place: the user's
// answers to questions, the right to write drives, and the console with its interruptions.
#pragma once

#include <memory>
#include <string>

namespace mox3 {

// Where the answers to the program's questions come from.
class Prompts {
  public:
    virtual ~Prompts() = default;
    // One line of the answer, as ReadInputLine gives it; false at the end of the input.
    virtual bool ReadLine(std::string* line) = 0;
};

// Whether this process may send a drive the commands that write its flash (MayWriteDrives).
class Privileges {
  public:
    virtual ~Privileges() = default;
    virtual bool MayWriteDrives(std::string* why) = 0;
};

// The console the program writes to, and the interruptions and sleep it guards a drive from
// while it is changed (the functions of platform.h of the same names).
class Console {
  public:
    virtual ~Console() = default;
    virtual bool StdoutIsTerminal() = 0;
    virtual void PrepareForUtf8() = 0;
    virtual void InstallInterruptionHandling(int exitCode) = 0;
    virtual void SetInterruptionOutput(const std::string& text) = 0;
    virtual void ProtectFromInterruptions(bool protect) = 0;
    virtual bool InterruptionArrived() = 0;
    virtual void KeepSystemAwake(bool on) = 0;
};

// The system's own: standard input, the process's rights, the process's console.
std::shared_ptr<Prompts> SystemPrompts();
std::shared_ptr<Privileges> SystemPrivileges();
std::shared_ptr<Console> SystemConsole();

}  // namespace mox3
