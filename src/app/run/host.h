// The update run's host services as the command line gets them on this platform.
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "app/run/update_run.h"

namespace mox3 {

struct HostOptions {
    std::filesystem::path imageDir;  // empty: beside the program (then the data folder on Linux)
    std::filesystem::path stateDir;  // Linux: the folder of marker and configuration file
    // Linux: where the one-update-at-a-time lock lives; empty: /run/lock where it is writable,
    // else the state folder. Emulated drives keep it in their bus folder.
    std::filesystem::path lockDir;
    bool force = false;              // plays the part of the "/UPDATE" switch
    std::function<std::u16string(int)> texts;
    std::optional<ManualRecovery> recovery;  // --recover-serial and --model
    std::optional<std::u16string> device;    // --device
    std::shared_ptr<Clock> clock;
};

class CliHost : public HostServices {
  public:
    // The id of the last string-table text the run asked for.
    virtual int lastTextId() const = 0;
};

// The image file of a chip kind as a run with these options would find it.
std::u16string FindImagePath(const HostOptions& options, int chipKind);

// The platform's host for one run of the command line, holding the single-instance lock.
// Nothing when it cannot be had: `alreadyRunning` tells a copy running already (then `error`
// names the lock) from an error (then `error` says what).
std::unique_ptr<CliHost> StartCliHost(const HostOptions& options, bool* alreadyRunning,
                                      std::string* error);

}  // namespace mox3
