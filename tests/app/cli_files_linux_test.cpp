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
    const char* name;
    std::vector<std::string> words;  // "@x" stands for the path of x in the work folder
    int exit;
    const char* code;   // the JSON error code; nullptr for success
    std::string says;   // a part of the message on standard error
    bool needsRoot = false;     // a device node of the test's own
    bool needsNonRoot = false;  // a folder root could write anyway
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
        fs::resize_file(WriteEmpty("huge.bin"), 20ull << 30);
        // A sparse file with 4 KiB of data in the middle of 1 GiB.
        fs::resize_file(WriteEmpty("sparse.bin"), 1ull << 30);
        {
            std::FILE* f = std::fopen((dir_ / "sparse.bin").c_str(), "r+b");
            std::fseek(f, 512 << 20, SEEK_SET);
            std::fwrite(std::string(4096, 'S').data(), 1, 4096, f);
            std::fclose(f);
        }
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

    void TearDown() override {
        fs::permissions(dir_ / "locked", fs::perms::owner_all);
    }

    fs::path WriteEmpty(const char* name) {
        WriteBytes(dir_ / name, {});
        return dir_ / name;
    }

    // Everything in the work folder (the drive's files too), to compare before and after.
    std::map<std::string, std::string> Prints() const {
        std::map<std::string, std::string> prints;
        for (const auto& entry : fs::recursive_directory_iterator(dir_.path())) {
            prints[entry.path().string()] = Fingerprint(entry.path());
        }
        return prints;
    }
};

// The name of a row starts with the command its JSON object names.
TEST_F(CliFiles, EveryBadFileEndsWithItsCodeOneObjectAMessageAndNothingReplaced) {
    const std::vector<Row> rows = {
        {"image info: an unknown option", {"image", "info", "--bogus"}, 2, "usage", ""},
        {"image make: no generation", {"image", "make", "--generation", "two", "--version",
                                       "010203", "--size", "5000", "-o", "@x"},
         2, "usage", ""},
        {"compile: no resource id", {"compile", "--resource", "abc", "--image", "@img.bin", "-o",
                                     "@x"},
         2, "usage", ""},
        {"compile: no such resource", {"compile", "--resource", "999", "--image", "@img.bin", "-o",
                                       "@x"},
         1, "no-resource", ""},
        {"decode: missing", {"decode", "@missing.bin"}, 1, "unreadable", ""},
        {"decode: two files", {"decode", "@a", "@b"}, 2, "usage", ""},
        {"resource extract: no such resource", {"resource", "extract", "105", "-o", "@x"}, 1,
         "no-resource", ""},
        {"resource: unknown", {"resource", "frob"}, 2, "usage", ""},
        {"bridge version: no drive", {"--emulator", "@bus", "bridge", "version", "@nowhere"}, 1,
         "cannot-open", ""},
        {"bridge: unknown", {"--emulator", "@bus", "bridge", "flip", "@bus/d"}, 2, "usage", ""},
        {"bridge version: an empty folder",
         {"--emulator", "@bus", "bridge", "version", "@folder"}, 1, "not-an-emulated-drive",
         P("folder") + " is not an emulated drive: drive.state is missing"},
        {"bridge version: a regular file",
         {"--emulator", "@bus", "bridge", "version", "@img.bin"}, 1, "cannot-open",
         P("img.bin") + " is a regular file, not a disk's device node"},
        {"emulator show: no drive", {"emulator", "show", "@nowhere"}, 1, "not-an-emulated-drive",
         ""},
        {"emulator fault: a bad count", {"emulator", "fault", "@bus/d", "--fail-command", "x"}, 2,
         "usage", ""},
        {"emulator set: a bad switch", {"emulator", "set", "@bus/d", "--attached", "maybe"}, 2,
         "usage", ""},
        {"list: a word too many", {"--emulator", "@bus", "list", "extra"}, 2, "usage", ""},
        {"list: no bus", {"--emulator", "@nowhere", "list"}, 2, "usage", "does not exist"},
        {"list: a drive for a bus", {"--emulator", "@bus/d", "list"}, 2, "usage",
         P("bus/d") + " is an emulated drive's folder; --emulator wants the folder that holds " +
             "the drives, e.g. " + P("bus")},
        {"update: a model without a serial", {"--emulator", "@bus", "update", "--yes", "--model",
                                              "0x7C34"},
         2, "usage", "--recover-serial and --model go together"},
        {"image info: missing", {"image", "info", "@missing.bin"}, 1, "unreadable", "no file"},
        {"image info: empty", {"image", "info", "@empty.bin"}, 1, "image-damaged", "shorter"},
        {"image info: folder", {"image", "info", "@folder"}, 1, "unreadable", "not a regular"},
        {"image info: FIFO", {"image", "info", "@fifo"}, 1, "unreadable", "not a regular"},
        {"decode: FIFO", {"decode", "@fifo"}, 1, "unreadable", "not a regular"},
        {"image info: link to an image", {"image", "info", "@link"}, 0, nullptr, ""},
        {"image info: blanks, non-ASCII", {"image", "info", "@blank name ä.bin"}, 0, nullptr, ""},
        {"image info: 20 GB", {"image", "info", "@huge.bin"}, 1, "image-damaged",
         "no image is longer than"},
        {"image info: truncated", {"image", "info", "@trunc.bin"}, 1, "image-damaged", "image"},
        {"image info: bit flipped", {"image", "info", "@flipped.bin"}, 1, "image-damaged",
         "digest"},
        {"emulator create: truncated image",
         {"emulator", "create", "@made", "--generation", "2", "--serial", "S1", "--firmware",
          "@trunc.bin"},
         1, "compile-failed", "the image is damaged"},
        {"image make: onto a FIFO", {"image", "make", "--generation", "1", "--version", "0100",
                                     "--size", "5000", "-o", "@fifo"},
         1, "output-refused", "is a FIFO"},
        {"image make: onto a folder", {"image", "make", "--generation", "1", "--version", "0100",
                                       "--size", "5000", "-o", "@folder"},
         1, "output-refused", "is a folder"},
        {"image make: through a link", {"image", "make", "--generation", "1", "--version", "0100",
                                        "--size", "5000", "--output", "@link"},
         1, "output-refused", "symbolic link"},
        {"image make: no such folder", {"image", "make", "--generation", "1", "--version", "0100",
                                        "--size", "5000", "-o", "@nowhere/x.bin"},
         1, "output-refused", "nowhere/x.bin: there is no folder"},
        {"image make: unwritable folder", {"image", "make", "--generation", "1", "--version",
                                           "0100", "--size", "5000", "-o", "@locked/x.bin"},
         1, "write-failed", "Permission denied", false, true},
        {"image make: onto a device node", {"image", "make", "--generation", "1", "--version",
                                            "0100", "--size", "5000", "-o", "@node"},
         1, "output-refused", "character device", true},
        {"image make: as root into another user's folder",
         {"image", "make", "--generation", "1", "--version", "0100", "--size", "5000", "-o",
          "@others/x.bin"},
         1, "output-refused", "belongs to user 12345", true},
        {"resource extract: as root through another user's link",
         {"resource", "extract", "104", "-o", "@otherlink/x.ini"}, 1, "output-refused",
         "link of user 12345", true},
        {"resource extract: onto a FIFO", {"resource", "extract", "104", "-o", "@fifo"}, 1,
         "output-refused", "is a FIFO"},
        {"resource extract: onto a device node", {"resource", "extract", "104", "-o", "@node"}, 1,
         "output-refused", "character device", true},
        {"compile: onto its image", {"compile", "--resource", "117", "--image", "@img.bin", "-o",
                                     "@img.bin"},
         1, "output-refused", "itself"},
        {"compile: onto its image by another name", {"compile", "--resource", "117", "--image",
                                                     "@img-again.bin", "-o", "@img.bin"},
         1, "output-refused", "itself"},
        {"compile: onto its configuration", {"compile", "--config", "@cfg.ini", "--image",
                                             "@img.bin", "-o", "@cfg.ini"},
         1, "output-refused", "itself"},
        {"compile: 20 GB image", {"compile", "--resource", "117", "--image", "@huge.bin", "-o",
                                  "@out.bin"},
         1, "compile-failed", "no image is longer than"},
        {"compile: FIFO as image", {"compile", "--resource", "117", "--image", "@fifo", "-o",
                                    "@out.bin"},
         1, "compile-failed", "not a regular"},
        {"compile: FIFO as configuration", {"compile", "--config", "@fifo", "--image", "@img.bin",
                                            "-o", "@out.bin"},
         1, "unreadable", "configuration file"},
        {"emulator disk: export into the drive's folder",
         {"emulator", "disk", "@bus/d", "--export", "@bus/d/copy.img"},
         1, "output-refused", "emulated drive's folder"},
        {"emulator disk: export onto the drive's disk",
         {"emulator", "disk", "@bus/d", "--export", "@bus/d/disk.img"},
         1, "output-refused", "emulated drive's folder"},
        {"emulator disk: export onto a FIFO", {"emulator", "disk", "@bus/d", "--export", "@fifo"},
         1, "output-refused", "is a FIFO"},
        {"emulator disk: export through a link",
         {"emulator", "disk", "@bus/d", "--export", "@link"}, 1, "output-refused", "symbolic link"},
        {"emulator disk: import from a FIFO", {"emulator", "disk", "@bus/d", "--import", "@fifo"},
         1, "emulator-failed", "not a regular"},
        {"emulator disk: import the drive's own disk",
         {"emulator", "disk", "@bus/d", "--import", "@bus/d/disk.img"},
         1, "unreadable", "emulated drive's folder"},
        {"emulator disk: import missing",
         {"emulator", "disk", "@bus/d", "--import", "@missing.bin"}, 1, "emulator-failed",
         "no such file"},
        {"bridge: trace a FIFO", {"--trace", "@fifo", "bridge", "version", "@bus/d"}, 1,
         "device-access", "is a FIFO"},
        {"bridge: trace a device node", {"--trace", "@node", "bridge", "version", "@bus/d"}, 1,
         "device-access", "character device", true},
        {"bridge: trace a folder", {"--trace", "@folder", "bridge", "version", "@bus/d"}, 1,
         "device-access", "is a folder"},
        {"bridge: trace through a link", {"--trace", "@link", "bridge", "version", "@bus/d"}, 1,
         "device-access", "symbolic link"},
        {"bridge: trace a file that is no trace",
         {"--trace", "@img.bin", "bridge", "version", "@bus/d"}, 1, "device-access",
         "something else than a trace"},
    };
    const bool root = ::geteuid() == 0;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        if ((row.needsRoot && !root) || (row.needsNonRoot && root)) continue;
        for (bool json : {true, false}) {
            std::vector<std::string> words = row.words;
            if (json) words.push_back("--json");
            const auto before = Prints();
            const ProgramResult r = Run(words);
            EXPECT_EQ(r.code, row.exit) << r.err;
            if (json) {
                const auto object = nlohmann::json::parse(r.out, nullptr, false);
                ASSERT_TRUE(object.is_object()) << r.out;
                EXPECT_EQ(object["ok"], row.code == nullptr);
                const std::string name = row.name;
                EXPECT_EQ(object["command"], name.substr(0, name.find(':')));
                if (row.code) {
                    EXPECT_EQ(object["error"]["code"], row.code) << r.out;
                    EXPECT_NE(object["error"].value("text", "").find(row.says), std::string::npos);
                }
            } else if (row.code) {
                EXPECT_EQ(r.err.rfind("error: ", 0), 0u) << r.err;
            }
            if (row.code) {
                EXPECT_NE(r.err.find(row.says), std::string::npos) << r.err;
                EXPECT_EQ(r.err.find(".tmp"), std::string::npos) << r.err;
                // Every file, the drive's too, is as it was: nothing replaced, nothing left.
                EXPECT_EQ(Prints(), before);
            }
            // A text output shows no field whose value is unknown.
            EXPECT_EQ(r.out.find(":  \n"), std::string::npos) << r.out;
            EXPECT_EQ(r.out.find("V  L  R"), std::string::npos) << r.out;
        }
    }
    // A compile failure keeps naming its step beside the common error.
    EXPECT_EQ(nlohmann::json::parse(Run({"compile", "--resource", "999", "--image", "@img.bin",
                                         "-o", "@x", "--json"})
                                        .out)["failedStep"],
              "config");
}

TEST_F(CliFiles, OutputsReplaceRegularFilesWholeAndKeepHoles) {
    // A name with blanks and non-ASCII letters; a regular file there is replaced.
    WriteBytes(dir_ / "blank out é.bin", {1, 2, 3});
    ASSERT_EQ(Run({"compile", "--resource", "117", "--image", "@img.bin", "-o",
                   "@blank out é.bin"})
                  .code,
              0);
    EXPECT_EQ(fs::file_size(dir_ / "blank out é.bin"), 4096u);
    // A sparse import copies only the data and leaves the disk's holes holes; the export of
    // that gigabyte is as sparse.
    ProgramResult r = Run({"emulator", "disk", "@bus/d", "--import", "@sparse.bin"});
    ASSERT_EQ(r.code, 0) << r.err;
    struct stat st {};
    ASSERT_EQ(::stat(P("bus/d/disk.img").c_str(), &st), 0);
    EXPECT_LT(st.st_blocks * 512, 1 << 20);
    r = Run({"emulator", "disk", "@bus/d", "--export", "@export é.img", "--length",
             std::to_string(1ull << 30)});
    ASSERT_EQ(r.code, 0) << r.err;
    ASSERT_EQ(::stat(P("export é.img").c_str(), &st), 0);
    EXPECT_EQ(static_cast<std::uint64_t>(st.st_size), 1ull << 30);
    EXPECT_LT(st.st_blocks * 512, 1 << 20);
    std::FILE* f = std::fopen(P("export é.img").c_str(), "rb");
    std::fseek(f, (512 << 20) - 1, SEEK_SET);
    char around[4098] = {};
    EXPECT_EQ(std::fread(around, 1, sizeof around, f), sizeof around);
    std::fclose(f);
    EXPECT_EQ(std::string(around, sizeof around), '\0' + std::string(4096, 'S') + '\0');
    // A file written out whole, mostly zeros: its zeros do not take room on the disk either.
    std::vector<std::uint8_t> dense(8 << 20, 0);
    std::fill_n(dense.begin() + (4 << 20), 4096, 'D');
    WriteBytes(dir_ / "dense.bin", dense);
    r = Run({"emulator", "disk", "@bus/d", "--import", "@dense.bin"});
    ASSERT_EQ(r.code, 0) << r.err;
    ASSERT_EQ(::stat(P("bus/d/disk.img").c_str(), &st), 0);
    EXPECT_LT(st.st_blocks * 512, 3 << 20);
    r = Run({"emulator", "disk", "@bus/d", "--export", "@dense-out.bin", "--length",
             std::to_string(8 << 20)});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(ReadBytes(dir_ / "dense-out.bin"), dense);
    // A 20 GB file of holes goes onto the 2 TB disk without a byte read; the disk holds
    // zeros where it held the pattern.
    r = Run({"emulator", "disk", "@bus/d", "--import", "@huge.bin"});
    ASSERT_EQ(r.code, 0) << r.err;
    r = Run({"emulator", "show", "@bus/d", "--digest", "--json"});
    EXPECT_NE(r.out.find("e3b0c442"), std::string::npos) << r.out;
}

// The program with a limit on the size of the files it writes (SIGXFSZ ignored, so that a
// write beyond it fails with EFBIG as on a full disk): both set here for the child to inherit.
ProgramResult RunWithFileSizeLimit(const std::vector<std::string>& words, const fs::path& work,
                                   rlim_t limit) {
    rlimit before{};
    ::getrlimit(RLIMIT_FSIZE, &before);
    const rlimit cap{limit, before.rlim_max};
    const auto handler = std::signal(SIGXFSZ, SIG_IGN);
    ::setrlimit(RLIMIT_FSIZE, &cap);
    ProgramResult result = RunProgram(words, work);
    ::setrlimit(RLIMIT_FSIZE, &before);
    std::signal(SIGXFSZ, handler);
    return result;
}

TEST_F(CliFiles, ATraceThatCannotBeWrittenFailsTheCommand) {
    // A trace is appended to; its first line tells it is one.
    ProgramResult r = Run({"--trace", "@trace.json", "bridge", "version", "@bus/d"});
    ASSERT_EQ(r.code, 0) << r.err;
    const std::string line = ReadText(dir_ / "trace.json");
    ASSERT_FALSE(line.empty());
    r = Run({"--trace", "@trace.json", "bridge", "version", "@bus/d"});
    ASSERT_EQ(r.code, 0) << r.err;
    const std::string twice = ReadText(dir_ / "trace.json");
    EXPECT_EQ(twice.substr(0, line.size()), line);
    EXPECT_EQ(std::count(twice.begin(), twice.end(), '\n'), 2);
    // A trace of a megabyte that may not grow: the next line fails, and so does the command.
    std::string big;
    while (big.size() < (1 << 20)) big += line;
    WriteBytes(dir_ / "full.json", {big.begin(), big.end()});
    for (bool json : {true, false}) {
        SCOPED_TRACE(json ? "--json" : "text");
        std::vector<std::string> words = {"--trace", P("full.json"), "bridge", "version",
                                          P("bus/d")};
        if (json) words.push_back("--json");
        r = RunWithFileSizeLimit(words, work_.path(), big.size() + 10);
        EXPECT_EQ(r.code, 1) << r.err;
        EXPECT_NE(r.err.find("trace"), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("File too large"), std::string::npos) << r.err;
        if (json) {
            const auto object = nlohmann::json::parse(r.out, nullptr, false);
            ASSERT_TRUE(object.is_object()) << r.out;
            EXPECT_EQ(object["ok"], false);
            EXPECT_EQ(object["error"]["code"], "trace-failed");
        }
        EXPECT_LE(fs::file_size(dir_ / "full.json"), big.size() + 10);
    }
}

}  // namespace
}  // namespace mox3::test
