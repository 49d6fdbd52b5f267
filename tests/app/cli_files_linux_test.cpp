// The files the commands read and write, as the program itself meets them: missing, empty,
// folders, FIFOs, links, device nodes, huge sparse files, damaged images, an output that is an
// input, names with blanks and non-ASCII letters. Each ends with its exit code, one JSON
// object with --json and a message on standard error, and leaves its inputs and every
// non-regular file as they were.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <map>
#include <sstream>

#include "app/program_run_linux.h"
#include "base/sha256.h"

namespace mox3::test {
namespace {

namespace fs = std::filesystem;

// What a file is and holds, to see that a command left it alone. Large files are told by
// their size and allocation, not read.
std::string Fingerprint(const fs::path& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return "missing";
    std::string print = std::to_string(st.st_mode) + "/" + std::to_string(st.st_ino) + "/" +
                        std::to_string(st.st_size) + "/" + std::to_string(st.st_blocks);
    if (S_ISLNK(st.st_mode)) return print + "->" + fs::read_symlink(path).string();
    if (S_ISREG(st.st_mode) && st.st_size < (16 << 20)) {
        auto digest = Sha256(ReadBytes(path));
        print += "/" + std::string(digest->begin(), digest->end());
    }
    return print;
}

struct Row {
    const char* name;   // starts with the command the JSON object names
    std::string words;  // split at blanks; "|" is a blank within a word, "@x" the path of x
    const char* code;   // the JSON error code (exit 2 for "usage", else 1); nullptr: success
    std::string says;   // a part of the message on standard error
    int only = 0;       // 1: as root (a device node of the test's own); 2: not as root
};

class CliFiles : public ProgramTest {
  protected:
    void SetUp() override {
        ProgramTest::SetUp();
        const auto image = ReadBytes(dir_ / "img.bin");
        WriteBytes(dir_ / "blank name ä.bin", image);
        WriteBytes(dir_ / "empty.bin", {});
        WriteBytes(dir_ / "trunc.bin", {image.begin(), image.begin() + 20000});
        auto flipped = image;
        flipped[1000] ^= 0x10;
        WriteBytes(dir_ / "flipped.bin", flipped);
        fs::create_directories(dir_ / "folder");
        ASSERT_EQ(::mkfifo((dir_ / "fifo").c_str(), 0600), 0);
        fs::create_symlink("img.bin", dir_ / "link");
        fs::create_hard_link(dir_ / "img.bin", dir_ / "img-again.bin");
        // 20 GB that take no room: larger than any image and any flash.
        MakeLongFile(dir_ / "huge.bin", 20ull << 30);
        if (::geteuid() == 0) {
            ASSERT_EQ(::mknod((dir_ / "node").c_str(), S_IFCHR | 0600, ::makedev(1, 3)), 0);
            // What another user controls: a folder, and a link to a folder of root's.
            fs::create_directories(dir_ / "others");
            ASSERT_EQ(::chown((dir_ / "others").c_str(), 12345, 12345), 0);
            fs::create_directory_symlink("folder", dir_ / "otherlink");
            ASSERT_EQ(::lchown((dir_ / "otherlink").c_str(), 12345, 12345), 0);
        }
        fs::create_directories(dir_ / "locked");
        fs::permissions(dir_ / "locked", fs::perms::owner_read | fs::perms::owner_exec);
        ASSERT_EQ(Run({"resource", "extract", "117", "-o", P("cfg.ini")}).code, 0);
        ASSERT_EQ(Run({"--emulator", "@bus", "list"}).code, 0);  // makes the bus's lock file
    }

    void TearDown() override { fs::permissions(dir_ / "locked", fs::perms::owner_all); }

    // Everything in the work folder (the drive's files too), to compare before and after.
    std::map<std::string, std::string> Prints() const {
        std::map<std::string, std::string> prints;
        for (const auto& entry : fs::recursive_directory_iterator(dir_.path())) {
            prints[entry.path().string()] = Fingerprint(entry.path());
        }
        return prints;
    }
};

TEST_F(CliFiles, EveryBadFileEndsWithItsCodeOneObjectAMessageAndNothingReplaced) {
    const std::string make = "image make --generation 1 --version 0100 --size 5000 ";
    const std::string compile = "compile --resource 117 --image ", disk = "emulator disk @bus/d ";
    const std::string trace = " bridge version @bus/d", regular = "not a regular";
    const std::string own = "emulated drive's folder", node = "character device";
    const char *const refused = "output-refused", *const usage = "usage";
    // clang-format off
    const std::vector<Row> rows = {
        {"image info: an unknown option", "image info --bogus", usage, ""},
        {"image make: no generation", "image make --generation two --version 010203 --size 5000 -o @x", usage, ""},
        {"compile: no resource id", "compile --resource abc --image @img.bin -o @x", usage, ""},
        {"compile: no such resource", "compile --resource 999 --image @img.bin -o @x", "no-resource", ""},
        {"decode: missing", "decode @missing.bin", "unreadable", ""},
        {"resource extract: no such resource", "resource extract 105 -o @x", "no-resource", ""},
        {"resource: unknown", "resource frob", usage, ""},
        {"bridge version: no drive", "--emulator @bus bridge version @nowhere", "cannot-open", ""},
        {"bridge: unknown", "--emulator @bus bridge flip @bus/d", usage, ""},
        {"bridge version: an empty folder", "--emulator @bus bridge version @folder", "not-an-emulated-drive",
         P("folder") + " is not an emulated drive: drive.state is missing"},
        {"bridge version: a regular file", "--emulator @bus bridge version @img.bin", "cannot-open",
         P("img.bin") + " is a regular file, not a disk's device node"},
        {"emulator fault: a bad count", "emulator fault @bus/d --fail-command x", usage, ""},
        {"list: no bus", "--emulator @nowhere list", usage, "does not exist"},
        {"list: a drive for a bus", "--emulator @bus/d list", usage, P("bus/d") + " is an " + own +
         "; --emulator wants the folder that holds the drives, e.g. " + P("bus")},
        {"update: a model without a serial", "--emulator @bus update --yes --model 0x7C34", usage,
         "--recover-serial and --model go together"},
        {"image info: missing", "image info @missing.bin", "unreadable", "no file"},
        {"image info: empty", "image info @empty.bin", "image-damaged", "shorter"},
        {"image info: FIFO", "image info @fifo", "unreadable", regular},
        {"decode: FIFO", "decode @fifo", "unreadable", regular},
        {"image info: link to an image", "image info @link", nullptr, ""},
        {"image info: blanks, non-ASCII", "image info @blank|name|ä.bin", nullptr, ""},
        {"image info: 20 GB", "image info @huge.bin", "image-damaged", "no image is longer than"},
        {"image info: truncated", "image info @trunc.bin", "image-damaged", "image"},
        {"image info: bit flipped", "image info @flipped.bin", "image-damaged", "digest"},
        {"emulator create: truncated image", "emulator create @made --generation 2 --serial S1 "
         "--firmware @trunc.bin", "compile-failed", "the image is damaged"},
        {"image make: onto a FIFO", make + "-o @fifo", refused, "is a FIFO"},
        {"image make: onto a folder", make + "-o @folder", refused, "is a folder"},
        {"image make: through a link", make + "--output @link", refused, "symbolic link"},
        {"image make: no such folder", make + "-o @nowhere/x.bin", refused, "nowhere/x.bin: there is no folder"},
        {"image make: unwritable folder", make + "-o @locked/x.bin", "write-failed", "Permission denied", 2},
        {"image make: onto a device node", make + "-o @node", refused, node, 1},
        {"image make: as root into another user's folder", make + "-o @others/x.bin", refused,
         "belongs to user 12345", 1},
        {"resource extract: as root through another user's link", "resource extract 104 -o @otherlink/x.ini",
         refused, "link of user 12345", 1},
        {"resource extract: onto a FIFO", "resource extract 104 -o @fifo", refused, "is a FIFO"},
        {"compile: onto its image by another name", compile + "@img-again.bin -o @img.bin", refused, "itself"},
        {"compile: onto its configuration", "compile --config @cfg.ini --image @img.bin -o @cfg.ini", refused,
         "itself"},
        {"compile: 20 GB image", compile + "@huge.bin -o @out.bin", "compile-failed", "no image is longer than"},
        {"compile: FIFO as image", compile + "@fifo -o @out.bin", "compile-failed", regular},
        {"compile: FIFO as configuration", "compile --config @fifo --image @img.bin -o @out.bin", "unreadable",
         "configuration file"},
        {"emulator disk: export into the drive's folder", disk + "--export @bus/d/copy.img", refused, own},
        {"emulator disk: export through a link", disk + "--export @link", refused, "symbolic link"},
        {"emulator disk: import from a FIFO", disk + "--import @fifo", "emulator-failed", regular},
        {"emulator disk: import the drive's own disk", disk + "--import @bus/d/disk.img", "unreadable", own},
        {"bridge: trace a FIFO", "--trace @fifo" + trace, "device-access", "is a FIFO"},
        {"bridge: trace a device node", "--trace @node" + trace, "device-access", node, 1},
        {"bridge: trace through a link", "--trace @link" + trace, "device-access", "symbolic link"},
        {"bridge: trace a file that is no trace", "--trace @img.bin" + trace, "device-access",
         "something else than a trace"},
    };
    // clang-format on
    const bool root = ::geteuid() == 0;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        if (row.only == (root ? 2 : 1)) continue;
        std::vector<std::string> words;
        std::istringstream split(row.words);
        for (std::string word; split >> word;) {
            std::replace(word.begin(), word.end(), '|', ' ');
            words.push_back(word);
        }
        const int exit = !row.code ? 0 : std::string_view(row.code) == usage ? 2 : 1;
        for (bool json : {true, false}) {
            if (json) words.push_back("--json");
            if (!json) words.pop_back();
            const auto before = Prints();
            const ProgramResult r = Run(words);
            ExpectEnd(r, exit, "", row.says);
            if (json) {
                const nlohmann::json j = Object(r);
                const std::string name = row.name;
                ExpectFields(j, {{"ok", !row.code}, {"command", name.substr(0, name.find(':'))}});
                if (row.code) {
                    ExpectFields(j["error"], {{"code", row.code}});
                    EXPECT_HAS(j["error"].value("text", ""), row.says);
                }
            } else if (row.code) {
                EXPECT_EQ(r.err.rfind("error: ", 0), 0u) << r.err;
            }
            if (row.code) {
                EXPECT_LACKS(r.err, ".tmp");
                // Every file, the drive's too, is as it was: nothing replaced, nothing left.
                EXPECT_EQ(Prints(), before);
            }
            // A text output shows no field whose value is unknown.
            EXPECT_LACKS(r.out, ":  \n");
            EXPECT_LACKS(r.out, "V  L  R");
        }
    }
    // A compile failure keeps naming its step beside the common error.
    const ProgramResult r =
        Run({"compile", "--resource", "999", "--image", "@img.bin", "-o", "@x", "--json"});
    EXPECT_EQ(Object(r)["failedStep"], "config");
}

TEST_F(CliFiles, ATraceThatCannotBeWrittenFailsTheCommand) {
    // A trace is appended to; its first line tells it is one.
    const std::vector<std::string> words = {"--trace", P("full.json"), "bridge", "version",
                                            P("bus/d"), "--json"};
    ASSERT_EQ(Run(words).code, 0);
    const std::string line = ReadText(dir_ / "full.json");
    ASSERT_EQ(Run(words).code, 0);
    const std::string twice = ReadText(dir_ / "full.json");
    EXPECT_EQ(twice.substr(0, line.size()), line);
    EXPECT_EQ(std::count(twice.begin(), twice.end(), '\n'), 2);
    // A trace of a megabyte that may not grow (a write beyond the limit fails with EFBIG, as
    // on a full disk, SIGXFSZ ignored): the next line fails, and so does the command.
    std::string big;
    while (big.size() < (1 << 20)) big += line;
    WriteBytes(dir_ / "full.json", {big.begin(), big.end()});
    rlimit before{};
    ::getrlimit(RLIMIT_FSIZE, &before);
    const rlimit cap{big.size() + 10, before.rlim_max};
    const auto handler = std::signal(SIGXFSZ, SIG_IGN);
    ::setrlimit(RLIMIT_FSIZE, &cap);
    const ProgramResult json = RunProgram(words, work_.path());
    const ProgramResult text = RunProgram({words.begin(), words.end() - 1}, work_.path());
    ::setrlimit(RLIMIT_FSIZE, &before);
    std::signal(SIGXFSZ, handler);
    for (const ProgramResult& r : {json, text}) {
        EXPECT_EQ(r.code, 1) << r.err;
        EXPECT_NE(r.err.find("trace"), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("File too large"), std::string::npos) << r.err;
    }
    EXPECT_EQ(Object(json)["ok"], false);
    EXPECT_EQ(Object(json)["error"]["code"], "trace-failed");
    EXPECT_LE(fs::file_size(dir_ / "full.json"), big.size() + 10);
}

}  // namespace
}  // namespace mox3::test
