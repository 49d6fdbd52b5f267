// decode: a readable dump of a compiled configuration block.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "app/cli/cli_args.h"
#include "app/cli/cli_report.h"
#include "app/cli/commands.h"
#include "base/json.h"
#include "base/text.h"
#include "config/block_decode.h"
#include "platform/platform.h"

namespace mox3 {

namespace {

constexpr const char* kUsage = "usage: mox3-updater decode BLOCK [--generation 1|2] [--json]\n";

struct DecodeOptions {
    std::string path;
    std::optional<int> generation;
    bool json = false;
};

// Returns false on bad usage, with the reason in `problem`.
bool ParseOptions(Args args, DecodeOptions& options, std::string& problem) {
    CliArgs cli(args, {"--generation"}, {"--json"});
    if (!cli.ok()) {
        problem = cli.error();
        return false;
    }
    if (cli.positional().size() != 1) {
        problem = cli.positional().empty()
                      ? "no BLOCK file given"
                      : "unexpected argument " + cli.positional()[1] +
                            ": only one BLOCK file can be decoded at a time";
        return false;
    }
    options.path = cli.positional()[0];
    options.json = cli.has("--json");
    if (auto value = cli.value("--generation")) {
        if (*value != "1" && *value != "2") {
            problem = "--generation must be 1 or 2, not \"" + *value + "\"";
            return false;
        }
        options.generation = *value == "1" ? 1 : 2;
    }
    return true;
}

// Reads exactly one block; on failure leaves a message in `problem`.
bool ReadBlock(const std::string& path, std::vector<std::uint8_t>& block, std::string& problem) {
    namespace fs = std::filesystem;
    std::error_code ec;
    if (fs::is_directory(Utf8Path(path), ec)) {
        problem = "cannot read " + path + ": it is a folder";
        return false;
    }
    // A FIFO or a device would block the reader or never end.
    if (fs::exists(Utf8Path(path), ec) && !fs::is_regular_file(Utf8Path(path), ec)) {
        problem = "cannot read " + path + ": it is not a regular file";
        return false;
    }
    std::ifstream in(Utf8Path(path), std::ios::binary);
    if (!in) {
        problem = "cannot open " + path;
        return false;
    }
    block.assign(kConfigBlockSize + 1, 0);
    in.read(reinterpret_cast<char*>(block.data()), static_cast<std::streamsize>(block.size()));
    if (in.bad()) {
        problem = "cannot read " + path;
        return false;
    }
    auto got = static_cast<std::uintmax_t>(in.gcount());
    if (got != kConfigBlockSize) {
        std::uintmax_t size = fs::file_size(path, ec);
        if (ec) size = got;
        problem = path + " holds " + std::to_string(size) + " bytes; a configuration block has " +
                  std::to_string(kConfigBlockSize);
        return false;
    }
    block.resize(kConfigBlockSize);
    return true;
}

std::string HexNumber(std::uint64_t value, int digits) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "0x%0*llX", digits, static_cast<unsigned long long>(value));
    return buf;
}

// Spaced hex for people ("01 AB"), plain hex for JSON ("01ab").
template <typename Range>
std::string HexBytes(const Range& bytes, bool spaced) {
    std::span<const std::uint8_t> view(bytes);
    return spaced ? HexString(view, HexDigits::Upper, " ") : HexString(view, HexDigits::Lower);
}

// Quotes a text for the terminal, showing control characters as escapes.
std::string Quoted(const std::string& text) {
    std::string out = "\"";
    for (char ch : text) {
        auto c = static_cast<unsigned char>(ch);
        if (c < 0x20 || c == 0x7F) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02X", c);
            out += buf;
        } else if (ch == '"' || ch == '\\') {
            out += '\\';
            out += ch;
        } else {
            out += ch;
        }
    }
    return out + "\"";
}

const char* DigestStatusText(DigestStatus status) {
    switch (status) {
        case DigestStatus::Holds:
            return "holds";
        case DigestStatus::Mismatch:
            return "mismatch";
        case DigestStatus::LengthOutOfRange:
            return "length out of range";
        case DigestStatus::HashFailed:
            return "hash failed";
    }
    return "unknown";
}

const char* StringFormText(StringDescriptor::Form form) {
    switch (form) {
        case StringDescriptor::Form::Text:
            return "text";
        case StringDescriptor::Form::Empty:
            return "empty";
        case StringDescriptor::Form::FromDisk:
            return "from disk";
        case StringDescriptor::Form::Malformed:
            return "malformed";
    }
    return "unknown";
}

std::string SscText(std::uint8_t ssc) {
    if (ssc == 0x7F) return "SSC disabled";
    if (ssc == 0xFF) return "SSC enabled";
    return "unexpected value";
}

// ---- Text output ----

class TextDump {
  public:
    explicit TextDump(std::ostream& out) : out_(out) {}

    void Write(const DecodedBlock& block, bool generationGiven) {
        WriteTitle(block, generationGiven);
        WriteDigest(block.digest);
        WriteHeader(block);
        WriteDescriptors(block);
        WriteInquiry(block);
        WriteTlv(block);
    }

  private:
    void Line(int indent, const std::string& text) {
        out_ << std::string(2 * static_cast<std::size_t>(indent), ' ') << text << '\n';
    }
    void Row(const std::string& label, const std::string& value) {
        std::string padded = label;
        if (padded.size() < 30) padded.resize(30, ' ');
        Line(1, padded + value);
    }
    static std::string Wide(std::uint32_t value) {
        return HexNumber(value, 8) + " (" + std::to_string(value) + ")";
    }

    void WriteTitle(const DecodedBlock& block, bool generationGiven) {
        std::string source;
        if (!generationGiven) {
            source = "told by the header";
        } else if (!block.headerGeneration) {
            source = "as asked; the header names no generation";
        } else if (*block.headerGeneration != block.generation) {
            source =
                "as asked; the header says generation " + std::to_string(*block.headerGeneration);
        } else {
            source = "as asked, and as the header says";
        }
        Line(0, "Configuration block, generation " + std::to_string(block.generation) + " (" +
                    source + ")");
        out_ << '\n';
    }

    void WriteDigest(const DigestCheck& d) {
        std::uint64_t covered = std::uint64_t{d.payloadLength} + 35;
        switch (d.status) {
            case DigestStatus::Holds:
                Line(0, "Digest: holds");
                break;
            case DigestStatus::Mismatch:
                Line(0, "Digest: BROKEN (the stored digest differs)");
                break;
            case DigestStatus::LengthOutOfRange:
                Line(0, "Digest: BROKEN (the payload length runs past the block)");
                break;
            case DigestStatus::HashFailed:
                Line(0, "Digest: cannot be checked (hashing failed)");
                break;
        }
        if (d.status == DigestStatus::LengthOutOfRange) {
            Line(1, "payload length " + std::to_string(d.payloadLength) + ", " +
                        std::to_string(d.payloadLength) + " + 36 exceeds " +
                        std::to_string(kConfigBlockSize));
        } else {
            Line(1, "payload length " + std::to_string(d.payloadLength) + ", covers bytes 32 to " +
                        std::to_string(covered));
        }
        Line(1, "stored    " + HexBytes(d.stored, false));
        if (d.computed) Line(1, "computed  " + HexBytes(*d.computed, false));
        out_ << '\n';
    }

    void WriteHeader(const DecodedBlock& block) {
        const BlockHeader& h = block.header;
        Line(0, "Header");
        Row("payload length", std::to_string(h.payloadLength));
        Row("firmware flash address", Wide(h.firmwareAddress));
        Row("firmware room", Wide(h.firmwareRoom));
        if (h.second) Row("byte 44 (set when sealed)", std::to_string(h.second->sealMarker));
        for (const DescriptorArea& area : h.descriptorAreas) {
            std::string where;
            if (area.flashAddress) {
                where = "flash " + HexNumber(*area.flashAddress, 4) + " (offset " +
                        std::to_string(area.offset) + ")";
            } else {
                where = "offset " + std::to_string(area.offset);
            }
            Row(area.name + " descriptors", where + ", " + std::to_string(area.size) + " bytes");
        }
        if (h.second) {
            Row("byte 68 (no secret area)", std::to_string(h.second->noSecretArea));
            Row("bytes 72-73", HexNumber(h.second->bytes72, 4));
        }
        Row("bytes 74-75 (from the image)", HexNumber(h.imageBytes, 4));
        if (h.second) {
            Row("flash size", Wide(h.second->flashSize));
            Row("flash page", Wide(h.second->flashPage));
            Row("flash info", HexBytes(h.second->flashInfo, true));
        }
        Row("deleting key (" + std::to_string(h.deletingKeyOffset) + ")",
            HexBytes(h.deletingKey, false));
        if (block.generation == 1) Row("deleting key text", Quoted(h.deletingKeyText));
        if (block.generation == 1) {
            Row("parameter area", "flash " + HexNumber(h.parameterArea, 4) + ", " +
                                      std::to_string(h.parameterAreaSize) + " bytes");
        } else {
            Row("parameter area", "offset " + std::to_string(h.parameterArea) + ", " +
                                      std::to_string(h.parameterAreaSize) + " bytes");
        }
        Row("byte 3840", HexNumber(h.sscByte, 2) + " (" + SscText(h.sscByte) + ")");
        for (const std::string& note : block.notes) Line(1, "note: " + note);
        out_ << '\n';
    }

    std::string StringText(const char* label, const StringDescriptor& s) {
        std::string text = std::string(label) + " ";
        switch (s.form) {
            case StringDescriptor::Form::Text:
                text += Quoted(s.text);
                break;
            case StringDescriptor::Form::Empty:
                text += "(empty)";
                break;
            case StringDescriptor::Form::FromDisk:
                text += "(derived from the attached disk, length byte 0x52)";
                break;
            case StringDescriptor::Form::Malformed:
                text += "(malformed) " + Quoted(s.text);
                break;
        }
        if (!s.note.empty()) text += " [" + s.note + "]";
        return text;
    }

    void WriteDescriptors(const DecodedBlock& block) {
        Line(0, "USB descriptors");
        for (const DescriptorSet& set : block.descriptorSets) {
            Line(1, set.name + " set at " + std::to_string(set.offset));
            Line(2, "bcdUSB " + HexNumber(set.bcdUSB, 4) + ", VID " + HexNumber(set.vendorId, 4) +
                        ", PID " + HexNumber(set.productId, 4) + ", bcdDevice " +
                        HexNumber(set.bcdDevice, 4));
            auto config = [](const char* label, const ConfigurationValues& c) {
                return std::string(label) + " bmAttributes " + HexNumber(c.bmAttributes, 2) +
                       ", bMaxPower " + HexNumber(c.bMaxPower, 2) + " (at " +
                       std::to_string(c.offset) + ")";
            };
            Line(2, config("configuration", set.configuration));
            if (set.otherSpeed) Line(2, config("other-speed configuration", *set.otherSpeed));
            Line(2, "bulk-only interface subclass " + HexNumber(set.interfaceSubClass, 2));
            Line(2, StringText("manufacturer", set.manufacturer));
            Line(2, StringText("product", set.product));
            Line(2, StringText("serial number", set.serialNumber));
        }
        out_ << '\n';
    }

    void WriteInquiry(const DecodedBlock& block) {
        Line(0, "SCSI INQUIRY");
        if (block.inquiry.empty()) Line(1, "(none)");
        for (std::size_t i = 0; i < block.inquiry.size(); ++i) {
            const InquiryEntry& e = block.inquiry[i];
            std::string label = "entry " + std::to_string(i);
            if (block.generation == 2) label += " (Inq " + std::to_string(i + 1) + ")";
            label += " at " + std::to_string(e.offset) + ": ";
            if (e.unused) {
                Line(1, label + "unused");
            } else {
                Line(1, label + "vendor " + Quoted(e.vendor) + ", product " + Quoted(e.product) +
                            ", revision " + Quoted(e.revision));
            }
        }
        out_ << '\n';
    }

    std::string FieldText(const DecodedField& f) {
        switch (f.kind) {
            case DecodedField::Kind::Number:
                return std::to_string(f.number);
            case DecodedField::Kind::Hex: {
                std::string text = HexNumber(f.number, f.digits);
                if (f.digits >= 4 && f.number > 9) text += " (" + std::to_string(f.number) + ")";
                return text;
            }
            case DecodedField::Kind::Port:
                return HexNumber(f.number, 2) + " (pin " + std::to_string(f.number & 0x7F) +
                       ", active " + std::to_string(f.number >> 7) + ")";
            case DecodedField::Kind::Text:
                return Quoted(f.text);
            case DecodedField::Kind::Bytes:
                return HexBytes(f.bytes, true);
        }
        return {};
    }

    void WriteGroup(int indent, const DecodedGroup& g, bool withName) {
        if (withName) {
            Line(indent, g.name);
            ++indent;
        }
        for (const DecodedField& f : g.fields) Line(indent, f.name + ": " + FieldText(f));
        for (const std::string& note : g.notes) Line(indent, "note: " + note);
        for (const DecodedGroup& sub : g.groups) WriteGroup(indent, sub, true);
    }

    void WriteRawValue(int indent, const std::vector<std::uint8_t>& value) {
        for (std::size_t i = 0; i < value.size(); i += 16) {
            std::vector<std::uint8_t> row(
                value.begin() + static_cast<std::ptrdiff_t>(i),
                value.begin() + static_cast<std::ptrdiff_t>(std::min(value.size(), i + 16)));
            Line(indent, (i == 0 ? "bytes: " : "       ") + HexBytes(row, true));
        }
    }

    void WriteTlv(const DecodedBlock& block) {
        const TlvList& list = block.tlv;
        Line(0, "TLV records from byte " + std::to_string(list.start) + " (area ends at " +
                    std::to_string(list.limit) + ")");
        for (const TlvRecord& r : list.records) {
            Line(1, "at " + std::to_string(r.offset) + ": tag " + HexNumber(r.tag, 2) + " " +
                        r.name + ", length " + std::to_string(r.length) +
                        (r.truncated ? " (TRUNCATED)" : ""));
            for (const std::string& note : r.notes) Line(2, "note: " + note);
            bool oneNamed = r.readings.size() == 1 && r.readings[0].name == r.name;
            for (const DecodedGroup& reading : r.readings) {
                if (!oneNamed) Line(2, "reading as " + reading.name + ":");
                WriteGroup(oneNamed ? 2 : 3, reading, false);
            }
            if (r.readings.empty()) WriteRawValue(2, r.value);
        }
        if (list.endTagOffset) Line(1, "end tag at " + std::to_string(*list.endTagOffset));
        for (const std::string& problem : list.problems) Line(1, "problem: " + problem);
    }

    std::ostream& out_;
};

// ---- JSON output ----

void JsonNumber(JsonWriter& json, std::string_view name, std::uint64_t value) {
    json.Field(name, static_cast<std::int64_t>(value));
}

void JsonStrings(JsonWriter& json, std::string_view name, const std::vector<std::string>& texts) {
    json.Key(name).BeginArray();
    for (const std::string& text : texts) json.String(text);
    json.EndArray();
}

void JsonGroup(JsonWriter& json, const DecodedGroup& g) {
    json.BeginObject();
    json.Field("name", g.name);
    json.Key("fields").BeginObject();
    std::set<std::string> used;
    for (const DecodedField& f : g.fields) {
        // A garbled record may repeat a pin; keep the keys of the object distinct.
        std::string key = f.name;
        for (int n = 2; !used.insert(key).second; ++n) key = f.name + "#" + std::to_string(n);
        json.Key(key);
        switch (f.kind) {
            case DecodedField::Kind::Number:
            case DecodedField::Kind::Hex:
                json.Number(static_cast<std::int64_t>(f.number));
                break;
            case DecodedField::Kind::Port:
                json.BeginObject();
                JsonNumber(json, "raw", f.number);
                JsonNumber(json, "pin", f.number & 0x7F);
                JsonNumber(json, "active", f.number >> 7);
                json.EndObject();
                break;
            case DecodedField::Kind::Text:
                json.String(f.text);
                break;
            case DecodedField::Kind::Bytes:
                json.String(HexBytes(f.bytes, false));
                break;
        }
    }
    json.EndObject();
    json.Key("groups").BeginArray();
    for (const DecodedGroup& sub : g.groups) JsonGroup(json, sub);
    json.EndArray();
    JsonStrings(json, "notes", g.notes);
    json.EndObject();
}

void JsonString(JsonWriter& json, std::string_view name, const StringDescriptor& s) {
    json.Key(name).BeginObject();
    JsonNumber(json, "offset", s.offset);
    JsonNumber(json, "length", s.length);
    JsonNumber(json, "type", s.type);
    json.Field("form", StringFormText(s.form));
    json.Field("text", s.text);
    if (!s.note.empty()) json.Field("note", s.note);
    json.EndObject();
}

void JsonConfiguration(JsonWriter& json, std::string_view name, const ConfigurationValues& c) {
    json.Key(name).BeginObject();
    JsonNumber(json, "offset", c.offset);
    JsonNumber(json, "bmAttributes", c.bmAttributes);
    JsonNumber(json, "bMaxPower", c.bMaxPower);
    json.EndObject();
}

void ToJson(JsonWriter& json, const DecodedBlock& block, bool generationGiven) {
    JsonNumber(json, "generation", static_cast<std::uint64_t>(block.generation));
    json.Field("generationSource", generationGiven ? "option" : "header");
    json.Key("headerGeneration");
    if (block.headerGeneration) {
        json.Number(*block.headerGeneration);
    } else {
        json.Null();
    }

    const DigestCheck& d = block.digest;
    json.Key("digest").BeginObject();
    json.Field("status", DigestStatusText(d.status));
    json.Field("holds", d.holds());
    JsonNumber(json, "payloadLength", d.payloadLength);
    json.Field("stored", HexBytes(d.stored, false));
    json.Key("computed");
    if (d.computed) {
        json.String(HexBytes(*d.computed, false));
    } else {
        json.Null();
    }
    json.EndObject();

    const BlockHeader& h = block.header;
    json.Key("header").BeginObject();
    JsonNumber(json, "payloadLength", h.payloadLength);
    JsonNumber(json, "firmwareAddress", h.firmwareAddress);
    JsonNumber(json, "firmwareRoom", h.firmwareRoom);
    json.Key("descriptorAreas").BeginArray();
    for (const DescriptorArea& area : h.descriptorAreas) {
        json.BeginObject();
        json.Field("name", area.name);
        if (area.flashAddress) JsonNumber(json, "flashAddress", *area.flashAddress);
        json.Field("offset", area.offset);
        JsonNumber(json, "size", area.size);
        json.EndObject();
    }
    json.EndArray();
    JsonNumber(json, "imageBytes", h.imageBytes);
    JsonNumber(json, "deletingKeyOffset", h.deletingKeyOffset);
    json.Field("deletingKey", HexBytes(h.deletingKey, false));
    if (block.generation == 1) json.Field("deletingKeyText", h.deletingKeyText);
    json.Key("parameterArea").BeginObject();
    JsonNumber(json, block.generation == 1 ? "flashAddress" : "offset", h.parameterArea);
    JsonNumber(json, "size", h.parameterAreaSize);
    json.EndObject();
    JsonNumber(json, "sscByte", h.sscByte);
    json.Field("sscDisabled", h.sscByte == 0x7F);
    if (h.second) {
        JsonNumber(json, "sealMarker", h.second->sealMarker);
        JsonNumber(json, "noSecretArea", h.second->noSecretArea);
        JsonNumber(json, "bytes72", h.second->bytes72);
        JsonNumber(json, "flashSize", h.second->flashSize);
        JsonNumber(json, "flashPage", h.second->flashPage);
        json.Field("flashInfo", HexBytes(h.second->flashInfo, false));
    }
    json.EndObject();
    JsonStrings(json, "notes", block.notes);

    json.Key("descriptorSets").BeginArray();
    for (const DescriptorSet& set : block.descriptorSets) {
        json.BeginObject();
        json.Field("name", set.name);
        JsonNumber(json, "offset", set.offset);
        JsonNumber(json, "bcdUSB", set.bcdUSB);
        JsonNumber(json, "idVendor", set.vendorId);
        JsonNumber(json, "idProduct", set.productId);
        JsonNumber(json, "bcdDevice", set.bcdDevice);
        JsonConfiguration(json, "configuration", set.configuration);
        if (set.otherSpeed) JsonConfiguration(json, "otherSpeedConfiguration", *set.otherSpeed);
        JsonNumber(json, "interfaceSubClass", set.interfaceSubClass);
        JsonString(json, "manufacturer", set.manufacturer);
        JsonString(json, "product", set.product);
        JsonString(json, "serialNumber", set.serialNumber);
        json.EndObject();
    }
    json.EndArray();

    json.Key("inquiry").BeginArray();
    for (const InquiryEntry& e : block.inquiry) {
        json.BeginObject();
        JsonNumber(json, "offset", e.offset);
        json.Field("vendor", e.vendor);
        json.Field("product", e.product);
        json.Field("revision", e.revision);
        json.Field("unused", e.unused);
        json.EndObject();
    }
    json.EndArray();

    const TlvList& list = block.tlv;
    json.Key("tlv").BeginObject();
    JsonNumber(json, "start", list.start);
    JsonNumber(json, "limit", list.limit);
    json.Key("endTagOffset");
    if (list.endTagOffset) {
        json.Number(*list.endTagOffset);
    } else {
        json.Null();
    }
    json.Key("records").BeginArray();
    for (const TlvRecord& r : list.records) {
        json.BeginObject();
        JsonNumber(json, "offset", r.offset);
        JsonNumber(json, "tag", r.tag);
        JsonNumber(json, "length", r.length);
        json.Field("name", r.name);
        json.Field("known", r.known);
        json.Field("truncated", r.truncated);
        json.Field("value", HexBytes(r.value, false));
        JsonStrings(json, "notes", r.notes);
        json.Key("readings").BeginArray();
        for (const DecodedGroup& reading : r.readings) JsonGroup(json, reading);
        json.EndArray();
        json.EndObject();
    }
    json.EndArray();
    JsonStrings(json, "problems", list.problems);
    json.EndObject();
}

}  // namespace

int RunDecodeCommand(Args args, std::ostream& out, std::ostream& err) {
    CommandReport report("decode", WantsJson(args), out, err);
    if (IsHelp(args)) return report.Help(kUsage);
    DecodeOptions options;
    std::string problem;
    if (!ParseOptions(args, options, problem)) return report.Usage(problem, kUsage);
    std::vector<std::uint8_t> bytes;
    if (!ReadBlock(options.path, bytes, problem)) return report.Fail("unreadable", problem);
    ConfigBlockView view(bytes.data(), kConfigBlockSize);
    int generation = 0;
    if (options.generation) {
        generation = *options.generation;
    } else if (auto detected = DetectBlockGeneration(view)) {
        generation = *detected;
    } else {
        return report.Fail("unknown-generation",
                           "cannot tell the generation of " + options.path +
                               " from its header (neither 1792 at byte 48, nor 5120 at byte 44 "
                               "with 8192 at byte 36); give --generation 1 or 2");
    }
    DecodedBlock block = DecodeConfigBlock(view, generation);
    if (!report.json()) TextDump(out).Write(block, options.generation.has_value());
    return report.Done([&](JsonWriter& j) {
        j.Field("block", options.path);
        ToJson(j, block, options.generation.has_value());
    });
}

}  // namespace mox3
