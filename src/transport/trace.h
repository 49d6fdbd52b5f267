// A trace of every request sent to any device: one JSON line per request. The same wrapper
// keeps a record of the last request that failed, so that a command can say which one it was.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <ostream>
#include <string>

#include "base/clock.h"
#include "transport/passthrough.h"

namespace mox3 {

// A request that was not delivered or ended in a status other than GOOD.
struct FailedRequest {
    std::string device;
    std::string cdb;  // lower-case hex
    bool delivered = false;
    std::uint8_t status = 0;
    std::string sense;  // lower-case hex, empty without sense data
    std::string why;    // in words: the system's error text, or the status and sense
};

// What a tracing backend keeps for whoever built it: the last failed request and why the
// trace could not be written. The backend and its owner share one; it may be read while
// requests are sent.
class TraceRecord {
  public:
    // The last failed request through the backend, if any.
    std::optional<FailedRequest> LastFailedRequest() const;
    // Why the trace could not be written, empty while every line was.
    std::string WriteFailure() const;

    void NoteFailedRequest(FailedRequest request);
    void NoteWriteFailure(std::string why);

  private:
    mutable std::mutex mutex_;
    std::optional<FailedRequest> lastFailed_;
    std::string writeFailure_;
};

// Wraps `inner` so that every request of every device it opens is written to `out` (when given)
// as one JSON line: device, CDB, direction, length, whether it was delivered, SCSI status,
// sense bytes and the first bytes of the data (after the request for data-in); when it was
// sent by `clock` and how long it took; and, for a request that was not delivered or did not
// end in GOOD status, why. Every such failed request is also noted in `record`, with or
// without `out`.
std::shared_ptr<PassThroughBackend> MakeTracingBackend(std::shared_ptr<PassThroughBackend> inner,
                                                       std::shared_ptr<std::ostream> out,
                                                       std::shared_ptr<TraceRecord> record,
                                                       std::shared_ptr<Clock> clock);

// Where trace lines go: true when `line` was written whole. After the first line that could not
// be written no more are tried, and the record's WriteFailure says why.
using TraceSink = std::function<bool(const std::string& line, std::string* why)>;
std::shared_ptr<PassThroughBackend> MakeTracingBackend(std::shared_ptr<PassThroughBackend> inner,
                                                       TraceSink sink,
                                                       std::shared_ptr<TraceRecord> record,
                                                       std::shared_ptr<Clock> clock);

// Whether `line` (without its line end) is a trace line as the tracing backend writes them: a
// file whose first line is one may be appended to.
bool IsTraceLine(std::string_view line);

// How many data bytes a trace line shows.
inline constexpr std::size_t kTraceDataBytes = 32;

// "status 0x02 (CHECK CONDITION), sense key 0x5, ASC 0x20, ASCQ 0x00" for a delivered request.
std::string DescribeScsiStatus(std::uint8_t status, const std::vector<std::uint8_t>& sense);

}  // namespace mox3
