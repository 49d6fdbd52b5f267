// A small JSON writer for the --json output of the subcommands.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace mox3 {

class JsonWriter {
  public:
    JsonWriter& BeginObject();
    JsonWriter& EndObject();
    JsonWriter& BeginArray();
    JsonWriter& EndArray();
    JsonWriter& Key(std::string_view name);
    JsonWriter& String(std::string_view utf8);
    JsonWriter& Number(std::int64_t value);
    JsonWriter& Bool(bool value);
    JsonWriter& Null();

    // Shorthands for a key followed by a value.
    JsonWriter& Field(std::string_view name, std::string_view utf8) {
        return Key(name).String(utf8);
    }
    JsonWriter& Field(std::string_view name, const char* utf8) { return Key(name).String(utf8); }
    JsonWriter& Field(std::string_view name, std::int64_t value) { return Key(name).Number(value); }
    JsonWriter& Field(std::string_view name, bool value) { return Key(name).Bool(value); }

    // The document, pretty-printed with two-space indentation and a final newline.
    std::string str() const { return text_ + "\n"; }

  private:
    void BeforeValue();
    void NewLine();

    std::string text_;
    std::vector<bool> hasItems_;  // per open container
    bool afterKey_ = false;
};

std::string JsonEscape(std::string_view utf8);

}  // namespace mox3
