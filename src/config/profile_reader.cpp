#include "config/profile_reader.h"

#include <algorithm>
#include <cstdio>
#include <fstream>

#include "base/number_parse.h"
#include "base/text.h"

namespace mox3 {

namespace {

constexpr std::uintmax_t kLargestProfileFile = 16u * 1024u * 1024u;

bool IsProfileSpace(char16_t c) {
    return c == u' ' || c == u'\t' || c == u'\v' || c == u'\f' || c == u'\r' || c == u'\n' ||
           c == 0x1A;
}

std::u16string_view Trim(std::u16string_view s) {
    while (!s.empty() && IsProfileSpace(s.front())) s.remove_prefix(1);
    while (!s.empty() && IsProfileSpace(s.back())) s.remove_suffix(1);
    return s;
}

char16_t Fold(char16_t c) {
    if (c >= u'a' && c <= u'z') return static_cast<char16_t>(c - 32);
    if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return static_cast<char16_t>(c - 32);
    return c;
}

bool SameName(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (Fold(a[i]) != Fold(b[i])) return false;
    }
    return true;
}

std::u16string DecodeText(std::span<const std::uint8_t> bytes) {
    auto utf16 = [&](std::size_t start, bool bigEndian) {
        std::u16string out;
        out.reserve((bytes.size() - start) / 2);
        for (std::size_t i = start; i + 1 < bytes.size(); i += 2) {
            auto lo = bytes[bigEndian ? i + 1 : i];
            auto hi = bytes[bigEndian ? i : i + 1];
            out.push_back(static_cast<char16_t>(lo | (hi << 8)));
        }
        return out;
    };
    if (bytes.size() >= 2 && bytes[0] == 0xFF && bytes[1] == 0xFE) return utf16(2, false);
    if (bytes.size() >= 2 && bytes[0] == 0xFE && bytes[1] == 0xFF) return utf16(2, true);
    std::string_view raw(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    if (raw.size() >= 3 && raw.substr(0, 3) == "\xEF\xBB\xBF") return Utf8ToUtf16(raw.substr(3));
    return FromAnsi(raw);
}

// Text in UTF-16 without its byte-order mark: mostly zero bytes at the odd offsets (little
// endian) or at the even ones (big endian), where single-byte text has none.
std::string Utf16WithoutMark(std::span<const std::uint8_t> bytes) {
    if (bytes.size() < 4) return {};
    if ((bytes[0] == 0xFF && bytes[1] == 0xFE) || (bytes[0] == 0xFE && bytes[1] == 0xFF)) return {};
    const std::size_t pairs = std::min<std::size_t>(bytes.size() / 2, 512);
    std::size_t zeroEven = 0, zeroOdd = 0;
    for (std::size_t i = 0; i < pairs; ++i) {
        zeroEven += bytes[2 * i] == 0 ? 1 : 0;
        zeroOdd += bytes[2 * i + 1] == 0 ? 1 : 0;
    }
    if (zeroOdd * 4 >= pairs * 3 && zeroEven == 0) return "little-endian";
    if (zeroEven * 4 >= pairs * 3 && zeroOdd == 0) return "big-endian";
    return {};
}

std::string AtByte(std::size_t offset) {
    return " at byte " + std::to_string(offset);
}

bool IsTextControl(std::uint32_t c) {
    return c < 0x20 &&
           !(c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r' || c == 0x1A);
}

// Length of the UTF-8 sequence at `i`, or 0 when it is not a valid one.
std::size_t Utf8Sequence(std::span<const std::uint8_t> b, std::size_t i) {
    const std::uint8_t lead = b[i];
    std::size_t length = lead < 0x80 ? 1 : (lead & 0xE0) == 0xC0 ? 2 : (lead & 0xF0) == 0xE0 ? 3
                                       : (lead & 0xF8) == 0xF0  ? 4
                                                                : 0;
    if (length == 0 || i + length > b.size()) return 0;
    std::uint32_t code = length == 1 ? lead : lead & (0x7Fu >> length);
    for (std::size_t k = 1; k < length; ++k) {
        if ((b[i + k] & 0xC0) != 0x80) return 0;
        code = (code << 6) | (b[i + k] & 0x3Fu);
    }
    const std::uint32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (code < smallest[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
    return length;
}

// Why `bytes` are not the text of a configuration file, or empty. A NUL inside UTF-16 text is
// text (the reader ends the value there); in single-byte text it marks a binary file.
std::string NotText(std::span<const std::uint8_t> bytes) {
    const bool utf16 = bytes.size() >= 2 && ((bytes[0] == 0xFF && bytes[1] == 0xFE) ||
                                             (bytes[0] == 0xFE && bytes[1] == 0xFF));
    if (utf16) {
        if (bytes.size() % 2 != 0) return "UTF-16 text of an odd number of bytes";
        const bool bigEndian = bytes[0] == 0xFE;
        auto unit = [&](std::size_t i) -> std::uint32_t {
            return bigEndian ? (bytes[i] << 8) | bytes[i + 1] : bytes[i] | (bytes[i + 1] << 8);
        };
        for (std::size_t i = 2; i + 1 < bytes.size(); i += 2) {
            const std::uint32_t c = unit(i);
            if (c >= 0xD800 && c <= 0xDBFF && i + 3 < bytes.size() && unit(i + 2) >= 0xDC00 &&
                unit(i + 2) <= 0xDFFF) {
                i += 2;
                continue;
            }
            if (c >= 0xD800 && c <= 0xDFFF) return "invalid UTF-16" + AtByte(i);
            if (c != 0 && IsTextControl(c)) {
                char code[8];
                std::snprintf(code, sizeof code, "%02X", static_cast<unsigned>(c));
                return std::string("control character U+00") + code + AtByte(i);
            }
        }
        return {};
    }
    const bool utf8 = bytes.size() >= 3 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF;
    for (std::size_t i = utf8 ? 3 : 0; i < bytes.size(); ++i) {
        if (bytes[i] == 0) return "a NUL byte" + AtByte(i);
        if (IsTextControl(bytes[i])) {
            char code[8];
            std::snprintf(code, sizeof code, "%02X", static_cast<unsigned>(bytes[i]));
            return std::string("control byte 0x") + code + AtByte(i);
        }
        if (utf8 && bytes[i] >= 0x80) {
            const std::size_t length = Utf8Sequence(bytes, i);
            if (length == 0) return "invalid UTF-8" + AtByte(i);
            i += length - 1;
        }
    }
    return {};
}

}  // namespace

ProfileFile ProfileFile::Parse(std::span<const std::uint8_t> bytes) {
    ProfileFile file;
    file.notText_ = NotText(bytes);
    std::u16string text = DecodeText(bytes);
    file.blank_ = Trim(text).empty();
    std::u16string_view rest(text);
    // Keys before the first section belong to a nameless section that no lookup reaches.
    file.sections_.push_back(Section{});
    while (!rest.empty()) {
        std::size_t end = rest.find_first_of(u"\r\n");
        std::u16string_view line = rest.substr(0, end);
        rest.remove_prefix(end == std::u16string_view::npos ? rest.size() : end + 1);

        line = Trim(line);
        if (line.empty() || line.front() == u';') continue;
        if (line.front() == u'[') {
            std::size_t close = line.find(u']');
            if (close != std::u16string_view::npos) {
                file.sections_.push_back(
                    Section{std::u16string(Trim(line.substr(1, close - 1))), {}});
                continue;
            }
        }
        Entry entry;
        std::size_t eq = line.find(u'=');
        if (eq == std::u16string_view::npos) {
            entry.key = std::u16string(line);
        } else {
            entry.key = std::u16string(Trim(line.substr(0, eq)));
            std::u16string_view value = Trim(line.substr(eq + 1));
            if (value.size() >= 2 && (value.front() == u'"' || value.front() == u'\'') &&
                value.back() == value.front()) {
                value = value.substr(1, value.size() - 2);
            }
            // The reader works on zero-terminated texts: a NUL ends the value.
            if (std::size_t nul = value.find(char16_t{0}); nul != std::u16string_view::npos) {
                entry.written = std::u16string(value);
                value = value.substr(0, nul);
            }
            entry.value = std::u16string(value);
        }
        file.sections_.back().entries.push_back(std::move(entry));
    }
    return file;
}

std::optional<ProfileFile> ProfileFile::Load(const std::filesystem::path& path,
                                             std::string* error) {
    std::error_code ec;
    auto size = std::filesystem::file_size(path, ec);
    if (ec) {
        if (error) *error = "cannot read " + path.string() + ": " + ec.message();
        return std::nullopt;
    }
    if (size > kLargestProfileFile) {
        if (error) *error = path.string() + " is too large for a configuration file";
        return std::nullopt;
    }
    std::ifstream in(path, std::ios::binary);
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(size));
    if (!in ||
        !in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(size))) {
        if (error) *error = "cannot read " + path.string();
        return std::nullopt;
    }
    // Read as single-byte text it would have no sections at all.
    if (std::string order = Utf16WithoutMark(bytes); !order.empty()) {
        if (error) {
            *error = path.string() + " looks like " + order +
                     " UTF-16 text without its byte-order mark; save it as UTF-16 with the mark "
                     "(" + (order == "little-endian" ? "FF FE" : "FE FF") + ")";
        }
        return std::nullopt;
    }
    return Parse(bytes);
}

const ProfileFile::Entry* ProfileFile::FindEntry(std::u16string_view section,
                                                 std::u16string_view key) const {
    section = Trim(section);
    key = Trim(key);
    // Only the first section of a name is searched.
    for (std::size_t s = 1; s < sections_.size(); ++s) {
        if (!SameName(sections_[s].name, section)) continue;
        for (const Entry& entry : sections_[s].entries) {
            if (SameName(entry.key, key)) return &entry;
        }
        return nullptr;
    }
    return nullptr;
}

std::optional<std::u16string> ProfileFile::Find(std::u16string_view section,
                                                std::u16string_view key) const {
    const Entry* entry = FindEntry(section, key);
    if (entry == nullptr) return std::nullopt;
    return entry->value;
}

std::optional<std::u16string> ProfileFile::FindAsWritten(std::u16string_view section,
                                                         std::u16string_view key) const {
    const Entry* entry = FindEntry(section, key);
    if (entry == nullptr || !entry->value) return std::nullopt;
    return entry->written.empty() ? entry->value : entry->written;
}

std::u16string ProfileFile::GetString(std::u16string_view section, std::u16string_view key,
                                      std::u16string_view defaultValue,
                                      std::size_t capacity) const {
    auto value = Find(section, key);
    std::u16string_view chosen = value ? std::u16string_view(*value) : defaultValue;
    return std::u16string(CutToCapacity(chosen, capacity));
}

std::uint32_t ProfileFile::GetInt(std::u16string_view section, std::u16string_view key,
                                  std::uint32_t defaultValue) const {
    std::u16string value = GetString(section, key, u"", kShortTextUnits);
    if (value.empty()) return defaultValue;
    return ParseProfileInt(value);
}

std::filesystem::path PathFromText(std::u16string_view text) {
    return std::filesystem::path(std::u16string(text));
}

}  // namespace mox3
