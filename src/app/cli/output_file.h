// The files a command writes where the user says (-o, --output, --export): every one by the
// output rule of platform/output_file.h, and never onto one of the command's own inputs.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace mox3 {

// A file the command reads, named in messages as `what` ("the image file").
struct CommandInput {
    std::string what;
    std::string path;
};

// Empty when `output` may be written: the rule lets it, and it is none of `inputs` (the same
// file under any name). Else why not, naming the path.
std::string OutputProblem(const std::string& output, const std::vector<CommandInput>& inputs);

// Empty when `output` lies outside `folder`: neither in it nor a file of it under another name.
// `what` names the folder in the message ("the emulated drive's folder").
std::string OutsideFolderProblem(const std::string& output, const std::string& folder,
                                 const std::string& what);

// Writes `size` bytes to `output` by the rule, after OutputProblem. Empty on success, else why.
std::string WriteOutputFile(const std::string& output, const void* data, std::size_t size,
                            const std::vector<CommandInput>& inputs = {});

}  // namespace mox3
