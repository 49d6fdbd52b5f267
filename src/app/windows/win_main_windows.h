// The windowed program: the entry point and the procedure of the update dialog.
#pragma once

#include "app/windows/dialog_view_windows.h"

namespace mox3 {

struct Session;

// Runs the program with the drives of `session`: one copy at a time, dialog 101 until it ends.
// Returns 0.
int ProgramMain(HINSTANCE instance, Session session);

// The procedure of dialog 101.
INT_PTR CALLBACK DialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

}  // namespace mox3
