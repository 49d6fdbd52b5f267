// Loading a library of the operating system from the system folder only.
#pragma once

#include <windows.h>

namespace mox3 {

// Loads the library `fileName` (a bare file name such as L"SetupApi.dll") from the system
// folder (GetSystemDirectoryW), never from the program's folder or the current folder, so that
// a file of that name planted beside the program is not run. The library's own dependencies
// are looked for in the system folder first as well. Null when the name carries a folder or
// the library does not load there (GetLastError says why).
HMODULE LoadSystemLibrary(const wchar_t* fileName);

}  // namespace mox3
