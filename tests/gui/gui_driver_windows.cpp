// Drives the dialog program as a user would: starts it, finds its windows, reads their texts,
// presses their buttons, and reports what differed from what the user should have seen.
//
//   mox3_gui_driver update PROGRAM LANG CURRENT NEW   Start, "Complete", OK, the program ends;
//                                                     the session may not end during the run
//   mox3_gui_driver refuse PROGRAM LANG               Start, "Error" (no update needed), OK,
//                                                     the dialog stays; Exit ends the program
//   mox3_gui_driver second PROGRAM LANG               a second copy refuses, the first goes on
//   mox3_gui_driver show PROGRAM LANG                 prints the dialog's screen rectangle, waits
//                                                     for a line on stdin, then presses Exit
//
// LANG is the language id whose texts the dialog must show (hex, "0x0411"). The programs started
// inherit the environment. Exit code 0 when everything was as expected, 1 otherwise.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "app/run/strings.h"
#include "app/run/update_run.h"
#include "base/text.h"

namespace mox3 {
namespace {

// How long the program may take to show a window or to end.
constexpr DWORD kPatienceMs = 60000;
// How often the windows are looked at while waiting for one.
constexpr DWORD kLookEveryMs = 20;

int failures = 0;

void Fail(const std::string& what) {
    std::fprintf(stderr, "FAIL: %s\n", what.c_str());
    ++failures;
}

std::string Show(const std::u16string& text) {
    return "\"" + Utf16ToUtf8(text) + "\"";
}

void ExpectText(const std::string& what, const std::u16string& seen,
                const std::u16string& expected) {
    if (seen != expected) Fail(what + ": " + Show(seen) + ", expected " + Show(expected));
}

// A window's text; works across processes, for controls as well.
std::u16string TextOf(HWND window) {
    wchar_t buffer[1024] = {};
    DWORD_PTR length = 0;
    if (!SendMessageTimeoutW(window, WM_GETTEXT, 1024, reinterpret_cast<LPARAM>(buffer),
                             SMTO_ABORTIFHUNG, 5000, &length)) {
        return u"<no answer>";
    }
    return std::u16string(reinterpret_cast<const char16_t*>(buffer), length);
}

// A started copy of the program, ended when it goes out of scope if it still runs.
struct Program {
    explicit Program(const std::wstring& path) {
        std::wstring commandLine = L"\"" + path + L"\"";
        STARTUPINFOW startup = {};
        startup.cb = sizeof startup;
        started = CreateProcessW(path.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0,
                                 nullptr, nullptr, &startup, &info) != 0;
        if (!started) Fail("cannot start the program, error " + std::to_string(GetLastError()));
    }
    ~Program() {
        if (!started) return;
        TerminateProcess(info.hProcess, 99);  // fails harmlessly once it has ended
        WaitForSingleObject(info.hProcess, kPatienceMs);
        CloseHandle(info.hProcess);
        CloseHandle(info.hThread);
    }
    PROCESS_INFORMATION info = {};
    bool started = false;
};

// Waits for the program to end with code 0 (-1: it did not end in time); `who` is named if not.
void ExpectEnd(Program& program, const std::string& who) {
    DWORD code = 0;
    const bool ended = program.started &&
                       WaitForSingleObject(program.info.hProcess, kPatienceMs) == WAIT_OBJECT_0 &&
                       GetExitCodeProcess(program.info.hProcess, &code);
    if (!ended || code != 0)
        Fail(who + " ended with " + std::to_string(ended ? static_cast<long>(code) : -1L));
}

// The program's visible dialog window (a message box is one too) with this caption now.
HWND FindDialog(const Program& program, const std::u16string& caption) {
    for (HWND window = FindWindowExW(nullptr, nullptr, L"#32770", nullptr); window != nullptr;
         window = FindWindowExW(nullptr, window, L"#32770", nullptr)) {
        DWORD processId = 0;
        GetWindowThreadProcessId(window, &processId);
        if (processId == program.info.dwProcessId && IsWindowVisible(window) &&
            TextOf(window) == caption) {
            return window;
        }
    }
    return nullptr;
}

// Waits, looking every `everyMs`, until `done` or the program's end; whether it is done.
template <typename Done>
bool WaitUntil(const Program& program, Done done, DWORD everyMs = kLookEveryMs) {
    const DWORD start = GetTickCount();
    while (!done() && GetTickCount() - start < kPatienceMs &&
           WaitForSingleObject(program.info.hProcess, everyMs) == WAIT_TIMEOUT) {
    }
    return done();
}

// The texts of a window's static controls that have one.
std::vector<std::u16string> StaticTexts(HWND window) {
    std::vector<std::u16string> texts;
    for (HWND control = FindWindowExW(window, nullptr, L"Static", nullptr); control != nullptr;
         control = FindWindowExW(window, control, L"Static", nullptr)) {
        if (!TextOf(control).empty()) texts.push_back(TextOf(control));
    }
    return texts;
}

// Waits for a visible dialog window of the program with this caption. A window captioned
// `otherCaption` instead, a message that the expected one will not come, ends the wait at once.
HWND WaitForWindow(const Program& program, const std::u16string& caption,
                   const std::u16string& otherCaption = u"") {
    HWND found = nullptr, other = nullptr;
    WaitUntil(program, [&] {
        found = FindDialog(program, caption);
        other = otherCaption.empty() ? nullptr : FindDialog(program, otherCaption);
        return found || other;
    });
    if (found) return found;
    std::string why = "no window " + Show(caption) + " appeared";
    if (other) {
        std::u16string said;
        for (const std::u16string& text : StaticTexts(other)) said += text;
        why += "; a window " + Show(otherCaption) + " saying " + Show(said) + " came instead";
    }
    Fail(why);
    return nullptr;
}

// The dialog's answer when the session is about to end (true: it may end); true as well when
// the dialog does not answer, which a test then sees as not held.
bool SessionMayEnd(HWND dialog) {
    DWORD_PTR answer = TRUE;
    return !SendMessageTimeoutW(dialog, WM_QUERYENDSESSION, 0, 0, SMTO_ABORTIFHUNG, 5000,
                                &answer) ||
           answer != FALSE;
}

// Checks a message box's owner and text, and presses its OK button.
void AnswerMessageBox(HWND box, HWND owner, const std::u16string& text) {
    if (box == nullptr) return;
    if (GetWindow(box, GW_OWNER) != owner) Fail("the message box has the wrong owner");
    const std::vector<std::u16string> texts = StaticTexts(box);
    ExpectText("message box text", texts.size() == 1 ? texts[0] : u"<not one text>", text);
    if (HWND ok = GetDlgItem(box, IDOK)) return static_cast<void>(PostMessageW(ok, BM_CLICK, 0, 0));
    Fail("the message box has no OK button");
}

// The program's dialog in the language expected.
HWND WaitForDialog(const Program& program, LanguageId lang) {
    return program.started ? WaitForWindow(program, LoadDialogText(DialogText::kTitle, lang))
                           : nullptr;
}

int Update(const std::wstring& path, LanguageId lang, const std::u16string& current,
           const std::u16string& fresh) {
    Program program(path);
    if (HWND dialog = WaitForDialog(program, lang)) {
        ExpectText("current firmware (1003)", TextOf(GetDlgItem(dialog, 1003)), current);
        ExpectText("new firmware (1004)", TextOf(GetDlgItem(dialog, 1004)), fresh);
        if (!SessionMayEnd(dialog)) Fail("the dialog holds the session up before any run");
        // Two Start commands in a row, as a double click queues them before the run disables
        // the button: one run, one message, and the program ends.
        PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
        PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
        // While the run writes the drive the session may not end; asked over and over until
        // the run has ended, the dialog must have said so at least once.
        const std::u16string complete = LoadTableString(kMsgComplete, lang);
        bool heldUp = false;
        WaitUntil(
            program,
            [&] {
                heldUp = heldUp || !SessionMayEnd(dialog);
                return FindDialog(program, complete) != nullptr;
            },
            0);
        HWND box = WaitForWindow(program, complete, LoadTableString(kMsgError, lang));
        if (box != nullptr) {
            if (!heldUp) Fail("the dialog never held the session up while the drive was written");
            if (!SessionMayEnd(dialog)) Fail("the dialog still holds the session up after the run");
            AnswerMessageBox(box, dialog, LoadTableString(kMsgCompleteText, lang));
            ExpectEnd(program, "the program");
            if (IsWindow(dialog)) Fail("the dialog is still there after the update");
        }
    }
    return failures == 0 ? 0 : 1;
}

int Refuse(const std::wstring& path, LanguageId lang) {
    Program program(path);
    if (HWND dialog = WaitForDialog(program, lang)) {
        PostMessageW(GetDlgItem(dialog, IDOK), BM_CLICK, 0, 0);
        HWND box = WaitForWindow(program, LoadTableString(kMsgError, lang),
                                 LoadTableString(kMsgComplete, lang));
        AnswerMessageBox(box, dialog, LoadTableString(kMsgNoUpdateNeeded, lang));
        if (box != nullptr) {
            // The refused run leaves the dialog open, ready for another try or for Exit: the run
            // enables both buttons once the box is gone.
            auto ready = [dialog] {
                return IsWindowEnabled(GetDlgItem(dialog, IDOK)) &&
                       IsWindowEnabled(GetDlgItem(dialog, IDCANCEL));
            };
            if (!WaitUntil(program, ready))
                Fail("Start and Exit are not enabled after the refusal");
            // The buttons come back a moment before the run's thread ends, and Exit does nothing
            // while it runs: pressed again, as a user would, until the program ends.
            WaitUntil(
                program,
                [dialog] { return !PostMessageW(GetDlgItem(dialog, IDCANCEL), BM_CLICK, 0, 0); },
                1000);
            ExpectEnd(program, "the program, after Exit,");
        }
    }
    return failures == 0 ? 0 : 1;
}

int Second(const std::wstring& path, LanguageId lang) {
    Program first(path);
    if (HWND dialog = WaitForDialog(first, lang)) {
        if (Program second(path); second.started) {
            HWND box = WaitForWindow(second, LoadTableString(kMsgError, lang));
            AnswerMessageBox(box, nullptr, LoadTableString(kMsgAlreadyRunning, lang));
            ExpectEnd(second, "the second copy");
        }
        if (!IsWindow(dialog)) Fail("the first copy's dialog went away");
        // No run has started: Exit closes the dialog.
        PostMessageW(GetDlgItem(dialog, IDCANCEL), BM_CLICK, 0, 0);
        ExpectEnd(first, "the first copy, after Exit,");
    }
    return failures == 0 ? 0 : 1;
}

int ShowDialog(const std::wstring& path, LanguageId lang) {
    Program program(path);
    if (HWND dialog = WaitForDialog(program, lang)) {
        // Painted whole before anyone looks: the paint messages go to the program now, and the
        // message after them returns only when it has handled them.
        RedrawWindow(dialog, nullptr, nullptr,
                     RDW_INVALIDATE | RDW_ERASE | RDW_FRAME | RDW_ALLCHILDREN | RDW_UPDATENOW);
        DWORD_PTR ignored = 0;
        SendMessageTimeoutW(dialog, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 5000, &ignored);
        RECT rect = {};
        GetWindowRect(dialog, &rect);
        std::cout << rect.left << ' ' << rect.top << ' ' << rect.right - rect.left << ' '
                  << rect.bottom - rect.top << std::endl;
        std::string line;
        std::getline(std::cin, line);
        PostMessageW(GetDlgItem(dialog, IDCANCEL), BM_CLICK, 0, 0);
        ExpectEnd(program, "the program, after Exit,");
    } else {
        std::cout << "none" << std::endl;
    }
    return failures == 0 ? 0 : 1;
}

int Usage() {
    std::fprintf(stderr,
                 "usage: mox3_gui_driver update|refuse|second|show PROGRAM LANG [CUR NEW]\n");
    return 2;
}

}  // namespace
}  // namespace mox3

int wmain(int argc, wchar_t** argv) {
    using namespace mox3;
    std::vector<std::u16string> args;
    for (int i = 1; i < argc; ++i) args.emplace_back(reinterpret_cast<const char16_t*>(argv[i]));
    if (args.size() < 3) return Usage();
    const std::wstring program(argv[2]);
    const auto lang =
        static_cast<LanguageId>(std::strtoul(Utf16ToUtf8(args[2]).c_str(), nullptr, 16));
    if (!HasLanguage(lang)) return Usage();
    if (args[0] == u"update" && args.size() == 5) return Update(program, lang, args[3], args[4]);
    if (args[0] == u"refuse" && args.size() == 3) return Refuse(program, lang);
    if (args[0] == u"second" && args.size() == 3) return Second(program, lang);
    if (args[0] == u"show" && args.size() == 3) return ShowDialog(program, lang);
    return Usage();
}
