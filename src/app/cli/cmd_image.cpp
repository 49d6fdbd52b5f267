// image info / image make: checking image files and making sample images.
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "app/cli/cli_args.h"
#include "app/cli/commands.h"
#include "base/json.h"
#include "bridge/chip_profile.h"
#include "bridge/firmware_image.h"
#include "config/digest_header.h"
#include "config/profile_reader.h"
#include "base/text.h"

namespace mox3 {

namespace {

constexpr const char* kUsage =
    "usage: mox3-updater image info IMAGE [--json]\n"
    "       mox3-updater image make --generation 1|2 --version DIGITS --size BYTES [--seed N]\n"
    "                               -o OUT\n";

int ImageInfo(Args args, std::ostream& out, std::ostream& err) {
    CliArgs cli(args, {}, {"--json"});
    if (!cli.ok() || cli.positional().size() != 1) {
        err << (cli.ok() ? "" : "error: " + cli.error() + "\n") << kUsage;
        return kExitUsage;
    }
    const std::string& path = cli.positional()[0];
    const bool json = cli.has("--json");
    const FirmwareImage image = FirmwareImage::Read(PathFromText(Utf8ToUtf16(path)));
    if (image.fault() == ImageFault::Unreadable) {
        err << "error: " << image.problem() << "\n";
        return kExitFailed;
    }
    if (image.size() < 2) {
        err << "error: the image file is shorter than 2 bytes\n";
        return kExitFailed;
    }
    const bool loaded = image.ok();
    const ItemTableKind kind = image.laterFamily() ? ItemTableKind::SecondGenerationLater
                               : image.generation() == kChipSecondGeneration
                                   ? ItemTableKind::SecondGeneration
                                   : ItemTableKind::FirstGeneration;
    const std::string table = loaded ? std::string(ItemTableName(kind)) : std::string();
    if (json) {
        JsonWriter j;
        j.BeginObject()
            .Field("ok", loaded)
            .Field("generation", static_cast<std::int64_t>(image.generation()))
            .Field("size", static_cast<std::int64_t>(image.size()))
            .Field("firmwareLength", static_cast<std::int64_t>(image.programmedLength()))
            .Field("loaderVersion", Utf16ToUtf8(image.loaderVersion()))
            .Field("trailerVersion", Utf16ToUtf8(image.trailerVersion()))
            .Field("digestHolds", image.digestHolds())
            .Field("itemTable", table);
        if (!loaded) {
            j.Field("fault", ImageFaultName(image.fault())).Field("error", image.problem());
        }
        out << j.EndObject().str();
    } else {
        out << "generation:      " << image.generation() << "\n"
            << "size:            " << image.size() << "\n"
            << "firmwareLength:  " << image.programmedLength() << "\n"
            << "loader version:  " << Utf16ToUtf8(image.loaderVersion()) << "\n"
            << "trailer version: " << Utf16ToUtf8(image.trailerVersion()) << "\n"
            << "digest holds:    " << (image.digestHolds() ? "yes" : "no") << "\n";
        if (loaded) out << "item table:      " << table << "\n";
    }
    if (!loaded) {
        err << "error: " << image.problem() << "\n";
        return kExitFailed;
    }
    return kExitOk;
}

int ImageMake(Args args, std::ostream& out, std::ostream& err) {
    CliArgs cli(args, {"--generation", "--version", "--size", "--seed", "-o", "--output"}, {});
    auto output = cli.value("-o") ? cli.value("-o") : cli.value("--output");
    if (!cli.ok() || !cli.positional().empty() || !cli.value("--generation") ||
        !cli.value("--version") || !cli.value("--size") || !output) {
        err << (cli.ok() ? "" : "error: " + cli.error() + "\n") << kUsage;
        return kExitUsage;
    }
    SampleImageRequest request;
    auto generation = ParseCount(*cli.value("--generation"));
    auto size = ParseCount(*cli.value("--size"));
    auto seed = cli.value("--seed") ? ParseCount(*cli.value("--seed")) : std::optional(1ull);
    if (!generation || !size || !seed) {
        err << "error: --generation, --size and --seed take whole numbers\n" << kUsage;
        return kExitUsage;
    }
    request.generation = *generation <= 2 ? static_cast<int>(*generation) : 0;
    request.size = static_cast<std::size_t>(*size);
    request.seed = *seed;
    request.digits = *cli.value("--version");
    std::string why;
    std::vector<std::uint8_t> image = MakeSampleImage(request, &why);
    if (image.empty()) {
        err << "error: " << why << "\n";
        return kExitFailed;
    }
    why = WriteFileAtomically(*output, image.data(), image.size());
    if (!why.empty()) {
        err << "error: " << why << "\n";
        return kExitFailed;
    }
    out << "wrote sample image " << *output << " (" << image.size() << " bytes, generation "
        << request.generation << ")\n";
    return kExitOk;
}

}  // namespace

int RunImageCommand(Args args, std::ostream& out, std::ostream& err) {
    if (args.empty() || args[0] == "--help" || args[0] == "-h") {
        (args.empty() ? err : out) << kUsage;
        return args.empty() ? kExitUsage : kExitOk;
    }
    if (args[0] == "info") return ImageInfo(args.subspan(1), out, err);
    if (args[0] == "make") return ImageMake(args.subspan(1), out, err);
    err << "error: unknown image command " << args[0] << "\n" << kUsage;
    return kExitUsage;
}

}  // namespace mox3
