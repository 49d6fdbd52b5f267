#include "app/windows/dialog_view_windows.h"

#include <commctrl.h>

namespace mox3 {

namespace {

const wchar_t* Wide(const std::u16string& text) {
    return reinterpret_cast<const wchar_t*>(text.c_str());
}

// The dialog's property that says a drive is at risk.
constexpr wchar_t kAtRiskProperty[] = L"mox3.driveAtRisk";

// The shutdown-block reason came with Windows Vista; on Windows XP there is none to give, and
// the answer to WM_QUERYENDSESSION is all.
template <typename Fn>
Fn* User32Entry(const char* name) {
    HMODULE user32 = GetModuleHandleW(L"user32.dll");
    FARPROC entry = user32 != nullptr ? GetProcAddress(user32, name) : nullptr;
    return reinterpret_cast<Fn*>(reinterpret_cast<void (*)()>(entry));
}
using BlockReasonCreate = BOOL WINAPI(HWND, LPCWSTR);
using BlockReasonDestroy = BOOL WINAPI(HWND);

}  // namespace

void HoldSession(HWND dialog, bool atRisk, const std::u16string& reason, Console& console) {
    // The system's state belongs to the thread that asks: the dialog's, which lives on.
    console.KeepSystemAwake(atRisk);
    if (atRisk) {
        SetPropW(dialog, kAtRiskProperty, reinterpret_cast<HANDLE>(1));
        if (auto create = User32Entry<BlockReasonCreate>("ShutdownBlockReasonCreate")) {
            create(dialog, Wide(reason));
        }
    } else {
        RemovePropW(dialog, kAtRiskProperty);
        if (auto destroy = User32Entry<BlockReasonDestroy>("ShutdownBlockReasonDestroy")) {
            destroy(dialog);
        }
    }
}

bool SessionMayEnd(HWND dialog) {
    return GetPropW(dialog, kAtRiskProperty) == nullptr;
}

void DialogView::SetStatusText(const std::u16string& text) {
    SetDlgItemTextW(dialog_, kStatusText, Wide(text));
}

void DialogView::ShowStatusText() {
    ShowWindow(GetDlgItem(dialog_, kStatusText), SW_SHOW);
}

void DialogView::EnableButtons(bool enabled) {
    EnableWindow(GetDlgItem(dialog_, kStartButton), enabled);
    EnableWindow(GetDlgItem(dialog_, kExitButton), enabled);
}

void DialogView::StartBlinkTimer() {
    SetTimer(dialog_, kBlinkTimer, kBlinkPeriodMs, nullptr);
}

void DialogView::StopBlinkTimer() {
    KillTimer(dialog_, kBlinkTimer);
}

void DialogView::InitProgress() {
    HWND bar = GetDlgItem(dialog_, kProgressBar);
    SendMessageW(bar, PBM_SETBARCOLOR, 0, static_cast<LPARAM>(kProgressColour));
    SendMessageW(bar, PBM_SETRANGE, 0, MAKELPARAM(0, 100));
    SendMessageW(bar, PBM_SETPOS, 0, 0);
}

void DialogView::SetProgress(int position) {
    SendMessageW(GetDlgItem(dialog_, kProgressBar), PBM_SETPOS, static_cast<WPARAM>(position), 0);
}

void DialogView::SetVersionTexts(const std::u16string& current, const std::u16string& fresh) {
    SetDlgItemTextW(dialog_, kCurrentVersionText, Wide(current));
    SetDlgItemTextW(dialog_, kNewVersionText, Wide(fresh));
}

void DialogView::MessageBox(const std::u16string& caption, const std::u16string& text) {
    MessageBoxW(dialog_, Wide(text), Wide(caption), MB_OK);
}

bool DialogView::Confirm(const std::u16string& question) {
    return MessageBoxW(dialog_, Wide(question), L"", MB_YESNO | MB_ICONQUESTION) == IDYES;
}

void DialogView::PostFinished() {
    PostMessageW(dialog_, kRunFinishedMessage, 0, 0);
}

void DialogView::DriveAtRisk(bool atRisk) {
    SendMessageW(dialog_, kDriveAtRiskMessage, atRisk ? 1 : 0, 0);
}

void CenterWindow(HWND window) {
    RECT desktop = {}, rect = {};
    GetWindowRect(GetDesktopWindow(), &desktop);
    GetWindowRect(window, &rect);
    const int width = rect.right - rect.left;
    const int height = rect.bottom - rect.top;
    MoveWindow(window, (desktop.right - desktop.left) / 2 - width / 2,
               (desktop.bottom - desktop.top) / 2 - height / 2, width, height, TRUE);
}

// A static control draws its text with DrawText on the context that it has just offered to
// the dialog for its colours. Where the control turns its WS_EX_RTLREADING into DT_RTLREADING
// itself, this changes nothing; Wine's control does not (it honours WS_EX_RIGHT only), and
// its text then follows the context's TA_RTLREADING.
void ApplyReadingOrder(HWND control, HDC dc) {
    if ((GetWindowLongW(control, GWL_EXSTYLE) & WS_EX_RTLREADING) == 0) return;
    const UINT align = GetTextAlign(dc);
    if (align != GDI_ERROR) SetTextAlign(dc, align | TA_RTLREADING);
}

}  // namespace mox3
