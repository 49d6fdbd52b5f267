// The warnings of a configuration build as the commands show them: one line each on standard
// error ("warning: FILE [Section] Key=VALUE: what was taken"), or the "warnings" array of the
// JSON object (file, section, key, value, taken).
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "app/cli/json_out.h"
#include "config/compile_warning.h"

namespace mox3 {

void WriteWarningLines(std::ostream& err, const std::vector<CompileWarning>& warnings);
void WriteWarningsJson(Json& j, const std::vector<CompileWarning>& warnings);

// Names the file of every warning as the user knows it ("resource 117" for a shipped file
// written to a temporary folder).
void NameWarningFile(std::vector<CompileWarning>& warnings, const std::string& name);

}  // namespace mox3
