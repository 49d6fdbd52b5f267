// What the runs of several drives at once share of the process's output and console: lines
// written one at a time, each drive's stream of them, and the at-risk stretches counted.
#pragma once

#include <memory>
#include <mutex>
#include <ostream>
#include <streambuf>
#include <string>
#include <string_view>
#include <vector>

#include "app/cli/cli_texts.h"
#include "platform/services.h"

namespace mox3 {

// The lines of every drive's run, written one at a time. On a terminal each drive has one line,
// its latest, and the block of lines is drawn again in place; otherwise each line goes out as
// it comes, after the drive's name in brackets.
class DriveLines {
  public:
    DriveLines(std::ostream& out, std::ostream& err, bool board) : out_(out), err_(err), board_(board) {}
    std::size_t Add(std::string name) {
        names_.push_back(std::move(name));
        lines_.emplace_back();
        return names_.size() - 1;
    }
    void Line(std::size_t drive, bool error, const std::string& text) {
        std::lock_guard lock(mutex_);
        if (!board_) {
            (error ? err_ : out_) << "[" << names_[drive] << "] " << text << "\n" << std::flush;
            return;
        }
        lines_[drive] = FitLine(names_[drive] + ": " + text);
        if (drawn_) out_ << "\x1b[" << lines_.size() << "A";
        for (std::size_t i = 0; i < lines_.size(); ++i) {
            out_ << "\r" << (lines_[i].empty() ? names_[i] : lines_[i]) << "\x1b[K\n";
        }
        out_ << std::flush;
        drawn_ = true;
    }

  private:
    // A line that wraps would move the block: cut to 79 columns, at a character's start.
    static std::string FitLine(const std::string& line) {
        if (TerminalColumns(line) <= 79) return line;
        std::size_t end = 0;
        for (std::size_t next = 1; next <= line.size(); ++next) {
            if (next < line.size() && (static_cast<unsigned char>(line[next]) & 0xC0) == 0x80) continue;
            if (TerminalColumns(std::string_view(line).substr(0, next)) > 78) break;
            end = next;
        }
        return line.substr(0, end) + "~";
    }

    std::ostream& out_;
    std::ostream& err_;
    bool board_;
    std::mutex mutex_;
    bool drawn_ = false;
    std::vector<std::string> names_;
    std::vector<std::string> lines_;
};

// One drive's output stream: whole lines go to the shared lines.
class LineBuffer : public std::streambuf {
  public:
    LineBuffer(DriveLines& lines, std::size_t drive, bool error)
        : lines_(lines), drive_(drive), error_(error) {}

  protected:
    int overflow(int c) override {
        if (c == traits_type::eof()) return 0;
        if (c == '\n') {
            lines_.Line(drive_, error_, pending_);
            pending_.clear();
        } else if (c != '\r') {
            pending_ += static_cast<char>(c);
        }
        return c;
    }

  private:
    DriveLines& lines_;
    std::size_t drive_;
    bool error_;
    std::string pending_;
};

// The drives at risk, counted: the process is protected from interruptions and kept awake
// while any drive is, whichever run says so last.
class SharedConsole {
  public:
    explicit SharedConsole(std::shared_ptr<Console> console) : console_(std::move(console)) {}
    void Change(int& count, bool on, void (Console::*act)(bool)) {
        std::lock_guard lock(mutex_);
        if (on ? count++ == 0 : --count == 0) (console_.get()->*act)(on);
    }
    Console& console() { return *console_; }
    int protects = 0;
    int wakes = 0;

  private:
    std::shared_ptr<Console> console_;
    std::mutex mutex_;
};

// What one drive's run tells the process's console: its at-risk stretch counted with the
// others'; everything else goes straight through.
class DriveConsole : public Console {
  public:
    explicit DriveConsole(SharedConsole& shared) : shared_(shared) {}
    bool StdoutIsTerminal() override { return false; }
    void PrepareForUtf8() override {}
    void InstallInterruptionHandling(int) override {}
    void SetInterruptionOutput(const std::string&) override {}
    void ProtectFromInterruptions(bool on) override {
        if (on != protecting_) shared_.Change(shared_.protects, protecting_ = on,
                                              &Console::ProtectFromInterruptions);
    }
    bool InterruptionArrived() override { return shared_.console().InterruptionArrived(); }
    void KeepSystemAwake(bool on) override {
        if (on != waking_) shared_.Change(shared_.wakes, waking_ = on, &Console::KeepSystemAwake);
    }

  private:
    SharedConsole& shared_;
    bool protecting_ = false;
    bool waking_ = false;
};

}  // namespace mox3
