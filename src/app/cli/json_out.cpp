#include "app/cli/json_out.h"

namespace mox3 {

std::string JsonText(const Json& doc) {
    const std::string dumped = doc.dump(2, ' ', false, Json::error_handler_t::replace);
    // The output has always escaped backspace and form feed as \u0008 and \u000c; outside of
    // strings there is no backslash, so every one starts an escape of two characters or more.
    std::string text;
    text.reserve(dumped.size() + 1);
    for (std::size_t i = 0; i < dumped.size(); ++i) {
        if (dumped[i] != '\\' || i + 1 == dumped.size()) {
            text.push_back(dumped[i]);
            continue;
        }
        const char next = dumped[++i];
        if (next == 'b') {
            text += "\\u0008";
        } else if (next == 'f') {
            text += "\\u000c";
        } else {
            text.push_back('\\');
            text.push_back(next);
        }
    }
    text.push_back('\n');
    return text;
}

}  // namespace mox3
