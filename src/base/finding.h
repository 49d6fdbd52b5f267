// What a layer finds and reports to the user (why a run stopped, what is wrong with an image,
// what holds a disk), as a kind and its values. The layer that finds it does not word it:
// whoever shows it does, in the user's language on the command line and in English in logs,
// JSON and the texts of lower layers.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace mox3 {

enum class Finding {
    kNoDriveNamed,
    kRecordOtherPort,
    kNoRecordAtPort,
    kSampleImage,
    kOtherUnfinished,
    kNoDriveNow,
    kDrivesNow,
    kDriveGone,
    kDriveGoneAt,
    kAnotherDrive,
    kNotFamily,
    kNoChipName,
    kGenerationChanged,
    kLengthNotRestored,
    kLengthBytesNotRestored,
    kDriveSerialControl,
    kGivenSerialControl,
    kNoCapacity,
    kNoConfigFile,
    kConfigNotWritten,
    kConfigGone,
    kModelOtherGeneration,
    kRecordNotWritten,
    kStoppedWaiting,
    kSwitchRefused,
    kLoaderNotBack,
    kConfigFailed,
    kStayedBusy,
    kFlashFailed,
    kBridgeSays,
    kNotBack,
    kBackupRefused,
    kBackupUnsteady,
    kBackupNotKept,
    kNoBackup,
    kBackupFileUnreadable,
    kBackupSidecarBad,
    kBackupDigestWrong,
    kBackupOtherGeneration,
    kFlashHalfWritten,
    kReadStopped,
    kBackupOtherSerial,
    kBackupOtherLength,
    kNoRestoreRecord,
    kRestoreStopped,
    kImageNoFile,
    kImageNotRegular,
    kImageNoSize,
    kImageCannotOpen,
    kImageCannotRead,
    kImageTooLarge,
    kImageLongerThan,
    kImageSize,
    kImageDigest,
    kImageTrailer,
    kImageGeneration,
    kImageBuffer,
    kImageFailedTest,
    kPlaceMissing,
    kPlaceUnreachable,
    kPlaceFolder,
    kPlaceNotRegular,
    kPlaceSound,
    kPlaceUnreadable,
    kPlaceOtherGeneration,
    kPlaceDamaged,
    kUsedBy,
    kMountedOn,
    kUsedAsSwap,
    kHeldOpenBy,
    kMountedInNamespace,
    kInUseBySystem,
    kCannotTake,
    kNotBlockDevice,
    kFlushFailed,
    kCacheNotWritten,
    kSynchronizeFailed,
    kVolumeInUse,
    kVolumeOnDiskInUse,
};
inline constexpr int kFindingCount = static_cast<int>(Finding::kVolumeOnDiskInUse) + 1;

struct Told {
    Finding what{};
    // The values of the text's "{0}", "{1}", ...: paths, numbers, serial numbers, ports.
    std::vector<std::string> values;
    // Findings within this one, worded in the same language and put after the values:
    // "{n}" for n = values.size(), ... .
    std::vector<Told> inner;

    bool operator==(const Told&) const = default;
};

Told Tell(Finding what, std::vector<std::string> values = {}, std::vector<Told> inner = {});

// The English pattern of a finding, with its placeholders. The patterns are the msgids of the
// command line's catalogue (resources/po/mox3-updater.pot), which the build makes a table.
std::string_view EnglishPattern(Finding what);

// A finding worded with the patterns `pattern` gives (each inner finding with them too).
using FindingPatterns = std::string_view (*)(Finding, const void* context);
std::string Worded(const Told& told, FindingPatterns pattern, const void* context);
std::string InEnglish(const Told& told);
std::vector<std::string> InEnglish(const std::vector<Told>& told);

}  // namespace mox3
