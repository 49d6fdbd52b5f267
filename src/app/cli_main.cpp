// The command-line program.
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "app/commands.h"
#include "app/device_access.h"

namespace {

constexpr const char* kUsage =
    "usage: mox3-updater [--trace FILE] COMMAND [ARGS]\n"
    "\n"
    "Commands:\n"
    "  compile   compile a configuration file into the sealed 4096-byte configuration block\n"
    "  image     check an image file (image info) or make a sample image (image make)\n"
    "  decode    show the content of a compiled configuration block\n"
    "  resource  list or extract the configuration files shipped inside the program\n"
    "  bridge    send one bridge command to one device and show the answer\n"
    "  emulator  create, inspect, break and power-cycle emulated bridge drives\n"
    "\n"
    "Options: --help, --version, --trace FILE (one JSON line per request sent to a drive).\n"
    "Run 'mox3-updater COMMAND --help' for a command's options.\n"
    "Exit codes: 0 success, 1 failure, 2 bad usage.\n";

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> words;
    std::string traceFile;
    for (int i = 1; i < argc; ++i) {
        std::string word = argv[i];
        if (word == "--trace" || word.rfind("--trace=", 0) == 0) {
            if (word == "--trace") {
                if (i + 1 >= argc) {
                    std::cerr << "error: option --trace needs a value\n" << kUsage;
                    return mox3::kExitUsage;
                }
                traceFile = argv[++i];
            } else {
                traceFile = word.substr(8);
            }
            continue;
        }
        words.push_back(word);
    }
    if (words.empty()) {
        std::cerr << kUsage;
        return mox3::kExitUsage;
    }
    const std::string command = words[0];
    mox3::Args rest = mox3::Args(words).subspan(1);
    if (command == "--help" || command == "-h" || command == "help") {
        std::cout << kUsage;
        return mox3::kExitOk;
    }
    if (command == "--version") {
        std::cout << "mox3-updater " << MOX3_VERSION << "\n";
        return mox3::kExitOk;
    }
    std::string why = mox3::SetUpDeviceAccess(traceFile);
    if (!why.empty()) {
        std::cerr << "error: " << why << "\n";
        return mox3::kExitFailed;
    }
    if (command == "compile") return mox3::RunCompileCommand(rest, std::cout, std::cerr);
    if (command == "image") return mox3::RunImageCommand(rest, std::cout, std::cerr);
    if (command == "decode") return mox3::RunDecodeCommand(rest, std::cout, std::cerr);
    if (command == "resource") return mox3::RunResourceCommand(rest, std::cout, std::cerr);
    if (command == "bridge") return mox3::RunBridgeCommand(rest, std::cout, std::cerr);
    if (command == "emulator") return mox3::RunEmulatorCommand(rest, std::cout, std::cerr);
    std::cerr << "error: unknown command " << command << "\n" << kUsage;
    return mox3::kExitUsage;
}
