// Configuration files compiled and read back with the block decoder: the shipped files, and
// for each family a file that switches every record on. Each compiles without a warning, every
// record of a compiled block decodes without remark, and every value the decoder gives a key
// name for is the value the file gives that key.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <set>
#include <sstream>

#include "base/number_parse.h"
#include "base/text.h"
#include "config/block_decode.h"
#include "config/compile_fixture.h"
#include "config/config_items.h"
#include "config/profile_reader.h"
#include "resources/resources.h"

namespace mox3::test {
namespace {

std::u16string Lower(std::u16string_view text) {
    std::u16string out(text);
    for (char16_t& c : out) c = c < 128 ? static_cast<char16_t>(std::tolower(c)) : c;
    return out;
}

// The values of one file, looked up by the keys of its generation's item table.
struct FileValues {
    const ProfileFile& file;
    ItemTableKind kind;

    // The value of `key` in the section named like `record`, else in the one section that
    // has the key, else the value every section with the key agrees on. Nothing when the
    // file leaves the key empty or the sections disagree.
    std::optional<std::u16string> Value(std::u16string_view record, std::u16string_view key) {
        std::vector<std::u16string> values;
        for (const ConfigItem& item : ItemTable(kind)) {
            // Exact case: the decoder's own descriptions are in lower case ("type").
            if (item.key != key) continue;
            auto value = file.Find(item.section, item.key);
            if (!value || value->empty()) continue;
            if (Lower(item.section) == Lower(record)) return value;
            values.push_back(*value);
        }
        if (values.empty() || std::adjacent_find(values.begin(), values.end(),
                                                 std::not_equal_to<>()) != values.end()) {
            return std::nullopt;
        }
        return values.front();
    }
};

std::optional<std::uint32_t> Number(const std::optional<std::u16string>& text) {
    return text ? ScanInt32(*text) : std::nullopt;
}

std::string Trimmed(std::string text) {
    while (!text.empty() && text.back() == ' ') text.pop_back();
    return text;
}

struct Checker {
    FileValues& file;
    std::string where;
    int compared = 0;
    std::set<std::string> keys{};  // the keys whose values were compared

    // The key prefix of an entry group ("LED 2" -> "2-"); empty for anything else.
    static std::string Prefix(const std::string& group) {
        const std::string n = group.substr(group.rfind(' ') + 1);  // no blank: the whole name
        return !n.empty() && std::all_of(n.begin(), n.end(), ::isdigit) ? n + "-" : "";
    }

    void Field(const std::string& record, const std::string& prefix, const DecodedField& f) {
        const std::u16string section = Utf8ToUtf16(record);
        const std::u16string key = Utf8ToUtf16(prefix + f.name);
        auto value = file.Value(section, key);
        if (!value) return;
        const std::string at = where + " " + record + " " + prefix + f.name;
        ++compared;
        keys.insert(prefix + f.name);
        switch (f.kind) {
            case DecodedField::Kind::Text:
                EXPECT_EQ(f.text, Utf16ToUtf8(*value)) << at;
                break;
            case DecodedField::Kind::Port: {
                // The pin, and the active level from the key's "Active" partner.
                std::uint32_t pin = Number(value).value_or(0);
                std::string activeKey = prefix + f.name;
                activeKey.replace(activeKey.rfind("Port"), 4, "Active");
                auto active = Number(file.Value(section, Utf8ToUtf16(activeKey)));
                if (active) keys.insert(activeKey);
                if (pin > 0x7F) {
                    EXPECT_EQ(f.number, pin) << at;
                } else if (active) {
                    EXPECT_EQ(f.number, pin | (*active & 1) << 7) << at;
                } else {
                    EXPECT_EQ(f.number & 0x7F, pin) << at;
                }
                break;
            }
            default:
                EXPECT_EQ(std::optional<std::uint64_t>(f.number), Number(value)) << at;
        }
    }

    void Group(const std::string& record, const std::string& prefix, const DecodedGroup& g) {
        EXPECT_TRUE(g.notes.empty()) << where << " " << record << ": " << g.notes.front();
        // A firmware parameter: the field "parameter" names the key of "value".
        auto named = std::find_if(g.fields.begin(), g.fields.end(),
                                  [](const DecodedField& f) { return f.name == "parameter"; });
        for (const DecodedField& f : g.fields) {
            if (named != g.fields.end() && f.name == "value") {
                DecodedField renamed = f;
                renamed.name = named->text;
                Field(record, prefix, renamed);
            } else if (named == g.fields.end() || f.name != "id") {
                Field(record, prefix, f);
            }
        }
        for (const DecodedGroup& sub : g.groups) {
            std::string p = Prefix(sub.name);
            Group(record, p.empty() ? prefix : p, sub);
        }
    }
};

struct Source {
    std::string name;
    std::vector<std::uint8_t> bytes;
    ImageSpec image{};
    ItemTableKind kind = ItemTableKind::SecondGeneration;
    std::vector<std::string> keys{};  // keys that must come back from the decoder
};

// A model file with `settings` ("[Section] key=value ... [Section] ...") applied, each key
// to be read back.
Source Edited(const char* name, Ini ini, const ImageSpec& image, ItemTableKind kind,
              const std::string& settings) {
    Source source{name, {}, image, kind};
    for (std::size_t open = settings.find('['); open != std::string::npos;) {
        const std::size_t close = settings.find(']', open);
        const std::size_t next = settings.find('[', close);
        const std::string pairs = settings.substr(close + 1, next - close - 1);
        ini.SetAll(settings.substr(open + 1, close - open - 1), pairs);
        std::istringstream in(pairs);
        for (std::string pair; in >> pair;) source.keys.push_back(pair.substr(0, pair.find('=')));
        open = next;
    }
    source.bytes = Utf16Le(Utf8ToUtf16(ini.Text()));
    return source;
}

std::vector<Source> Sources() {
    std::vector<Source> sources;
    const ImageSpec first{1, "01020300", 40000, 1};
    for (const EmbeddedResource& r : ConfigResources()) {
        const int generation = r.id < 110 ? 1 : 2;
        sources.push_back(
            {std::string(r.fileName),
             {r.bytes.begin(), r.bytes.end()},
             generation == 1 ? first : ImageSpec{},
             generation == 1 ? ItemTableKind::FirstGeneration : ItemTableKind::SecondGeneration});
    }
    sources.push_back(Edited(
        "every first-generation record", FirstGenerationIni(), first,
        ItemTableKind::FirstGeneration,
        "[LUN] MultiLUN=1 SizeLUN0=300 TypeLUN0=2 HideLUN1=1 RMB=1 [LED] Flag=1 USB2Port=1 "
        "USB2Func=2 USB3Port=3 USB3Func=4 AuthPort=5 AuthFunc=6 [FAN] Flag=1 SMARTInterval=7 "
        "TempThreshold=8 ControlPort=9 ActiveValue=10 DefaultValue=11 [Control Parameter] "
        "WaitTimeSATADevDetect=1000 WaitTimeSATAPHYReady=1001 WaitTimeUSB3HostStart=1003 "
        "SATACurrentAPMLevel=12 USB3LFPS=0x12345678 2TBOverMode=2 [SATA Automatic Standby] "
        "StandbyTransTime=1004 StandbyBlinkDuty=13 StandbyBlinkTime=14"));
    sources.push_back(Edited(
        "every record of the first second-generation family", SecondGenerationIni(), {},
        ItemTableKind::SecondGeneration,
        "[FET Control] Count=1 Flag=0x11 0-Port=3 0-Active=1 0-Ch=2 0-ExtFlag=0x21 0-ExtPort=4 "
        "0-ExtActive=1 0-Delay1=1000 0-Delay2=2000 [FAN Control] 0-ThrldPWM=40 0-SpeedPWM=50 "
        "0-PulsePWM=600 [GPIO Suspend] 00-Flag=0x01 [Power Control] Flag=1 Port=5 Active=1 "
        "[Secret LED] E-Port=9 E-Active=1 E-Flag=2 E-Blink=3 E-Trans=4 A-Port=10 A-Flag=5 "
        "A-Blink=6 A-Trans=7 [Access LED] 2-BreathTime=8 3-BreathTime=9 [Button] Port=11 "
        "Active=1 Double=2 Hold=3 Extend=4 [Automatic Standby] Timer=600 PowerMode=1 "
        "BlinkPulse=3 BlinkTime=4 Extend=5 [Capacity LED] Count=2 Interval=5 Flag=1 D-Port=2 "
        "D-Active=1 0-Port=3 1-Port=4 1-Active=1 [Capacity LED 2] Count=2 Interval=6 Flag=2 "
        "Mask=0x0F0F Off=0x1111 0-Value=100 1-Value=200 0-Value-D=300 1-Value-D=400 [Control "
        "Parameter] NCQDisable=1 PMPEnable=1 LinkupAlways=1 2TBOverMode=1 [Firmware Parameter] "
        "USB3F_FPLC2=5 WaitDevDetect=0x1234 WaitUSBStart=7 Parameter-0=9 CustomParam-1=3"));
    sources.push_back(Edited(
        "every record of the later second-generation family", SecondGenerationIni(),
        {2, "03000100", 100000, 1}, ItemTableKind::SecondGenerationLater,
        "[FET Control] Count=2 1-Port=6 1-Active=0 1-Ch=3 1-Delay1=10 1-Delay2=20 [GPIO "
        "Initialize] Alt=0x04030201 15-Flag=0x01 [Device LED] Flag=3 Count=2 0-Port=1 0-Active=1 "
        "0-Flag=2 0-Blink=3 1-Port=4 1-Active=0 1-Flag=5 1-Blink=6 [RAID Default] Type=3 Emu4k=1 "
        "[Power Control] Flag=3 [RAID Button] S-Port=0x81 S-Active=0 L-Port=2 Flag=3 Hold=4 "
        "[RAID Switch] Count=2 0-Port=0x85 0-High=1 0-Low=2 1-Port=3 1-High=4 1-Low=5 [RAID "
        "Status LED] Count=1 0-Port=7 0-Active=1 0-Flag=8 0-Error=9 0-Rebuild=10 [RAID Mode LED] "
        "Count=2 0-Port=11 0-Flag=12 1-Port=13 1-Active=1 1-Flag=14 [Rebuild Progress LED] "
        "Count=1 Blink=7 D-Port=8 0-Port=9"));
    return sources;
}

TEST(CompileDecode, FilesDecodeToTheirValues) {
    for (const Source& source : Sources()) {
        SCOPED_TRACE(source.name);
        Compiled c = CompileBytes(source.bytes, source.image, std::nullopt);
        ASSERT_TRUE(c.result.ok) << c.result.reason;
        EXPECT_TRUE(c.result.warnings.empty()) << c.result.warnings[0].taken;
        ProfileFile profile = ProfileFile::Parse(source.bytes);
        FileValues file{profile, source.kind};
        DecodedBlock d = DecodeConfigBlock(ConfigBlockView(c.block.data(), kConfigBlockSize),
                                           source.image.generation);
        EXPECT_EQ(d.headerGeneration, source.image.generation);
        EXPECT_TRUE(d.digest.holds());
        EXPECT_TRUE(d.notes.empty()) << d.notes.front();
        EXPECT_TRUE(d.tlv.problems.empty()) << d.tlv.problems.front();
        ASSERT_TRUE(d.tlv.endTagOffset.has_value());

        Checker check{file, source.name};
        for (const TlvRecord& record : d.tlv.records) {
            EXPECT_TRUE(record.known && !record.truncated) << record.name;
            // Tag 0x35 may say which of its two readings the other records chose.
            EXPECT_TRUE(record.notes.empty() || record.notes.front().starts_with("read as "))
                << record.name << ": " << record.notes.front();
            ASSERT_FALSE(record.readings.empty()) << record.name;
            for (const DecodedGroup& reading : record.readings) {
                check.Group(record.name, "", reading);
            }
        }

        // The identity outside the records: descriptors, INQUIRY texts and the deleting key.
        auto number = [&](const char16_t* section, const std::u16string& key) {
            ++check.compared;
            return Number(file.Value(section, key));
        };
        auto text = [&](const char16_t* section, const std::u16string& key) {
            ++check.compared;
            return Utf16ToUtf8(file.Value(section, key).value_or(u"(none)"));
        };
        const char16_t* speeds[] = {u"-HS", u"-FS", u"-SS"};
        for (std::size_t i = 0; i < d.descriptorSets.size() && i < 3; ++i) {
            const DescriptorSet& set = d.descriptorSets[i];
            const std::u16string speed = speeds[i];
            const char16_t* device = u"USB Device Descriptor";
            const char16_t* strings = u"USB String Descriptor";
            EXPECT_EQ(std::tuple(set.configuration.bmAttributes, set.configuration.bMaxPower,
                                 set.vendorId, set.productId, set.bcdDevice),
                      std::tuple(number(u"USB Configuration Descriptor", u"bmAttributes" + speed),
                                 number(u"USB Configuration Descriptor", u"bMaxPower" + speed),
                                 number(device, u"VID"), number(device, u"PID"),
                                 number(device, u"bcdDevice")));
            EXPECT_EQ(std::tuple(set.manufacturer.text, set.product.text, set.serialNumber.text),
                      std::tuple(text(strings, u"Manufacturer"), text(strings, u"Product"),
                                 text(strings, u"SerialNumber")));
        }
        if (source.image.generation == 1) {
            EXPECT_EQ(d.header.deletingKeyText, text(u"Authentication", u"SecretDelKey"));
        }
        for (std::size_t i = 0; source.image.generation == 2 && i < d.inquiry.size(); ++i) {
            const std::u16string n = Utf8ToUtf16(std::to_string(i) + "-");
            auto vendor = file.Value(u"SCSI INQUIRY", n + u"Vendor");
            EXPECT_EQ(d.inquiry[i].unused, !vendor) << i;
            if (!vendor) continue;
            EXPECT_EQ(std::tuple(Trimmed(d.inquiry[i].vendor), Trimmed(d.inquiry[i].product),
                                 d.inquiry[i].revision),
                      std::tuple(text(u"SCSI INQUIRY", n + u"Vendor"),
                                 text(u"SCSI INQUIRY", n + u"Product"),
                                 text(u"SCSI INQUIRY", n + u"RevLvl")));
        }
        EXPECT_GE(check.compared, 25);  // most of what the file sets
        for (const std::string& key : source.keys) {
            if (key != "Count" && key != "MultiLUN" && key != "Flag") {
                EXPECT_TRUE(check.keys.count(key)) << key << " is not read back";
            }
        }
    }
}

}  // namespace
}  // namespace mox3::test
