// The command-line program.
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string>
#include <utility>
#include <vector>

#include "app/cli/cli_report.h"
#include "app/cli/commands.h"
#include "app/session/session.h"
#include "platform/platform.h"

namespace {

constexpr const char* kUsage =
    "usage: mox3-updater [--trace FILE] [--emulator DIR] [--verbose] COMMAND [ARGS]\n"
    "\n"
    "Commands:\n"
    "  compile   compile a configuration file into the sealed 4096-byte configuration block\n"
    "  image     check an image file (image info) or make a sample image (image make)\n"
    "  decode    show the content of a compiled configuration block\n"
    "  resource  list or extract the configuration files shipped inside the program\n"
    "  bridge    send one bridge command to one device and show the answer\n"
    "  emulator  create, inspect, break and power-cycle emulated bridge drives\n"
    "  list      count the known drives and list the bridge drives attached\n"
    "  update    update the firmware of the one attached drive\n"
    "  backup    keep a copy of a drive's flash, without changing it\n"
    "  verify    compare a drive's flash with the image or with a backup\n"
    "  restore   write a backup of a drive's flash back to the drive\n"
    "  demo      update an emulated drive from start to end, to see what happens\n"
    "\n"
    "Options: --help, --version, --trace FILE (one JSON line per request sent to a drive),\n"
    "--emulator DIR (the drives are the emulated devices in DIR; also MOX3_EMULATOR=DIR),\n"
    "--verbose (a failure also names the drive's request that failed: CDB, status, sense\n"
    "data or the system's error).\n"
    "Run 'mox3-updater COMMAND --help' for a command's options. With --json a command prints\n"
    "one JSON object: ok, command, its own fields and, on failure, error {code, text}.\n"
    "Exit codes: 0 done, 1 failure or refusal, 2 bad usage, 3 nothing to do, 4 interrupted,\n"
    "5 (verify) the flash differs.\n";

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> arguments = mox3::ProgramArguments(argc, argv);
    // The system's services, handed to the commands with the session.
    const mox3::Services services;
    services.console->PrepareForUtf8();
    // Each line reaches a pipe or file as it is written, not all at the end: whoever reads
    // the progress (or kills the run) sees where it stands.
    std::cout << std::unitbuf;
    std::vector<std::string> words;
    std::string traceFile;
    const char* fromEnvironment = std::getenv("MOX3_EMULATOR");
    std::string emulatorRoot = fromEnvironment ? fromEnvironment : "";
    // The global options may stand anywhere. --json belongs to the command; before the command's
    // name it is handed to the command as if it followed it.
    bool jsonFirst = false;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& word = arguments[i];
        if (word == "--verbose") {
            mox3::SetVerboseFailures(true);
            continue;
        }
        if (word == "--json" && words.empty()) {
            jsonFirst = true;
            continue;
        }
        std::string* target = nullptr;
        for (auto [name, value] :
             {std::pair{"--trace", &traceFile}, std::pair{"--emulator", &emulatorRoot}}) {
            std::string option(name);
            if (word == option) {
                if (i + 1 >= arguments.size()) {
                    std::cerr << "error: option " << option << " needs a value\n" << kUsage;
                    return mox3::kExitUsage;
                }
                *value = arguments[++i];
                target = value;
            } else if (word.rfind(option + "=", 0) == 0) {
                *value = word.substr(option.size() + 1);
                target = value;
            }
        }
        if (target == nullptr) words.push_back(word);
    }
    if (words.empty()) {
        std::cerr << "error: no command given\n" << kUsage;
        return mox3::kExitUsage;
    }
    if (jsonFirst) words.push_back("--json");
    // "help COMMAND [SUBCOMMAND]" is "COMMAND [SUBCOMMAND] --help".
    if (words[0] == "help" && words.size() > 1) {
        words.erase(words.begin());
        words.push_back("--help");
    }
    const std::string command = words[0];
    mox3::Args rest = mox3::Args(words).subspan(1);
    if (command == "--help" || command == "-h" || command == "help") {
        std::cout << kUsage;
        return mox3::kExitOk;
    }
    if (command == "--version") {
        const std::string buildType = MOX3_BUILD_TYPE;
        std::cout << "mox3-updater " << MOX3_VERSION << "\n"
                  << "build type: " << (buildType.empty() ? "unspecified" : buildType) << "\n"
                  << "source revision: " << MOX3_SOURCE_REVISION << "\n";
        return mox3::kExitOk;
    }
    // A folder that cannot be the emulator's is a bad option value, like any other.
    if (!emulatorRoot.empty()) {
        const std::string problem = mox3::EmulatorFolderProblem(emulatorRoot);
        if (!problem.empty()) {
            mox3::CommandReport report(command, mox3::WantsJson(rest), std::cout, std::cerr);
            return report.Usage(problem, kUsage);
        }
    }
    std::string why;
    std::optional<mox3::Session> session = mox3::StartSession(traceFile, emulatorRoot, &why);
    if (!session) {
        mox3::CommandReport report(command, mox3::WantsJson(rest), std::cout, std::cerr);
        return report.Fail("device-access", why);
    }
    session->services = services;
    using Command = int (*)(mox3::Args, std::ostream&, std::ostream&);
    using DriveCommand = int (*)(const mox3::Session&, mox3::Args, std::ostream&, std::ostream&);
    DriveCommand drives = nullptr;
    if (command == "bridge") drives = mox3::RunBridgeCommand;
    if (command == "list") drives = mox3::RunListCommand;
    if (command == "update") drives = mox3::RunUpdateCommand;
    if (command == "restore") drives = mox3::RunRestoreCommand;
    if (command == "emulator") drives = mox3::RunEmulatorCommand;
    if (command == "demo") drives = mox3::RunDemoCommand;
    if (command == "backup") drives = mox3::RunBackupCommand;
    if (command == "verify") drives = mox3::RunVerifyCommand;
    if (drives) {
        return mox3::EndWithTraceCheck(drives(*session, rest, std::cout, std::cerr),
                                       session->trace.get(), std::cerr);
    }
    Command run = nullptr;
    if (command == "compile") run = mox3::RunCompileCommand;
    if (command == "image") run = mox3::RunImageCommand;
    if (command == "decode") run = mox3::RunDecodeCommand;
    if (command == "resource") run = mox3::RunResourceCommand;
    if (run) {
        return mox3::EndWithTraceCheck(run(rest, std::cout, std::cerr), session->trace.get(),
                                       std::cerr);
    }
    mox3::CommandReport report(command, mox3::WantsJson(rest), std::cout, std::cerr);
    return report.Usage("unknown command " + command, kUsage);
}
