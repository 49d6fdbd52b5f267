#include "config/compile_fixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

#include "base/text.h"
#include "bridge/firmware_image.h"
#include "resources/resources.h"

namespace mox3::test {

Ini& Ini::Set(const std::string& section, const std::string& key, const std::string& value) {
    auto s = std::find_if(sections_.begin(), sections_.end(),
                          [&](const auto& e) { return e.first == section; });
    if (s == sections_.end()) s = sections_.insert(s, {section, {}});
    auto k = std::find_if(s->second.begin(), s->second.end(),
                          [&](const auto& e) { return e.first == key; });
    if (k == s->second.end()) k = s->second.insert(k, {key, ""});
    k->second = value;
    return *this;
}

Ini& Ini::SetAll(const std::string& section, const std::string& pairs) {
    std::istringstream in(pairs);
    for (std::string pair; in >> pair;) {
        const std::size_t eq = pair.find('=');
        Set(section, pair.substr(0, eq), pair.substr(eq + 1));
    }
    return *this;
}

Ini& Ini::Remove(const std::string& section, const std::string& key) {
    for (auto& s : sections_) {
        if (s.first != section) continue;
        std::erase_if(s.second, [&](const auto& e) { return e.first == key; });
    }
    return *this;
}

std::string Ini::Text() const {
    std::ostringstream out;
    out << "; * This file must be written in UTF-16 LE with BOM encoding.\n\n";
    for (const auto& [section, keys] : sections_) {
        out << "[" << section << "]\n";
        for (const auto& [key, value] : keys) out << key << "=" << value << "\n";
        out << "\n";
    }
    return out.str();
}

namespace {

// A shipped configuration file (UTF-16 LE after its byte-order mark) as an editable INI.
Ini ShippedIni(int id) {
    const EmbeddedResource* r = FindConfigResource(id);
    if (r == nullptr) throw std::runtime_error("no configuration file " + std::to_string(id));
    std::u16string units;
    for (std::size_t i = 2; i + 1 < r->bytes.size(); i += 2) {
        units.push_back(static_cast<char16_t>(r->bytes[i] | r->bytes[i + 1] << 8));
    }
    Ini ini;
    std::string section;
    std::istringstream lines(Utf16ToUtf8(units));
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || line[0] == ';') continue;
        const std::size_t end = line.find(']');
        const std::size_t eq = line.find('=');
        if (line[0] == '[' && end != std::string::npos) {
            section = line.substr(1, end - 1);
        } else if (eq != std::string::npos) {
            ini.Set(section, line.substr(0, eq), line.substr(eq + 1));
        }
    }
    return ini;
}

}  // namespace

Ini SecondGenerationIni() {
    return ShippedIni(117);
}

Ini FirstGenerationIni() {
    return ShippedIni(104);
}

Compiled CompileBytes(const std::vector<std::uint8_t>& config, const ImageSpec& image,
                      std::optional<std::string> serial) {
    TempDir dir;
    std::string error;
    auto bytes = MakeSampleImage({image.generation, image.digits, image.size, image.seed}, &error);
    if (bytes.empty()) throw std::runtime_error(error);
    WriteBytes(dir / "image.bin", bytes);
    WriteBytes(dir / "config.ini", config);
    CBridgeMgr mgr;
    Compiled c;
    std::optional<std::u16string> serial16;
    if (serial) serial16 = Utf8ToUtf16(*serial);
    c.result = BuildConfigBlock(mgr, Utf8ToUtf16((dir / "image.bin").string()),
                                Utf8ToUtf16((dir / "config.ini").string()), 0, serial16);
    if (c.result.ok) c.block.assign(mgr.imageBuffer.begin(), mgr.imageBuffer.begin() + 4096);
    c.scratchText = Utf16ToUtf8(mgr.scratchText);
    c.firmwareAddress = mgr.firmwareAddress;
    c.flashParameters = mgr.flashParameters;
    return c;
}

Compiled CompileIni(const Ini& ini, const ImageSpec& image, std::optional<std::string> serial) {
    TempDir dir;
    WriteUtf16Ini(dir / "config.ini", ini.Text());
    return CompileBytes(ReadBytes(dir / "config.ini"), image, std::move(serial));
}

void ExpectFails(const Ini& ini, const std::string& keyInMessage, const ImageSpec& image) {
    Compiled c = CompileIni(ini, image);
    EXPECT_FALSE(c.result.ok) << keyInMessage;
    EXPECT_EQ(c.result.failedStep, "compile");
    EXPECT_NE(c.result.reason.find(keyInMessage), std::string::npos) << c.result.reason;
}

std::vector<std::uint8_t> Utf16Le(std::u16string_view text) {
    std::vector<std::uint8_t> bytes = {0xFF, 0xFE};
    for (char16_t u : text)
        bytes.insert(bytes.end(),
                     {static_cast<std::uint8_t>(u), static_cast<std::uint8_t>(u >> 8)});
    return bytes;
}

std::vector<std::uint8_t> Hex(const std::string& text) {
    std::vector<std::uint8_t> out;
    std::istringstream in(text);
    std::string word;
    while (in >> word) {
        const std::size_t star = word.find('*');
        const std::size_t n = star == std::string::npos ? 1 : std::stoul(word.substr(0, star));
        const auto byte = std::stoul(word.substr(star + 1), nullptr, 16);
        out.insert(out.end(), n, static_cast<std::uint8_t>(byte));
    }
    return out;
}

void ExpectBytes(const std::vector<std::uint8_t>& block, const std::string& layout) {
    std::istringstream entries(layout);
    for (std::string entry; std::getline(entries, entry, ';');) {
        const std::size_t colon = entry.find(':');
        const std::size_t quote = entry.find('\'', colon);
        const std::vector<std::uint8_t> bytes =
            quote == std::string::npos
                ? Hex(entry.substr(colon + 1))
                : std::vector<std::uint8_t>(entry.begin() + 1 + quote, entry.end());
        std::istringstream offsets(entry.substr(0, colon));
        for (std::size_t at = 0; offsets >> at;) {
            EXPECT_EQ(Slice(block, at, bytes.size()), bytes) << "at " << at;
        }
    }
}

std::vector<std::uint8_t> Slice(const std::vector<std::uint8_t>& block, std::size_t from,
                                std::size_t count) {
    if (block.size() < from + count) return {};
    return {block.begin() + static_cast<std::ptrdiff_t>(from),
            block.begin() + static_cast<std::ptrdiff_t>(from + count)};
}

}  // namespace mox3::test
