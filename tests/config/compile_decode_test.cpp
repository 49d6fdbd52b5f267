// The shipped configuration files compiled and read back with the block decoder: each compiles
// without a warning, every record of a compiled block decodes without remark, and every value
// the decoder gives a key name for is the value the file gives that key.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>

#include "base/number_parse.h"
#include "base/text.h"
#include "config/block_decode.h"
#include "config/compile_fixture.h"
#include "config/config_items.h"
#include "config/profile_reader.h"
#include "resources/resources.h"

namespace mox3::test {
namespace {

bool SameName(std::u16string_view a, std::u16string_view b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char16_t x, char16_t y) {
        auto lower = [](char16_t c) { return c < 128 ? std::tolower(c) : c; };
        return lower(x) == lower(y);
    });
}

// The values of one file, looked up by the keys of its generation's item table.
class FileValues {
  public:
    FileValues(const ProfileFile& file, ItemTableKind kind) : file_(file), kind_(kind) {}

    // The value of `key` in the section named like `record`, else in the one section that
    // has the key, else the value every section with the key agrees on. Nothing when the
    // file leaves the key empty or the sections disagree.
    std::optional<std::u16string> Value(std::u16string_view record, std::u16string_view key) {
        std::vector<std::u16string> values;
        for (const ConfigItem& item : ItemTable(kind_)) {
            // Exact case: the decoder's own descriptions are in lower case ("type").
            if (item.key != key) continue;
            auto value = file_.Find(item.section, item.key);
            if (!value || value->empty()) continue;
            if (SameName(item.section, record)) return value;
            values.push_back(*value);
        }
        if (values.empty() || std::adjacent_find(values.begin(), values.end(),
                                                 std::not_equal_to<>()) != values.end()) {
            return std::nullopt;
        }
        return values.front();
    }

  private:
    const ProfileFile& file_;
    ItemTableKind kind_;
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

    // The key prefix of an entry group ("LED 2" -> "2-"); empty for anything else.
    static std::string Prefix(const std::string& group) {
        auto blank = group.rfind(' ');
        if (blank == std::string::npos || blank + 1 == group.size()) return "";
        std::string n = group.substr(blank + 1);
        if (!std::all_of(n.begin(), n.end(), ::isdigit)) return "";
        return n + "-";
    }

    void Field(const std::string& record, const std::string& prefix, const DecodedField& f) {
        const std::u16string section = Utf8ToUtf16(record);
        const std::u16string key = Utf8ToUtf16(prefix + f.name);
        auto value = file.Value(section, key);
        if (!value) return;
        const std::string at = where + " " + record + " " + prefix + f.name;
        ++compared;
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

TEST(CompileDecode, ShippedFilesDecodeToTheirValues) {
    for (const EmbeddedResource& r : ConfigResources()) {
        SCOPED_TRACE(std::string(r.fileName));
        const std::vector<std::uint8_t> bytes(r.bytes.begin(), r.bytes.end());
        const int generation = r.id < 110 ? 1 : 2;
        Compiled c =
            CompileBytes(bytes, generation == 1 ? ImageSpec{1, "01020300", 40000, 1} : ImageSpec{},
                         std::nullopt);
        ASSERT_TRUE(c.result.ok) << c.result.reason;
        EXPECT_TRUE(c.result.warnings.empty()) << c.result.warnings[0].taken;
        ProfileFile profile = ProfileFile::Parse(bytes);
        FileValues file(profile, generation == 1 ? ItemTableKind::FirstGeneration
                                                 : ItemTableKind::SecondGeneration);

        DecodedBlock d = DecodeConfigBlock(
            std::span<const std::uint8_t, kConfigBlockSize>(c.block.data(), kConfigBlockSize),
            generation);
        EXPECT_EQ(d.headerGeneration, generation);
        EXPECT_TRUE(d.digest.holds());
        EXPECT_TRUE(d.notes.empty()) << d.notes.front();
        EXPECT_TRUE(d.tlv.problems.empty()) << d.tlv.problems.front();
        ASSERT_TRUE(d.tlv.endTagOffset.has_value());

        Checker check{file, std::string(r.fileName)};
        for (const TlvRecord& record : d.tlv.records) {
            EXPECT_TRUE(record.known && !record.truncated) << record.name;
            EXPECT_TRUE(record.notes.empty()) << record.name << ": " << record.notes.front();
            ASSERT_FALSE(record.readings.empty()) << record.name;
            for (const DecodedGroup& reading : record.readings) {
                check.Group(record.name, "", reading);
            }
        }

        // The identity outside the records: descriptors, INQUIRY texts and the deleting key.
        const char16_t* speeds[] = {u"-HS", u"-FS", u"-SS"};
        for (std::size_t i = 0; i < d.descriptorSets.size() && i < 3; ++i) {
            const DescriptorSet& set = d.descriptorSets[i];
            const std::u16string speed = speeds[i];
            EXPECT_EQ(set.configuration.bmAttributes,
                      Number(file.Value(u"USB Configuration Descriptor", u"bmAttributes" + speed)));
            EXPECT_EQ(set.configuration.bMaxPower,
                      Number(file.Value(u"USB Configuration Descriptor", u"bMaxPower" + speed)));
            EXPECT_EQ(set.vendorId, Number(file.Value(u"USB Device Descriptor", u"VID")));
            EXPECT_EQ(set.productId, Number(file.Value(u"USB Device Descriptor", u"PID")));
            EXPECT_EQ(set.bcdDevice, Number(file.Value(u"USB Device Descriptor", u"bcdDevice")));
            EXPECT_EQ(set.manufacturer.text,
                      Utf16ToUtf8(*file.Value(u"USB String Descriptor", u"Manufacturer")));
            EXPECT_EQ(set.product.text,
                      Utf16ToUtf8(*file.Value(u"USB String Descriptor", u"Product")));
            EXPECT_EQ(set.serialNumber.text,
                      Utf16ToUtf8(*file.Value(u"USB String Descriptor", u"SerialNumber")));
            check.compared += 8;
        }
        if (generation == 1) {
            EXPECT_EQ(d.header.deletingKeyText,
                      Utf16ToUtf8(*file.Value(u"Authentication", u"SecretDelKey")));
            ++check.compared;
        }
        for (std::size_t i = 0; generation == 2 && i < d.inquiry.size(); ++i) {
            const std::u16string n = Utf8ToUtf16(std::to_string(i) + "-");
            auto vendor = file.Value(u"SCSI INQUIRY", n + u"Vendor");
            EXPECT_EQ(d.inquiry[i].unused, !vendor) << i;
            if (!vendor) continue;
            EXPECT_EQ(Trimmed(d.inquiry[i].vendor), Utf16ToUtf8(*vendor));
            EXPECT_EQ(Trimmed(d.inquiry[i].product),
                      Utf16ToUtf8(*file.Value(u"SCSI INQUIRY", n + u"Product")));
            EXPECT_EQ(d.inquiry[i].revision,
                      Utf16ToUtf8(*file.Value(u"SCSI INQUIRY", n + u"RevLvl")));
            check.compared += 3;
        }
        EXPECT_GE(check.compared, 25);  // most of what the file sets
    }
}

}  // namespace
}  // namespace mox3::test
