// How the program reaches drives: emulated drive folders through the emulator, everything else
// through the platform's pass-through, optionally traced.
#pragma once

#include <string>

namespace mox3 {

// Installs the process's pass-through backend. With `traceFile`, every request is also written
// to it as one JSON line. Returns an error text, empty on success.
std::string SetUpDeviceAccess(const std::string& traceFile);

}  // namespace mox3
