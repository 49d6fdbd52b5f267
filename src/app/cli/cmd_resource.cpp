// resource list / resource extract: the configuration files carried inside the program.
#include <climits>
#include <cstdint>
#include <iomanip>
#include <string>

#include "app/cli/cli_args.h"
#include "app/cli/cli_report.h"
#include "app/cli/commands.h"
#include "app/cli/json_out.h"
#include "app/cli/output_file.h"
#include "base/text.h"
#include "config/profile_reader.h"
#include "resources/resources.h"

namespace mox3 {

namespace {

constexpr const char* kListUsage =
    "usage: mox3-updater resource list [--json]\n"
    "One line per configuration file: id, generation, PID, Product, size in bytes.\n";
constexpr const char* kExtractUsage =
    "usage: mox3-updater resource extract ID -o FILE [--json]\n"
    "Writes the configuration file with resource id ID to FILE, byte for byte.\n";
constexpr const char* kUsage =
    "usage: mox3-updater resource list [--json]\n"
    "       mox3-updater resource extract ID -o FILE [--json]\n"
    "\n"
    "list     one line per configuration file: id, generation, PID, Product, size in bytes\n"
    "extract  writes the configuration file with resource id ID to FILE, byte for byte\n";

struct ResourceSummary {
    std::string generation;
    std::string pid;
    std::string product;
};

// What the listing shows, read from the file as the configuration reader reads it.
ResourceSummary Summarize(const EmbeddedResource& resource) {
    ProfileFile file = ProfileFile::Parse(resource.bytes);
    // [Config] Version: 0 (or absent) for the first bridge generation, 2 for the second.
    std::uint32_t version = file.GetInt(u"Config", u"Version", 0);
    ResourceSummary summary;
    summary.generation = version == 0 ? "first" : version == 2 ? "second" : "unknown";
    summary.pid = Utf16ToUtf8(file.Find(u"USB Device Descriptor", u"PID").value_or(u""));
    summary.product = Utf16ToUtf8(file.Find(u"USB String Descriptor", u"Product").value_or(u""));
    return summary;
}

int ListResources(Args args, std::ostream& out, std::ostream& err) {
    CommandReport report("resource list", WantsJson(args), out, err);
    if (IsHelp(args)) return report.Help(kListUsage);
    CliArgs cli(args, {}, {"--json"});
    if (!cli.ok()) return report.Usage(cli.error(), kListUsage);
    if (!cli.positional().empty()) {
        return report.Usage("unexpected argument " + cli.positional()[0], kListUsage);
    }
    if (!report.json()) {
        for (const EmbeddedResource& resource : ConfigResources()) {
            ResourceSummary s = Summarize(resource);
            out << std::left << std::setw(5) << resource.id << std::setw(8) << s.generation
                << std::setw(8) << s.pid << std::setw(10) << s.product << std::right
                << resource.bytes.size() << " bytes\n";
        }
    }
    return report.Done([](Json& j) {
        Json& list = j["resources"] = Json::array();
        for (const EmbeddedResource& resource : ConfigResources()) {
            ResourceSummary s = Summarize(resource);
            Json& item = list.emplace_back(Json::object());
            item["id"] = std::int64_t{resource.id};
            item["file"] = resource.fileName;
            item["generation"] = s.generation;
            item["pid"] = s.pid;
            item["product"] = s.product;
            item["size"] = static_cast<std::int64_t>(resource.bytes.size());
        }
    });
}

int ExtractResource(Args args, std::ostream& out, std::ostream& err) {
    CommandReport report("resource extract", WantsJson(args), out, err);
    if (IsHelp(args)) return report.Help(kExtractUsage);
    CliArgs cli(args, {"-o", "--output"}, {"--json"});
    if (!cli.ok()) return report.Usage(cli.error(), kExtractUsage);
    if (cli.positional().size() != 1) {
        return report.Usage(cli.positional().empty()
                                ? "extract needs a resource id"
                                : "unexpected argument " + cli.positional()[1],
                            kExtractUsage);
    }
    std::optional<std::string> output = cli.value("-o");
    if (!output) output = cli.value("--output");
    if (!output || output->empty()) return report.Usage("extract needs -o FILE", kExtractUsage);

    const std::string& idText = cli.positional()[0];
    std::optional<unsigned long long> id = ParseCount(idText);
    if (!id) return report.Usage(idText + " is not a resource id", kExtractUsage);

    const EmbeddedResource* resource =
        *id <= INT_MAX ? FindConfigResource(static_cast<int>(*id)) : nullptr;
    if (resource == nullptr) {
        return report.Fail("no-resource",
                           "no configuration file with id " + idText + " (see 'resource list')");
    }
    if (std::string why = OutputProblem(*output, {}); !why.empty()) {
        return report.Fail(kOutputRefusedCode, why);
    }
    std::string error = WriteOutputFile(*output, resource->bytes.data(), resource->bytes.size());
    if (!error.empty()) return report.Fail("write-failed", error);
    if (!report.json()) {
        out << "wrote " << resource->fileName << " (" << resource->bytes.size() << " bytes) to "
            << *output << "\n";
    }
    return report.Done([&](Json& j) {
        j["id"] = std::int64_t{resource->id};
        j["file"] = resource->fileName;
        j["size"] = static_cast<std::int64_t>(resource->bytes.size());
        j["output"] = *output;
    });
}

}  // namespace

int RunResourceCommand(Args args, std::ostream& out, std::ostream& err) {
    CommandReport report("resource", WantsJson(args), out, err);
    if (args.empty()) return report.Usage("resource needs a command: list or extract", kUsage);
    if (args[0] == "--help" || args[0] == "-h" || args[0] == "help") return report.Help(kUsage);
    if (args[0] == "list") return ListResources(args.subspan(1), out, err);
    if (args[0] == "extract") return ExtractResource(args.subspan(1), out, err);
    return report.Usage("unknown resource command " + args[0], kUsage);
}

}  // namespace mox3
