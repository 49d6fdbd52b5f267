// decode: a readable dump of a compiled configuration block.
// Size: one printer per record kind, text and JSON beside each other so that they agree.
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
#include "app/cli/json_out.h"
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

void JsonNumber(Json& json, const char* name, std::uint64_t value) {
    json[name] = static_cast<std::int64_t>(value);
}

void JsonStrings(Json& json, const char* name, const std::vector<std::string>& texts) {
    Json& list = json[name] = Json::array();
    for (const std::string& text : texts) list.push_back(text);
}

Json JsonGroup(const DecodedGroup& g) {
    Json json = Json::object();
    json["name"] = g.name;
    Json& fields = json["fields"] = Json::object();
    std::set<std::string> used;
    for (const DecodedField& f : g.fields) {
        // A garbled record may repeat a pin; keep the keys of the object distinct.
        std::string key = f.name;
        for (int n = 2; !used.insert(key).second; ++n) key = f.name + "#" + std::to_string(n);
        Json& value = fields[key];
        switch (f.kind) {
            case DecodedField::Kind::Number:
            case DecodedField::Kind::Hex:
                value = static_cast<std::int64_t>(f.number);
                break;
            case DecodedField::Kind::Port:
                value = Json::object();
                JsonNumber(value, "raw", f.number);
                JsonNumber(value, "pin", f.number & 0x7F);
                JsonNumber(value, "active", f.number >> 7);
                break;
            case DecodedField::Kind::Text:
                value = f.text;
                break;
            case DecodedField::Kind::Bytes:
                value = HexBytes(f.bytes, false);
                break;
        }
    }
    Json& groups = json["groups"] = Json::array();
    for (const DecodedGroup& sub : g.groups) groups.push_back(JsonGroup(sub));
    JsonStrings(json, "notes", g.notes);
    return json;
}

void JsonString(Json& json, const char* name, const StringDescriptor& s) {
    Json& o = json[name] = Json::object();
    JsonNumber(o, "offset", s.offset);
    JsonNumber(o, "length", s.length);
    JsonNumber(o, "type", s.type);
    o["form"] = StringFormText(s.form);
    o["text"] = s.text;
    if (!s.note.empty()) o["note"] = s.note;
}

void JsonConfiguration(Json& json, const char* name, const ConfigurationValues& c) {
    Json& o = json[name] = Json::object();
    JsonNumber(o, "offset", c.offset);
    JsonNumber(o, "bmAttributes", c.bmAttributes);
    JsonNumber(o, "bMaxPower", c.bMaxPower);
}

void ToJson(Json& json, const DecodedBlock& block, bool generationGiven) {
    JsonNumber(json, "generation", static_cast<std::uint64_t>(block.generation));
    json["generationSource"] = generationGiven ? "option" : "header";
    json["headerGeneration"] = block.headerGeneration ? Json(*block.headerGeneration) : Json();

    const DigestCheck& d = block.digest;
    Json& digest = json["digest"] = Json::object();
    digest["status"] = DigestStatusText(d.status);
    digest["holds"] = d.holds();
    JsonNumber(digest, "payloadLength", d.payloadLength);
    digest["stored"] = HexBytes(d.stored, false);
    digest["computed"] = d.computed ? Json(HexBytes(*d.computed, false)) : Json();

    const BlockHeader& h = block.header;
    Json& header = json["header"] = Json::object();
    JsonNumber(header, "payloadLength", h.payloadLength);
    JsonNumber(header, "firmwareAddress", h.firmwareAddress);
    JsonNumber(header, "firmwareRoom", h.firmwareRoom);
    Json& areas = header["descriptorAreas"] = Json::array();
    for (const DescriptorArea& area : h.descriptorAreas) {
        Json& a = areas.emplace_back(Json::object());
        a["name"] = area.name;
        if (area.flashAddress) JsonNumber(a, "flashAddress", *area.flashAddress);
        a["offset"] = area.offset;
        JsonNumber(a, "size", area.size);
    }
    JsonNumber(header, "imageBytes", h.imageBytes);
    JsonNumber(header, "deletingKeyOffset", h.deletingKeyOffset);
    header["deletingKey"] = HexBytes(h.deletingKey, false);
    if (block.generation == 1) header["deletingKeyText"] = h.deletingKeyText;
    Json& parameters = header["parameterArea"] = Json::object();
    JsonNumber(parameters, block.generation == 1 ? "flashAddress" : "offset", h.parameterArea);
    JsonNumber(parameters, "size", h.parameterAreaSize);
    JsonNumber(header, "sscByte", h.sscByte);
    header["sscDisabled"] = h.sscByte == 0x7F;
    if (h.second) {
        JsonNumber(header, "sealMarker", h.second->sealMarker);
        JsonNumber(header, "noSecretArea", h.second->noSecretArea);
        JsonNumber(header, "bytes72", h.second->bytes72);
        JsonNumber(header, "flashSize", h.second->flashSize);
        JsonNumber(header, "flashPage", h.second->flashPage);
        header["flashInfo"] = HexBytes(h.second->flashInfo, false);
    }
    JsonStrings(json, "notes", block.notes);

    Json& sets = json["descriptorSets"] = Json::array();
    for (const DescriptorSet& set : block.descriptorSets) {
        Json& o = sets.emplace_back(Json::object());
        o["name"] = set.name;
        JsonNumber(o, "offset", set.offset);
        JsonNumber(o, "bcdUSB", set.bcdUSB);
        JsonNumber(o, "idVendor", set.vendorId);
        JsonNumber(o, "idProduct", set.productId);
        JsonNumber(o, "bcdDevice", set.bcdDevice);
        JsonConfiguration(o, "configuration", set.configuration);
        if (set.otherSpeed) JsonConfiguration(o, "otherSpeedConfiguration", *set.otherSpeed);
        JsonNumber(o, "interfaceSubClass", set.interfaceSubClass);
        JsonString(o, "manufacturer", set.manufacturer);
        JsonString(o, "product", set.product);
        JsonString(o, "serialNumber", set.serialNumber);
    }

    Json& inquiry = json["inquiry"] = Json::array();
    for (const InquiryEntry& e : block.inquiry) {
        Json& o = inquiry.emplace_back(Json::object());
        JsonNumber(o, "offset", e.offset);
        o["vendor"] = e.vendor;
        o["product"] = e.product;
        o["revision"] = e.revision;
        o["unused"] = e.unused;
    }

    const TlvList& list = block.tlv;
    Json& tlv = json["tlv"] = Json::object();
    JsonNumber(tlv, "start", list.start);
    JsonNumber(tlv, "limit", list.limit);
    tlv["endTagOffset"] = list.endTagOffset ? Json(*list.endTagOffset) : Json();
    Json& records = tlv["records"] = Json::array();
    for (const TlvRecord& r : list.records) {
        Json& o = records.emplace_back(Json::object());
        JsonNumber(o, "offset", r.offset);
        JsonNumber(o, "tag", r.tag);
        JsonNumber(o, "length", r.length);
        o["name"] = r.name;
        o["known"] = r.known;
        o["truncated"] = r.truncated;
        o["value"] = HexBytes(r.value, false);
        JsonStrings(o, "notes", r.notes);
        Json& readings = o["readings"] = Json::array();
        for (const DecodedGroup& reading : r.readings) readings.push_back(JsonGroup(reading));
    }
    JsonStrings(tlv, "problems", list.problems);
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
    return report.Done([&](Json& j) {
        j["block"] = options.path;
        ToJson(j, block, options.generation.has_value());
    });
}

}  // namespace mox3
