#include "app/windows/win_main_windows.h"

#include <memory>
#include <optional>
#include <utility>
#include <string>

#include "app/run/host_windows.h"
#include "app/session/session.h"
#include "base/clock.h"
#include "base/text.h"

namespace mox3 {

namespace {

// Process-wide: the module whose resources hold dialog and texts, the session the drives are
// reached through, the last worker thread, the blink toggle and the versions that the
// inspection found and every run reads.
HINSTANCE moduleInstance = nullptr;
Session session;
HANDLE workerThread = nullptr;
DWORD workerThreadId = 0;
bool blinkToggle = true;
Versions versions;

std::u16string LoadText(int id) {
    return LoadModuleText(moduleInstance, id);
}

// The platform for the inspection and for one run: texts from this module, the images beside
// the program, the update switch from the program's command line.
std::unique_ptr<HostServices> MakeHost() {
    HostOptions options;
    options.texts = LoadText;
    options.clock = session.clock;
    options.devices = session.devices;
    return std::make_unique<WindowsHost>(options, true);
}

// The worker thread of one run.
DWORD WINAPI UpdateThread(LPVOID parameter) {
    DialogView view(static_cast<HWND>(parameter));
    auto host = MakeHost();
    UpdateWorker(view, *host, versions);
    return 0;
}

// True when no run has been started, or the last one has ended.
bool NoRunActive() {
    if (workerThread == nullptr) return true;
    DWORD code = 0;
    return !GetExitCodeThread(workerThread, &code) || code != STILL_ACTIVE;
}

// The progress bar class comes from the common-controls library, whose initialisation is
// exported by ordinal only. Unlike the other system libraries (LoadSystemLibrary), it is asked
// for by bare name on purpose: the program's manifest depends on the common controls version 6,
// so the loader takes a bare "COMCTL32.dll" from the system's side-by-side store, ahead of the
// program's folder; a path into the system folder would load the older version 5 instead.
void InitCommonControlsByOrdinal() {
    HMODULE library = LoadLibraryW(L"COMCTL32.dll");
    if (library == nullptr) return;
    FARPROC entry = GetProcAddress(library, MAKEINTRESOURCEA(17));
    if (entry == nullptr) return;
    using Init = void(WINAPI*)();
    reinterpret_cast<Init>(reinterpret_cast<void (*)()>(entry))();
}

}  // namespace

INT_PTR CALLBACK DialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_INITDIALOG: {
            DialogView view(dialog);
            auto host = MakeHost();
            if (InspectAtStartup(view, *host, versions)) {
                CenterWindow(dialog);
            } else {
                EndDialog(dialog, 1);
            }
            return TRUE;
        }
        case WM_COMMAND:
            if (LOWORD(wParam) == kStartButton) {
                // A Start that arrives while a run is active (a second click queued before the
                // run disabled the button) is ignored: one drive, one run.
                if (!NoRunActive()) return TRUE;
                // A new run replaces the handle of the last, which has ended by now.
                if (workerThread != nullptr) CloseHandle(workerThread);
                workerThread = CreateThread(nullptr, 0, UpdateThread, dialog, 0, &workerThreadId);
                return FALSE;
            }
            if (LOWORD(wParam) == kExitButton) {
                if (NoRunActive()) EndDialog(dialog, 0);
                return TRUE;
            }
            return FALSE;
        case WM_TIMER:
            ShowWindow(GetDlgItem(dialog, kStatusText), blinkToggle ? SW_HIDE : SW_SHOW);
            blinkToggle = !blinkToggle;
            return FALSE;
        case kRunFinishedMessage:
            // The run posts this as its last act: its thread is about to end.
            while (!NoRunActive()) session.clock->SleepMs(500);
            EndDialog(dialog, 1);
            return FALSE;
        case kDriveAtRiskMessage:
            HoldSession(dialog, wParam != 0, LoadText(kMsgInProgress), *session.services.console);
            return TRUE;
        case WM_QUERYENDSESSION:
            // While the drive is at risk the session waits: the answer goes back as the
            // dialog's message result.
            SetWindowLongPtrW(dialog, DWLP_MSGRESULT, SessionMayEnd(dialog) ? TRUE : FALSE);
            return TRUE;
        case WM_CTLCOLORSTATIC:
            // The texts of a right-to-left language read right to left; the colours and the
            // brush stay the dialog manager's (FALSE).
            ApplyReadingOrder(reinterpret_cast<HWND>(lParam), reinterpret_cast<HDC>(wParam));
            return FALSE;
        case WM_DESTROY:
            PostQuitMessage(0);
            return FALSE;
        default:
            return FALSE;
    }
}

int ProgramMain(HINSTANCE instance, Session drives) {
    moduleInstance = instance;
    session = std::move(drives);
    // Without the mutex (above all: another copy, of any user, holds it) nothing runs.
    const SingleInstance single = TakeSingleInstance();
    if (single.state != InstanceState::Only) {
        MessageBoxW(nullptr, Wide(LoadText(kMsgAlreadyRunning)).c_str(),
                    Wide(LoadText(kMsgError)).c_str(), MB_OK);
        return 0;
    }
    InitCommonControlsByOrdinal();
    DialogBoxParamW(instance, MAKEINTRESOURCEW(kDialogId), nullptr, DialogProc, 0);
    CloseHandle(single.mutex);
    return 0;
}

}  // namespace mox3

// The drives are the platform's, or the emulated drives of the folder in MOX3_EMULATOR (a
// testing aid; MOX3_TIME_SCALE speeds up the waits as well).
int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    using mox3::Narrow16;
    using mox3::Wide;
    wchar_t folder[MAX_PATH] = {};
    const DWORD length = GetEnvironmentVariableW(L"MOX3_EMULATOR", folder, MAX_PATH);
    std::string emulatorRoot;
    if (length > 0 && length < MAX_PATH) {
        emulatorRoot = mox3::Utf16ToUtf8(Narrow16(std::wstring_view(folder, length)));
    }
    std::string why;
    std::optional<mox3::Session> session = mox3::StartSession("", emulatorRoot, &why);
    if (!session) {
        MessageBoxW(nullptr, Wide(mox3::Utf8ToUtf16(why)).c_str(),
                    Wide(mox3::LoadModuleText(instance, mox3::kMsgError)).c_str(), MB_OK);
        return 0;
    }
    return mox3::ProgramMain(instance, std::move(*session));
}
