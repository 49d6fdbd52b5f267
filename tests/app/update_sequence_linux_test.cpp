// The whole conversation of an update with the drive, pinned: every request in order, every
// wait, every progress step and message, for both bridge generations. A read-back removed, a
// write reordered, a wait or a count changed: the recorded sequence no longer matches the one
// kept beside this test, which was checked request by request against what the bridge needs.
// MOX3_WRITE_GOLDEN=1 rewrites the files (review the difference before keeping it).
#include <cstdlib>
#include <fstream>
#include <map>

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
        } else {
            lines_.push_back({line, page, page, 1});
        }
    }
    std::string Text() const {
        std::string out;
        char range[64];
        for (const auto& l : lines_) {
            out += l.text;
            if (l.first && l.count > 1) {
                std::snprintf(range, sizeof range, " 0x%06X..0x%06X (%u pages)", *l.first, *l.last,
                              l.count);
                out += range;
            } else if (l.first) {
                std::snprintf(range, sizeof range, " 0x%06X", *l.first);
                out += range;
            }
            out += "\n";
        }
        return out;
    }

  private:
    struct Line {
        std::string text;
        std::optional<std::uint32_t> first, last;
        std::uint32_t count;
    };
    std::vector<Line> lines_;
};

// Names each request; a header is folded into the command it announces.
void Describe(const ScsiRequest& request, Transcript& transcript, bool& headerPending) {
    static const std::map<std::uint8_t, const char*> kNames = {
        {kFnBeginFlashUpdate, "begin flash update"}, {kFnWriteFlash, "write flash"},
        {kFnReadFlash, "read flash"}, {kFnSetFlashParameters, "set flash parameters"},
        {kFnRestartBridge, "restart bridge"}, {kFnReadBridgeStatus, "read bridge status"},
        {kFnReadFirmwareVersion, "read firmware version"},
        {kFnSelectUpdateMode, "select update mode"}, {kFnReadChipName, "read chip name"},
        {kFnReadBridgeInfo, "read bridge info"}, {kFnSetSectorMode, "set sector mode"}};
    const auto& c = request.cdb;
    char hex[8];
    if ((c[0] == kOpWriteBuffer || c[0] == kOpReadBuffer) && c[1] == 0x01) {
        if (c[2] == kFnHeader) {
            headerPending = true;
            return;
        }
        const auto name = kNames.find(c[2]);
        std::string line = std::string(headerPending ? "+header " : "") +
                           (name == kNames.end() ? "unknown function" : name->second);
        headerPending = false;
        if (c[2] == kFnWriteFlash || c[2] == kFnReadFlash) {
            line += " " + std::to_string(c[7] | (c[8] << 8)) + " bytes";
            transcript.Add(line, c[4] | (c[5] << 8) | (c[6] << 16));
            return;
        }
        for (int i = 3; i < 10; ++i) {
            if (c[i] == 0) continue;
            std::snprintf(hex, sizeof hex, "%02X", c[i]);
            line += " b" + std::to_string(i) + "=" + hex;
        }
        transcript.Add(line + " (" + std::to_string(request.length) + " bytes " +
                       (request.direction == DataDirection::In ? "in" : "out") + ")");
        return;
    }
    std::snprintf(hex, sizeof hex, "%02X", c[0]);
    const std::string op = c[0] == kOpInquiry             ? "INQUIRY"
                           : c[0] == kOpReadCapacity10     ? "READ CAPACITY(10)"
                           : c[0] == kOpServiceActionIn16 ? "READ CAPACITY(16)"
                                                           : std::string("SCSI opcode ") + hex;
    transcript.Add(op + " (" + std::to_string(request.length) + " bytes)");
}

// The run's own waits (the emulator's clock is another).
struct RecordingClock : Clock {
    RecordingClock(std::shared_ptr<ManualClock> c, Transcript& t) : inner(std::move(c)), log(t) {}
    std::uint64_t NowMs() override { return inner->NowMs(); }
    void SleepMs(std::uint32_t ms) override {
        log.Add("wait " + std::to_string(ms) + " ms");
        inner->SleepMs(ms);
    }
    std::shared_ptr<ManualClock> inner;
    Transcript& log;
};

struct TranscriptView : BoxView {
    explicit TranscriptView(Transcript& t) : log(t) {}
    Transcript& log;
    void SetStatusText(const std::u16string& t) override {
        log.Add("view: status \"" + Utf16ToUtf8(t) + "\"");
    }
    void EnableButtons(bool e) override { log.Add(e ? "view: buttons on" : "view: buttons off"); }
    void InitProgress() override { log.Add("view: progress reset"); }
    void SetProgress(int p) override { log.Add("view: progress " + std::to_string(p)); }
    void SetVersionTexts(const std::u16string& c, const std::u16string& n) override {
        log.Add("view: versions " + Utf16ToUtf8(c) + " -> " + Utf16ToUtf8(n));
    }
    void MessageBox(const std::u16string& caption, const std::u16string& text) override {
        log.Add("view: message " + Utf16ToUtf8(caption) + " / " + Utf16ToUtf8(text));
    }
    void PostFinished() override { log.Add("view: finished"); }
};

// The host's actions go into the transcript too.
struct SequenceHost : MemoryHost {
    Transcript* log = nullptr;
    std::optional<std::vector<std::uint8_t>> WriteConfigFile(int id) override {
        log->Add("host: configuration file " + std::to_string(id));
        return MemoryHost::WriteConfigFile(id);
    }
    void RemoveFile(const std::u16string& p) override {
        log->Add("host: remove configuration file");
        MemoryHost::RemoveFile(p);
    }
    bool WriteMarker(const UpdateMarker& m) override {
        log->Add("host: marker " + Utf16ToUtf8(m.serial) + " " +
                 (m.blockLength ? std::to_string(*m.blockLength) : "-"));
        return MemoryHost::WriteMarker(m);
    }
    void RemoveMarker(const std::u16string& serial) override {
        log->Add("host: remove marker");
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
    host.log = &transcript;
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

    const auto golden = std::filesystem::path(MOX3_TEST_SOURCE_DIR) / "app" / "golden" /
                        ("update_generation" + std::to_string(generation) + ".txt");
    if (const char* write = std::getenv("MOX3_WRITE_GOLDEN"); write && std::string(write) == "1") {
        std::ofstream(golden, std::ios::binary) << transcript.Text();
    }
    EXPECT_EQ(transcript.Text(), ReadText(golden));
}

INSTANTIATE_TEST_SUITE_P(BothGenerations, UpdateSequence, ::testing::Values(1, 2));

}  // namespace
}  // namespace mox3::test
