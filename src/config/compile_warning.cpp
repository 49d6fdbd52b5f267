#include "config/compile_warning.h"

#include <algorithm>
#include <cstdio>

#include "base/text.h"

namespace mox3 {

namespace {

std::string Quoted(std::u16string_view text) {
    std::string out = "\"";
    out += EscapedForDisplay(text);
    out += '"';
    return out;
}

std::string NumberText(std::uint64_t value, unsigned width) {
    if (width < 64) value &= (std::uint64_t{1} << width) - 1;
    char buf[48];
    if (value <= 9) {
        std::snprintf(buf, sizeof buf, "%llu", static_cast<unsigned long long>(value));
    } else {
        std::snprintf(buf, sizeof buf, "%llu (0x%llX)", static_cast<unsigned long long>(value),
                      static_cast<unsigned long long>(value));
    }
    return buf;
}

}  // namespace

std::string WarningLine(const CompileWarning& w) {
    std::string line = w.file;
    line += " [";
    line += w.section;
    line += "] ";
    line += w.key;
    line += '=';
    line += EscapedForDisplay(Utf8ToUtf16(w.value));
    line += ": ";
    line += w.taken;
    return line;
}

void AddWarning(std::vector<CompileWarning>& warnings, CompileWarning warning) {
    auto same = [&](const CompileWarning& w) {
        return w.section == warning.section && w.key == warning.key && w.taken == warning.taken;
    };
    if (std::none_of(warnings.begin(), warnings.end(), same)) {
        warnings.push_back(std::move(warning));
    }
}

std::string NumberTakenText(std::u16string_view text, const NumberTaken& taken, std::uint64_t value,
                            unsigned width) {
    if (!taken.digits) return "no digits, read as 0";
    const std::size_t used = std::min(taken.consumed, text.size());
    std::string out;
    if (taken.overflow) {
        out = "the number does not fit in " + std::to_string(width) + " bits, read as ";
        out += NumberText(value, width);
    }
    if (used < text.size()) {
        if (!out.empty()) out += "; ";
        out += "took ";
        out += Quoted(text.substr(0, used));
        out += " as ";
        out += NumberText(value, width);
        out += ", ignored ";
        out += Quoted(text.substr(used));
    }
    return out;
}

std::string TextTakenText(std::u16string_view file, std::u16string_view kept) {
    if (file.size() <= kept.size()) return {};
    const std::size_t nul = file.find(char16_t{0});
    if (nul != std::u16string_view::npos && nul <= kept.size()) {
        std::string out = "a NUL after " + std::to_string(nul) + " characters ends it, took ";
        out += Quoted(kept);
        return out;
    }
    std::string out = std::to_string(file.size()) + " characters, took the first " +
                      std::to_string(kept.size()) + ": ";
    out += Quoted(kept);
    return out;
}

}  // namespace mox3
