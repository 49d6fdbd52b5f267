// The whole conversation of an update with the drive, pinned: every request in order, every
// wait, every progress step and message, for both bridge generations. A read-back removed, a
// write reordered, a wait or a count changed: the recorded sequence no longer matches the one
// kept beside this test, which was checked request by request against what the bridge needs.
// MOX3_WRITE_GOLDEN=1 rewrites the files (review the difference before keeping it).
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "app/run/update_run.h"
#include "app/run_fixture.h"
#include "bridge/vendor_commands.h"
#include "emulator/emulator_fixture.h"

namespace mox3::test {
namespace {

// One line per event; consecutive flash pages of one kind are folded into one line.
class Transcript {
  public:
    void Add(const std::string& line, std::optional<std::uint32_t> page = std::nullopt) {
        if (page && !lines_.empty() && lines_.back().text == line && lines_.back().last &&
            *lines_.back().last + kFlashPageSize == *page) {
            lines_.back().last = page;
            ++lines_.back().count;
            return;
        }
        lines_.push_back({line, page, page, 1});
    }
    std::string Text() const {
        std::ostringstream out;
        for (const auto& l : lines_) {
            out << l.text;
            if (l.first) {
                char range[64];
                std::snprintf(range, sizeof range, " 0x%06X", *l.first);
                out << range;
                if (l.count > 1) {
                    std::snprintf(range, sizeof range, "..0x%06X (%u pages)", *l.last, l.count);
                    out << range;
                }
            }
            out << "\n";
        }
        return out.str();
    }

  private:
    struct Line {
        std::string text;
        std::optional<std::uint32_t> first, last;
        std::uint32_t count;
    };
    std::vector<Line> lines_;
};

const char* FunctionName(std::uint8_t fn) {
    switch (fn) {
        case kFnHeader: return "header";
        case kFnBeginFlashUpdate: return "begin flash update";
        case kFnWriteFlash: return "write flash";
        case kFnReadFlash: return "read flash";
        case kFnSetFlashParameters: return "set flash parameters";
        case kFnRestartBridge: return "restart bridge";
        case kFnReadBridgeStatus: return "read bridge status";
        case kFnReadFirmwareVersion: return "read firmware version";
        case kFnSelectUpdateMode: return "select update mode";
        case kFnReadChipName: return "read chip name";
        case kFnReadBridgeInfo: return "read bridge info";
        case kFnSetSectorMode: return "set sector mode";
        default: return "unknown function";
    }
}

// Names each request; a header is folded into the command it announces.
void Describe(const ScsiRequest& request, Transcript& transcript, bool& headerPending) {
    const auto& c = request.cdb;
    char hex[8];
    if ((c[0] == kOpWriteBuffer || c[0] == kOpReadBuffer) && c[1] == 0x01) {
        if (c[2] == kFnHeader) {
            headerPending = true;
            return;
        }
        std::string line = std::string(headerPending ? "+header " : "") + FunctionName(c[2]);
        headerPending = false;
        if (c[2] == kFnWriteFlash || c[2] == kFnReadFlash) {
            const std::uint32_t address = c[4] | (c[5] << 8) | (c[6] << 16);
            const std::uint32_t length = c[7] | (c[8] << 8);
            line += " " + std::to_string(length) + " bytes";
            transcript.Add(line, address);
            return;
        }
        for (int i = 3; i < 10; ++i) {
            if (c[i] == 0) continue;
            std::snprintf(hex, sizeof hex, "%02X", c[i]);
            line += " b" + std::to_string(i) + "=" + hex;
        }
        line += " (" + std::to_string(request.length) + " bytes " +
                (request.direction == DataDirection::In ? "in" : "out") + ")";
        transcript.Add(line);
        return;
    }
    std::ostringstream line;
    switch (c[0]) {
        case kOpInquiry: line << "INQUIRY"; break;
        case kOpReadCapacity10: line << "READ CAPACITY(10)"; break;
        case kOpServiceActionIn16: line << "READ CAPACITY(16)"; break;
        default:
            std::snprintf(hex, sizeof hex, "%02X", c[0]);
            line << "SCSI opcode " << hex;
    }
    line << " (" << request.length << " bytes)";
    transcript.Add(line.str());
}

// The run's own waits (the emulator's clock is another).
class RecordingClock : public Clock {
  public:
    RecordingClock(std::shared_ptr<ManualClock> inner, Transcript& transcript)
        : inner_(std::move(inner)), transcript_(transcript) {}
    std::uint64_t NowMs() override { return inner_->NowMs(); }
    void SleepMs(std::uint32_t ms) override {
        transcript_.Add("wait " + std::to_string(ms) + " ms");
        inner_->SleepMs(ms);
    }

  private:
    std::shared_ptr<ManualClock> inner_;
    Transcript& transcript_;
};

struct TranscriptView : UpdateView {
    explicit TranscriptView(Transcript& t) : transcript(t) {}
    Transcript& transcript;
    void SetStatusText(const std::u16string& t) override {
        transcript.Add("view: status \"" + Utf16ToUtf8(t) + "\"");
    }
    void ShowStatusText() override {}
    void EnableButtons(bool e) override { transcript.Add(e ? "view: buttons on" : "view: buttons off"); }
    void StartBlinkTimer() override {}
    void StopBlinkTimer() override {}
    void InitProgress() override { transcript.Add("view: progress reset"); }
    void SetProgress(int p) override { transcript.Add("view: progress " + std::to_string(p)); }
    void SetVersionTexts(const std::u16string& c, const std::u16string& n) override {
        transcript.Add("view: versions " + Utf16ToUtf8(c) + " -> " + Utf16ToUtf8(n));
    }
    void MessageBox(const std::u16string& caption, const std::u16string& text) override {
        transcript.Add("view: message " + Utf16ToUtf8(caption) + " / " + Utf16ToUtf8(text));
    }
    void PostFinished() override { transcript.Add("view: finished"); }
};

// The host's actions go into the transcript too.
struct SequenceHost : MemoryHost {
    Transcript* transcript = nullptr;
    std::optional<std::vector<std::uint8_t>> WriteConfigFile(int id) override {
        transcript->Add("host: configuration file " + std::to_string(id));
        return MemoryHost::WriteConfigFile(id);
    }
    void RemoveFile(const std::u16string& p) override {
        transcript->Add("host: remove configuration file");
        MemoryHost::RemoveFile(p);
    }
    bool WriteMarker(const UpdateMarker& m) override {
        transcript->Add("host: marker " + Utf16ToUtf8(m.serial) + " " +
                        (m.blockLength ? std::to_string(*m.blockLength) : "-"));
        return MemoryHost::WriteMarker(m);
    }
    void RemoveMarker(const std::u16string& serial) override {
        transcript->Add("host: remove marker");
        MemoryHost::RemoveMarker(serial);
    }
};

class UpdateSequence : public EmulatedHostTest, public ::testing::WithParamInterface<int> {};

TEST_P(UpdateSequence, MatchesTheKeptTranscript) {
    const int generation = GetParam();
    Transcript transcript;
    bool headerPending = false;
    devices_.backend =
        std::make_shared<WatchingBackend>(backend_, [&](const ScsiRequest& r, ScsiReply&) {
            Describe(r, transcript, headerPending);
            return false;
        });
    auto drive = MakeProgrammedDrive(generation, "01000500", "4A3F0012B7C4D9E1");
    SwitchTo4096ByteBlocks(drive);
    transcript = Transcript();

    SequenceHost host;
    host.dir = dir_ / "host";
    std::filesystem::create_directory(host.dir);
    host.clockPtr = std::make_shared<RecordingClock>(clock_, transcript);
    host.reach = devices_;
    host.transcript = &transcript;
    std::string why;
    WriteBytes(host.dir / (generation == 1 ? "firmware_C30.bin" : "firmware_C311.bin"),
               MakeSampleImage({generation, "01000700", 30000, 3}, &why));
    TranscriptView view(transcript);
    Versions versions;
    transcript.Add("-- start-up inspection");
    ASSERT_TRUE(InspectAtStartup(view, host, versions));
    transcript.Add("-- update run");
    ASSERT_EQ(UpdateWorker(view, host, versions), 0);
    EXPECT_EQ(View(drive).logicalBlockLength, 4096u);

    const std::filesystem::path golden = std::filesystem::path(MOX3_TEST_SOURCE_DIR) / "app" /
                                         "golden" /
                                         ("update_generation" + std::to_string(generation) + ".txt");
    if (const char* write = std::getenv("MOX3_WRITE_GOLDEN"); write && std::string(write) == "1") {
        std::ofstream(golden, std::ios::binary) << transcript.Text();
    }
    EXPECT_EQ(transcript.Text(), ReadText(golden));
}

INSTANTIATE_TEST_SUITE_P(BothGenerations, UpdateSequence, ::testing::Values(1, 2));

}  // namespace
}  // namespace mox3::test
