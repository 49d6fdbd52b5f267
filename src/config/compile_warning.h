// Values of a configuration file that the reader took only in part: the compile goes on with
// what it took, as the platform's reader would, and says so.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/number_parse.h"

namespace mox3 {

struct CompileWarning {
    std::string file;     // the configuration file (filled in by the build, not the compilers)
    std::string section;  // as the item table names it
    std::string key;
    std::string value;  // the value as the file holds it, UTF-8 (NULs included)
    std::string taken;  // what the reader took of it, one line that is safe to show
};

// "FILE [Section] Key=VALUE: TAKEN", control characters of the value shown escaped.
std::string WarningLine(const CompileWarning& warning);

// Adds a warning unless the same one is there already (a value may be read more than once).
void AddWarning(std::vector<CompileWarning>& warnings, CompileWarning warning);

// What a number reader took of `text`, or empty when it took all of it and the number fits:
// the digits read and the number they gave, the rest it ignored, or that nothing converted.
std::string NumberTakenText(std::u16string_view text, const NumberTaken& taken, std::uint64_t value,
                            unsigned width);
// What is left of `file` in `kept`, or empty when nothing was cut: the characters up to a NUL,
// or the first characters of a longer text.
std::string TextTakenText(std::u16string_view file, std::u16string_view kept);

}  // namespace mox3
