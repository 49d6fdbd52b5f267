// One run of a front end (the command line, the dialog, a benchmark): how it reaches drives,
// built once and handed down. Emulated drive folders go to the emulator, everything else to the
// platform's pass-through; every request may be traced. Nothing below the front ends chooses
// the emulator or keeps a backend of its own.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "app/run/host.h"
#include "base/clock.h"
#include "discovery/device_access.h"
#include "platform/services.h"
#include "transport/trace.h"

namespace mox3 {

// The system services the commands ask through: the system's own unless a test hands others.
struct Services {
    std::shared_ptr<Prompts> prompts = SystemPrompts();
    std::shared_ptr<Privileges> privileges = SystemPrivileges();
    std::shared_ptr<Console> console = SystemConsole();
    std::shared_ptr<StateStore> state = SystemStateStore();
};

struct Session {
    // The backend chain (trace, testing aids, emulator and platform) and the tree that lists
    // the drives: the emulated drives of a folder, or the platform's.
    DeviceAccess devices;
    // The folder of emulated drives the session was given; empty when it reaches real drives.
    std::string emulatedBusFolder;
    // The session's clock: the system's, scaled by MOX3_TIME_SCALE until the testing aids are
    // revoked.
    std::shared_ptr<Clock> clock;
    Services services;
    // What the backend chain's trace keeps: the last failed request (shown by --verbose) and
    // why the trace file could not be written.
    std::shared_ptr<TraceRecord> trace = std::make_shared<TraceRecord>();
    // Whether the testing aids were revoked, shared by the clock and the backend chain.
    std::shared_ptr<TestingAids> testingAids = std::make_shared<TestingAids>();
};

// With `traceFile`, every request is also written to it as one JSON line; with `emulatorRoot`,
// the drives are the emulated devices in that folder. Nothing when the trace file or the
// folder cannot be used; `refusal` says why.
std::optional<Session> StartSession(const std::string& traceFile, const std::string& emulatorRoot,
                                    std::string* refusal);

// Why `emulatorRoot` cannot be the --emulator folder (missing, no folder, or a drive's own
// folder instead of the one that holds the drives); empty when it can.
std::string EmulatorFolderProblem(const std::string& emulatorRoot);

// What makes `folder`, given where an emulated drive was expected, none: its state file
// missing, unreadable or of another format.
std::string NotAnEmulatedDriveText(const std::string& folder);

class PassThroughBackend;

// Wraps a backend so that the testing aids stay with emulated drives: the first request that
// would change a drive outside this process's emulator, and without the emulator's mark,
// revokes `aids` (installed when a testing aid is asked for).
std::shared_ptr<PassThroughBackend> GuardTestingAids(std::shared_ptr<PassThroughBackend> inner,
                                                     std::shared_ptr<TestingAids> aids);

// Disks that are present but do not open (for want of rights, typically): how many, and the
// reason the first gave.
int UnopenedDisks(const DeviceAccess& devices, std::string* firstReason);

}  // namespace mox3
