// compile: a configuration file and an image file into the sealed 4096-byte block.
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <sstream>

#include "app/cli/cli_args.h"
#include "app/cli/commands.h"
#include "base/json.h"
#include "bridge/config_build.h"
#include "base/text.h"
#include "resources/resources.h"

namespace mox3 {

namespace {

constexpr const char* kUsage =
    "usage: mox3-updater compile (--config FILE | --resource ID) --image IMAGE\n"
    "                            [--serial TEXT] -o OUT [--json]\n";


}  // namespace

int RunCompileCommand(Args args, std::ostream& out, std::ostream& err) {
    CliArgs cli(args, {"--config", "--resource", "--image", "--serial", "-o", "--output"},
                {"--json", "--help", "-h"});
    if (cli.has("--help") || cli.has("-h")) {
        out << kUsage;
        return kExitOk;
    }
    auto output = cli.value("-o") ? cli.value("-o") : cli.value("--output");
    if (!cli.ok() || !cli.positional().empty() || !cli.value("--image") || !output ||
        cli.has("--config") == cli.has("--resource")) {
        err << (cli.ok() ? "" : "error: " + cli.error() + "\n") << kUsage;
        return kExitUsage;
    }
    const bool json = cli.has("--json");
    auto report = [&](const std::string& step, const std::string& reason) {
        err << "error: " << reason << "\n";
        if (json) {
            JsonWriter j;
            j.BeginObject().Field("ok", false).Field("failedStep", step).Field("error", reason);
            out << j.EndObject().str();
        }
        return kExitFailed;
    };

    ExtractedResource extracted;
    std::string configPath;
    if (auto id = cli.value("--resource")) {
        auto number = ParseCount(*id);
        const EmbeddedResource* resource =
            number && *number < 100000 ? FindConfigResource(static_cast<int>(*number)) : nullptr;
        if (resource == nullptr)
            return report("config", "no shipped configuration file has id " + *id);
        std::string why = extracted.Extract(*resource);
        if (!why.empty()) return report("config", why);
        configPath = extracted.file().string();
    } else {
        configPath = *cli.value("--config");
        std::error_code ec;
        if (!std::filesystem::is_regular_file(configPath, ec)) {
            return report("config", "cannot read the configuration file " + configPath);
        }
    }

    std::optional<std::u16string> serial;
    if (auto s = cli.value("--serial")) serial = Utf8ToUtf16(*s);

    CBridgeMgr mgr;
    ConfigBuildResult result = BuildConfigBlock(mgr, Utf8ToUtf16(*cli.value("--image")),
                                                Utf8ToUtf16(configPath), 0, serial);
    if (!result.ok) return report(result.failedStep, result.reason);

    std::string why = WriteFileAtomically(*output, mgr.imageBuffer.data(), kConfigBlockSize);
    if (!why.empty()) return report("output", why);

    ItemTableKind table{};
    FindItemTableKind(mgr.itemTable, table);
    if (json) {
        JsonWriter j;
        j.BeginObject()
            .Field("ok", true)
            .Field("generation", static_cast<std::int64_t>(result.chipKind))
            .Field("firmwareAddress", static_cast<std::int64_t>(mgr.firmwareAddress))
            .Field("flashParameters", HexString(mgr.flashParameters))
            .Field("firmwareLength", static_cast<std::int64_t>(mgr.firmwareLength))
            .Field("firmwareVersion", Utf16ToUtf8(mgr.firmwareVersionText))
            .Key("itemTable")
            .BeginObject()
            .Field("name", ItemTableName(table))
            .Field("items", static_cast<std::int64_t>(mgr.itemCount))
            .EndObject()
            .Field("output", *output);
        out << j.EndObject().str();
    } else {
        out << "compiled " << *output << ": generation " << result.chipKind << ", "
            << ItemTableName(table) << " item table (" << mgr.itemCount << " items), firmware "
            << Utf16ToUtf8(mgr.firmwareVersionText) << " at " << mgr.firmwareAddress << ", "
            << mgr.firmwareLength << " bytes\n";
    }
    return kExitOk;
}

}  // namespace mox3
