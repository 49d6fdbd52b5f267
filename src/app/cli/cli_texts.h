// The command line's own texts in every language the program speaks: the progress phases,
// the question before an update and the words that answer it, the summary, and what `list`
// prints. The dialog's texts stay in the string table (app/strings.h); this catalogue holds
// only what the dialog never shows. The texts are kept in resources/po, one gettext catalogue a
// language; the build makes them the tables of app/cli/cli_catalogue.h.
#pragma once

#include <initializer_list>
#include <span>
#include <string>
#include <string_view>

#include "app/run/strings.h"

namespace mox3 {

// The catalogue's keys. Texts with "{0}", "{1}", ... take values through FormatCliText.
enum class CliText {
    // The update's progress and its question.
    kPhaseChecking,
    kPhaseSwitching,
    kPhaseWriting,
    kPhaseWaiting,
    kPhaseDone,
    kProgressLine,     // {0} position in percent, {1} phase
    kProgressBar,      // {0} seconds so far, {1} usual seconds, {2} phase
    kAskStart,         // the question before an update
    kAskWrite,         // the question before a recovery writes serial number and model
    kYesNo,            // the answer letters shown after a question, yes first: "[y/N]"
    kYesWords,         // the words that answer yes, lower case, separated by blanks
    kNothingChanged,
    kSummary,          // {0} serial number, {1} old version, {2} new version, {3} seconds
    kDecimalPoint,     // the character between a number's whole part and its tenths
    kCheckAvailable,
    kCheckNothing,
    kRecoverQuestion,  // {0} serial number, {1} product id and model name
    kRecoveryRefused,  // {0} serial number in the record
    kAnotherRunning,   // {0} what the other update holds
    kLeadError,        // {0} the message
    kLeadCause,        // {0} the cause
    kLeadNote,         // {0} the note
    kUnopenedDisks,    // {0} count, {1} why
    // list
    kCensusLine,  // {0} number, {1} its meaning
    kCensusNone,
    kCensusOne,
    kCensusMany,
    kCensusNoUpdate,
    kBridgeDrives,     // {0} count
    kSlotLine,         // {0} slot, {1} vendor:product, {2} manufacturer, {3} product, {4} serial
    kFirmwareLine,     // {0} version, {1} normal firmware or update loader, {2} generation
    kNormalFirmware,
    kUpdateLoader,
    kImageChipUnknown,
    kImageMissing,     // {0} path
    kImageDamaged,     // {0} path, {1} the problem
    kImageNewer,       // {0} version
    kImageNotNewer,    // {0} version
    kPathLine,         // {0} path, {1} unit, {2} device number, {3} length in bytes
    kWaitErasing,  // {0} pass, {1} seconds waited, {2} the bound in seconds
    kWaitLoader,  // {0} seconds waited, {1} the bound in seconds
    kWaitNextTry,  // {0} seconds waited, {1} the bound in seconds
    kCauseNoDrive,
    kCauseSeveral,  // {0} count
    kDriveLine,  // {0} serial number, {1} port, {2} node, {3} product id and name
    kCauseLoaderNoRecord,
    kUnfinishedFound,
    kCaptioned,  // {0} a message box's caption, {1} its text
    kDemoAttached,  // {0} folder, {1} drive firmware, {2} image firmware
    kDemoAfter,
    kDemoTook,  // {0} real seconds, {1} seconds with a real drive's waits
    kDemoRealistic,  // {0} total, {1} the run's waits, {2} requests and programming, in seconds
    kAskWithoutBackup,  // {0} why no backup could be made
    kBackupKept,        // {0} the backup's file
    kBackupReading,     // {0} the read, {1} KiB read, {2} KiB in all
    // Several drives updated at once.
    kDrivePlan,  // {0} serial number, {1} port, {2} current, {3} new version
    kAskStartDrives,  // {0} count
    kDriveOutcome,  // {0} serial number, {1} port, {2} outcome
    kOutcomeUpdated,  // {0} old version, {1} new version
    kOutcomeNothing,
    kOutcomeFailed,  // {0} why
    kOutcomeInterrupted,  // {0} how far it got
    kOutcomeBackup,  // {0} the backup's file
    // backup and verify
    kAskRead,           // the question before the drive is switched for a read of its flash
    kFlashReading,      // {0} the read, {1} KiB read, {2} KiB in all
    kComparedWith,      // {0} serial number, {1} what the flash was compared with
    kRegionMatches,     // {0} region, {1} length in bytes, {2} address
    kRegionDiffers,     // {0} region, {1} length in bytes, {2} address, {3} first difference
    kRegionBlock,
    kRegionFirmware,
    kRegionRest,
    // restore
    kAskRestore,     // {0} backup file, {1} its time, {2} its firmware version, {3} serial number
    kAskOtherDrive,  // {0} the backup's serial number, {1} the drive's
    kRestored,       // {0} serial number, {1} backup file, {2} seconds
    kRestoreFailed,
};
inline constexpr int kCliTextCount = static_cast<int>(CliText::kRestoreFailed) + 1;

// The stable name of a key, for messages about the catalogue ("phase_checking").
std::string_view CliTextName(CliText key);

// A text in UTF-8, in `lang`, or in English when the catalogue lacks the language.
std::string CliString(CliText key, LanguageId lang);

// The languages of the catalogue, in increasing order of id.
std::span<const LanguageId> CliLanguages();

// Puts `values` in the places "{0}", "{1}", ... of `pattern`; a place without a value stays.
std::string FormatCliText(std::string_view pattern, std::initializer_list<std::string_view> values);
std::string FormatCliText(CliText key, LanguageId lang,
                          std::initializer_list<std::string_view> values);

// Whether a typed answer (UTF-8) means yes: "y" and "yes" in every language, and the words of
// `lang`. Blanks around the answer do not count, nor case, nor full-width forms of Latin
// letters, nor combining accents (an "i" with a combining acute is an "i").
bool IsYesAnswer(std::string_view answer, LanguageId lang);

// How many terminal columns a UTF-8 text takes: two for East Asian wide characters, none for
// combining marks, one for every other character.
std::size_t TerminalColumns(std::string_view text);

}  // namespace mox3
