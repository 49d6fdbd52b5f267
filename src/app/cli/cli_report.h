// How every command ends. Results go to standard output, failures to standard error as one or
// two lines (what failed and why). With --json standard output carries exactly one object:
//   {"ok": true|false, "command": "...", <the command's own fields>,
//    "error": {"code": "kebab-case", "text": "..."}}   (error only when ok is false)
#pragma once

#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <string_view>

#include "app/cli/commands.h"
#include "app/cli/json_out.h"
#include "transport/trace.h"

namespace mox3 {

// With it, a failure also names the last request a drive failed: CDB, status, sense data or
// the system's error text (the global --verbose).
void SetVerboseFailures(bool verbose);
bool VerboseFailures();

// Whether `args` ask for JSON: the word --json anywhere, even among words that do not parse.
bool WantsJson(Args args);

// The stable error code of bad usage.
inline constexpr const char* kUsageErrorCode = "usage";
// The stable error code of a trace (--trace FILE) that could not be written whole.
inline constexpr const char* kTraceFailedCode = "trace-failed";
// The stable error code of an output path the output rule refuses (see platform/output_file.h).
inline constexpr const char* kOutputRefusedCode = "output-refused";

class CommandReport {
  public:
    // Adds the command's own fields to the object.
    using Fields = std::function<void(Json&)>;

    // `trace`: the record of the session the command sends its requests through, if any.
    CommandReport(std::string command, bool json, std::ostream& out, std::ostream& err,
                  std::shared_ptr<const TraceRecord> trace = nullptr)
        : command_(std::move(command)), json_(json), out_(out), err_(err),
          trace_(std::move(trace)) {}

    bool json() const { return json_; }
    const std::string& command() const { return command_; }
    // The command's name as the object shows it, once a subcommand is known.
    void Rename(std::string command) { command_ = std::move(command); }

    // Success, or nothing to do: with --json the object with `fields`; the text output is the
    // command's own. Returns `exitCode`.
    int Done(const Fields& fields = {}, int exitCode = kExitOk);
    // A failure: "error: TEXT" on standard error (and with --verbose the failed request), with
    // --json the object with `fields` and the error. Returns `exitCode`.
    int Fail(std::string_view code, const std::string& text, const Fields& fields = {},
             int exitCode = kExitFailed);
    // Bad usage: "error: WHAT" and the usage on standard error (with --json the object on
    // standard output instead of the usage). Returns kExitUsage.
    int Usage(const std::string& what, std::string_view usage);
    // The command's usage on standard output. Returns kExitOk.
    int Help(std::string_view usage);

  private:
    void Write(bool ok, const Fields& fields, std::string_view code, const std::string& text);

    std::string command_;
    bool json_;
    std::ostream& out_;
    std::ostream& err_;
    std::shared_ptr<const TraceRecord> trace_;
};

// The last failed request of `trace` as the error object's "request" field, when --verbose is on
// and there was one; and as one line of text ("request: ...", empty when there is nothing to
// say). Nothing without a record.
void WriteFailedRequest(Json& j, const TraceRecord* trace);
std::string FailedRequestLine(const TraceRecord* trace);

// Where a command ended: a trace (with the record `trace`) that could not be written and was not
// told yet is told on `err`, and turns success (or nothing to do) into a failure. Returns the
// exit code.
int EndWithTraceCheck(int exitCode, const TraceRecord* trace, std::ostream& err);

// Whether `args` ask for the usage: --help or -h anywhere.
bool IsHelp(Args args);

}  // namespace mox3
