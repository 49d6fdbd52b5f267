// A trace of every request sent to any device: one JSON line per request.
#pragma once

#include <memory>
#include <ostream>

#include "transport/passthrough.h"

namespace mox3 {

// Wraps `inner` so that every request of every device it opens is written to `out` as one
// JSON line: device, CDB, direction, length, whether it was delivered, SCSI status, sense
// bytes and the first bytes of the data (after the request for data-in).
std::shared_ptr<PassThroughBackend> MakeTracingBackend(std::shared_ptr<PassThroughBackend> inner,
                                                       std::shared_ptr<std::ostream> out);

// How many data bytes a trace line shows.
inline constexpr std::size_t kTraceDataBytes = 32;

}  // namespace mox3
