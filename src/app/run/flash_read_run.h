// The run of the commands that read a drive's flash without changing it (backup, verify): the
// drive chosen as an update chooses it, switched into its update loader, read, restarted and
// brought back with its block length, under a record of its own kind.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "app/run/update_run.h"
#include "base/finding.h"

namespace mox3 {

// The drive a read is for, as the run found it before anything was sent to it.
struct FlashReadDrive {
    std::u16string path;                // its first interface path
    std::vector<std::u16string> paths;  // every interface path
    std::u16string port;
    std::u16string serial;  // from its record when it was found in its loader
    std::uint16_t vendorId = 0;
    std::uint16_t productId = 0;
    std::u16string product;
    std::u16string firmwareVersion;  // empty for a drive found in its loader
    int generation = 0;
    bool inLoader = false;
};

// Why a run ended without reading: a stable name for scripts and the cause, when there is one
// to say beyond what the name's message says.
struct FlashReadStop {
    std::string code;
    std::optional<Told> why;
};

// What a command does around the read.
class FlashReadJob {
  public:
    virtual ~FlashReadJob() = default;
    // With the drive chosen and identified, before anything is sent that changes it: why the
    // run must not go on, or nothing.
    virtual std::optional<FlashReadStop> Check(const FlashReadDrive&) { return std::nullopt; }
    // The last question before the drive leaves the system; false ends the run, declined.
    virtual bool Confirm(const FlashReadDrive&) { return true; }
    // With the drive at `index` in its update loader: reads the flash and does with it what the
    // command does; why that failed, or nothing. The drive is brought back either way.
    virtual std::optional<Told> Read(CBridgeMgr& mgr, int index, const UpdateMarker& record) = 0;
};

struct FlashReadEnd {
    enum class State { kRead, kRefused, kDeclined, kFailed, kStopped };
    State state = State::kFailed;
    FlashReadStop stop;    // all but kRead and kDeclined; after a failed read, that read's
    FlashReadDrive drive;  // once a drive was chosen
    int matches = 0;       // the family drives that fit the choice
};

// One read of the flash of the drive the host's DriveChoice names (or the one family drive):
// refused when the system uses its disk, when it waits in its loader without a read-only record
// of its own at its port, or when an update of it is unfinished. A stop the view asks for is
// honoured at the loader's waits and after the read; the record stays, and the next run brings
// the drive back.
FlashReadEnd RunFlashRead(UpdateView& view, HostServices& host, FlashReadJob& job);

}  // namespace mox3
