// What the update run shows on a terminal, and the options and entry of one update of the
// command line (the update and demo commands share them).
#pragma once

#include <algorithm>
#include <filesystem>
#include <iostream>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "app/cli/cli_texts.h"
#include "app/cli/finding_texts.h"
#include "app/cli/warning_report.h"
#include "app/run/strings.h"
#include "app/run/update_run.h"
#include "app/session/session.h"
#include "base/text.h"

namespace mox3 {

// What each stretch of the run does, by the progress position that begins it.
std::string PhaseOf(int position, LanguageId lang);

// Seconds with their tenths, as the language writes them ("22.0", "22,0").
std::string SecondsText(std::uint64_t ms, LanguageId lang);

struct RunOptions {
    std::optional<ManualRecovery> recovery;
    std::optional<std::u16string> device;  // one drive named
    bool all = false;                       // --all: every drive of the family
    std::vector<std::u16string> devices;    // every --device, each once
    bool records = false;                  // --records: list the records of unfinished updates
    std::optional<std::u16string> forget;  // --forget SERIAL: remove one
    std::filesystem::path lockDir;
    bool force = false;
    bool yes = false;
    bool json = false;
    bool check = false;
    std::optional<std::string> lang;
    std::filesystem::path imageDir;
    std::filesystem::path stateDir;
    bool noBackup = false;              // --no-backup
    std::filesystem::path backupCopy;   // --backup FILE
};

// One update (or --check, --records, --forget) with these options, on the session's drives,
// clock and services: the exit code. What --verbose shows of a failed request comes from the
// session's trace.
int RunUpdate(const Session& session, const RunOptions& options, std::ostream& out,
              std::ostream& err);

// The run's clock, its long sleeps cut into seconds so that the view can show time passing.
class TickingClock : public Clock {
  public:
    TickingClock(std::shared_ptr<Clock> base, std::function<void()> tick)
        : base_(std::move(base)), tick_(std::move(tick)) {}
    std::uint64_t NowMs() override { return base_->NowMs(); }
    void SleepMs(std::uint32_t ms) override {
        while (ms > 0) {
            const std::uint32_t step = std::min<std::uint32_t>(ms, 1000);
            base_->SleepMs(step);
            ms -= step;
            if (ms > 0) tick_();
        }
    }

  private:
    std::shared_ptr<Clock> base_;
    std::function<void()> tick_;
};

// What the run shows on a terminal: results and progress on standard output (a bar on a
// terminal, one line per step otherwise), every refusal and failure on standard error with
// the cause in plain words, the warning not to unplug the drive once, at the switch.
class TerminalView : public UpdateView {
  public:
    TerminalView(std::ostream& out, std::ostream& err, bool quiet, LanguageId lang,
                 std::shared_ptr<Clock> clock, const Services& services)
        : out_(out), err_(err), quiet_(quiet),
          tty_(services.console->StdoutIsTerminal() && &out == &std::cout), lang_(lang),
          clock_(std::move(clock)), console_(*services.console), prompts_(*services.prompts) {}

    void SetStatusText(const std::u16string& text) override {
        if (text.empty() || quiet_) return;
        EndBar();
        out_ << ForTerminal(text) << "\n";
    }
    void ShowStatusText() override {}
    void EnableButtons(bool) override {}
    void StartBlinkTimer() override {}
    void StopBlinkTimer() override {}
    void InitProgress() override {
        started_ = true;
        startMs_ = clock_->NowMs();
        SetProgress(0);
    }
    void SetProgress(int position) override {
        // Nothing to show of a bar that a refused run never started, nor of the reset after a
        // failure, which has said what happened.
        if (quiet_ || !started_ || position == last_ || (position == 0 && failed_)) return;
        last_ = position;
        shownWait_.reset();
        if (tty_) {
            DrawProgress(position);
        } else {
            out_ << FormatCliText(CliText::kProgressLine, lang_,
                                  {std::to_string(position), PhaseOf(position, lang_)})
                 << "\n";
        }
    }
    void SetVersionTexts(const std::u16string& current, const std::u16string& fresh) override {
        if (quiet_) return;
        // The labels of the dialog, the versions one under the other.
        const std::string now = Utf16ToUtf8(LoadDialogText(DialogText::kCurrentFirmware, lang_));
        const std::string next = Utf16ToUtf8(LoadDialogText(DialogText::kNewFirmware, lang_));
        const std::size_t width = std::max(TerminalColumns(now), TerminalColumns(next)) + 1;
        out_ << now << ":" << std::string(width - TerminalColumns(now), ' ')
             << Utf16ToUtf8(current) << "\n"
             << next << ":" << std::string(width - TerminalColumns(next), ' ')
             << Utf16ToUtf8(fresh) << "\n";
    }
    void MessageBox(const std::u16string& caption, const std::u16string& text) override {
        Message({0, 0, caption, text});
    }
    // Decided by the ids the run gives, shown in the words it gives.
    void Message(const RunMessage& m) override {
        lastMessage_ = m.text;
        if (m.textId != 0 && TellsAnOutcome(m.textId)) lastTextId_ = m.textId;
        const bool success = m.captionId == kMsgComplete;
        if (!success && m.captionId == kMsgError) failed_ = true;
        if (!quiet_) {
            EndBar();
            const std::string c = ForTerminal(m.caption);
            // The dialog's "Press Start" is no advice on the command line.
            const std::string t = m.textId == kMsgUnfinishedFound
                                      ? CliString(CliText::kUnfinishedFound, lang_)
                                      : ForTerminal(m.text);
            (success ? out_ : err_) << (c.empty() ? t : FormatCliText(CliText::kCaptioned, lang_, {c, t}))
                                    << "\n";
        }
        if (cause_) {
            if (!quiet_) err_ << FormatCliText(CliText::kLeadCause, lang_, {Said(*cause_, lang_)}) << "\n";
            lastCause_ = InEnglish(*cause_);
            cause_.reset();
        }
    }
    void PostFinished() override {}
    void DriveAtRisk(bool atRisk) override {
        console_.ProtectFromInterruptions(atRisk);
        // No sleep, shutdown or idle until the drive is back with its block length.
        console_.KeepSystemAwake(atRisk);
        if (atRisk && !warned_ && !quiet_) {
            EndBar();
            err_ << ForTerminal(LoadDialogText(DialogText::kCaution, lang_)) << "\n";
            warned_ = true;
        }
    }
    void Cause(const Told& cause) override { cause_ = cause; }
    void ConfigWarnings(const std::vector<CompileWarning>& warnings) override {
        warnings_ = warnings;
        if (quiet_) return;
        EndBar();
        WriteWarningLines(err_, warnings);
    }
    // A question of the run is asked even under --yes: it is about something --yes did not
    // agree to. With --json nobody can answer it: the run is refused and says why.
    bool Confirm(const std::u16string& question) override {
        if (quiet_ || asksNothing_) {
            confirmationNeeded_ = Utf16ToUtf8(question);
            return false;
        }
        EndBar();
        out_ << ForTerminal(question) << "\n";
        out_ << CliString(CliText::kYesNo, lang_) << " " << std::flush;
        std::string answer;
        asked_ = true;
        declined_ = !(prompts_.ReadLine(&answer) && IsYesAnswer(answer, lang_));
        return !declined_;
    }
    // No backup could be made: asked as any question of the run is.
    bool ConfirmWithoutBackup(const Told& why) override {
        if (quiet_ || asksNothing_) {
            confirmationNeeded_ = FormatCliText(CliText::kAskWithoutBackup, kLanguageNeutral, {InEnglish(why)});
            return false;
        }
        return Confirm(Utf8ToUtf16(FormatCliText(CliText::kAskWithoutBackup, lang_, {Said(why, lang_)})));
    }
    // The backup's reading: on a terminal in the bar's line, otherwise a line as each read ends.
    void BackupProgress(int read, std::uint32_t done, std::uint32_t size) override {
        if (quiet_ || (!tty_ && done != size)) return;
        const std::string text = FormatCliText(
            CliText::kBackupReading, lang_,
            {std::to_string(read), std::to_string(done / 1024), std::to_string(size / 1024)});
        if (tty_) {
            DrawBar(text);
        } else {
            out_ << text << "\n";
        }
    }
    // Long waits are shown as they pass: on a terminal in the bar's line, otherwise as a line
    // once a wait has lasted 10 s and then every 30 s.
    void Waiting(CBridgeMgr::WaitFor what, unsigned pass, unsigned seconds,
                 unsigned boundSeconds) override {
        if (quiet_) return;
        const std::string text = WaitText(what, pass, seconds, boundSeconds);
        if (tty_) {
            DrawBar(text);
            shownWait_ = ShownWait{what, pass, seconds, boundSeconds, clock_->NowMs()};
            return;
        }
        const bool fresh = what != waitWhat_ || pass != waitPass_;
        if (fresh) {
            waitWhat_ = what;
            waitPass_ = pass;
            waitShown_ = 0;
        }
        if (seconds >= 10 && (waitShown_ == 0 || seconds >= waitShown_ + 30)) {
            out_ << text << "\n";
            waitShown_ = seconds;
        }
    }
    bool StopWanted() override { return console_.InterruptionArrived(); }
    // Called as time passes within a long wait (every second): on a terminal the bar's line
    // moves with it, the wait's seconds or the run's.
    void Tick() {
        if (quiet_ || !tty_ || !barOpen_) return;
        if (shownWait_) {
            // Counted on from the wait's own last report.
            const ShownWait& w = *shownWait_;
            const unsigned more = static_cast<unsigned>((clock_->NowMs() - w.atMs) / 1000);
            DrawBar(WaitText(w.what, w.pass, std::min(w.seconds + more, w.bound), w.bound));
            return;
        }
        DrawProgress(last_);
    }
    // The run's questions go unasked, as under --json (one drive among several updated at
    // once: nobody could tell which drive a question is about).
    void AskNothing() { asksNothing_ = true; }
    const std::string& confirmationNeeded() const { return confirmationNeeded_; }
    bool declined() const { return asked_ && declined_; }
    // The last message that told how the run ended (kMsgImageMissing for the missing image's).
    int lastTextId() const { return lastTextId_; }
    // The words of the last message, as shown.
    const std::u16string& lastMessage() const { return lastMessage_; }
    const std::string& lastCause() const { return lastCause_; }
    const std::vector<CompileWarning>& warnings() const { return warnings_; }
    std::string WaitText(CBridgeMgr::WaitFor what, unsigned pass, unsigned seconds,
                         unsigned boundSeconds) const {
        const std::string s = std::to_string(seconds);
        const std::string bound = std::to_string(boundSeconds);
        switch (what) {
            case CBridgeMgr::WaitFor::kErasing:
                return FormatCliText(CliText::kWaitErasing, lang_, {std::to_string(pass), s, bound});
            case CBridgeMgr::WaitFor::kLoaderReturn:
                return FormatCliText(CliText::kWaitLoader, lang_, {s, bound});
            case CBridgeMgr::WaitFor::kNextTry:
                return FormatCliText(CliText::kWaitNextTry, lang_, {s, bound});
        }
        return {};
    }
    // The bar at the run's position, followed by `text`, in place of the line's last drawing.
    void DrawBar(const std::string& text) {
        const int at = std::max(last_, 0);
        out_ << "\r[" << std::string(static_cast<std::size_t>(at * 40 / 100), '#')
             << std::string(static_cast<std::size_t>(40 - at * 40 / 100), ' ') << "] " << at
             << "% " << text << "\x1b[K" << std::flush;
        barOpen_ = true;
    }
    void DrawProgress(int position) {
        const std::uint64_t seconds = (clock_->NowMs() - startMs_) / 1000;
        DrawBar(FormatCliText(CliText::kProgressBar, lang_,
                              {std::to_string(seconds), "25", PhaseOf(position, lang_)}));
    }
    void EndBar() {
        if (barOpen_) out_ << "\n";
        barOpen_ = false;
    }

  private:
    std::ostream& out_;
    std::ostream& err_;
    bool quiet_;
    bool tty_;
    LanguageId lang_;
    std::shared_ptr<Clock> clock_;
    Console& console_;
    Prompts& prompts_;
    bool barOpen_ = false;
    bool started_ = false;
    bool failed_ = false;
    bool warned_ = false;
    int last_ = -1;
    std::uint64_t startMs_ = 0;
    int lastTextId_ = 0;
    std::u16string lastMessage_;
    std::optional<Told> cause_;
    std::string lastCause_;
    std::vector<CompileWarning> warnings_;
    std::string confirmationNeeded_;
    std::optional<CBridgeMgr::WaitFor> waitWhat_;
    struct ShownWait {
        CBridgeMgr::WaitFor what;
        unsigned pass, seconds, bound;
        std::uint64_t atMs;
    };
    std::optional<ShownWait> shownWait_;  // the wait the bar's line shows, on a terminal
    unsigned waitPass_ = 0;
    unsigned waitShown_ = 0;
    bool asked_ = false;
    bool declined_ = false;
    bool asksNothing_ = false;
};

}  // namespace mox3
