// The --json output of the commands: objects keep their keys in the order they were added, and
// every command prints them with JsonText.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

namespace mox3 {

using Json = nlohmann::ordered_json;

// The document, pretty-printed with two-space indentation and a final newline. Text passes
// through as UTF-8; control characters are escaped as \n, \r, \t or \u00XX; bytes that are not
// UTF-8 (a drive's strings can hold any) print as U+FFFD.
std::string JsonText(const Json& doc);

}  // namespace mox3
