// What the runs' view does to a real dialog 101, made from this program's resources, where
// CenterWindow puts a window, and every language's dialog: its texts and their reading order.
#include "app/windows/dialog_view_windows.h"

#include <commctrl.h>
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "app/run/strings.h"
#include "app/services_double.h"

namespace mox3 {
namespace {

std::vector<WPARAM> riskMessages;
INT_PTR CALLBACK PlainDialog(HWND, UINT message, WPARAM wParam, LPARAM) {
    if (message == kDriveAtRiskMessage) riskMessages.push_back(wParam);
    return message == WM_INITDIALOG;
}

class DialogViewTest : public ::testing::Test {
  protected:
    void SetUp() override {
        // The progress bar's class is the common-controls library's.
        LoadLibraryW(L"COMCTL32.dll");
        dialog_ = CreateDialogParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(kDialogId),
                                     nullptr, PlainDialog, 0);
        if (dialog_ == nullptr) GTEST_SKIP() << "no window can be made here (no display?)";
    }
    void TearDown() override {
        if (dialog_ != nullptr) DestroyWindow(dialog_);
    }
    std::u16string Text(int id) const {
        wchar_t buffer[256] = {};
        const UINT length = GetDlgItemTextW(dialog_, id, buffer, 256);
        return std::u16string(reinterpret_cast<const char16_t*>(buffer), length);
    }
    LRESULT Progress(UINT message, WPARAM wParam = 0, LPARAM lParam = 0) const {
        return SendMessageW(GetDlgItem(dialog_, kProgressBar), message, wParam, lParam);
    }
    HWND dialog_ = nullptr;
};

TEST_F(DialogViewTest, RunReachesTheControls) {
    DialogView view(dialog_);
    // A leftover position from a failed run goes back to 0 with the range 0 to 100.
    Progress(PBM_SETRANGE32, 0, 10);
    Progress(PBM_SETPOS, 7);
    view.InitProgress();
    PBRANGE range = {};
    Progress(PBM_GETRANGE, FALSE, reinterpret_cast<LPARAM>(&range));
    const LRESULT start = Progress(PBM_GETPOS);
    view.SetProgress(89);
    EXPECT_EQ(std::make_tuple(range.iLow, range.iHigh, start, Progress(PBM_GETPOS)),
              std::make_tuple(0, 100, LRESULT{0}, LRESULT{89}));
    for (bool enabled : {false, true}) {
        view.EnableButtons(enabled);
        EXPECT_EQ(IsWindowEnabled(GetDlgItem(dialog_, kStartButton)) != 0, enabled);
        EXPECT_EQ(IsWindowEnabled(GetDlgItem(dialog_, kExitButton)) != 0, enabled);
    }

    // The status text, hidden by a blink, is shown again and emptied at the end of a run.
    view.SetStatusText(u"Firmware update is in progress");
    EXPECT_EQ(Text(kStatusText), u"Firmware update is in progress");
    ShowWindow(GetDlgItem(dialog_, kStatusText), SW_HIDE);
    view.ShowStatusText();
    view.SetStatusText(u"");
    EXPECT_TRUE((GetWindowLongW(GetDlgItem(dialog_, kStatusText), GWL_STYLE) & WS_VISIBLE) &&
                Text(kStatusText).empty());
}

TEST_F(DialogViewTest, BlinkTimerGoesToTheDialog) {
    DialogView view(dialog_);
    view.StartBlinkTimer();
    view.StopBlinkTimer();
    EXPECT_FALSE(KillTimer(dialog_, kBlinkTimer)) << "the timer was not stopped";
    view.StartBlinkTimer();
    EXPECT_TRUE(KillTimer(dialog_, kBlinkTimer)) << "the timer was not started on the dialog";
}

// While the drive is at risk the dialog holds the session up and keeps the system awake.
TEST_F(DialogViewTest, DriveAtRiskHoldsTheSessionUntilSafe) {
    test::QuietConsole console;
    EXPECT_TRUE(SessionMayEnd(dialog_));
    // A run that gives up before the switch says "safe" without having said "at risk".
    for (bool atRisk : {true, false, false}) {
        HoldSession(dialog_, atRisk, atRisk ? u"Firmware update is in progress" : u"", console);
        EXPECT_EQ(SessionMayEnd(dialog_), !atRisk);
        EXPECT_EQ(console.awake, atRisk);
    }
    // The run's thread sends, not posts, the news: the session is held before the switch.
    riskMessages.clear();
    DialogView view(dialog_);
    view.DriveAtRisk(true);
    view.DriveAtRisk(false);
    EXPECT_EQ(riskMessages, (std::vector<WPARAM>{1, 0}));
}

TEST_F(DialogViewTest, CenterWindowHalvesDownwards) {
    RECT desktop = {};
    GetWindowRect(GetDesktopWindow(), &desktop);
    // Odd sizes: each half drops its fraction.
    MoveWindow(dialog_, 3, 5, 301, 201, FALSE);
    CenterWindow(dialog_);
    RECT r = {};
    GetWindowRect(dialog_, &r);
    EXPECT_EQ(std::make_tuple(r.left, r.top, r.right - r.left, r.bottom - r.top),
              std::make_tuple((desktop.right - desktop.left) / 2 - 150,
                              (desktop.bottom - desktop.top) / 2 - 100, 301L, 201L));
}

// Dialog 101 in one language's template, whatever the thread's language.
HWND MakeDialog(LanguageId lang) {
    HRSRC found = FindResourceExW(nullptr, RT_DIALOG, MAKEINTRESOURCEW(kDialogId), lang);
    if (found == nullptr) return nullptr;
    const auto* dialogTemplate =
        static_cast<const DLGTEMPLATE*>(LockResource(LoadResource(nullptr, found)));
    return CreateDialogIndirectParamW(GetModuleHandleW(nullptr), dialogTemplate, nullptr,
                                      PlainDialog, 0);
}

// Every language's dialog shows its title and texts, the buttons' and labels' in the order of
// the template. The Arabic (0x0401) static texts are painted right to left; every other
// language's (0x0001, which holds English texts, too), and the Arabic dialog's buttons and
// progress bar, as the system paints them by default. The context's other alignment stays.
TEST(DialogInEveryLanguage, TextsAndReadingOrder) {
    LoadLibraryW(L"COMCTL32.dll");
    ASSERT_TRUE(HasLanguage(0x0401));
    for (LanguageId lang : AllLanguages()) {
        SCOPED_TRACE(testing::Message() << "language 0x" << std::hex << lang);
        HWND dialog = MakeDialog(lang);
        if (dialog == nullptr) GTEST_SKIP() << "no window can be made here (no display?)";
        auto text = [](HWND window) {
            wchar_t buffer[256] = {};
            const int length = GetWindowTextW(window, buffer, 256);
            return std::u16string(reinterpret_cast<const char16_t*>(buffer), length);
        };
        std::vector<std::u16string> texts = {text(dialog)};
        for (HWND control = GetWindow(dialog, GW_CHILD); control != nullptr;
             control = GetWindow(control, GW_HWNDNEXT)) {
            texts.push_back(text(control));
            wchar_t name[32] = {};
            GetClassNameW(control, name, 32);
            HDC dc = CreateCompatibleDC(nullptr);
            SetTextAlign(dc, TA_BASELINE | TA_CENTER);
            ApplyReadingOrder(control, dc);
            const bool rightToLeft = lang == 0x0401 && std::wstring(name) == L"Static";
            EXPECT_EQ(GetTextAlign(dc), TA_BASELINE | TA_CENTER | (rightToLeft ? TA_RTLREADING : 0))
                << "control " << GetDlgCtrlID(control);
            DeleteDC(dc);
        }
        auto said = [lang](DialogText item) { return LoadDialogText(item, lang); };
        EXPECT_EQ(texts,
                  (std::vector<std::u16string>{
                      said(DialogText::kTitle), said(DialogText::kExit), said(DialogText::kStart),
                      u"", u"", said(DialogText::kCurrentFirmware), said(DialogText::kNewFirmware),
                      u"", u"", said(DialogText::kCaution)}));
        DestroyWindow(dialog);
    }
}

}  // namespace
}  // namespace mox3
