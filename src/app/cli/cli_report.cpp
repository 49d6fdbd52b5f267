#include "app/cli/cli_report.h"

#include <atomic>

namespace mox3 {

namespace {

std::atomic<bool>& Verbose() {
    static std::atomic<bool> verbose{false};
    return verbose;
}

// Why the trace could not be written, empty without a record or while every line was.
std::string TraceWriteFailure(const TraceRecord* trace) {
    return trace ? trace->WriteFailure() : std::string();
}

// Whether the failure to write the trace was told already.
std::atomic<bool>& TraceFailureTold() {
    static std::atomic<bool> told{false};
    return told;
}

}  // namespace

void SetVerboseFailures(bool verbose) {
    Verbose() = verbose;
}

bool VerboseFailures() {
    return Verbose();
}

bool WantsJson(Args args) {
    for (const std::string& word : args) {
        if (word == "--json") return true;
    }
    return false;
}

bool IsHelp(Args args) {
    for (const std::string& word : args) {
        if (word == "--help" || word == "-h") return true;
    }
    return false;
}

void WriteFailedRequest(Json& j, const TraceRecord* trace) {
    if (!VerboseFailures() || !trace) return;
    const std::optional<FailedRequest> f = trace->LastFailedRequest();
    if (!f) return;
    Json& request = j["request"];
    request["device"] = f->device;
    request["cdb"] = f->cdb;
    request["delivered"] = f->delivered;
    if (f->delivered) {
        request["status"] = f->status;
        request["sense"] = f->sense;
    }
    request["why"] = f->why;
}

std::string FailedRequestLine(const TraceRecord* trace) {
    if (!VerboseFailures() || !trace) return {};
    const std::optional<FailedRequest> f = trace->LastFailedRequest();
    if (!f) return {};
    return "request: CDB " + f->cdb + " to " + f->device + ": " +
           (f->delivered ? "" : "not delivered: ") + f->why;
}

void CommandReport::Write(bool ok, const Fields& fields, std::string_view code,
                          const std::string& text) {
    Json j = Json::object();
    j["ok"] = ok;
    j["command"] = command_;
    if (fields) fields(j);
    if (!ok) {
        Json& error = j["error"];
        error["code"] = code;
        error["text"] = text;
        WriteFailedRequest(error, trace_.get());
    }
    out_ << JsonText(j);
}

int CommandReport::Done(const Fields& fields, int exitCode) {
    // A trace asked for and not written whole makes the command a failure.
    if (std::string trace = TraceWriteFailure(trace_.get()); !trace.empty()) {
        return Fail(kTraceFailedCode, trace, fields,
                    exitCode == kExitOk || exitCode == kExitNothingToDo ? kExitFailed : exitCode);
    }
    if (json_) Write(true, fields, {}, {});
    return exitCode;
}

int CommandReport::Fail(std::string_view code, const std::string& text, const Fields& fields,
                        int exitCode) {
    err_ << "error: " << text << "\n";
    if (std::string line = FailedRequestLine(trace_.get()); !line.empty()) err_ << line << "\n";
    if (std::string trace = TraceWriteFailure(trace_.get());
        !trace.empty() && !TraceFailureTold().exchange(true)) {
        if (code != kTraceFailedCode) err_ << "error: " << trace << "\n";
    }
    if (json_) Write(false, fields, code, text);
    return exitCode;
}

int EndWithTraceCheck(int exitCode, const TraceRecord* record, std::ostream& err) {
    const std::string trace = TraceWriteFailure(record);
    if (trace.empty() || TraceFailureTold().exchange(true)) return exitCode;
    err << "error: " << trace << "\n";
    return exitCode == kExitOk || exitCode == kExitNothingToDo ? kExitFailed : exitCode;
}

int CommandReport::Usage(const std::string& what, std::string_view usage) {
    err_ << "error: " << what << "\n";
    if (json_) {
        Write(false, {}, kUsageErrorCode, what);
    } else {
        err_ << usage;
    }
    return kExitUsage;
}

int CommandReport::Help(std::string_view usage) {
    out_ << usage;
    return kExitOk;
}

}  // namespace mox3
