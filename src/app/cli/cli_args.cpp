#include "app/cli/cli_args.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "app/cli/output_file.h"
#include "platform/platform.h"

namespace mox3 {

CliArgs::CliArgs(Args args, std::set<std::string> valued, std::set<std::string> flags) {
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& word = args[i];
        std::string name = word;
        std::optional<std::string> inlineValue;
        if (word.rfind("--", 0) == 0) {
            auto eq = word.find('=');
            if (eq != std::string::npos) {
                name = word.substr(0, eq);
                inlineValue = word.substr(eq + 1);
            }
        }
        if (valued.count(name)) {
            if (inlineValue) {
                values_[name].push_back(*inlineValue);
            } else if (i + 1 < args.size()) {
                values_[name].push_back(args[++i]);
            } else {
                error_ = "option " + name + " needs a value";
                return;
            }
            seen_.insert(name);
        } else if (flags.count(name) && !inlineValue) {
            seen_.insert(name);
        } else if (word.size() > 1 && word[0] == '-') {
            error_ = "unknown option " + word;
            return;
        } else {
            positional_.push_back(word);
        }
    }
}

bool CliArgs::has(const std::string& option) const {
    return seen_.count(option) != 0;
}

std::optional<std::string> CliArgs::value(const std::string& option) const {
    auto it = values_.find(option);
    if (it == values_.end()) return std::nullopt;
    return it->second.back();
}

std::vector<std::string> CliArgs::values(const std::string& option) const {
    auto it = values_.find(option);
    return it == values_.end() ? std::vector<std::string>{} : it->second;
}

std::optional<unsigned long long> ParseCount(const std::string& text) {
    if (text.empty() || text[0] == '-' || text[0] == '+' || text[0] == ' ') return std::nullopt;
    errno = 0;
    char* end = nullptr;
    bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    unsigned long long v = std::strtoull(text.c_str(), &end, hex ? 16 : 10);
    if (errno != 0 || end == nullptr || *end != '\0') return std::nullopt;
    return v;
}

std::string WriteFileAtomically(const std::string& path, const void* data, std::size_t size) {
    return WriteOutputFile(path, data, size);
}

ExtractedResource::~ExtractedResource() {
    std::error_code ec;
    if (!dir_.empty()) std::filesystem::remove_all(dir_, ec);
}

std::string ExtractedResource::Extract(const EmbeddedResource& resource) {
    std::string why;
    dir_ = MakeTempFolder("mox3-", &why);
    if (dir_.empty()) return why;
    file_ = dir_ / "config.ini";
    return WriteFileAtomically(file_.string(), resource.bytes.data(), resource.bytes.size());
}

}  // namespace mox3
