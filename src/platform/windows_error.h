// The system's words for a Windows error code, for the platform's Windows files.
#pragma once

#include <windows.h>

#include <string>

namespace mox3 {

// "`what`: the system's message" (its final period and line ends dropped), or "`what`: error N"
// when the system has no message for `code`.
std::string LastErrorText(const std::string& what, DWORD code = GetLastError());

}  // namespace mox3
