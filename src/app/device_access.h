// How the program reaches drives: emulated drive folders through the emulator, everything else
// through the platform's pass-through, optionally traced.
#pragma once

#include <string>

namespace mox3 {

// Installs the process's pass-through backend and device tree. With `traceFile`, every request
// is also written to it as one JSON line; with `emulatorRoot`, the drives are the emulated
// devices in that folder. Returns an error text, empty on success.
std::string SetUpDeviceAccess(const std::string& traceFile, const std::string& emulatorRoot);

// The folder of emulated drives the process was given; empty when it reaches real drives.
const std::string& EmulatedBusFolder();

// Disks that are present but do not open (for want of rights, typically): how many, and the
// reason the first gave.
int UnopenedDisks(std::string* firstReason);

}  // namespace mox3
