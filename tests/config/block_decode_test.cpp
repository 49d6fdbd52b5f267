#include "config/block_decode.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <sstream>
#include <string>
#include <vector>

#include "app/cli/commands.h"
#include "config/block_bytes.h"
#include "test_support.h"

namespace mox3 {
namespace {

using Block = std::vector<std::uint8_t>;

using test::Put16;
using test::Put32;
using test::PutString;
using test::Seal;

struct Record {
    std::uint8_t tag;
    std::vector<std::uint8_t> value;
};

// Writes the records one after the other from `at`, then the 0 end tag.
std::size_t PutRecords(Block& b, std::size_t at, std::initializer_list<Record> records) {
    for (const Record& r : records) {
        b[at++] = r.tag;
        b[at++] = static_cast<std::uint8_t>(r.value.size());
        for (std::uint8_t v : r.value) b[at++] = v;
    }
    b[at] = 0;
    return at;
}

// A block of zeros with numbers at offsets, given as offset, number pairs: 4 bytes each, 2
// where the offset is negative.
Block WithNumbers(std::initializer_list<int> pairs) {
    Block b(kConfigBlockSize, 0);
    for (auto i = pairs.begin(); i != pairs.end(); i += 2) {
        const auto v = static_cast<std::uint32_t>(i[1]);
        i[0] < 0 ? Put16(b, static_cast<std::size_t>(-i[0]), v)
                 : Put32(b, static_cast<std::size_t>(i[0]), v);
    }
    return b;
}

Block SecondGenerationBlock() {
    Block b = WithNumbers({32,  3036, 36, 8192, 48,  1792, -52,  394,  54,   2186,
                           -58, 336,  60, 2522, -64, 440,  -124, 3840, -126, 256});
    std::fill(b.begin() + 3584, b.begin() + 3724, 0x20);
    std::fill(b.begin() + 3840, b.end(), 0xFF);
    for (std::size_t at : {1908, 2244, 2698}) PutString(b, at, u"KAVELIN");
    for (std::size_t at : {1958, 2294, 2748}) PutString(b, at, u"ZR-MOX3");
    for (std::size_t at : {2008, 2344, 2798}) PutString(b, at, u"");
    return b;
}

Block FirstGenerationBlock() {
    return WithNumbers({32, 3036, 36, 8192, 44, 5120, -48, 336, -50, 336, 52, 5888, -56, 358, -108,
                        7936, -110, 256});
}

DecodedBlock Decode(const Block& b, int generation) {
    return DecodeConfigBlock(ConfigBlockView(b.data(), kConfigBlockSize), generation);
}

const DecodedField* FindField(const DecodedGroup& g, const std::string& name) {
    auto f = std::find_if(g.fields.begin(), g.fields.end(),
                          [&](auto& field) { return field.name == name; });
    return f == g.fields.end() ? nullptr : &*f;
}

std::uint64_t FieldNumber(const DecodedGroup& g, const std::string& name) {
    const DecodedField* f = FindField(g, name);
    return f != nullptr ? f->number : ~0ull;
}

TEST(BlockDecodeTest, TellsTheGenerationFromTheHeader) {
    auto generation = [](Block b) {
        return DetectBlockGeneration(ConfigBlockView(b.data(), 4096));
    };
    Block both = FirstGenerationBlock();
    Put32(both, 48, 1792);
    Block noFirmware = FirstGenerationBlock();  // the first generation needs it as well
    Put32(noFirmware, 36, 4096);
    for (const Block& b : {Block(kConfigBlockSize, 0), both, noFirmware}) {
        EXPECT_EQ(generation(b), std::nullopt);
    }
}

TEST(BlockDecodeTest, ChecksTheDigestOverTheLengthAndPayloadOnly) {
    Block b = SecondGenerationBlock();
    Seal(b);
    b[3071] ^= 0x01;  // last covered byte
    EXPECT_EQ(Decode(b, 2).digest.status, DigestStatus::Mismatch);

    Put32(b, 32, 4060);  // 4060 + 36 = 4096: the whole block, still checkable
    Seal(b);
    EXPECT_TRUE(Decode(b, 2).digest.holds());
    for (std::uint32_t n : {4061u, 0xFFFFFFDCu}) {
        Put32(b, 32, n);
        DigestCheck d = Decode(b, 2).digest;
        EXPECT_EQ(d.status, DigestStatus::LengthOutOfRange) << n;
        EXPECT_FALSE(d.computed);
    }
}

TEST(BlockDecodeTest, ReadsTheUsbIdentityOfEachDescriptorSet) {
    // The values the compiler writes are read back in compile_decode_test; here the fields and
    // forms it does not write.
    Block b = SecondGenerationBlock();
    Put16(b, 1794, 0x0210);
    b[2075] = 0x80;
    b[2220] = 0x05;
    PutString(b, 1958, u"Disque \u00E9t\u00E9");
    b[2008] = b[2344] = 0x52;  // serial derived from the disk
    PutString(b, 2798, u"SN0123456789");
    b[2248] = 0x60;  // length beyond the slot, in a string of the full-speed set
    b[2244] = 0x61;

    DecodedBlock d = Decode(b, 2);
    ASSERT_EQ(d.descriptorSets.size(), 3u);
    const DescriptorSet& high = d.descriptorSets[0];
    const DescriptorSet& full = d.descriptorSets[1];
    const DescriptorSet& super = d.descriptorSets[2];
    EXPECT_FALSE(super.otherSpeed);
    ASSERT_TRUE(high.otherSpeed);
    EXPECT_EQ(std::tuple(high.bcdUSB, high.otherSpeed->bmAttributes, full.interfaceSubClass,
                         high.product.text, super.serialNumber.text),
              std::tuple(0x0210, 0x80, 0x05, "Disque \xC3\xA9t\xC3\xA9", "SN0123456789"));
    using Form = StringDescriptor::Form;
    EXPECT_EQ(std::vector({high.serialNumber.form, full.serialNumber.form, full.manufacturer.form}),
              std::vector({Form::FromDisk, Form::FromDisk, Form::Malformed}));
    EXPECT_FALSE(full.manufacturer.note.empty());
    // 0x52 means "from the disk" for the serial number only.
    b[1908] = 0x52;
    EXPECT_EQ(Decode(b, 2).descriptorSets[0].manufacturer.form, Form::Malformed);
    // An empty serial number is a bare 2-byte descriptor.
    EXPECT_EQ(Decode(SecondGenerationBlock(), 2).descriptorSets[0].serialNumber.form, Form::Empty);
}

TEST(BlockDecodeTest, ReadsFirstGenerationIdentityInquiryAndRecords) {
    Block b = FirstGenerationBlock();
    const std::string texts = '\0' + std::string("KAVELIN ZR-MOX3 0001") + std::string(9, '\0') +
                              "VENDOR-BPRODUCT-SECOND  R002";
    const std::vector<std::uint8_t> inquiry(texts.begin(), texts.end());
    std::vector<std::uint8_t> control(100, 0);
    control[0] = 0x81;  // WaitTimeSATADevDetect and RMB
    PutRecords(b, 112, {{0x04, inquiry}, {0x05, control}});

    DecodedBlock d = Decode(b, 1);
    ASSERT_EQ(d.inquiry.size(), 2u);
    EXPECT_EQ(std::tuple(d.inquiry[0].offset, d.inquiry[1].offset, d.inquiry[1].vendor,
                         d.inquiry[1].revision),
              std::tuple(115u, 144u, "VENDOR-B", "R002"));
    ASSERT_EQ(d.tlv.records.size(), 2u);
    const DecodedGroup& control0 = d.tlv.records[1].readings.at(0);
    EXPECT_NE(FindField(control0, "RMB"), nullptr);
    EXPECT_EQ(FindField(control0, "StandbyTransTime"), nullptr);  // its flag bit is clear
}

// A unit-table head and its units as the compiler lays them out: unit 1 removable and read-only,
// unit u of size 0x10 + u, each on INQUIRY entry 1 when `inquiry`.
Block UnitTable(std::uint8_t modes, std::uint8_t count, bool inquiry = false) {
    Block t = {count, modes, 0, 0};
    for (std::uint8_t u = 0; u < count; ++u) {
        Block entry(24, 0);
        if (u == 1) entry[0] = 1, entry[1] = 0x08;
        entry[4] = static_cast<std::uint8_t>(0x10 + u);
        if (inquiry) entry[13] = 0x0E, entry[16] = 28;  // offset 3584, 28 bytes
        t.insert(t.end(), entry.begin(), entry.end());
    }
    return t;
}

TEST(BlockDecodeTest, DecodesSecondGenerationRecordsAndJoinsSplitUnitTables) {
    Block tables = UnitTable(0x01, 5, true);
    for (std::uint8_t mode : {std::uint8_t{0x02}, std::uint8_t{0x04}, std::uint8_t{0x08}}) {
        auto t = UnitTable(mode, 3);
        tables.insert(tables.end(), t.begin(), t.end());
    }
    Block b = SecondGenerationBlock();
    PutRecords(b, 128,
               {{0x10, Block(tables.begin(), tables.begin() + 255)},
                {0x10, Block(tables.begin() + 255, tables.end())},
                {0x11, UnitTable(0x01, 1)}});
    DecodedBlock d = Decode(b, 2);
    const auto& records = d.tlv.records;
    ASSERT_EQ(records.size(), 3u);
    EXPECT_TRUE(d.tlv.problems.empty());

    const DecodedGroup& lu = records[0].readings.at(0);
    ASSERT_EQ(lu.groups.size(), 4u);
    EXPECT_TRUE(lu.notes.empty());
    ASSERT_EQ(lu.groups[2].groups.size(), 3u);  // the cut at 255 falls inside this table
    const DecodedGroup& unit1 = lu.groups[0].groups[1];
    ASSERT_NE(FindField(unit1, "type"), nullptr);
    EXPECT_EQ(
        std::tuple(lu.groups[0].groups.size(), lu.groups[3].groups.size(),
                   FieldNumber(lu.groups[3], "modes"), FieldNumber(lu.groups[2].groups[2], "Size"),
                   FindField(unit1, "type")->text, FieldNumber(unit1, "Inq"),
                   FieldNumber(unit1, "inquiryOffset")),
        std::tuple(5u, 3u, 0x08u, 0x12u, "removable, read-only", 1u, 3584u));
    EXPECT_EQ(records[1].readings.at(0).name, "logical-unit tables (continued)");
    EXPECT_EQ(records[2].readings.at(0).groups.size(), 1u);  // one single-unit table
}

TEST(BlockDecodeTest, ReadsTag35BySuspendLevelsOrRebuildLed) {
    auto readings = [](std::initializer_list<Record> records) {
        Block b = SecondGenerationBlock();
        PutRecords(b, 128, records);
        std::vector<std::string> names;
        for (const TlvRecord& r : Decode(b, 2).tlv.records) {
            if (r.tag != 0x35) continue;
            for (const DecodedGroup& g : r.readings) names.push_back(g.name);
        }
        return names;
    };
    using Names = std::vector<std::string>;
    // Pins 1 and 3: fits both readings, and nothing tells the family.
    EXPECT_EQ(readings({{0x35, {1, 5, 3, 4}}}),
              (Names{"GPIO suspend levels", "rebuild progress LED"}));
    // PMPEnable is written by the first family only, the RAID mode LED by the later one.
    EXPECT_EQ(readings({{0x35, {1, 5, 3, 4}}, {0x07, {1}}}), (Names{"GPIO suspend levels"}));
    EXPECT_EQ(readings({{0x35, {1, 5, 3, 4}}, {0x30, {0x85, 1}}}), (Names{"rebuild progress LED"}));
    // An odd length cannot be level pairs; falling pins cannot either.
    EXPECT_EQ(readings({{0x35, {1, 5, 0x83, 4, 5}}}), (Names{"rebuild progress LED"}));
    EXPECT_EQ(readings({{0x35, {3, 5, 1, 4}}}), (Names{"rebuild progress LED"}));
    EXPECT_EQ(readings({{0x35, {0, 1}}}), (Names{"GPIO suspend levels"}));
}

TEST(BlockDecodeTest, ReportsBrokenListsWithoutReadingOutsideTheArea) {
    Block b = SecondGenerationBlock();
    PutRecords(b, 128, {{0x03, {1}}, {0x7E, {1, 2, 3}}, {0x24, {0x85, 0x88, 1}}});
    DecodedBlock d = Decode(b, 2);
    ASSERT_EQ(d.tlv.records.size(), 3u);
    EXPECT_FALSE(d.tlv.records[1].known);
    EXPECT_TRUE(d.tlv.records[1].readings.empty());
    EXPECT_EQ(d.tlv.problems.size(), 1u);                         // the unknown tag
    EXPECT_FALSE(d.tlv.records[2].readings.at(0).notes.empty());  // 3 bytes of a 4-byte LED

    // Long records chain up to 1780, where a FET record claims 40 bytes of a 12-byte rest.
    Block runs = SecondGenerationBlock();
    for (std::size_t at = 128; at < 1780; at += 2 + runs[at + 1]) {
        runs[at] = 0x08;
        runs[at + 1] = static_cast<std::uint8_t>(std::min<std::size_t>(255, 1780 - at - 2));
    }
    runs[1780] = 0x22;
    runs[1781] = 40;
    std::fill(runs.begin() + 1782, runs.begin() + 1792, 0xAA);
    d = Decode(runs, 2);
    ASSERT_FALSE(d.tlv.records.empty());
    const TlvRecord& last = d.tlv.records.back();
    EXPECT_EQ(std::tuple(last.offset, last.truncated, last.value.size(), last.readings.size()),
              std::tuple(1780u, true, 10u, 0u));
    EXPECT_FALSE(d.tlv.endTagOffset);
    EXPECT_FALSE(d.tlv.problems.empty());
}

// Runs the decode command on `words`; out and err are its outputs.
int RunDecode(std::vector<std::string> words, std::string& out, std::string& err) {
    std::ostringstream o, e;
    int code = RunDecodeCommand(words, o, e);
    out = o.str();
    err = e.str();
    return code;
}

TEST(DecodeCommandTest, PrintsTextAndJson) {
    test::TempDir dir;
    Block b = SecondGenerationBlock();
    b[2008] = 0x52;
    PutRecords(b, 128, {{0x03, {1}}, {0x35, {1, 5, 3, 4}}, {0x7E, {0x1B, 0x00}}});
    Seal(b);
    test::WriteBytes(dir / "block.bin", b);
    std::string out, err;
    ASSERT_EQ(RunDecode({(dir / "block.bin").string(), "--json"}, out, err), kExitOk) << err;
    for (const char* key :
         {"\"descriptorSets\"", "\"form\": \"from disk\"", "\"records\"", "\"AuthWait\": 1",
          "\"rebuild progress LED\"", "\"known\": false", "\"endTagOffset\": 141"}) {
        EXPECT_NE(out.find(key), std::string::npos) << key;
    }
    ASSERT_EQ(RunDecode({(dir / "block.bin").string()}, out, err), kExitOk) << err;
    for (const char* text : {"Digest: holds", "derived from the attached disk", "problem:"}) {
        EXPECT_NE(out.find(text), std::string::npos) << text;
    }
}

// Two names, a bad generation and a missing file are refused in cli_json_linux_test.
TEST(DecodeCommandTest, RejectsBadUsageAndUnfitFiles) {
    test::TempDir dir;
    test::WriteBytes(dir / "short.bin", Block(4095, 0));
    test::WriteBytes(dir / "blank.bin", Block(4096, 0));
    const std::string blank = (dir / "blank.bin").string();
    const struct {
        std::vector<std::string> words;
        int code;
        std::string said;  // in the error output, or on success in the output
    } kCases[] = {
        {{}, kExitUsage, "usage:"},
        {{"a", "--generation"}, kExitUsage, ""},
        {{(dir / "short.bin").string()}, kExitFailed, "4095"},
        {{blank}, kExitFailed, "--generation"},
        {{blank, "--generation=1"}, kExitOk, "header names no generation"},
    };
    for (const auto& row : kCases) {
        std::string out, err;
        EXPECT_EQ(RunDecode(row.words, out, err), row.code) << row.said;
        EXPECT_NE((row.code == kExitOk ? out : err).find(row.said), std::string::npos) << err;
    }
}

}  // namespace
}  // namespace mox3
