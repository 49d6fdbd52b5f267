// What the emulator command shows of emulated drives and disks: the text for people and the
// fields of the --json object.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <ostream>
#include <string>

#include "app/cli/json_out.h"
#include "emulator/emulator_backend.h"

namespace mox3 {

// "0x7C34": a number in upper-case hex with at least `digits` digits.
std::string Hex(std::uint32_t value, int digits);
std::string LatencyText(const EmulatedLatency& latency);
// The device's place in the host's tree, in words.
std::string TreeText(const EmulatedTreeSettings& tree);

// One drive or disk as `emulator show` presents it; `digest` only when asked for, `nowMs` on
// the clock the drive's restart is timed by.
void WriteDriveText(std::ostream& out, const std::filesystem::path& dir,
                    const EmulatedDriveView& view, const std::optional<std::string>& digest,
                    std::uint64_t nowMs);
void WriteDriveJson(Json& j, const std::filesystem::path& dir, const EmulatedDriveView& view,
                    const std::optional<std::string>& digest, std::uint64_t nowMs);

// Every device of an emulator folder as the emulated device tree presents it: as text on `out`
// or, with `json`, as fields of the object open in `j`.
void WriteDeviceList(const std::filesystem::path& root, const std::shared_ptr<EmulatorClock>& clock,
                     bool json, std::ostream& out, Json& j);

}  // namespace mox3
