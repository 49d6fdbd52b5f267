// The emulator subcommands as a user runs them.
#include <sstream>
#ifndef _WIN32
#include <sys/stat.h>
#endif

#include "app/cli/commands.h"
#include "app/session/session.h"
#include "emulator/emulator_fixture.h"

namespace mox3::test {
namespace {

namespace fs = std::filesystem;
using Argv = std::vector<std::string>;

struct CommandRun {
    int code;
    std::string out;
    std::string err;
};

// The test's time, for the commands and for the drives the test reaches itself.
const std::shared_ptr<ManualClock> testClock = std::make_shared<ManualClock>();

CommandRun Emulator(const Argv& args) {
    Session session;
    session.clock = testClock;
    std::ostringstream out, err;
    int code = RunEmulatorCommand(session, mox3::Args(args), out, err);
    return {code, out.str(), err.str()};
}

// Every part is in `text`.
void ExpectParts(const std::string& text, std::initializer_list<std::string> parts) {
    for (const std::string& part : parts) {
        EXPECT_NE(text.find(part), std::string::npos) << part << " in\n" << text;
    }
}

// Each run ends with its exit code: 2 for bad usage, 1 for what cannot be done.
void ExpectCodes(const std::vector<std::pair<Argv, int>>& runs) {
    for (const auto& [args, code] : runs) {
        CommandRun r = Emulator(args);
        EXPECT_EQ(r.code, code) << args[0] << " " << args.size() << " " << r.err;
    }
}

// A folder with a second-generation firmware image in c311.bin.
class EmulatorCommand : public ::testing::Test {
  protected:
    void SetUp() override {
        WriteBytes(p("c311.bin"), MakeSampleImage({2, "010203", 30000, 3}, &why_));
    }
    std::string p(const std::string& name) { return (dir_ / name).string(); }
    // Creates a second-generation drive of serial SERIAL0001 from c311.bin.
    CommandRun Create(const std::string& name, Argv extra = {}) {
        Argv args = {"create",   p(name),      "--generation", "2",
                     "--serial", "SERIAL0001", "--firmware",   p("c311.bin")};
        args.insert(args.end(), extra.begin(), extra.end());
        return Emulator(args);
    }
    TempDir dir_;
    std::string why_;
};

TEST_F(EmulatorCommand, CreateShowFaultAndPowerCycle) {
    WriteBytes(p("c311.bin"), MakeSampleImage({2, "0102030000010000", 30000, 3}, &why_));
    WriteBytes(p("c30.bin"), MakeSampleImage({1, "04050600", 20000, 3}, &why_));
    CommandRun r =
        Emulator({"create", p("e3"), "--generation", "2", "--pid", "0x7C34", "--product",
                  "ZR-MOXE3", "--serial", "ABCDEF0123456789", "--firmware", p("c311.bin")});
    ASSERT_EQ(r.code, 0) << r.err;
    ExpectParts(r.out, {"resource 118"});
    ExpectParts(Emulator({"show", p("e3"), "--json"}).out,
                {"\"mode\": \"normal\"", "\"productId\": \"0x7C34\"", "\"product\": \"ZR-MOXE3\"",
                 "\"serialNumber\": \"ABCDEF0123456789\"", "\"firmwareVersion\": \"V01L02R03-1:0\"",
                 "\"state\": \"sealed\"", "\"state\": \"intact\""});

    r = Emulator({"create", p("one"), "--generation", "1", "--serial", "1", "--disk-serial",
                  "DISK42", "--firmware", p("c30.bin"), "--sector", "4096", "--blocks", "8000",
                  "--chip", "MB86C30A"});
    ASSERT_EQ(r.code, 0) << r.err;
    ExpectParts(r.out, {"resource 104"});
    ExpectParts(Emulator({"show", p("one")}).out,
                {"0x5E3B:0x7C31", "serial \"DISK42\"", "capacity: 1000 blocks of 4096 bytes",
                 "firmware version: V04L05R06"});

    ExpectCodes({{{"fault", p("one"), "--pull-cable-at", "1"}, 0},
                 {{"fault", p("one"), "--fail-kind", "0x21", "--from", "3"}, 0}});
    ExpectParts(Emulator({"show", p("one")}).out,
                {"fault: pull the cable", "fault: fail every command 0x21 from its 3."});
    ExpectCodes({{{"power-cycle", p("one")}, 0}, {{"fault", p("one"), "--clear"}, 0}});
    EXPECT_EQ(Emulator({"show", p("one")}).out.find("fault:"), std::string::npos);
}

TEST_F(EmulatorCommand, RefusalsAndBadUsage) {
    ASSERT_EQ(Create("d").code, 0);
    CommandRun again = Create("d");
    EXPECT_EQ(again.code, 1);
    ExpectParts(again.err, {"not empty"});
    // A pid of no model; a second-generation image for the first; an image that does not fit.
    EXPECT_EQ(Create("x1", {"--pid", "0x7C99"}).code, 1);
    EXPECT_EQ(Create("x2", {"--generation", "1"}).code, 1);
    EXPECT_EQ(Create("x3", {"--flash-size", "16384"}).code, 1);
    EXPECT_EQ(Create("x4", {"--sector", "1024"}).code, 2);
    EXPECT_EQ(Create("x5", {"--resource", "117", "--pid", "0x7C34"}).code, 2);
    ExpectCodes({{{"create", p("x6"), "--generation", "2"}, 2},
                 {{"fault", p("d")}, 2},
                 {{"fault", p("d"), "--stay-busy", "--no-return"}, 2},
                 {{"fault", p("d"), "--fail-command", "0"}, 2},
                 {{"fault", p("d"), "--corrupt-read", "0x40000"}, 1},
                 {{"frobnicate"}, 2}});
}

TEST_F(EmulatorCommand, TheDiskFromOutside) {
    ASSERT_EQ(Create("d", {"--blocks", "2048", "--sector", "4096", "--latency", "typical"}).code,
              0);
    std::vector<std::uint8_t> bytes(5000);
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i * 7 + 1);
    WriteBytes(p("in.bin"), bytes);
    auto digestLine = [](const std::string& text) {
        auto at = text.find("disk digest: ");
        return at == std::string::npos ? std::string() : text.substr(at, 13 + 64);
    };
    const std::string empty = digestLine(Emulator({"show", p("d"), "--digest"}).out);
    EXPECT_EQ(Emulator({"disk", p("d"), "--import", p("in.bin"), "--offset", "0x1000"}).code, 0);
    CommandRun r = Emulator({"show", p("d"), "--digest"});
    ExpectParts(r.out, {"disk: 1048576 bytes (2048 512-byte units) in disk.img, 256 blocks of "
                        "4096 bytes",
                        "latency: 500 us a request"});
    EXPECT_EQ(digestLine(r.out).size(), 13u + 64u);
    EXPECT_NE(digestLine(r.out), empty);
    ExpectParts(Emulator({"show", p("d"), "--json", "--digest"}).out, {"\"digest\": \""});
    r = Emulator(
        {"disk", p("d"), "--export", p("out.bin"), "--offset", "4096", "--length", "5000"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(ReadBytes(p("out.bin")), bytes);

    ExpectCodes({{{"disk", p("d")}, 2},
                 {{"disk", p("d"), "--import", p("in.bin"), "--export", p("x")}, 2},
                 {{"disk", p("d"), "--import", p("in.bin"), "--length", "5"}, 2},
                 {{"disk", p("d"), "--export", p("x"), "--offset", "-1"}, 2},
                 {{"set", p("d"), "--latency", "1,2"}, 2},
                 {{"disk", p("d"), "--import", p("in.bin"), "--offset", "1048000"}, 1},
                 {{"disk", p("d"), "--export", p("x"), "--offset", "1048577"}, 1},
                 {{"disk", p("d"), "--export", p("x"), "--offset", "1048566", "--length", "11"}, 1},
                 {{"disk", p("d"), "--import", p("missing.bin")}, 1},
                 {{"disk", p("nothing"), "--import", p("in.bin")}, 1},
                 {{"set", p("d"), "--latency", "off"}, 0}});
    EXPECT_EQ(Emulator({"show", p("d")}).out.find("latency:"), std::string::npos);
}

TEST_F(EmulatorCommand, PlainDisksTreeSettingsAndTheTreeListing) {
    fs::create_directory(dir_ / "root");
    ASSERT_EQ(Create("root/b-drive").code, 0);
    CommandRun r = Emulator({"create-disk", p("root/a-disk"), "--vid", "0x5E3B", "--pid", "0x7C37",
                             "--product", "ZR-MOX3 Lite", "--serial", "LITE01", "--blocks", "8000",
                             "--sector", "4096"});
    ASSERT_EQ(r.code, 0) << r.err;
    r = Emulator({"show", p("root/a-disk")});
    ExpectParts(r.out, {"0x5E3B:0x7C37", "capacity: 1000 blocks of 4096 bytes"});
    EXPECT_EQ(r.out.find("firmware"), std::string::npos) << "no bridge, no firmware";

    r = Emulator({"set", p("root/b-drive"), "--cdrom", "on", "--usb-levels", "2", "--port-identity",
                  "no-serial"});
    ASSERT_EQ(r.code, 0) << r.err;
    ExpectParts(r.out, {"CD-ROM and disk interfaces; USB device 2 levels up (composite)"});
    ExpectCodes({{{"set", p("root/a-disk"), "--attached", "off"}, 0}});
    ExpectParts(Emulator({"show", p("root/a-disk"), "--json"}).out, {"\"attached\": false"});

    r = Emulator({"list", p("root")});
    ASSERT_EQ(r.code, 0) << r.err;
    ExpectParts(r.out,
                {"a-disk: disk, unplugged", "b-drive: bridge, normal mode, present",
                 "cdrom " + (fs::path(p("root")) / "b-drive").string() + "#cdrom",
                 "USB\\VID_5E3B&PID_7C34&MI_00\\",
                 "parent 0x00200026 USB\\VID_5E3B&PID_7C34\\SERIAL0001", "serial (request fails)",
                 "USBSTOR\\CDROM&VEN_KAVELIN&PROD_External_HDD&REV_0001\\SERIAL0001&1",
                 "device number 0, length (fails)", "parent 0x00000001 USB\\ROOT_HUB30\\EMULATED"});
    ExpectParts(Emulator({"list", p("root"), "--json"}).out, {"\"class\": \"cdrom\""});
    ExpectCodes({{{"create-disk", p("x"), "--vid", "0x5E3B"}, 2},
                 {{"create-disk", p("x"), "--vid", "1", "--pid", "0x10000"}, 2},
                 {{"set", p("root/a-disk")}, 2},
                 {{"set", p("root/a-disk"), "--cdrom", "yes"}, 2},
                 {{"set", p("root/a-disk"), "--usb-levels", "4"}, 2},
                 {{"set", p("nothing"), "--cdrom", "on"}, 1},
                 {{"list", p("nothing")}, 1}});
}

// Folders spoilt from outside: each is refused with a message saying what is wrong, none
// crashes the program or blocks it. Each drive is made anew: a copy would write out the whole
// of its sparse disk.
TEST_F(EmulatorCommand, ShowRefusesFolderFilesItCannotUse) {
    auto spoilt = [&](const std::string& name) {
        EXPECT_EQ(Create(name, {"--blocks", "2048"}).code, 0);
        return dir_ / name;
    };
    const CommandRun good = Emulator({"show", spoilt("good").string()});
    ASSERT_EQ(good.code, 0) << good.err;
    auto refused = [&](const fs::path& folder, const std::string& says) {
        CommandRun r = Emulator({"show", folder.string()});
        EXPECT_EQ(r.code, 1);
        ExpectParts(r.err, {says});
    };

    // A state whose lines end in CR LF reads as the same drive.
    const fs::path crlf = spoilt("crlf");
    std::string text;
    for (char c : ReadText(crlf / "drive.state"))
        text += c == '\n' ? std::string("\r\n") : std::string(1, c);
    WriteText(crlf / "drive.state", text);
    CommandRun r = Emulator({"show", crlf.string()});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out.substr(r.out.find('\n')), good.out.substr(good.out.find('\n')));

    // A flash shorter than the configuration block it should hold.
    const fs::path tiny = spoilt("tiny");
    text = ReadText(tiny / "drive.state");
    const auto at = text.find("flash-size=");
    text.replace(at, text.find('\n', at) - at, "flash-size=100");
    WriteText(tiny / "drive.state", text);
    auto flash = ReadBytes(tiny / "flash-1.bin");
    flash.resize(100);
    WriteBytes(tiny / "flash-1.bin", flash);
    refused(tiny, "flash-size: 100 bytes");

#ifndef _WIN32
    // A flash that is no file (a FIFO here) or far too long is not read at all; a FIFO for the
    // state would block the reader until someone wrote to it.
    const fs::path pipe = spoilt("pipe"), huge = spoilt("huge"), fifo = spoilt("fifo");
    fs::remove(pipe / "flash-1.bin");
    ASSERT_EQ(::mkfifo((pipe / "flash-1.bin").c_str(), 0600), 0);
    refused(pipe, "not a regular file");
    fs::resize_file(huge / "flash-1.bin", 1ull << 32);  // sparse: nothing is written
    refused(huge, "more than");
    fs::remove(fifo / "drive.state");
    ASSERT_EQ(::mkfifo((fifo / "drive.state").c_str(), 0600), 0);
    refused(fifo, "drive.state is not a regular file");
    EXPECT_EQ(Emulator({"fault", fifo.string(), "--stay-busy"}).code, 1);
#endif
}

}  // namespace
}  // namespace mox3::test
