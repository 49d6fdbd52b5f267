// The subcommands of the command-line program. Each returns the process exit code.
#pragma once

#include <ostream>
#include <span>
#include <string>

namespace mox3 {

using Args = std::span<const std::string>;

// Exit codes shared by every subcommand.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;
// Nothing to do: the drive is up to date, the user declined, or a check found no update.
inline constexpr int kExitNothingToDo = 3;
// The run was interrupted by a signal (after it finished what it could not leave half done).
inline constexpr int kExitInterrupted = 4;

int RunCompileCommand(Args args, std::ostream& out, std::ostream& err);
int RunImageCommand(Args args, std::ostream& out, std::ostream& err);
int RunDecodeCommand(Args args, std::ostream& out, std::ostream& err);
int RunResourceCommand(Args args, std::ostream& out, std::ostream& err);
int RunBridgeCommand(Args args, std::ostream& out, std::ostream& err);
int RunEmulatorCommand(Args args, std::ostream& out, std::ostream& err);
int RunListCommand(Args args, std::ostream& out, std::ostream& err);
int RunUpdateCommand(Args args, std::ostream& out, std::ostream& err);
int RunDemoCommand(Args args, std::ostream& out, std::ostream& err);

}  // namespace mox3
