// How the program reaches drives: emulated drive folders through the emulator, everything else
// through the platform's pass-through, optionally traced.
#pragma once

#include <memory>
#include <string>

namespace mox3 {

// Installs the process's pass-through backend and device tree. With `traceFile`, every request
// is also written to it as one JSON line; with `emulatorRoot`, the drives are the emulated
// devices in that folder. Returns an error text, empty on success.
std::string SetUpDeviceAccess(const std::string& traceFile, const std::string& emulatorRoot);

// Why `emulatorRoot` cannot be the --emulator folder (missing, no folder, or a drive's own
// folder instead of the one that holds the drives); empty when it can.
std::string EmulatorFolderProblem(const std::string& emulatorRoot);

// What makes `folder`, given where an emulated drive was expected, none: its state file
// missing, unreadable or of another format.
std::string NotAnEmulatedDriveText(const std::string& folder);

class PassThroughBackend;

// Wraps a backend so that the testing aids stay with emulated drives: the first request that
// would change a drive outside this process's emulator, and without the emulator's mark,
// revokes them (installed when a testing aid is asked for).
std::shared_ptr<PassThroughBackend> GuardTestingAids(std::shared_ptr<PassThroughBackend> inner);

// The folder of emulated drives the process was given; empty when it reaches real drives.
const std::string& EmulatedBusFolder();

// Disks that are present but do not open (for want of rights, typically): how many, and the
// reason the first gave.
int UnopenedDisks(std::string* firstReason);

}  // namespace mox3
