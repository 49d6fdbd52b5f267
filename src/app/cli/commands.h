// The subcommands of the command-line program. Each returns the process exit code.
#pragma once

#include <functional>
#include <ostream>
#include <span>
#include <string>
#include <string_view>

namespace mox3 {

using Args = std::span<const std::string>;

struct Session;

// Exit codes shared by every subcommand.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;
// Nothing to do: the drive is up to date, the user declined, or a check found no update.
inline constexpr int kExitNothingToDo = 3;
// The run was interrupted by a signal (after it finished what it could not leave half done).
inline constexpr int kExitInterrupted = 4;
// verify: the flash was read, and differs from what it was compared with.
inline constexpr int kExitDiffers = 5;

// The commands that reach drives, or wait, do it through the session the front end made.
int RunCompileCommand(Args args, std::ostream& out, std::ostream& err);
int RunImageCommand(Args args, std::ostream& out, std::ostream& err);
int RunDecodeCommand(Args args, std::ostream& out, std::ostream& err);
int RunResourceCommand(Args args, std::ostream& out, std::ostream& err);
int RunBridgeCommand(const Session& session, Args args, std::ostream& out, std::ostream& err);
int RunEmulatorCommand(const Session& session, Args args, std::ostream& out, std::ostream& err);
int RunListCommand(const Session& session, Args args, std::ostream& out, std::ostream& err);
int RunUpdateCommand(const Session& session, Args args, std::ostream& out, std::ostream& err);
int RunRestoreCommand(const Session& session, Args args, std::ostream& out, std::ostream& err);
int RunDemoCommand(const Session& session, Args args, std::ostream& out, std::ostream& err);
int RunBackupCommand(const Session& session, Args args, std::ostream& out, std::ostream& err);
int RunVerifyCommand(const Session& session, Args args, std::ostream& out, std::ostream& err);

// Every `error.code` the update command's JSON can carry.
std::span<const std::string_view> UpdateErrorCodes();
// Every `error.code` the restore command's JSON can carry.
std::span<const std::string_view> RestoreErrorCodes();

class HostServices;

// The records of unfinished updates the host keeps (one per drive, or the one record where the
// platform keeps one): each with its serial number, port, ids, product, generation,
// configuration file, block length, digest and time, as text or as one JSON object of the
// command "update --records". kExitOk, also when there are none.
int ListUpdateRecords(HostServices& host, bool json, std::ostream& out, std::ostream& err);

class Prompts;

// Asks `question` on `out` with the English answer letters; true when the line read from
// `prompts` means yes in English or in the environment's language.
bool AskOnTerminal(std::ostream& out, Prompts& prompts, const std::string& question);

// Asks a yes-or-no question; true for yes.
using AskYesNo = std::function<bool(const std::string& question)>;

// Removes the record of the drive with `serial` after asking (`yes` asks nothing; with `json`
// nothing is ever asked, so it needs `yes`): kExitOk when it is gone, kExitNothingToDo when the
// user declines, kExitFailed when there is no such record or it stays. `ask` defaults to
// AskOnTerminal with the system's prompts.
int ForgetUpdateRecord(HostServices& host, const std::u16string& serial, bool yes, bool json,
                       std::ostream& out, std::ostream& err, const AskYesNo& ask = {});

}  // namespace mox3
