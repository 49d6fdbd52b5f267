#include "transport/trace.h"

#include <algorithm>
#include <cassert>
#include <cstdio>
#include <mutex>
#include <ostream>
#include <string>

#include "base/text.h"

namespace mox3 {

namespace {

std::string Escaped(const std::string& s) {
    std::string out;
    for (char c : s) {
        if (c == '"' || c == '\\') out.push_back('\\');
        if (static_cast<unsigned char>(c) < 0x20) continue;
        out.push_back(c);
    }
    return out;
}

struct Sink {
    TraceSink out;  // empty: remember failures only
    std::shared_ptr<TraceRecord> record;
    std::shared_ptr<Clock> clock;
    std::mutex mutex;
};

const char* StatusName(std::uint8_t status) {
    switch (status) {
        case kScsiStatusGood: return "GOOD";
        case kScsiStatusCheckCondition: return "CHECK CONDITION";
        case kScsiStatusBusy: return "BUSY";
        default: return nullptr;
    }
}

class TracingDevice : public PassThroughDevice {
  public:
    TracingDevice(std::unique_ptr<PassThroughDevice> inner, std::shared_ptr<Sink> sink)
        : inner_(std::move(inner)), sink_(std::move(sink)) {}

    bool Send(const ScsiRequest& request, ScsiReply& reply) override {
        const std::uint64_t startMs = sink_->clock->NowMs();
        bool delivered = inner_->Send(request, reply);
        const std::uint64_t endMs = sink_->clock->NowMs();
        const std::string cdb =
            HexString({request.cdb.data(), request.cdbLength}, HexDigits::Lower);
        const bool failed = !delivered || reply.status != kScsiStatusGood;
        std::string why;
        if (!delivered) {
            why = inner_->LastError();
            if (why.empty()) why = "the request was not delivered";
        } else if (failed) {
            why = DescribeScsiStatus(reply.status, reply.sense);
        }
        if (failed) {
            FailedRequest f;
            f.device = Utf16ToUtf8(inner_->Name());
            f.cdb = cdb;
            f.delivered = delivered;
            if (delivered) {
                f.status = reply.status;
                f.sense = HexString(reply.sense, HexDigits::Lower);
            }
            f.why = why;
            sink_->record->NoteFailedRequest(std::move(f));
        }
        if (!sink_->out) return delivered;
        static constexpr const char* kDirections[] = {"out", "in", "none"};
        std::string line =
            "{\"device\":\"" + Escaped(Utf16ToUtf8(inner_->Name())) + "\",\"cdb\":\"" + cdb +
            "\",\"direction\":\"" + kDirections[static_cast<int>(request.direction) % 3] +
            "\",\"length\":" + std::to_string(request.length) +
            ",\"delivered\":" + (delivered ? "true" : "false");
        if (delivered) {
            line += ",\"status\":" + std::to_string(reply.status) + ",\"sense\":\"" +
                    HexString(reply.sense, HexDigits::Lower) + "\"";
        }
        std::size_t shown =
            request.data ? std::min<std::size_t>(request.length, kTraceDataBytes) : 0;
        line += ",\"data\":\"" + HexString({request.data, shown}, HexDigits::Lower) + "\"";
        line += ",\"timeMs\":" + std::to_string(startMs) +
                ",\"durationMs\":" + std::to_string(endMs - startMs);
        if (failed) line += ",\"why\":\"" + Escaped(why) + "\"";
        line += "}\n";
        // Lines are written one at a time, so nothing comes between the check and the write.
        std::lock_guard lock(sink_->mutex);
        if (!sink_->record->WriteFailure().empty()) return delivered;
        std::string failure;
        if (!sink_->out(line, &failure)) {
            sink_->record->NoteWriteFailure(failure.empty() ? "the trace cannot be written"
                                                            : failure);
        }
        return delivered;
    }
    std::u16string Name() const override { return inner_->Name(); }
        std::optional<std::uint64_t> NodeIdentity() const override { return inner_->NodeIdentity(); }
    std::string LastError() const override { return inner_->LastError(); }

  private:
    std::unique_ptr<PassThroughDevice> inner_;
    std::shared_ptr<Sink> sink_;
};

class TracingBackend : public PassThroughBackend {
  public:
    TracingBackend(std::shared_ptr<PassThroughBackend> inner, std::shared_ptr<Sink> sink)
        : inner_(std::move(inner)), sink_(std::move(sink)) {}
    std::unique_ptr<PassThroughDevice> Open(std::u16string_view path, std::string* error) override {
        auto device = inner_->Open(path, error);
        if (!device) return nullptr;
        return std::make_unique<TracingDevice>(std::move(device), sink_);
    }

  private:
    std::shared_ptr<PassThroughBackend> inner_;
    std::shared_ptr<Sink> sink_;
};

}  // namespace

std::string DescribeScsiStatus(std::uint8_t status, const std::vector<std::uint8_t>& sense) {
    char text[96];
    const char* name = StatusName(status);
    std::snprintf(text, sizeof text, "status 0x%02X%s%s%s", status, name ? " (" : "",
                  name ? name : "", name ? ")" : "");
    std::string out = text;
    // Fixed format (0x70, 0x71) keeps the key in byte 2 and the codes in bytes 12 and 13;
    // descriptor format (0x72, 0x73) in bytes 1, 2 and 3.
    if (sense.size() >= 14 && (sense[0] & 0x7E) == 0x70) {
        std::snprintf(text, sizeof text, ", sense key 0x%X, ASC 0x%02X, ASCQ 0x%02X",
                      sense[2] & 0x0F, sense[12], sense[13]);
        out += text;
    } else if (sense.size() >= 4 && (sense[0] & 0x7E) == 0x72) {
        std::snprintf(text, sizeof text, ", sense key 0x%X, ASC 0x%02X, ASCQ 0x%02X",
                      sense[1] & 0x0F, sense[2], sense[3]);
        out += text;
    } else if (!sense.empty()) {
        out += ", sense " + HexString(sense, HexDigits::Lower);
    }
    return out;
}

std::optional<FailedRequest> TraceRecord::LastFailedRequest() const {
    std::lock_guard lock(mutex_);
    return lastFailed_;
}

std::string TraceRecord::WriteFailure() const {
    std::lock_guard lock(mutex_);
    return writeFailure_;
}

void TraceRecord::NoteFailedRequest(FailedRequest request) {
    std::lock_guard lock(mutex_);
    lastFailed_ = std::move(request);
}

void TraceRecord::NoteWriteFailure(std::string why) {
    std::lock_guard lock(mutex_);
    writeFailure_ = std::move(why);
}

bool IsTraceLine(std::string_view line) {
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    return line.rfind("{\"device\":\"", 0) == 0 && line.size() > 2 && line.back() == '}' &&
           line.find("\",\"cdb\":\"") != std::string_view::npos &&
           line.find(",\"timeMs\":") != std::string_view::npos;
}

std::shared_ptr<PassThroughBackend> MakeTracingBackend(std::shared_ptr<PassThroughBackend> inner,
                                                       std::shared_ptr<std::ostream> out,
                                                       std::shared_ptr<TraceRecord> record,
                                                       std::shared_ptr<Clock> clock) {
    TraceSink sink;
    if (out) {
        sink = [out](const std::string& line, std::string*) {
            *out << line << std::flush;
            return static_cast<bool>(*out);
        };
    }
    return MakeTracingBackend(std::move(inner), std::move(sink), std::move(record),
                              std::move(clock));
}

std::shared_ptr<PassThroughBackend> MakeTracingBackend(std::shared_ptr<PassThroughBackend> inner,
                                                       TraceSink out,
                                                       std::shared_ptr<TraceRecord> record,
                                                       std::shared_ptr<Clock> clock) {
    auto sink = std::make_shared<Sink>();
    sink->out = std::move(out);
    sink->record = std::move(record);
    assert(clock && "the trace's times come from the session's clock");
    sink->clock = std::move(clock);
    return std::make_shared<TracingBackend>(std::move(inner), std::move(sink));
}

}  // namespace mox3
