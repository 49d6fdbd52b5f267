// compile: a configuration file and an image file into the sealed 4096-byte block.
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <sstream>

#include "app/cli/cli_args.h"
#include "app/cli/cli_report.h"
#include "app/cli/commands.h"
#include "app/cli/json_out.h"
#include "app/cli/output_file.h"
#include "app/cli/warning_report.h"
#include "base/text.h"
#include "bridge/config_build.h"
#include "resources/resources.h"

namespace mox3 {

namespace {

constexpr const char* kUsage =
    "usage: mox3-updater compile (--config FILE | --resource ID) --image IMAGE\n"
    "                            [--serial TEXT] -o OUT [--strict] [--json]\n"
    "A value of the configuration file taken only in part (digits followed by other\n"
    "characters, a number too wide, a text cut at a NUL or short) is compiled as the reader\n"
    "took it and named in a warning; --strict makes any warning a failure.\n";


}  // namespace

int RunCompileCommand(Args args, std::ostream& out, std::ostream& err) {
    CommandReport report("compile", WantsJson(args), out, err);
    if (IsHelp(args)) return report.Help(kUsage);
    CliArgs cli(args, {"--config", "--resource", "--image", "--serial", "-o", "--output"},
                {"--json", "--strict"});
    if (!cli.ok()) return report.Usage(cli.error(), kUsage);
    if (!cli.positional().empty()) {
        return report.Usage("unexpected argument " + cli.positional()[0], kUsage);
    }
    auto output = cli.value("-o") ? cli.value("-o") : cli.value("--output");
    if (!cli.value("--image")) return report.Usage("missing --image IMAGE", kUsage);
    if (!output) return report.Usage("missing -o OUT", kUsage);
    if (cli.has("--config") == cli.has("--resource")) {
        return report.Usage("give one of --config FILE and --resource ID", kUsage);
    }
    std::optional<unsigned long long> resourceId;
    if (auto id = cli.value("--resource")) {
        resourceId = ParseCount(*id);
        if (!resourceId) return report.Usage("--resource takes a number, not " + *id, kUsage);
    }
    // The step that failed is a field of its own, beside the common error.
    std::vector<CompileWarning> warnings;
    auto fail = [&](const std::string& step, std::string_view code, const std::string& reason) {
        return report.Fail(code, reason, [&](Json& j) {
            j["failedStep"] = step;
            WriteWarningsJson(j, warnings);
        });
    };

    ExtractedResource extracted;
    std::string configPath;
    if (resourceId) {
        const EmbeddedResource* resource =
            *resourceId < 100000 ? FindConfigResource(static_cast<int>(*resourceId)) : nullptr;
        if (resource == nullptr) {
            return fail("config", "no-resource",
                        "no shipped configuration file has id " + *cli.value("--resource"));
        }
        std::string why = extracted.Extract(*resource);
        if (!why.empty()) return fail("config", "write-failed", why);
        configPath = extracted.file().string();
    } else {
        configPath = *cli.value("--config");
        std::error_code ec;
        if (!std::filesystem::is_regular_file(configPath, ec)) {
            return fail("config", "unreadable",
                        "cannot read the configuration file " + configPath);
        }
    }

    // The block never goes onto its own image or configuration file, nor through a link or
    // into a device, FIFO or folder.
    std::vector<CommandInput> inputs = {{"the image file", *cli.value("--image")}};
    if (!resourceId) inputs.push_back({"the configuration file", configPath});
    if (std::string why = OutputProblem(*output, inputs); !why.empty()) {
        return fail("output", kOutputRefusedCode, why);
    }

    std::optional<std::u16string> serial;
    if (auto s = cli.value("--serial")) serial = Utf8ToUtf16(*s);

    CBridgeMgr mgr;
    ConfigBuildResult result = BuildConfigBlock(mgr, Utf8ToUtf16(*cli.value("--image")),
                                                Utf8ToUtf16(configPath), 0, serial);
    warnings = result.warnings;
    if (resourceId) NameWarningFile(warnings, "resource " + *cli.value("--resource"));
    if (!report.json()) WriteWarningLines(err, warnings);
    if (!result.ok) return fail(result.failedStep, "compile-failed", result.reason);
    if (cli.has("--strict") && !warnings.empty()) {
        return fail("config", "compile-warnings",
                    std::to_string(warnings.size()) +
                        " value(s) of the configuration file taken only in part (--strict)");
    }

    std::string why = WriteOutputFile(*output, mgr.imageBuffer.data(), kConfigBlockSize, inputs);
    if (!why.empty()) return fail("output", "write-failed", why);

    const ItemTableKind table = mgr.itemKind;
    if (!report.json()) {
        out << "compiled " << *output << ": generation " << result.chipKind << ", "
            << ItemTableName(table) << " item table (" << mgr.itemCount << " items), firmware "
            << Utf16ToUtf8(mgr.firmwareVersionText) << " at " << mgr.firmwareAddress << ", "
            << mgr.firmwareLength << " bytes\n";
    }
    return report.Done([&](Json& j) {
        j["generation"] = static_cast<std::int64_t>(result.chipKind);
        j["firmwareAddress"] = static_cast<std::int64_t>(mgr.firmwareAddress);
        j["flashParameters"] = HexString(mgr.flashParameters);
        j["firmwareLength"] = static_cast<std::int64_t>(mgr.firmwareLength);
        j["firmwareVersion"] = Utf16ToUtf8(mgr.firmwareVersionText);
        j["itemTable"]["name"] = ItemTableName(table);
        j["itemTable"]["items"] = static_cast<std::int64_t>(mgr.itemCount);
        j["output"] = *output;
        WriteWarningsJson(j, warnings);
    });
}

}  // namespace mox3
