// The emulator subcommands as a user runs them.
#include <fstream>
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

struct CommandRun {
    int code;
    std::string out;
    std::string err;
};

// The test's time, for the commands and for the drives the test reaches itself.
const std::shared_ptr<ManualClock> testClock = std::make_shared<ManualClock>();

CommandRun Emulator(std::vector<std::string> args) {
    Session session;
    session.clock = testClock;
    std::ostringstream out, err;
    int code = RunEmulatorCommand(session, Args(args), out, err);
    return {code, out.str(), err.str()};
}

bool Has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}
// Every part is in `text`.
void ExpectParts(const std::string& text, std::initializer_list<std::string> parts) {
    for (const std::string& part : parts) EXPECT_TRUE(Has(text, part)) << part << " in\n" << text;
}

// A folder with a second-generation firmware image in c311.bin.
class EmulatorCommand : public ::testing::Test {
  protected:
    void SetUp() override {
        WriteBytes(p("c311.bin"), MakeSampleImage({2, "010203", 30000, 3}, &why_));
    }
    std::string p(const std::string& name) { return (dir_ / name).string(); }
    // Creates a second-generation drive of serial SERIAL0001 from c311.bin.
    CommandRun Create(const std::string& name, std::vector<std::string> extra = {}) {
        std::vector<std::string> args = {"create",   p(name),      "--generation", "2",
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
    EXPECT_TRUE(Has(r.out, "resource 118")) << r.out;
    r = Emulator({"show", p("e3"), "--json"});
    ASSERT_EQ(r.code, 0) << r.err;
    ExpectParts(r.out,
                {"\"mode\": \"normal\"", "\"productId\": \"0x7C34\"", "\"product\": \"ZR-MOXE3\"",
                 "\"serialNumber\": \"ABCDEF0123456789\"", "\"firmwareVersion\": \"V01L02R03-1:0\"",
                 "\"state\": \"sealed\"", "\"state\": \"intact\""});

    r = Emulator({"create", p("one"), "--generation", "1", "--serial", "1", "--disk-serial",
                  "DISK42", "--firmware", p("c30.bin"), "--sector", "4096", "--blocks", "8000",
                  "--chip", "MB86C30A"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_TRUE(Has(r.out, "resource 104")) << r.out;
    ExpectParts(Emulator({"show", p("one")}).out,
                {"0x5E3B:0x7C31", "serial \"DISK42\"", "capacity: 1000 blocks of 4096 bytes",
                 "firmware version: V04L05R06"});

    EXPECT_EQ(Emulator({"fault", p("one"), "--pull-cable-at", "1"}).code, 0);
    EXPECT_EQ(Emulator({"fault", p("one"), "--fail-kind", "0x21", "--from", "3"}).code, 0);
    ExpectParts(Emulator({"show", p("one")}).out,
                {"fault: pull the cable", "fault: fail every command 0x21 from its 3."});
    auto device = MakeEmulatorBackend(testClock)->Open(Utf8ToUtf16(p("one")), nullptr);
    ASSERT_NE(device, nullptr);
    EXPECT_FALSE(Send(*device, kStatus, 12).delivered);
    ExpectParts(Emulator({"show", p("one"), "--json"}).out,
                {"\"bus\": \"absent\"", "\"host\": null"});
    EXPECT_EQ(Emulator({"power-cycle", p("one")}).code, 0);
    EXPECT_TRUE(Has(Emulator({"show", p("one")}).out, "bus: present"));
    EXPECT_EQ(Emulator({"fault", p("one"), "--clear"}).code, 0);
    EXPECT_FALSE(Has(Emulator({"show", p("one")}).out, "fault:"));
}

TEST_F(EmulatorCommand, RefusalsAndBadUsage) {
    ASSERT_EQ(Create("d").code, 0);
    CommandRun again = Create("d");
    EXPECT_EQ(again.code, 1);
    EXPECT_TRUE(Has(again.err, "not empty")) << again.err;

    EXPECT_EQ(Create("x1", {"--pid", "0x7C99"}).code, 1);
    EXPECT_EQ(Create("x2", {"--generation", "1"}).code, 1) << "a second-generation image";
    EXPECT_EQ(Create("x3", {"--flash-size", "16384"}).code, 1) << "the image does not fit";
    EXPECT_EQ(Create("x4", {"--sector", "1024"}).code, 2);
    EXPECT_EQ(Create("x5", {"--resource", "117", "--pid", "0x7C34"}).code, 2);
    EXPECT_EQ(Emulator({"create", p("x6"), "--generation", "2"}).code, 2);
    EXPECT_EQ(Emulator({"show", p("nothing")}).code, 1);
    EXPECT_EQ(Emulator({"fault", p("d")}).code, 2);
    EXPECT_EQ(Emulator({"fault", p("d"), "--stay-busy", "--no-return"}).code, 2);
    EXPECT_EQ(Emulator({"fault", p("d"), "--fail-command", "0"}).code, 2);
    EXPECT_EQ(Emulator({"fault", p("d"), "--corrupt-read", "0x40000"}).code, 1);
    EXPECT_EQ(Emulator({"frobnicate"}).code, 2);
    EXPECT_EQ(Emulator({"--help"}).code, 0);
}

TEST_F(EmulatorCommand, TheDiskFromOutside) {
    ASSERT_EQ(Create("d", {"--blocks", "2048", "--sector", "4096", "--latency", "typical"}).code,
              0);
    std::vector<std::uint8_t> bytes(5000);
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i * 7 + 1);
    WriteBytes(p("in.bin"), bytes);
    const std::string empty = Emulator({"show", p("d"), "--digest"}).out;
    EXPECT_EQ(Emulator({"disk", p("d"), "--import", p("in.bin"), "--offset", "0x1000"}).code, 0);
    CommandRun r = Emulator({"show", p("d"), "--digest"});
    ExpectParts(r.out, {"disk: 1048576 bytes (2048 512-byte units) in disk.img, 256 blocks of "
                        "4096 bytes",
                        "latency: 500 us a request"});
    auto digestLine = [](const std::string& text) {
        auto at = text.find("disk digest: ");
        return at == std::string::npos ? std::string() : text.substr(at, 13 + 64);
    };
    EXPECT_EQ(digestLine(r.out).size(), 13u + 64u);
    EXPECT_NE(digestLine(r.out), digestLine(empty));
    EXPECT_TRUE(Has(Emulator({"show", p("d"), "--json", "--digest"}).out, "\"digest\": \""));
    r = Emulator(
        {"disk", p("d"), "--export", p("out.bin"), "--offset", "4096", "--length", "5000"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(ReadBytes(p("out.bin")), bytes);

    // Bad usage: exit code 2; what cannot be done: 1.
    EXPECT_EQ(Emulator({"disk", p("d")}).code, 2);
    EXPECT_EQ(Emulator({"disk", p("d"), "--import", p("in.bin"), "--export", p("x")}).code, 2);
    EXPECT_EQ(Emulator({"disk", p("d"), "--import", p("in.bin"), "--length", "5"}).code, 2);
    EXPECT_EQ(Emulator({"disk", p("d"), "--export", p("x"), "--offset", "-1"}).code, 2);
    EXPECT_EQ(Emulator({"set", p("d"), "--latency", "1,2"}).code, 2);
    EXPECT_EQ(Emulator({"disk", p("d"), "--import", p("in.bin"), "--offset", "1048000"}).code, 1);
    EXPECT_EQ(Emulator({"disk", p("d"), "--export", p("x"), "--offset", "1048577"}).code, 1);
    EXPECT_EQ(
        Emulator({"disk", p("d"), "--export", p("x"), "--offset", "1048566", "--length", "11"})
            .code,
        1);
    EXPECT_EQ(Emulator({"disk", p("d"), "--import", p("missing.bin")}).code, 1);
    EXPECT_EQ(Emulator({"disk", p("nothing"), "--import", p("in.bin")}).code, 1);
    EXPECT_EQ(Emulator({"set", p("d"), "--latency", "off"}).code, 0);
    EXPECT_FALSE(Has(Emulator({"show", p("d")}).out, "latency:"));
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
    EXPECT_FALSE(Has(r.out, "firmware")) << "no bridge, no firmware";

    r = Emulator({"set", p("root/b-drive"), "--cdrom", "on", "--usb-levels", "2", "--port-identity",
                  "no-serial"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_TRUE(Has(r.out, "CD-ROM and disk interfaces; USB device 2 levels up (composite)"));
    EXPECT_EQ(Emulator({"set", p("root/a-disk"), "--attached", "off"}).code, 0);
    EXPECT_TRUE(Has(Emulator({"show", p("root/a-disk"), "--json"}).out, "\"attached\": false"));

    r = Emulator({"list", p("root")});
    ASSERT_EQ(r.code, 0) << r.err;
    ExpectParts(r.out,
                {"a-disk: disk, unplugged", "b-drive: bridge, normal mode, present",
                 "cdrom " + (fs::path(p("root")) / "b-drive").string() + "#cdrom",
                 "USB\\VID_5E3B&PID_7C34&MI_00\\",
                 "parent 0x00200026 USB\\VID_5E3B&PID_7C34\\SERIAL0001", "serial (request fails)"});
    EXPECT_TRUE(Has(Emulator({"list", p("root"), "--json"}).out, "\"class\": \"cdrom\""));

    EXPECT_EQ(Emulator({"create-disk", p("x"), "--vid", "0x5E3B"}).code, 2);
    EXPECT_EQ(Emulator({"create-disk", p("x"), "--vid", "1", "--pid", "0x10000"}).code, 2);
    EXPECT_EQ(Emulator({"set", p("root/a-disk")}).code, 2);
    EXPECT_EQ(Emulator({"set", p("root/a-disk"), "--cdrom", "yes"}).code, 2);
    EXPECT_EQ(Emulator({"set", p("root/a-disk"), "--usb-levels", "4"}).code, 2);
    EXPECT_EQ(Emulator({"set", p("nothing"), "--cdrom", "on"}).code, 1);
    EXPECT_EQ(Emulator({"list", p("nothing")}).code, 1);
}

// Folders spoilt from outside: each is refused with a message saying what is wrong, none
// crashes the program or blocks it.
TEST_F(EmulatorCommand, ShowRefusesFolderFilesItCannotUse) {
    // Each drive is made anew: a copy would write out the whole of its sparse disk.
    auto spoilt = [&](const std::string& name) {
        EXPECT_EQ(Create(name, {"--blocks", "2048"}).code, 0);
        return dir_ / name;
    };
    const CommandRun good = Emulator({"show", spoilt("good").string()});
    ASSERT_EQ(good.code, 0) << good.err;
    auto rewriteState = [&](const fs::path& folder, auto change) {
        auto bytes = ReadBytes(folder / "drive.state");
        std::string text(bytes.begin(), bytes.end());
        change(text);
        WriteBytes(folder / "drive.state", std::vector<std::uint8_t>(text.begin(), text.end()));
    };

    // A state whose lines end in CR LF reads as the same drive.
    const fs::path crlf = spoilt("crlf");
    rewriteState(crlf, [](std::string& text) {
        std::string out;
        for (char c : text) out += c == '\n' ? std::string("\r\n") : std::string(1, c);
        text = out;
    });
    CommandRun r = Emulator({"show", crlf.string()});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out.substr(r.out.find('\n')), good.out.substr(good.out.find('\n')));

    // A flash shorter than the configuration block it should hold.
    const fs::path tiny = spoilt("tiny");
    rewriteState(tiny, [](std::string& text) {
        const auto at = text.find("flash-size=");
        text.replace(at, text.find('\n', at) - at, "flash-size=100");
    });
    auto flash = ReadBytes(tiny / "flash-1.bin");
    flash.resize(100);
    WriteBytes(tiny / "flash-1.bin", flash);
    r = Emulator({"show", tiny.string()});
    EXPECT_EQ(r.code, 1);
    EXPECT_TRUE(Has(r.err, "flash-size: 100 bytes")) << r.err;

#ifndef _WIN32
    // A flash that is no file (a FIFO here) or far too long is not read at all.
    const fs::path pipe = spoilt("pipe");
    fs::remove(pipe / "flash-1.bin");
    ASSERT_EQ(::mkfifo((pipe / "flash-1.bin").c_str(), 0600), 0);
    r = Emulator({"show", pipe.string()});
    EXPECT_EQ(r.code, 1);
    EXPECT_TRUE(Has(r.err, "not a regular file")) << r.err;
    const fs::path huge = spoilt("huge");
    fs::resize_file(huge / "flash-1.bin", 1ull << 32);  // sparse: nothing is written
    r = Emulator({"show", huge.string()});
    EXPECT_EQ(r.code, 1);
    EXPECT_TRUE(Has(r.err, "more than")) << r.err;

    // A FIFO would block the reader until someone wrote to it.
    const fs::path fifo = spoilt("fifo");
    fs::remove(fifo / "drive.state");
    ASSERT_EQ(::mkfifo((fifo / "drive.state").c_str(), 0600), 0);
    r = Emulator({"show", fifo.string()});
    EXPECT_EQ(r.code, 1);
    EXPECT_TRUE(Has(r.err, "drive.state is not a regular file")) << r.err;
    EXPECT_EQ(Emulator({"fault", fifo.string(), "--stay-busy"}).code, 1);
#endif
}

}  // namespace
}  // namespace mox3::test
