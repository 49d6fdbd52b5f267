// verify: the drive's flash read and compared, region by region, with what an update with the
// image would write, or with a backup.

#include <algorithm>
#include <cstdio>

#include "app/cli/cli_report.h"
#include "app/cli/commands.h"
#include "app/cli/finding_texts.h"
#include "app/cli/flash_read_command.h"
#include "app/run/backup_store.h"
#include "app/run/host.h"
#include "app/session/session.h"
#include "base/text.h"
#include "bridge/config_build.h"
#include "bridge/flash_backup.h"
#include "config/block_layout.h"
#include "config/compile_input.h"
#include "config/profile_reader.h"
#include "discovery/drive_models.h"
#include "platform/platform.h"
#include "resources/resources.h"

namespace mox3 {

namespace {

constexpr const char* kVerifyUsage =
    "usage: mox3-updater [--emulator DIR] verify [--device SERIAL|PORT|NODE] [--image-dir DIR]\n"
    "                                           [--against BACKUP] [--yes] [--json]\n"
    "                                           [--lang LANG] [--state-dir DIR]\n"
    "Reads the whole flash of the one attached drive (or the one --device names) and compares\n"
    "it with what an update with the image would write: the configuration block compiled\n"
    "from the model's configuration file with the drive's serial number, and the image's\n"
    "firmware (the image is found as update finds it). With --against, it is compared with a\n"
    "backup instead (backup or update made it), the rest of the flash too. Each region is\n"
    "said to match or where it differs first. Nothing is written to the drive, but it is\n"
    "switched into its update mode for the read and leaves the system for a while: the\n"
    "program asks first unless --yes (--json needs --yes).\n"
    "Exit codes: 0 everything compared matches; 1 refused or failed (the drive is brought\n"
    "back all the same); 2 bad usage; 3 declined; 4 interrupted; 5 read, and differs.\n";

// A stretch of the flash and the bytes it should hold.
struct Region {
    const char* name;  // for scripts
    CliText label;
    std::uint32_t address = 0;
    std::vector<std::uint8_t> expected;
};

std::string Hex(std::uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%05X", static_cast<unsigned>(value));
    return text;
}

std::uint32_t Le32(const std::vector<std::uint8_t>& bytes, std::size_t at) {
    if (at + 4 > bytes.size()) return 0;
    return bytes[at] | (bytes[at + 1] << 8) | (bytes[at + 2] << 16) |
           (static_cast<std::uint32_t>(bytes[at + 3]) << 24);
}

// A backup's regions: the block, the firmware from its address to the end, and what lies
// between (before the block of the first generation, the secret area of the second).
std::vector<Region> BackupRegions(const std::vector<std::uint8_t>& flash, int generation) {
    const std::uint32_t size = static_cast<std::uint32_t>(flash.size());
    const std::uint32_t block =
        generation == kChipFirstGeneration ? kFirstGenerationBlockAddress : kSecondGenerationBlockAddress;
    std::uint32_t firmware = kFirstGenerationFirmwareAddress;
    if (generation == kChipSecondGeneration &&
        Le32(flash, block + kFirmwareAddressField) == gen2::kFirmwareAddressNoSecret) {
        firmware = gen2::kFirmwareAddressNoSecret;
    }
    auto slice = [&](std::uint32_t from, std::uint32_t to) {
        return std::vector<std::uint8_t>(flash.begin() + std::min(from, size), flash.begin() + std::min(to, size));
    };
    std::vector<Region> regions = {
        {"configuration block", CliText::kRegionBlock, block, slice(block, block + kConfigBlockSize)},
        {"firmware", CliText::kRegionFirmware, firmware, slice(firmware, size)}};
    const std::uint32_t rest = generation == kChipFirstGeneration ? 0 : block + kConfigBlockSize;
    const std::uint32_t restEnd = generation == kChipFirstGeneration ? block : firmware;
    if (restEnd > rest) regions.push_back({"rest of the flash", CliText::kRegionRest, rest, slice(rest, restEnd)});
    std::sort(regions.begin(), regions.end(),
              [](const Region& a, const Region& b) { return a.address < b.address; });
    return regions;
}

class VerifyCommand : public FlashReadCommand {
  public:
    VerifyCommand(UpdateView& view, const HostOptions& hostOptions, const FlashReadOptions& options,
                  std::filesystem::path against, LanguageId lang)
        : FlashReadCommand(view, lang, options), hostOptions_(hostOptions), against_(std::move(against)) {}

    std::optional<FlashReadStop> Check(const FlashReadDrive& drive) override {
        generation_ = drive.generation;
        if (!against_.empty()) {
            Told why;
            std::optional<BackupFile> backup = ReadBackupFile(against_, &why);
            if (!backup) return FlashReadStop{"backup-unreadable", why};
            if (backup->generation != drive.generation) {
                return FlashReadStop{"generation-mismatch",
                                     Tell(Finding::kBackupOtherGeneration,
                                          {against_.string(), std::to_string(backup->generation),
                                           std::to_string(drive.generation)})};
            }
            regions_ = BackupRegions(backup->flash, drive.generation);
            target_ = against_.string();
            return std::nullopt;
        }
        // The image as the update finds it, and the block as its programming compiles it.
        const std::u16string path = FindImagePath(hostOptions_, drive.generation);
        target_ = Utf16ToUtf8(path);
        FirmwareImage image = FirmwareImage::Read(PathFromText(path));
        image.RequireGeneration(drive.generation);
        if (!image.ok()) {
            std::error_code ec;
            if (!std::filesystem::exists(PathFromText(path), ec)) {
                const auto places = SearchedImagePlaces(hostOptions_, drive.generation);
                said_ = FormatCliText(CliText::kImageMissing, lang_, {SearchedPlacesText(places, lang_)});
                english_ = FormatCliText(CliText::kImageMissing, kLanguageNeutral,
                                         {SearchedPlacesText(places, kLanguageNeutral)});
                return FlashReadStop{"image-missing", std::nullopt};
            }
            said_ = FormatCliText(CliText::kImageDamaged, lang_, {target_, Said(image.problemFound(), lang_)});
            english_ = FormatCliText(CliText::kImageDamaged, kLanguageNeutral,
                                     {target_, InEnglish(image.problemFound())});
            return FlashReadStop{"image-damaged", std::nullopt};
        }
        const EmbeddedResource* config = FindConfigResource(ConfigResourceFor(drive.productId, drive.product));
        if (!config) return FlashReadStop{"no-config-file", Tell(Finding::kNoConfigFile)};
        CBridgeMgr built(hostOptions_.devices, hostOptions_.clock);
        built.configBytes = std::vector<std::uint8_t>(config->bytes.begin(), config->bytes.end());
        const ConfigBuildResult result = BuildConfigBlock(built, image, u"", drive.generation, drive.serial);
        if (!result.ok) return FlashReadStop{"config-failed", Tell(Finding::kConfigFailed, {result.reason})};
        const std::uint8_t* block = built.imageBuffer.data();
        const std::uint8_t* firmware = built.imageBuffer.data() + kImageOffset;
        regions_ = {{"configuration block", CliText::kRegionBlock, built.configBlockAddress,
                     {block, block + kConfigBlockSize}},
                    {"firmware", CliText::kRegionFirmware, built.firmwareAddress,
                     {firmware, firmware + built.firmwareLength}}};
        return std::nullopt;
    }
    std::optional<Told> Read(CBridgeMgr& mgr, int index, const UpdateMarker&) override {
        const FlashImage read = ReadFlashImage(mgr, index, generation_, [this](int n, std::uint32_t done, std::uint32_t size) {
            view_.BackupProgress(n, done, size);
        });
        if (read.problem == FlashImage::Problem::kRefused) return Tell(Finding::kBackupRefused);
        if (read.problem == FlashImage::Problem::kUnsteady) {
            return Tell(Finding::kBackupUnsteady, {std::to_string(read.reads)});
        }
        flash_ = read.bytes;
        return std::nullopt;
    }
    int Report(std::ostream& out, std::ostream&, Json& json) override {
        if (!json_) {
            out << FormatCliText(CliText::kComparedWith, lang_,
                                 {json.value("serial", std::string()), target_})
                << "\n";
        }
        json["comparedWith"] = target_;
        Json& list = json["regions"] = Json::array();
        std::string differing;
        for (const Region& region : regions_) {
            std::optional<std::uint32_t> first;
            for (std::size_t i = 0; i < region.expected.size() && !first; ++i) {
                const std::size_t at = region.address + i;
                if (at >= flash_.size() || flash_[at] != region.expected[i]) first = static_cast<std::uint32_t>(at);
            }
            const std::string length = std::to_string(region.expected.size());
            const std::string label = CliString(region.label, lang_);
            if (!json_) {
                out << "  "
                    << (first ? FormatCliText(CliText::kRegionDiffers, lang_, {label, length, Hex(region.address), Hex(*first)})
                              : FormatCliText(CliText::kRegionMatches, lang_, {label, length, Hex(region.address)}))
                    << "\n";
            }
            Json& o = list.emplace_back(Json::object());
            o["name"] = region.name;
            o["address"] = region.address;
            o["length"] = region.expected.size();
            o["matches"] = !first;
            o["firstDifference"] = first ? Json(*first) : Json(nullptr);
            if (first) {
                if (!differing.empty()) differing += ", ";
                differing += region.name + std::string(" at ") + Hex(*first);
            }
        }
        if (differing.empty()) return kExitOk;
        json["error"] = {{"code", "differs"}, {"text", "the flash differs from " + target_ + ": " + differing}};
        return kExitDiffers;
    }

  private:
    HostOptions hostOptions_;
    std::filesystem::path against_;
    int generation_ = 0;
    std::string target_;
    std::vector<Region> regions_;
    std::vector<std::uint8_t> flash_;
};

}  // namespace

int RunVerifyCommand(const Session& session, Args args, std::ostream& out, std::ostream& err) {
    CommandReport report("verify", WantsJson(args), out, err, session.trace);
    if (IsHelp(args)) return report.Help(kVerifyUsage);
    CliArgs cli(args, {"--lang", "--state-dir", "--device", "--image-dir", "--against"}, {"--yes", "--json"});
    if (!cli.ok()) return report.Usage(cli.error(), kVerifyUsage);
    FlashReadOptions options;
    if (std::string why = ReadCommonOptions(cli, options); !why.empty()) {
        return report.Usage(why, kVerifyUsage);
    }
    options.imageDir = Utf8Path(cli.value("--image-dir").value_or(""));
    const std::filesystem::path against = Utf8Path(cli.value("--against").value_or(""));
    if (cli.value("--against") && against.empty()) return report.Usage("--against takes a backup file", kVerifyUsage);
    if (!session.emulatedBusFolder.empty()) options.lockDir = session.emulatedBusFolder;
    return RunFlashReadCommand(
        session, "verify", options, ReadProgress::kPlain,
        [&](CliHost&, UpdateView& view, const HostOptions& hostOptions, LanguageId lang) {
            return std::make_unique<VerifyCommand>(view, hostOptions, options, against, lang);
        },
        out, err);
}

}  // namespace mox3
