// A trace of every request sent to any device: one JSON line per request. The same wrapper
// remembers the last request that failed, so that a command can say which one it was.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <string>

#include "base/clock.h"
#include "transport/passthrough.h"

namespace mox3 {

// Wraps `inner` so that every request of every device it opens is written to `out` (when given)
// as one JSON line: device, CDB, direction, length, whether it was delivered, SCSI status,
// sense bytes and the first bytes of the data (after the request for data-in); when it was
// sent by `clock` and how long it took; and, for a request that was not delivered or did not
// end in GOOD status, why. Every such failed request is also remembered (see
// LastFailedRequest), with or without `out`.
std::shared_ptr<PassThroughBackend> MakeTracingBackend(std::shared_ptr<PassThroughBackend> inner,
                                                       std::shared_ptr<std::ostream> out,
                                                       std::shared_ptr<Clock> clock = nullptr);

// Where trace lines go: true when `line` was written whole. After the first line that could not
// be written no more are tried, and TraceWriteFailure says why.
using TraceSink = std::function<bool(const std::string& line, std::string* why)>;
std::shared_ptr<PassThroughBackend> MakeTracingBackend(std::shared_ptr<PassThroughBackend> inner,
                                                       TraceSink sink,
                                                       std::shared_ptr<Clock> clock = nullptr);

// Why the process's trace could not be written, empty while every line was; ForgetTraceFailure
// clears it.
std::string TraceWriteFailure();
void ForgetTraceFailure();

// Whether `line` (without its line end) is a trace line as the tracing backend writes them: a
// file whose first line is one may be appended to.
bool IsTraceLine(std::string_view line);

// How many data bytes a trace line shows.
inline constexpr std::size_t kTraceDataBytes = 32;

// A request that was not delivered or ended in a status other than GOOD.
struct FailedRequest {
    std::string device;
    std::string cdb;  // lower-case hex
    bool delivered = false;
    std::uint8_t status = 0;
    std::string sense;  // lower-case hex, empty without sense data
    std::string why;    // in words: the system's error text, or the status and sense
};

// The last failed request of the process through a tracing backend, if any since the last
// ForgetFailedRequests.
std::optional<FailedRequest> LastFailedRequest();
void ForgetFailedRequests();

// "status 0x02 (CHECK CONDITION), sense key 0x5, ASC 0x20, ASCQ 0x00" for a delivered request.
std::string DescribeScsiStatus(std::uint8_t status, const std::vector<std::uint8_t>& sense);

}  // namespace mox3
