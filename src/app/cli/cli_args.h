// Parsing of subcommand words: options with values, flags and positional words.
#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "app/cli/commands.h"
#include "resources/resources.h"

namespace mox3 {

class CliArgs {
  public:
    // `valued` lists options that take a value ("-o", "--config"); `flags` those that do not.
    CliArgs(Args args, std::set<std::string> valued, std::set<std::string> flags);

    bool ok() const { return error_.empty(); }
    const std::string& error() const { return error_; }
    bool has(const std::string& option) const;
    // The option's value; given several times, the last.
    std::optional<std::string> value(const std::string& option) const;
    // Every value the option was given, in order (an option that may be repeated).
    std::vector<std::string> values(const std::string& option) const;
    const std::vector<std::string>& positional() const { return positional_; }

  private:
    std::map<std::string, std::vector<std::string>> values_;
    std::set<std::string> seen_;
    std::vector<std::string> positional_;
    std::string error_;
};

// Parses a whole unsigned number (decimal or 0x hex); nothing when it is not one.
std::optional<unsigned long long> ParseCount(const std::string& text);

// Writes a file whole and atomically by the output rule (see WriteOutputFile). Empty on
// success, else why.
std::string WriteFileAtomically(const std::string& path, const void* data, std::size_t size);

// A shipped configuration file copied to a private temporary folder while it is needed.
class ExtractedResource {
  public:
    ExtractedResource() = default;
    ~ExtractedResource();
    ExtractedResource(const ExtractedResource&) = delete;
    ExtractedResource& operator=(const ExtractedResource&) = delete;
    // Empty on success, else why it failed.
    std::string Extract(const EmbeddedResource& resource);
    const std::filesystem::path& file() const { return file_; }

  private:
    std::filesystem::path dir_;
    std::filesystem::path file_;
};

}  // namespace mox3
