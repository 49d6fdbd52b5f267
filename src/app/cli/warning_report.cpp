#include "app/cli/warning_report.h"

namespace mox3 {

void WriteWarningLines(std::ostream& err, const std::vector<CompileWarning>& warnings) {
    for (const CompileWarning& w : warnings) err << "warning: " << WarningLine(w) << "\n";
}

void WriteWarningsJson(Json& j, const std::vector<CompileWarning>& warnings) {
    Json& list = j["warnings"] = Json::array();
    for (const CompileWarning& w : warnings) {
        Json& item = list.emplace_back();
        item["file"] = w.file;
        item["section"] = w.section;
        item["key"] = w.key;
        item["value"] = w.value;
        item["taken"] = w.taken;
    }
}

void NameWarningFile(std::vector<CompileWarning>& warnings, const std::string& name) {
    for (CompileWarning& w : warnings) w.file = name;
}

}  // namespace mox3
