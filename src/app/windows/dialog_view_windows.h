// The update dialog's resources and the view through which the start-up inspection and the
// update run reach its controls.
#pragma once

// windows.h turns MessageBox into MessageBoxW, which would rename UpdateView's member here.
#include <windows.h>
#undef MessageBox

#include <string>

#include "app/run/update_run.h"
#include "platform/services.h"

namespace mox3 {

// Dialog 101 and its controls.
inline constexpr int kDialogId = 101;
inline constexpr int kStartButton = IDOK;     // 1, the default push button
inline constexpr int kExitButton = IDCANCEL;  // 2, also sent by the Escape key
inline constexpr int kProgressBar = 1001;
inline constexpr int kStatusText = 1002;
inline constexpr int kCurrentVersionText = 1003;
inline constexpr int kNewVersionText = 1004;

// The blink timer of the status text, and the run's message that it has ended well.
inline constexpr UINT_PTR kBlinkTimer = 4096;
inline constexpr UINT kBlinkPeriodMs = 1000;
inline constexpr UINT kRunFinishedMessage = WM_APP + 1;  // 0x8001
// The run's message that the drive is at risk (wParam 1) or safe again (wParam 0).
inline constexpr UINT kDriveAtRiskMessage = WM_APP + 2;

// The progress bar's colour: red 0, green 0, blue 127.
inline constexpr COLORREF kProgressColour = RGB(0, 0, 127);

// The runs' view of the dialog. Every call goes to the dialog's window synchronously, so the
// worker thread may use it while the dialog's thread runs the message loop.
class DialogView : public UpdateView {
  public:
    explicit DialogView(HWND dialog) : dialog_(dialog) {}

    void SetStatusText(const std::u16string& text) override;
    void ShowStatusText() override;
    void EnableButtons(bool enabled) override;
    void StartBlinkTimer() override;
    void StopBlinkTimer() override;
    void InitProgress() override;
    void SetProgress(int position) override;
    void SetVersionTexts(const std::u16string& current, const std::u16string& fresh) override;
    void MessageBox(const std::u16string& caption, const std::u16string& text) override;
    void PostFinished() override;
    // A Yes/No box owned by the dialog.
    bool Confirm(const std::u16string& question) override;
    // Sent to the dialog, whose thread answers the session's questions (HoldSession).
    void DriveAtRisk(bool atRisk) override;

  private:
    HWND dialog_;
};

// While a drive is at risk (`atRisk`), on the dialog's own thread: `console` keeps the system
// awake, the session may not end (SessionMayEnd) and, where the system shows why a program
// holds it up (Windows Vista and later), it shows `reason`. Undone when the drive is safe again.
void HoldSession(HWND dialog, bool atRisk, const std::u16string& reason, Console& console);
// The dialog's answer to WM_QUERYENDSESSION: false while HoldSession holds it.
bool SessionMayEnd(HWND dialog);

// Moves a window to the middle of the desktop, keeping its size.
void CenterWindow(HWND window);

// Gives the device context a static control paints with (WM_CTLCOLORSTATIC) right-to-left
// reading order when the control has WS_EX_RTLREADING; leaves it alone otherwise.
void ApplyReadingOrder(HWND control, HDC dc);

}  // namespace mox3
