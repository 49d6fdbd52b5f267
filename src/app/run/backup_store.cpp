#include "app/run/backup_store.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>

#include <nlohmann/json.hpp>

#include "base/number_parse.h"
#include "base/sha256.h"
#include "base/text.h"
#include "bridge/flash_backup.h"
#include "config/block_layout.h"
#include "config/profile_reader.h"
#include "platform/output_file.h"

namespace mox3 {

namespace {

constexpr int kSidecarFormat = 1;
constexpr std::size_t kTimeLength = 16;  // "20261208T174500Z"

Sha256Digest DigestOf(std::span<const std::uint8_t> bytes) {
    return Sha256(bytes).value_or(Sha256Builtin(bytes));
}

// A backup's name is its serial part, '-', the time and ".bin".
std::string SerialPartOf(const std::string& name) {
    const std::size_t tail = 1 + kTimeLength + 4;
    if (name.size() <= tail || name.compare(name.size() - 4, 4, ".bin") != 0 ||
        name[name.size() - tail] != '-') {
        return {};
    }
    return name.substr(0, name.size() - tail);
}

}  // namespace

std::string BackupBaseName(const std::u16string& serial, std::int64_t utcSeconds) {
    const std::string utf8 = Utf16ToUtf8(serial);
    std::string safe;
    for (unsigned char c : utf8) {
        if ((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z')) {
            safe += static_cast<char>(c);
        } else {
            char code[4];
            std::snprintf(code, sizeof code, "_%02X", c);
            safe += code;
        }
    }
    if (safe.size() > 160) {
        const std::span<const std::uint8_t> bytes(
            reinterpret_cast<const std::uint8_t*>(utf8.data()), utf8.size());
        safe = "sha256-" + HexString(DigestOf(bytes), HexDigits::Lower);
    }
    // "2026-12-08 17:45:00 UTC" to "20261208T174500Z".
    std::string digits;
    for (char c : UtcText(utcSeconds)) {
        if (c >= '0' && c <= '9') digits += c;
    }
    return safe + "-" + digits.substr(0, 8) + "T" + digits.substr(8, 6) + "Z";
}

std::string BackupSidecar(const BackupFacts& facts, const std::vector<std::uint8_t>& flash) {
    const UpdateMarker& r = *facts.record;
    std::string time = UtcText(facts.takenAt);  // "2026-12-08 17:45:00 UTC"
    time = time.substr(0, 10) + "T" + time.substr(11, 8) + "Z";
    nlohmann::ordered_json j;
    j["format"] = kSidecarFormat;
    j["sha256"] = HexString(DigestOf(flash), HexDigits::Lower);
    j["serial"] = Utf16ToUtf8(r.serial);
    j["vendorId"] = Utf16ToUtf8(HexText16(r.vendorId));
    j["productId"] = Utf16ToUtf8(HexText16(r.productId));
    j["product"] = Utf16ToUtf8(r.product);
    j["generation"] = r.generation;
    j["firmwareVersion"] = Utf16ToUtf8(facts.firmwareVersion);
    j["blockLength"] = r.blockLength ? nlohmann::ordered_json(*r.blockLength) : nullptr;
    j["flashSize"] = flash.size();
    j["time"] = time;
    return j.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
}

BackupOutcome TakeBackup(CBridgeMgr& mgr, int index, const BackupFacts& facts,
                         const BackupProgressFn& progress, BackupFolder& folder,
                         const std::filesystem::path& copy, std::string* copyProblem) {
    BackupOutcome outcome;
    outcome.state = BackupOutcome::State::kFailed;
    const FlashImage image = ReadFlashImage(mgr, index, facts.record->generation, progress);
    if (image.problem == FlashImage::Problem::kRefused) {
        outcome.why = Tell(Finding::kBackupRefused);
        return outcome;
    }
    if (image.problem == FlashImage::Problem::kUnsteady) {
        outcome.why = Tell(Finding::kBackupUnsteady, {std::to_string(image.reads)});
        return outcome;
    }
    // A backup of the same second is never replaced (a restore's backup may be the one being
    // written back): this one takes the next free second.
    BackupFacts named = facts;
    const std::vector<std::string> names = folder.Names();
    std::string base = BackupBaseName(named.record->serial, named.takenAt);
    while (std::find(names.begin(), names.end(), base + ".bin") != names.end()) {
        base = BackupBaseName(named.record->serial, ++named.takenAt);
    }
    const std::string_view bytes(reinterpret_cast<const char*>(image.bytes.data()),
                                 image.bytes.size());
    const std::string sidecar = BackupSidecar(named, image.bytes);
    std::string error;
    if (!folder.Write(base + ".bin", bytes, &error) ||
        !folder.Write(base + ".json", sidecar, &error)) {
        folder.Remove(base + ".bin");
        outcome.why = Tell(Finding::kBackupNotKept, {error});
        return outcome;
    }
    outcome.state = BackupOutcome::State::kStored;
    outcome.file = folder.PathOf(base + ".bin");
    // The newest of this drive's backups are kept; the time in the names orders them.
    const std::string serialPart = SerialPartOf(base + ".bin");
    std::vector<std::string> own;
    for (const std::string& name : folder.Names()) {
        if (SerialPartOf(name) == serialPart) own.push_back(name);
    }
    std::sort(own.begin(), own.end());
    for (std::size_t i = 0; i + kBackupsKept < own.size(); ++i) {
        // The backup a restore writes back stays until the restore is done: a restore broken
        // off reads it again.
        std::error_code ec;
        if (!facts.record->restoreFrom.empty() &&
            std::filesystem::equivalent(PathFromText(folder.PathOf(own[i])),
                                        PathFromText(facts.record->restoreFrom), ec)) {
            continue;
        }
        folder.Remove(own[i]);
        folder.Remove(own[i].substr(0, own[i].size() - 4) + ".json");
    }
    if (!copy.empty()) {
        std::filesystem::path sidecarCopy = copy;
        sidecarCopy += ".json";
        if (!WriteWholeOutputFile(copy, bytes, &error) ||
            !WriteWholeOutputFile(sidecarCopy, sidecar, &error)) {
            if (copyProblem) *copyProblem = error;
        }
    }
    return outcome;
}

BackupOutcome KeepBackup(CBridgeMgr& mgr, int index, const UpdateMarker& record,
                         const std::u16string& firmwareVersion, const BackupProgressFn& progress,
                         bool noBackup, const std::filesystem::path& copy,
                         const std::function<std::unique_ptr<BackupFolder>(std::string* error)>& open,
                         std::string* copyProblem) {
    BackupOutcome outcome;
    if (noBackup) {
        outcome.state = BackupOutcome::State::kSkipped;
        return outcome;
    }
    std::string error;
    std::unique_ptr<BackupFolder> folder = open(&error);
    if (!folder) {
        outcome.state = BackupOutcome::State::kFailed;
        outcome.why = Tell(Finding::kBackupNotKept, {error});
        return outcome;
    }
    BackupFacts facts;
    facts.record = &record;
    facts.firmwareVersion = firmwareVersion;
    facts.takenAt = UtcNow();
    return TakeBackup(mgr, index, facts, progress, *folder, copy, copyProblem);
}

std::filesystem::path BackupSidecarPath(const std::filesystem::path& path) {
    std::filesystem::path beside = path;
    beside += ".json";
    std::error_code ec;
    if (std::filesystem::exists(beside, ec) || path.extension() != ".bin") return beside;
    std::filesystem::path renamed = path;
    return renamed.replace_extension(".json");
}

namespace {

// A regular file's bytes, at most `largest` of them; nothing with `why` set otherwise.
std::optional<std::string> ReadSmallFile(const std::filesystem::path& path, std::size_t largest,
                                         std::string* why) {
    std::error_code ec;
    const auto status = std::filesystem::status(path, ec);
    if (ec || !std::filesystem::exists(status)) {
        *why = "there is no such file";
        return std::nullopt;
    }
    if (!std::filesystem::is_regular_file(status)) {
        *why = "it is not a regular file";
        return std::nullopt;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *why = "it cannot be opened";
        return std::nullopt;
    }
    // Read to the end, whatever the size said: the file may have changed since.
    std::string bytes(largest + 1, '\0');
    in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (in.bad()) {
        *why = "reading it failed";
        return std::nullopt;
    }
    bytes.resize(static_cast<std::size_t>(in.gcount()));
    if (bytes.size() > largest) {
        *why = "it is longer than " + std::to_string(largest) + " bytes";
        return std::nullopt;
    }
    return bytes;
}

// A text member of the description; nothing when it is missing or not a text.
std::optional<std::string> TextMember(const nlohmann::json& j, const char* name) {
    const auto it = j.find(name);
    if (it == j.end() || !it->is_string()) return std::nullopt;
    return it->get<std::string>();
}

// "0x7C34" as a 16-bit id.
std::optional<std::uint16_t> IdMember(const nlohmann::json& j, const char* name) {
    const std::optional<std::string> text = TextMember(j, name);
    if (!text) return std::nullopt;
    std::size_t used = 0;
    const std::optional<std::uint32_t> value = ScanInt32(Utf8ToUtf16(*text), &used);
    if (!value || used != text->size() || *value > 0xFFFF) return std::nullopt;
    return static_cast<std::uint16_t>(*value);
}

bool FlashSizeOf(int generation, std::size_t size) {
    if (generation == 1) return size == kFirstGenerationFlashSize;
    return size == 65536 || size == 131072 || size == kSecondGenerationFlashSize;
}

}  // namespace

std::optional<BackupFile> ReadBackupFile(const std::filesystem::path& path, Told* why) {
    std::string problem;
    const std::optional<std::string> bytes = ReadSmallFile(path, kSecondGenerationFlashSize, &problem);
    if (!bytes) {
        *why = Tell(Finding::kBackupFileUnreadable, {path.string(), problem});
        return std::nullopt;
    }
    const std::filesystem::path sidecarPath = BackupSidecarPath(path);
    const auto bad = [&](const std::string& what) {
        *why = Tell(Finding::kBackupSidecarBad, {sidecarPath.string(), what});
        return std::nullopt;
    };
    const std::optional<std::string> sidecar = ReadSmallFile(sidecarPath, 64 * 1024, &problem);
    if (!sidecar) return bad(problem);
    const nlohmann::json j = nlohmann::json::parse(*sidecar, nullptr, false);
    if (j.is_discarded() || !j.is_object()) return bad("it is not JSON");
    const auto format = j.find("format");
    if (format == j.end() || !format->is_number_integer() || *format != kSidecarFormat) {
        return bad("its format is not " + std::to_string(kSidecarFormat));
    }
    BackupFile file;
    file.flash.assign(bytes->begin(), bytes->end());
    const std::optional<std::string> sha = TextMember(j, "sha256");
    const std::optional<std::string> serial = TextMember(j, "serial");
    const std::optional<std::uint16_t> vendorId = IdMember(j, "vendorId");
    const std::optional<std::uint16_t> productId = IdMember(j, "productId");
    const auto generation = j.find("generation");
    const auto flashSize = j.find("flashSize");
    if (!sha || !serial || !vendorId || !productId || generation == j.end() ||
        !generation->is_number_integer() || (*generation != 1 && *generation != 2) ||
        flashSize == j.end() || !flashSize->is_number_unsigned()) {
        return bad("sha256, serial, vendorId, productId, generation or flashSize is missing or "
                   "not what it should be");
    }
    file.generation = generation->get<int>();
    if (flashSize->get<std::uint64_t>() != file.flash.size() ||
        !FlashSizeOf(file.generation, file.flash.size())) {
        return bad("the backup holds " + std::to_string(file.flash.size()) +
                   " bytes, which is not the flash size it records or one of generation " +
                   std::to_string(file.generation));
    }
    file.sha256 = HexString(DigestOf(file.flash), HexDigits::Lower);
    if (*sha != file.sha256) {
        *why = Tell(Finding::kBackupDigestWrong, {path.string()});
        return std::nullopt;
    }
    file.serial = Utf8ToUtf16(*serial);
    file.vendorId = *vendorId;
    file.productId = *productId;
    file.product = Utf8ToUtf16(TextMember(j, "product").value_or(""));
    file.firmwareVersion = Utf8ToUtf16(TextMember(j, "firmwareVersion").value_or(""));
    file.time = TextMember(j, "time").value_or("");
    const auto length = j.find("blockLength");
    if (length != j.end() && length->is_number_unsigned() &&
        (*length == 512u || *length == 4096u)) {
        file.blockLength = length->get<std::uint32_t>();
    }
    return file;
}

}  // namespace mox3
