#include <io.h>
#include <windows.h>
#include <shellapi.h>

#include <algorithm>
#include <cstring>
#include <cstdio>
#include <cstdlib>
#include <iostream>

#include "base/text.h"
#include "platform/console_control_windows.h"
#include "platform/platform.h"
#include "platform/windows_error.h"

namespace mox3 {

namespace fs = std::filesystem;

namespace {


}  // namespace

bool WriteFileDurably(const fs::path& file, std::string_view data, std::string* error) {
    HANDLE h = CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        if (error) *error = LastErrorText("cannot create " + file.string());
        return false;
    }
    std::size_t done = 0;
    while (done < data.size()) {
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(data.size() - done, 1 << 20));
        DWORD written = 0;
        if (!WriteFile(h, data.data() + done, chunk, &written, nullptr) || written == 0) {
            if (error) *error = LastErrorText("cannot write " + file.string());
            CloseHandle(h);
            return false;
        }
        done += written;
    }
    if (!FlushFileBuffers(h)) {
        if (error) *error = LastErrorText("cannot flush " + file.string());
        CloseHandle(h);
        return false;
    }
    CloseHandle(h);
    return true;
}

bool MoveIntoPlace(const fs::path& from, const fs::path& to, std::string* error) {
    if (!MoveFileExW(from.c_str(), to.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        if (error) *error = LastErrorText("cannot replace " + to.string());
        return false;
    }
    return true;
}

void SyncFolder(const fs::path&) {}  // a rename written through is durable

fs::path MakeTempFolder(std::string_view prefix, std::string* error) {
    std::error_code ec;
    fs::path base = fs::temp_directory_path(ec);
    if (ec) {
        if (error) *error = "there is no temporary folder";
        return {};
    }
    const unsigned long seed = GetCurrentProcessId() ^ GetTickCount();
    for (unsigned long attempt = 0; attempt < 100; ++attempt) {
        char name[32];
        std::snprintf(name, sizeof name, "%08lx", (seed * 2654435761UL + attempt) & 0xFFFFFFFFUL);
        fs::path dir = base / (std::string(prefix) + name);
        // The folder inherits the user's temporary folder's protection.
        if (CreateDirectoryW(dir.c_str(), nullptr)) return dir;
        if (GetLastError() != ERROR_ALREADY_EXISTS) break;
    }
    if (error) *error = LastErrorText("cannot create a temporary folder in " + base.string());
    return {};
}

FileLock::FileLock(const fs::path& file) {
    HANDLE h =
        CreateFileW(file.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        error_ = LastErrorText("cannot open " + file.string());
        return;
    }
    OVERLAPPED at{};
    if (!LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &at)) {
        error_ = LastErrorText("cannot lock " + file.string());
        CloseHandle(h);
        return;
    }
    handle_ = reinterpret_cast<std::intptr_t>(h);
    held_ = true;
}

FileLock::~FileLock() {
    if (held_) CloseHandle(reinterpret_cast<HANDLE>(handle_));  // releases the lock
}

std::string ToSystemAnsi(std::u16string_view text) {
    if (text.empty()) return {};
    const auto* wide = reinterpret_cast<const wchar_t*>(text.data());
    const int units = static_cast<int>(text.size());
    int n = WideCharToMultiByte(CP_ACP, 0, wide, units, nullptr, 0, nullptr, nullptr);
    if (n <= 0) return ToAnsi(text);
    std::string out(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(CP_ACP, 0, wide, units, out.data(), n, nullptr, nullptr);
    return out;
}

bool MayWriteDrives(std::string*) {
    return true;
}

std::filesystem::path Utf8Path(std::string_view text) {
    return std::filesystem::path(Utf8ToUtf16(text));
}

std::vector<std::string> ProgramArguments(int argc, char** argv) {
    int count = 0;
    LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (wide == nullptr) {
        return std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + (argc > 0 ? argc : 0));
    }
    std::vector<std::string> arguments;
    for (int i = 1; i < count; ++i) {
        const std::wstring_view word(wide[i]);
        arguments.push_back(Utf16ToUtf8(std::u16string(word.begin(), word.end())));
    }
    LocalFree(wide);
    return arguments;
}

namespace {
UINT g_consoleOutputCodePage = 0;
void RestoreConsoleCodePage() {
    if (g_consoleOutputCodePage != 0) SetConsoleOutputCP(g_consoleOutputCodePage);
}
}  // namespace

void PrepareConsoleForUtf8() {
    DWORD mode = 0;
    bool console = false;
    for (DWORD which : {STD_OUTPUT_HANDLE, STD_ERROR_HANDLE}) {
        HANDLE h = GetStdHandle(which);
        if (h != nullptr && h != INVALID_HANDLE_VALUE && GetConsoleMode(h, &mode)) console = true;
    }
    if (!console || g_consoleOutputCodePage != 0) return;
    const UINT before = GetConsoleOutputCP();
    if (before == CP_UTF8 || !SetConsoleOutputCP(CP_UTF8)) return;
    g_consoleOutputCodePage = before;
    std::atexit(RestoreConsoleCodePage);
}

bool StdoutIsTerminal() {
    return _isatty(_fileno(stdout)) != 0;
}

bool ReadInputLine(std::string* line) {
    line->clear();
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode = 0;
    if (in != nullptr && in != INVALID_HANDLE_VALUE && GetConsoleMode(in, &mode)) {
        // The console hands out UTF-16 whatever its code page: no letter is lost on the way.
        std::u16string typed;
        wchar_t buffer[256];
        while (typed.find(u'\n') == std::u16string::npos) {
            DWORD got = 0;
            if (!ReadConsoleW(in, buffer, 256, &got, nullptr) || got == 0) {
                if (typed.empty()) return false;
                break;
            }
            typed.append(reinterpret_cast<const char16_t*>(buffer), got);
        }
        typed = typed.substr(0, typed.find(u'\n'));
        if (!typed.empty() && typed.back() == u'\r') typed.pop_back();
        *line = Utf16ToUtf8(typed);
        return true;
    }
    std::string bytes;
    if (!std::getline(std::cin, bytes)) return false;
    if (!bytes.empty() && bytes.back() == '\r') bytes.pop_back();
    if (Utf16ToUtf8(Utf8ToUtf16(bytes)) == bytes) {
        *line = bytes;
        return true;
    }
    // Not UTF-8: what a program of the console's code page writes into a pipe.
    UINT codePage = GetConsoleCP();
    if (codePage == 0) codePage = CP_ACP;
    const int size = static_cast<int>(bytes.size());
    const int units = MultiByteToWideChar(codePage, 0, bytes.data(), size, nullptr, 0);
    if (units <= 0) {
        *line = bytes;
        return true;
    }
    std::u16string wide(static_cast<std::size_t>(units), u'\0');
    MultiByteToWideChar(codePage, 0, bytes.data(), size, reinterpret_cast<wchar_t*>(wide.data()),
                        units);
    *line = Utf16ToUtf8(wide);
    return true;
}

ConsoleEventAnswer AnswerConsoleEvent(DWORD event, bool driveAtRisk) {
    switch (event) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
            return driveAtRisk ? ConsoleEventAnswer::Defer : ConsoleEventAnswer::EndNow;
        case CTRL_CLOSE_EVENT:
        case CTRL_LOGOFF_EVENT:
        case CTRL_SHUTDOWN_EVENT:
            return driveAtRisk ? ConsoleEventAnswer::HoldUntilSafe : ConsoleEventAnswer::PassOn;
        default:
            return ConsoleEventAnswer::PassOn;
    }
}

namespace {

volatile LONG protectedStretch = 0;
volatile LONG interrupted = 0;
int interruptedExitCode = 4;
// Written by the handler as it stands: the length is cleared while the text changes.
char interruptionOutput[1024];
volatile LONG interruptionOutputLength = 0;
// Set while no drive is at risk; a handler holding an event waits for it.
HANDLE driveSafe = nullptr;

void NoteDeferredInterruption() {
    if (InterlockedExchange(&interrupted, 1) == 0) {
        std::fputs(
            "\ninterruption deferred: the drive is being written; the update finishes "
            "first, then the program ends\n",
            stderr);
    }
}

BOOL WINAPI OnConsoleControl(DWORD event) {
    switch (AnswerConsoleEvent(event, protectedStretch != 0)) {
        case ConsoleEventAnswer::PassOn:
            return FALSE;
        case ConsoleEventAnswer::EndNow:
            std::fputs("\ninterrupted: nothing was sent to the drive that needs finishing\n",
                       stderr);
            if (const LONG length = interruptionOutputLength) {
                std::fwrite(interruptionOutput, 1, static_cast<std::size_t>(length), stdout);
                std::fflush(stdout);
            }
            std::_Exit(interruptedExitCode);
        case ConsoleEventAnswer::Defer:
            NoteDeferredInterruption();
            return TRUE;
        case ConsoleEventAnswer::HoldUntilSafe:
            // This handler runs on a thread of its own; the update goes on meanwhile. Once the
            // drive is safe the system's handler ends the process.
            NoteDeferredInterruption();
            if (driveSafe != nullptr) WaitForSingleObject(driveSafe, INFINITE);
            return FALSE;
    }
    return FALSE;
}

}  // namespace

void SetInterruptionOutput(const std::string& text) {
    InterlockedExchange(&interruptionOutputLength, 0);
    const std::size_t length = std::min(text.size(), sizeof interruptionOutput);
    std::memcpy(interruptionOutput, text.data(), length);
    InterlockedExchange(&interruptionOutputLength, static_cast<LONG>(length));
}

void InstallInterruptionHandling(int exitCode) {
    interruptedExitCode = exitCode;
    if (driveSafe == nullptr) {
        driveSafe = CreateEventW(nullptr, TRUE, protectedStretch == 0, nullptr);
    }
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

void ProtectFromInterruptions(bool protect) {
    InterlockedExchange(&protectedStretch, protect ? 1 : 0);
    KeepSystemAwake(protect);
    if (driveSafe != nullptr) {
        if (protect) {
            ResetEvent(driveSafe);
        } else {
            SetEvent(driveSafe);
        }
    }
}

bool InterruptionArrived() {
    return interrupted != 0;
}

void KeepSystemAwake(bool on) {
    // The state belongs to the calling thread and holds until it calls again or ends.
    SetThreadExecutionState(on ? ES_CONTINUOUS | ES_SYSTEM_REQUIRED : ES_CONTINUOUS);
}

void KillProcessNow() {
    TerminateProcess(GetCurrentProcess(), 137);
    std::_Exit(137);
}

std::string LastErrorText(const std::string& what, DWORD code) {
    char text[256] = {};
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             code, 0, text, sizeof text, nullptr);
    while (n > 0 && (text[n - 1] == '\n' || text[n - 1] == '\r' || text[n - 1] == '.')) {
        text[--n] = '\0';
    }
    return what + ": " + (n > 0 ? std::string(text) : "error " + std::to_string(code));
}

}  // namespace mox3
