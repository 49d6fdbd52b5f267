// image info / image make: checking image files and making sample images.
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "app/cli/cli_args.h"
#include "app/cli/cli_report.h"
#include "app/cli/commands.h"
#include "app/cli/output_file.h"
#include "base/json.h"
#include "base/text.h"
#include "bridge/chip_profile.h"
#include "bridge/firmware_image.h"
#include "config/digest_header.h"
#include "config/profile_reader.h"

namespace mox3 {

namespace {

constexpr const char* kInfoUsage = "usage: mox3-updater image info IMAGE [--json]\n";
constexpr const char* kMakeUsage =
    "usage: mox3-updater image make --generation 1|2 --version DIGITS --size BYTES [--seed N]\n"
    "                               -o OUT [--json]\n";
constexpr const char* kUsage =
    "usage: mox3-updater image info IMAGE [--json]\n"
    "       mox3-updater image make --generation 1|2 --version DIGITS --size BYTES [--seed N]\n"
    "                               -o OUT [--json]\n";

int ImageInfo(Args args, std::ostream& out, std::ostream& err) {
    CommandReport report("image info", WantsJson(args), out, err);
    if (IsHelp(args)) return report.Help(kInfoUsage);
    CliArgs cli(args, {}, {"--json"});
    if (!cli.ok()) return report.Usage(cli.error(), kInfoUsage);
    if (cli.positional().size() != 1) {
        return report.Usage(cli.positional().empty() ? "image info needs an IMAGE file"
                                                     : "unexpected argument " + cli.positional()[1],
                            kInfoUsage);
    }
    const std::string& path = cli.positional()[0];
    const FirmwareImage image = FirmwareImage::Read(PathFromText(Utf8ToUtf16(path)));
    if (image.fault() == ImageFault::Unreadable) return report.Fail("unreadable", image.problem());
    if (image.size() < 2) {
        return report.Fail("image-damaged", "the image file is shorter than 2 bytes");
    }
    const bool loaded = image.ok();
    const ItemTableKind kind = image.laterFamily() ? ItemTableKind::SecondGenerationLater
                               : image.generation() == kChipSecondGeneration
                                   ? ItemTableKind::SecondGeneration
                                   : ItemTableKind::FirstGeneration;
    const std::string table = loaded ? std::string(ItemTableName(kind)) : std::string();
    auto fields = [&](JsonWriter& j) {
        j.Field("image", path)
            .Field("generation", static_cast<std::int64_t>(image.generation()))
            .Field("size", static_cast<std::int64_t>(image.size()))
            .Field("firmwareLength", static_cast<std::int64_t>(image.programmedLength()))
            .Field("loaderVersion", Utf16ToUtf8(image.loaderVersion()))
            .Field("trailerVersion", Utf16ToUtf8(image.trailerVersion()))
            .Field("digestHolds", image.digestHolds())
            .Field("itemTable", table);
        if (!loaded) j.Field("fault", ImageFaultName(image.fault()));
    };
    if (!report.json()) {
        out << "generation:      " << image.generation() << "\n"
            << "size:            " << image.size() << "\n"
            << "firmwareLength:  " << image.programmedLength() << "\n"
            << "loader version:  " << Utf16ToUtf8(image.loaderVersion()) << "\n"
            << "trailer version: " << Utf16ToUtf8(image.trailerVersion()) << "\n"
            << "digest holds:    " << (image.digestHolds() ? "yes" : "no") << "\n";
        if (loaded) out << "item table:      " << table << "\n";
    }
    if (!loaded) return report.Fail("image-damaged", image.problem(), fields);
    return report.Done(fields);
}

int ImageMake(Args args, std::ostream& out, std::ostream& err) {
    CommandReport report("image make", WantsJson(args), out, err);
    if (IsHelp(args)) return report.Help(kMakeUsage);
    CliArgs cli(args, {"--generation", "--version", "--size", "--seed", "-o", "--output"},
                {"--json"});
    if (!cli.ok()) return report.Usage(cli.error(), kMakeUsage);
    if (!cli.positional().empty()) {
        return report.Usage("unexpected argument " + cli.positional()[0], kMakeUsage);
    }
    auto output = cli.value("-o") ? cli.value("-o") : cli.value("--output");
    for (const char* needed : {"--generation", "--version", "--size"}) {
        if (!cli.value(needed)) return report.Usage(std::string("missing ") + needed, kMakeUsage);
    }
    if (!output) return report.Usage("missing -o OUT", kMakeUsage);
    SampleImageRequest request;
    auto generation = ParseCount(*cli.value("--generation"));
    auto size = ParseCount(*cli.value("--size"));
    auto seed = cli.value("--seed") ? ParseCount(*cli.value("--seed")) : std::optional(1ull);
    if (!generation || !size || !seed) {
        return report.Usage("--generation, --size and --seed take whole numbers", kMakeUsage);
    }
    if (*generation != 1 && *generation != 2) return report.Usage("--generation is 1 or 2", kMakeUsage);
    request.generation = static_cast<int>(*generation);
    request.size = static_cast<std::size_t>(*size);
    request.seed = *seed;
    request.digits = *cli.value("--version");
    if (std::string why = OutputProblem(*output, {}); !why.empty()) {
        return report.Fail(kOutputRefusedCode, why);
    }
    std::string why;
    std::vector<std::uint8_t> image = MakeSampleImage(request, &why);
    // Every refusal of the generator is about a value given on the command line.
    if (image.empty()) return report.Usage(why, kMakeUsage);
    why = WriteOutputFile(*output, image.data(), image.size());
    if (!why.empty()) return report.Fail("write-failed", why);
    if (!report.json()) {
        out << "wrote sample image " << *output << " (" << image.size() << " bytes, generation "
            << request.generation << ")\n";
    }
    return report.Done([&](JsonWriter& j) {
        j.Field("output", *output)
            .Field("size", static_cast<std::int64_t>(image.size()))
            .Field("generation", static_cast<std::int64_t>(request.generation));
    });
}

}  // namespace

int RunImageCommand(Args args, std::ostream& out, std::ostream& err) {
    CommandReport report("image", WantsJson(args), out, err);
    if (args.empty()) return report.Usage("image needs a command: info or make", kUsage);
    if (args[0] == "--help" || args[0] == "-h" || args[0] == "help") return report.Help(kUsage);
    if (args[0] == "info") return ImageInfo(args.subspan(1), out, err);
    if (args[0] == "make") return ImageMake(args.subspan(1), out, err);
    return report.Usage("unknown image command " + args[0], kUsage);
}

}  // namespace mox3
