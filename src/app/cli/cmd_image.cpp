// image info / image make: checking image files and making sample images.
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "app/cli/cli_args.h"
#include "app/cli/cli_report.h"
#include "app/cli/commands.h"
#include "app/cli/json_out.h"
#include "app/cli/output_file.h"
#include "base/text.h"
#include "bridge/chip_profile.h"
#include "bridge/firmware_image.h"
#include "config/digest_header.h"
#include "config/profile_reader.h"
#include "platform/platform.h"

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

// Whether a trailer version text ("V01L02R03-05") shows digits where the trailer's digits go.
bool TrailerHoldsDigits(const std::u16string& text) {
    if (text.size() < 9) return false;
    for (std::size_t i : {1, 2, 4, 5, 7, 8}) {
        if (text[i] < u'0' || text[i] > u'9') return false;
    }
    for (char16_t c : text) {
        if (c < 0x20 || c > 0x7E) return false;
    }
    return true;
}

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
    // A file larger than any image is refused before it is read, as the update refuses it.
    if (image.tooLarge()) {
        return report.Fail("image-damaged", image.problem(), [&](Json& j) {
            j["image"] = path;
            j["fault"] = ImageFaultName(image.fault());
        });
    }
    if (image.size() < 2) {
        return report.Fail("image-damaged", "the image file is shorter than 2 bytes");
    }
    const bool loaded = image.ok();
    const ItemTableKind kind = image.laterFamily() ? ItemTableKind::SecondGenerationLater
                               : image.generation() == kChipSecondGeneration
                                   ? ItemTableKind::SecondGeneration
                                   : ItemTableKind::FirstGeneration;
    const std::string table = loaded ? std::string(ItemTableName(kind)) : std::string();
    // A damaged image shows what is known of it: its size, generation and digest, and its
    // trailer version only when the trailer holds digits, never a version made of other bytes.
    const std::string trailer = Utf16ToUtf8(image.trailerVersion());
    const bool trailerKnown = TrailerHoldsDigits(image.trailerVersion());
    auto fields = [&](Json& j) {
        j["image"] = path;
        j["generation"] = static_cast<std::int64_t>(image.generation());
        j["size"] = static_cast<std::int64_t>(image.size());
        if (loaded) {
            j["firmwareLength"] = static_cast<std::int64_t>(image.programmedLength());
            j["loaderVersion"] = Utf16ToUtf8(image.loaderVersion());
        }
        if (trailerKnown) j["trailerVersion"] = trailer;
        j["digestHolds"] = image.digestHolds();
        if (loaded) j["itemTable"] = table;
        if (!loaded) j["fault"] = ImageFaultName(image.fault());
    };
    if (!report.json()) {
        out << "generation:      " << image.generation() << "\n"
            << "size:            " << image.size() << "\n";
        if (loaded) {
            out << "firmwareLength:  " << image.programmedLength() << "\n"
                << "loader version:  " << Utf16ToUtf8(image.loaderVersion()) << "\n";
        }
        if (trailerKnown) out << "trailer version: " << trailer << "\n";
        out << "digest holds:    " << (image.digestHolds() ? "yes" : "no") << "\n";
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
    return report.Done([&](Json& j) {
        j["output"] = *output;
        j["size"] = static_cast<std::int64_t>(image.size());
        j["generation"] = static_cast<std::int64_t>(request.generation);
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
