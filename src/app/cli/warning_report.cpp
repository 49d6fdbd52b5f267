#include "app/cli/warning_report.h"

namespace mox3 {

void WriteWarningLines(std::ostream& err, const std::vector<CompileWarning>& warnings) {
    for (const CompileWarning& w : warnings) err << "warning: " << WarningLine(w) << "\n";
}

void WriteWarningsJson(JsonWriter& j, const std::vector<CompileWarning>& warnings) {
    j.Key("warnings").BeginArray();
    for (const CompileWarning& w : warnings) {
        j.BeginObject()
            .Field("file", w.file)
            .Field("section", w.section)
            .Field("key", w.key)
            .Field("value", w.value)
            .Field("taken", w.taken)
            .EndObject();
    }
    j.EndArray();
}

void NameWarningFile(std::vector<CompileWarning>& warnings, const std::string& name) {
    for (CompileWarning& w : warnings) w.file = name;
}

}  // namespace mox3
