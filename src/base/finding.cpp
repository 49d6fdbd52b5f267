#include "base/finding.h"

#include "base/text.h"

namespace mox3 {

namespace {

std::string_view English(Finding what, const void*) {
    return EnglishPattern(what);
}

}  // namespace

Told Tell(Finding what, std::vector<std::string> values, std::vector<Told> inner) {
    return Told{what, std::move(values), std::move(inner)};
}

std::string Worded(const Told& told, FindingPatterns pattern, const void* context) {
    std::vector<std::string> inner;
    for (const Told& part : told.inner) inner.push_back(Worded(part, pattern, context));
    std::vector<std::string_view> values(told.values.begin(), told.values.end());
    values.insert(values.end(), inner.begin(), inner.end());
    return FillPlaces(pattern(told.what, context), values);
}

std::string InEnglish(const Told& told) {
    return Worded(told, English, nullptr);
}

std::vector<std::string> InEnglish(const std::vector<Told>& told) {
    std::vector<std::string> texts;
    for (const Told& each : told) texts.push_back(InEnglish(each));
    return texts;
}

}  // namespace mox3
