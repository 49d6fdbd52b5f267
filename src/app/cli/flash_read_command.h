// What the backup and verify commands share: their common options, the question before the
// switch, the run of the flash's read on the command line, and every way it ends with its exit
// code, message and JSON.
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <string>

#include "app/cli/cli_args.h"
#include "app/cli/json_out.h"
#include "app/cli/terminal_view.h"
#include "app/run/flash_read_run.h"
#include "app/run/host.h"

namespace mox3 {

struct FlashReadOptions {
    std::optional<std::u16string> device;  // --device
    bool yes = false;
    bool json = false;
    std::optional<std::string> lang;
    std::filesystem::path imageDir;  // --image-dir
    std::filesystem::path stateDir;  // --state-dir
    std::filesystem::path lockDir;   // the emulated bus folder, for emulated drives
    std::filesystem::path copy;      // backup -o FILE
};

// The options both commands take ("--device", "--lang", "--state-dir", "--yes", "--json"),
// checked: a usage error's text, or empty.
std::string ReadCommonOptions(const CliArgs& cli, FlashReadOptions& options);

// One command's part of the run, made once the host is had.
class FlashReadCommand : public FlashReadJob {
  public:
    FlashReadCommand(UpdateView& view, LanguageId lang, const FlashReadOptions& options)
        : view_(view), lang_(lang), yes_(options.yes), json_(options.json) {}
    // Asks before the drive leaves the system, naming it, unless --yes.
    bool Confirm(const FlashReadDrive& drive) override;
    // After the read: the command's lines on `out` (`err` for notes), its fields in `json`, and
    // the exit code.
    virtual int Report(std::ostream& out, std::ostream& err, Json& json) = 0;
    // A refusal of Check without a finding: its words in the user's language and in English.
    const std::string& refusalSaid() const { return said_; }
    const std::string& refusalInEnglish() const { return english_; }

  protected:
    UpdateView& view_;
    LanguageId lang_;
    bool yes_;
    bool json_;  // one JSON object, no lines
    std::string said_;
    std::string english_;
};

using MakeFlashReadCommand = std::function<std::unique_ptr<FlashReadCommand>(
    CliHost& host, UpdateView& view, const HostOptions& hostOptions, LanguageId lang)>;

// Whether the command's view shows the reading as the backup's (backup) or as a plain read.
enum class ReadProgress { kBackup, kPlain };

// The whole command: lock and state folder, the run, and its end.
int RunFlashReadCommand(const Session& session, const std::string& name,
                        const FlashReadOptions& options, ReadProgress progress,
                        const MakeFlashReadCommand& make, std::ostream& out, std::ostream& err);

}  // namespace mox3
