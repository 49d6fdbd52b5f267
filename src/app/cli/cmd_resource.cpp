// resource list / resource extract: the configuration files carried inside the program.
#include <climits>
#include <cstdint>
#include <iomanip>
#include <string>

#include "app/cli/cli_args.h"
#include "app/cli/commands.h"
#include "base/json.h"
#include "config/profile_reader.h"
#include "base/text.h"
#include "resources/resources.h"

namespace mox3 {

namespace {

constexpr const char* kUsage =
    "usage: mox3-updater resource list [--json]\n"
    "       mox3-updater resource extract ID -o FILE\n"
    "\n"
    "list     one line per configuration file: id, generation, PID, Product, size in bytes\n"
    "extract  writes the configuration file with resource id ID to FILE, byte for byte\n";

int UsageError(std::ostream& err, const std::string& message) {
    if (!message.empty()) err << "error: " << message << "\n";
    err << kUsage;
    return kExitUsage;
}

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
    CliArgs cli(args, {}, {"--json"});
    if (!cli.ok()) return UsageError(err, cli.error());
    if (!cli.positional().empty()) {
        return UsageError(err, "unexpected argument " + cli.positional()[0]);
    }

    if (cli.has("--json")) {
        JsonWriter j;
        j.BeginArray();
        for (const EmbeddedResource& resource : ConfigResources()) {
            ResourceSummary s = Summarize(resource);
            j.BeginObject()
                .Field("id", std::int64_t{resource.id})
                .Field("file", resource.fileName)
                .Field("generation", s.generation)
                .Field("pid", s.pid)
                .Field("product", s.product)
                .Field("size", static_cast<std::int64_t>(resource.bytes.size()))
                .EndObject();
        }
        out << j.EndArray().str();
        return kExitOk;
    }
    for (const EmbeddedResource& resource : ConfigResources()) {
        ResourceSummary s = Summarize(resource);
        out << std::left << std::setw(5) << resource.id << std::setw(8) << s.generation
            << std::setw(8) << s.pid << std::setw(10) << s.product << std::right
            << resource.bytes.size() << " bytes\n";
    }
    return kExitOk;
}

int ExtractResource(Args args, std::ostream& out, std::ostream& err) {
    CliArgs cli(args, {"-o", "--output"}, {});
    if (!cli.ok()) return UsageError(err, cli.error());
    if (cli.positional().size() != 1) {
        return UsageError(err, cli.positional().empty() ? "extract needs a resource id"
                                                        : "extract takes one resource id");
    }
    std::optional<std::string> output = cli.value("-o");
    if (!output) output = cli.value("--output");
    if (!output || output->empty()) return UsageError(err, "extract needs -o FILE");

    const std::string& idText = cli.positional()[0];
    std::optional<unsigned long long> id = ParseCount(idText);
    if (!id) return UsageError(err, idText + " is not a resource id");

    const EmbeddedResource* resource =
        *id <= INT_MAX ? FindConfigResource(static_cast<int>(*id)) : nullptr;
    if (resource == nullptr) {
        err << "error: no configuration file with id " << idText << " (see 'resource list')\n";
        return kExitFailed;
    }
    std::string error =
        WriteFileAtomically(*output, resource->bytes.data(), resource->bytes.size());
    if (!error.empty()) {
        err << "error: " << error << "\n";
        return kExitFailed;
    }
    out << "wrote " << resource->fileName << " (" << resource->bytes.size() << " bytes) to "
        << *output << "\n";
    return kExitOk;
}

}  // namespace

int RunResourceCommand(Args args, std::ostream& out, std::ostream& err) {
    if (args.empty() || args[0] == "--help" || args[0] == "-h") {
        (args.empty() ? err : out) << kUsage;
        return args.empty() ? kExitUsage : kExitOk;
    }
    if (args[0] == "list") return ListResources(args.subspan(1), out, err);
    if (args[0] == "extract") return ExtractResource(args.subspan(1), out, err);
    return UsageError(err, "unknown resource command " + args[0]);
}

}  // namespace mox3
