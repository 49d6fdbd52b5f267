// The few operating-system services the portable code needs: durable files, a folder lock,
// a private temporary folder, and facts about the process.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace mox3 {

// Creates or truncates `file`, writes `data` whole and flushes it to the disk.
bool WriteFileDurably(const std::filesystem::path& file, std::string_view data, std::string* error);
// Puts `from` in the place of `to`, replacing a file there, in one step.
bool MoveIntoPlace(const std::filesystem::path& from, const std::filesystem::path& to,
                   std::string* error);
// Flushes a folder's entries, where the platform has such a thing.
void SyncFolder(const std::filesystem::path& dir);
// A new folder under the system's temporary folder, open to this user only; empty with `error`
// set when none could be made.
std::filesystem::path MakeTempFolder(std::string_view prefix, std::string* error);

// An exclusive lock on a file, waited for and held for the object's lifetime; other processes
// taking the same lock wait.
class FileLock {
  public:
    explicit FileLock(const std::filesystem::path& file);
    ~FileLock();
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;
    bool held() const { return held_; }
    const std::string& error() const { return error_; }

  private:
    std::intptr_t handle_ = -1;
    bool held_ = false;
    std::string error_;
};

// A text in the system's ANSI code page, '?' for what it cannot show (Windows-1252 where the
// system has no such code page).
std::string ToSystemAnsi(std::u16string_view text);

// A path from UTF-8 text: on Windows through UTF-16, so that names outside the ANSI code page
// survive.
std::filesystem::path Utf8Path(std::string_view text);

// The program's arguments as UTF-8 texts, the program's name left out: on Windows from the
// UTF-16 command line, since `argv` holds only what the ANSI code page can show.
std::vector<std::string> ProgramArguments(int argc, char** argv);

// Whether this process may send a drive the commands that write its flash; when not, `why`
// says what is missing and how to get it. On Linux that takes CAP_SYS_RAWIO (the kernel lets
// no other process send WRITE BUFFER through SG_IO, whatever the device node allows); the
// Windows programs ask for elevation when they start.
bool MayWriteDrives(std::string* why);

// True when standard output is a terminal (or a console).
bool StdoutIsTerminal();

// Makes a console that standard output or standard error writes to show the program's UTF-8
// texts (on Windows: its output code page is UTF-8 until the process ends, then restored);
// pipes and files get the same bytes either way. Nothing to do elsewhere.
void PrepareConsoleForUtf8();

// One line of standard input as UTF-8, without its line end; false at the end of the input.
// On Windows a console is read as UTF-16 (whatever its code page), and a pipe or file is taken
// as UTF-8 when it is valid UTF-8, in the console's code page otherwise.
bool ReadInputLine(std::string* line);

// Ends the process at once, without running any clean-up, as a power failure would.
[[noreturn]] void KillProcessNow();

// Interruptions by the user (Ctrl-C, and on Linux SIGTERM, SIGHUP and SIGQUIT) while a drive
// is being changed. Once installed, an interruption outside a protected stretch ends the
// process at once with `exitCode` after saying so on standard error; inside one it is only
// noted (and said once) and InterruptionArrived() tells the caller to exit when the stretch is
// over. Writing to a terminal or pipe that went away no longer ends the process either.
void InstallInterruptionHandling(int exitCode);
// What an interruption that ends the process at once also writes to standard output (one
// JSON object, for a caller that reads it); nothing when empty.
void SetInterruptionOutput(const std::string& text);
// On Linux a protected stretch also defers SIGUSR1, SIGUSR2, SIGALRM, SIGVTALRM and SIGPROF
// (those the process does not ignore) in the same way, and ignores the terminal's stops
// (SIGTSTP, SIGTTIN, SIGTTOU); when it ends, they have again what they had before.
void ProtectFromInterruptions(bool protect);
bool InterruptionArrived();

// While on, asks the system not to sleep, shut down or go idle (Linux: an inhibitor lock of
// systemd-logind, held until off; Windows: for the calling thread, which must be the one that
// turns it off again). Where the system has no such service, nothing happens.
void KeepSystemAwake(bool on);

}  // namespace mox3
