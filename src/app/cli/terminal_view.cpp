#include "app/cli/terminal_view.h"

namespace mox3 {

std::string PhaseOf(int position, LanguageId lang) {
    if (position >= 100) return CliString(CliText::kPhaseDone, lang);
    if (position >= 75) return CliString(CliText::kPhaseWaiting, lang);
    if (position >= 20) return CliString(CliText::kPhaseWriting, lang);
    if (position >= 10) return CliString(CliText::kPhaseSwitching, lang);
    return CliString(CliText::kPhaseChecking, lang);
}

std::string SecondsText(std::uint64_t ms, LanguageId lang) {
    const std::uint64_t tenths = (ms + 50) / 100;
    return std::to_string(tenths / 10) + CliString(CliText::kDecimalPoint, lang) +
           std::to_string(tenths % 10);
}

}  // namespace mox3
