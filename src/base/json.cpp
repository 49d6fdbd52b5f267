#include "base/json.h"

#include <cstdio>

namespace mox3 {

std::string JsonEscape(std::string_view utf8) {
    std::string out;
    out.reserve(utf8.size() + 2);
    for (char ch : utf8) {
        auto c = static_cast<unsigned char>(ch);
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (c < 0x20) {
                    char buf[8];
                    std::snprintf(buf, sizeof buf, "\\u%04x", c);
                    out += buf;
                } else {
                    out.push_back(ch);
                }
        }
    }
    return out;
}

void JsonWriter::NewLine() {
    text_.push_back('\n');
    text_.append(2 * hasItems_.size(), ' ');
}

void JsonWriter::BeforeValue() {
    if (afterKey_) {
        afterKey_ = false;
        return;
    }
    if (!hasItems_.empty()) {
        if (hasItems_.back()) text_.push_back(',');
        hasItems_.back() = true;
        NewLine();
    }
}

JsonWriter& JsonWriter::BeginObject() {
    BeforeValue();
    text_.push_back('{');
    hasItems_.push_back(false);
    return *this;
}

JsonWriter& JsonWriter::EndObject() {
    bool had = hasItems_.back();
    hasItems_.pop_back();
    if (had) NewLine();
    text_.push_back('}');
    return *this;
}

JsonWriter& JsonWriter::BeginArray() {
    BeforeValue();
    text_.push_back('[');
    hasItems_.push_back(false);
    return *this;
}

JsonWriter& JsonWriter::EndArray() {
    bool had = hasItems_.back();
    hasItems_.pop_back();
    if (had) NewLine();
    text_.push_back(']');
    return *this;
}

JsonWriter& JsonWriter::Key(std::string_view name) {
    BeforeValue();
    text_ += '"' + JsonEscape(name) + "\": ";
    afterKey_ = true;
    return *this;
}

JsonWriter& JsonWriter::String(std::string_view utf8) {
    BeforeValue();
    text_ += '"' + JsonEscape(utf8) + '"';
    return *this;
}

JsonWriter& JsonWriter::Number(std::int64_t value) {
    BeforeValue();
    text_ += std::to_string(value);
    return *this;
}

JsonWriter& JsonWriter::Bool(bool value) {
    BeforeValue();
    text_ += value ? "true" : "false";
    return *this;
}

JsonWriter& JsonWriter::Null() {
    BeforeValue();
    text_ += "null";
    return *this;
}

JsonWriter& JsonWriter::Members(const JsonWriter& object) {
    const std::string& text = object.text_;
    // "{\n  members\n}" or "{}"; the members are indented for an object at the top.
    if (hasItems_.empty() || text.size() < 4 || text.front() != '{') return *this;
    const std::string inner = text.substr(1, text.size() - 3);
    const std::string indent(2 * (hasItems_.size() - 1), ' ');
    if (hasItems_.back()) text_.push_back(',');
    for (char c : inner) {
        text_.push_back(c);
        if (c == '\n') text_ += indent;
    }
    hasItems_.back() = true;
    return *this;
}

void JsonFields::WriteTo(JsonWriter& j) const {
    for (const auto& [name, value] : fields_) {
        j.Key(name);
        if (const auto* text = std::get_if<std::string>(&value)) {
            j.String(*text);
        } else if (const auto* number = std::get_if<std::int64_t>(&value)) {
            j.Number(*number);
        } else {
            j.Bool(std::get<bool>(value));
        }
    }
}

}  // namespace mox3
