// A small JSON writer for the --json output of the subcommands.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
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

    // Adds the members of `object`, a finished object of another writer, to the object open here.
    JsonWriter& Members(const JsonWriter& object);

    // The document, pretty-printed with two-space indentation and a final newline.
    std::string str() const { return text_ + "\n"; }

  private:
    void BeforeValue();
    void NewLine();

    std::string text_;
    std::vector<bool> hasItems_;  // per open container
    bool afterKey_ = false;
};

// Flat fields gathered before the object they belong to is written.
class JsonFields {
  public:
    JsonFields& Field(std::string_view name, std::string_view utf8) {
        fields_.emplace_back(std::string(name), std::string(utf8));
        return *this;
    }
    JsonFields& Field(std::string_view name, const char* utf8) {
        return Field(name, std::string_view(utf8));
    }
    JsonFields& Field(std::string_view name, std::int64_t value) {
        fields_.emplace_back(std::string(name), value);
        return *this;
    }
    JsonFields& Field(std::string_view name, bool value) {
        fields_.emplace_back(std::string(name), value);
        return *this;
    }
    void WriteTo(JsonWriter& j) const;

  private:
    std::vector<std::pair<std::string, std::variant<std::string, std::int64_t, bool>>> fields_;
};

std::string JsonEscape(std::string_view utf8);

}  // namespace mox3
