// The command-line program.
#include <iostream>
#include <string>
#include <vector>

#include "app/commands.h"

namespace {

constexpr const char* kUsage =
    "usage: mox3-updater COMMAND [ARGS]\n"
    "\n"
    "Commands:\n"
    "  compile   compile a configuration file into the sealed 4096-byte configuration block\n"
    "  image     check an image file (image info) or make a sample image (image make)\n"
    "  decode    show the content of a compiled configuration block\n"
    "  resource  list or extract the configuration files shipped inside the program\n"
    "\n"
    "Options: --help, --version. Run 'mox3-updater COMMAND --help' for a command's options.\n"
    "Exit codes: 0 success, 1 failure, 2 bad usage.\n";

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> words(argv + 1, argv + argc);
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
    if (command == "compile") return mox3::RunCompileCommand(rest, std::cout, std::cerr);
    if (command == "image") return mox3::RunImageCommand(rest, std::cout, std::cerr);
    if (command == "decode") return mox3::RunDecodeCommand(rest, std::cout, std::cerr);
    if (command == "resource") return mox3::RunResourceCommand(rest, std::cout, std::cerr);
    std::cerr << "error: unknown command " << command << "\n" << kUsage;
    return mox3::kExitUsage;
}
