#include "app/cli/output_file.h"

#include <filesystem>

#include "platform/output_file.h"
#include "platform/platform.h"

namespace mox3 {

namespace fs = std::filesystem;

std::string OutputProblem(const std::string& output, const std::vector<CommandInput>& inputs) {
    const fs::path path = Utf8Path(output);
    if (std::string why = OutputPathProblem(path); !why.empty()) return why;
    // Only a regular file is there, if anything: it may be an input under another name.
    const std::optional<FileIdentity> target = IdentifyFile(path);
    if (!target) return {};
    for (const CommandInput& input : inputs) {
        if (IdentifyFile(Utf8Path(input.path)) == target) {
            std::string why = output;
            why += " is ";
            why += input.what;
            why += " " + input.path + " itself; an output never replaces one of its inputs";
            return why;
        }
    }
    return {};
}

std::string OutsideFolderProblem(const std::string& output, const std::string& folder,
                                 const std::string& what) {
    const fs::path path = Utf8Path(output);
    const fs::path parent = path.has_parent_path() ? path.parent_path() : fs::path(".");
    const std::optional<FileIdentity> home = IdentifyFile(Utf8Path(folder));
    if (!home) return {};
    std::string inside = output;
    inside += " lies in ";
    inside += what;
    inside += " " + folder + "; choose a file outside it";
    if (IdentifyFile(parent) == home || IdentifyFile(path) == home) return inside;
    // A file of the folder reached by another name (a hard link) is the folder's file too.
    const std::optional<FileIdentity> target = IdentifyFile(path);
    if (!target) return {};
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(Utf8Path(folder), ec)) {
        if (IdentifyFile(entry.path()) == target) {
            std::string why = output;
            why += " is ";
            why += entry.path().filename().string();
            why += " of " + what + " " + folder + "; choose a file outside it";
            return why;
        }
    }
    return {};
}

std::string WriteOutputFile(const std::string& output, const void* data, std::size_t size,
                            const std::vector<CommandInput>& inputs) {
    if (std::string why = OutputProblem(output, inputs); !why.empty()) return why;
    std::string why;
    const std::string_view bytes(static_cast<const char*>(data), size);
    return WriteWholeOutputFile(Utf8Path(output), bytes, &why) ? std::string() : why;
}

}  // namespace mox3
