// What the tests of the update run put in the places of the dialog and the platform: a view
// that keeps only its message boxes, and a host that keeps marker and configuration file in a
// test folder and in memory, with switches for the failures a platform can have.
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "app/run/update_run.h"
#include "base/text.h"
#include "resources/resources.h"
#include "test_support.h"

namespace mox3::test {

// A record with every field a run writes.
inline UpdateMarker FullRecord(std::u16string serial, std::int64_t writtenAt) {
    return {std::move(serial),    4096,     u"2-1.4", 0x5E3B, 0x7C34, u"ZR-MOX3", 2, 117,
            std::string(64, 'a'), writtenAt,  u"",      u"/backups/S-20261208T174500Z.bin"};
}

struct BoxView : UpdateView {
    std::vector<std::pair<std::u16string, std::u16string>> boxes;
    void SetStatusText(const std::u16string&) override {}
    void ShowStatusText() override {}
    void EnableButtons(bool) override {}
    void StartBlinkTimer() override {}
    void StopBlinkTimer() override {}
    void InitProgress() override {}
    void SetProgress(int) override {}
    void SetVersionTexts(const std::u16string&, const std::u16string&) override {}
    void MessageBox(const std::u16string& c, const std::u16string& t) override { boxes.push_back({c, t}); }
    void PostFinished() override {}
};

// Texts are their ids; images are looked for in `dir`, where the configuration file goes too.
struct MemoryHost : HostServices {
    std::filesystem::path dir;
    std::shared_ptr<Clock> clockPtr;
    DeviceAccess reach;  // the drives the runs see
    bool os = true;
    std::u16string arguments;
    std::optional<UpdateMarker> marker;
    std::vector<UpdateMarker> others;  // records of other drives, kept beside `marker`
    std::optional<ManualRecovery> recovery;
    std::optional<std::u16string> choice;  // the drive the user names
    std::vector<Told> uses;
    bool writeFails = false;   // the configuration file cannot be written whole
    bool markerFails = false;  // the marker cannot be written
    int markerWrites = 0;
    std::vector<int> configWrites;  // the shipped files written, by resource id
    // Changes the shipped file's bytes before they are written (a model file of the user's).
    std::function<void(std::vector<std::uint8_t>&)> editConfig;

    bool OsSupported() override { return os; }
    std::u16string LoadText(int id) override { return Utf8ToUtf16(std::to_string(id)); }
    std::u16string ImagePath(int kind) override {
        return Utf8ToUtf16((dir / (kind == 1 ? "firmware_C30.bin" : "firmware_C311.bin")).string());
    }
    std::u16string ConfigFilePath() override { return Utf8ToUtf16(ConfigFile().string()); }
    std::filesystem::path ConfigFile() const { return dir / "MOX3_config.ini"; }
    std::optional<std::vector<std::uint8_t>> WriteConfigFile(int id) override {
        if (writeFails) return RemoveFile(ConfigFilePath()), std::nullopt;
        configWrites.push_back(id);
        const EmbeddedResource* r = FindConfigResource(id);
        std::vector<std::uint8_t> bytes(r->bytes.begin(), r->bytes.end());
        if (editConfig) editConfig(bytes);
        WriteBytes(ConfigFile(), bytes);
        return bytes;
    }
    std::optional<std::vector<std::uint8_t>> ReadConfigFile() override {
        if (!std::filesystem::exists(ConfigFile())) return std::nullopt;
        return ReadBytes(ConfigFile());
    }
    bool FileExists(const std::u16string& p) override { return std::filesystem::exists(Utf16ToUtf8(p)); }
    void RemoveFile(const std::u16string& p) override { std::filesystem::remove(Utf16ToUtf8(p)); }
    bool WriteMarker(const UpdateMarker& m) override {
        ++markerWrites;
        if (markerFails) return false;
        std::erase_if(others, [&](const UpdateMarker& o) { return o.serial == m.serial; });
        if (marker && marker->serial != m.serial) others.push_back(*marker);
        marker = m;
        return true;
    }
    std::vector<UpdateMarker> ReadMarkers() override {
        std::vector<UpdateMarker> all = others;
        if (marker) all.insert(all.begin(), *marker);
        return all;
    }
    void RemoveMarker(const std::u16string& serial) override {
        if (marker && marker->serial == serial) marker.reset();
        std::erase_if(others, [&](const UpdateMarker& o) { return o.serial == serial; });
    }
    std::optional<ManualRecovery> RecoveryRequest() override { return recovery; }
    std::optional<std::u16string> DriveChoice() override { return choice; }
    std::vector<Told> DiskUses(const std::vector<std::u16string>& paths) override {
        return checkedPaths = paths, uses;
    }
    std::vector<Told> ClaimDisks(const std::vector<std::u16string>& paths) override {
        return claimedPaths = paths, claimRefusal;
    }
    std::vector<std::u16string> checkedPaths, claimedPaths;  // what the run asked about
    std::vector<Told> claimRefusal;  // a disk that cannot be taken
    std::u16string CommandLineArguments() override { return arguments; }
    DeviceAccess devices() override { return reach; }
    std::shared_ptr<Clock> clock() override { return clockPtr; }
};

}  // namespace mox3::test
