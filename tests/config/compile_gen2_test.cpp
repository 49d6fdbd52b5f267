// The second-generation block compiled from configuration files.
#include <gtest/gtest.h>

#include "base/sha256.h"
#include "base/text.h"
#include "config/compile_fixture.h"

namespace mox3::test {
namespace {

using Bytes = std::vector<std::uint8_t>;

// The records of the list from byte 128, tag and value.
std::vector<std::pair<int, Bytes>> Records(const Bytes& b) {
    std::vector<std::pair<int, Bytes>> out;
    for (std::size_t at = 128; at + 1 < 1792 && b[at] != 0; at += 2 + b[at + 1]) {
        out.push_back({b[at], Slice(b, at + 2, b[at + 1])});
    }
    return out;
}

// The value of the first record with `tag`.
std::optional<Bytes> Record(const Bytes& b, int tag) {
    for (auto& [t, v] : Records(b)) {
        if (t == tag) return v;
    }
    return std::nullopt;
}

Bytes Value(const Bytes& b, int tag) {
    return Record(b, tag).value_or(Bytes{});
}

const ImageSpec kLaterFamily{2, "03000100", 100000, 1};

Compiled Compile(const Ini& ini, const ImageSpec& image = {}) {
    Compiled c = CompileIni(ini, image);
    EXPECT_TRUE(c.result.ok) << c.result.reason;
    return c;
}

TEST(SecondGenerationBlock, ShippedModelFileSetsListHeaderAndHashedKey) {
    Compiled c = Compile(SecondGenerationIni());
    const auto& b = c.block;
    ExpectBytes(b,
                "128: 10 1C 01 01 15*00 0E 00 00 1C 7*00 03 01 01 20 02 09 00 21 02 FF 01 23 0C 1E "
                "00 00 00 00 03 2D 00 00 00 00 01 24 04 85 88 01 01 25 0E 86 1B 01 05 05 87 1B 01 "
                "05 05 00 00 00 00 26 08 FF 00 00 00 FF 00 00 00 01 06 80 00 01 00 00 00 00;"
                "32: DC 0B 00 00 00 20 00 00 00 E0 01 00 01 00 00 00 00 07 00 00 8A 01 8A 08 00 00 "
                "50 01 DA 09 00 00 B8 01 00 00 00; 72: 00 10; 76: 00 00 02 00 00 10 10*00;"
                "124: 00 0F 00 01; 3824: FF; 3840: 7F FF;"
                // INQUIRY entry 0 padded with blanks; the other entries stay blank.
                "3584: 'KAVELIN External HDD    0001; 3612: 112*20;"
                // The serial number is the drive's, in all three areas.
                "2008 2344 2798: 22; 2010: 30 00 31 00");
    // The deleting key field holds the digest of the zero-padded key.
    const std::string key = "R4TX8WQ2LM7ZK5NC9VH3PJ6DB1FYG0SE";
    auto keyDigest = Sha256(Bytes(key.begin(), key.end()));
    EXPECT_EQ(Slice(b, 92, 32), Bytes(keyDigest->begin(), keyDigest->end()));
}

TEST(SecondGenerationBlock, UsbIdentity) {
    Compiled c = Compile(SecondGenerationIni());
    ExpectBytes(c.block,
                "1800 2194 2530: 3B 5E 34 7C; 1826 2220 2556: 06; 1817: C0 04;"
                "1794 2188 2060 2396: 10 02; 2547: C0 01");
    c = Compile(
        SecondGenerationIni().Set("USB String Descriptor", "Manufacturer", std::string(24, 'M')));
    ExpectBytes(c.block, "1908 2244 2698: 32 03; 1956 2292 2746: 'M");

    c = Compile(SecondGenerationIni()
                    .Set("USB Device Descriptor", "bcdUSB", "0x0200")
                    .Set("USB Interface Descriptor", "bInterfaceSubClass-FS", "0x05"));
    // The attached-SCSI settings (1852, 2594) keep 0x06.
    ExpectBytes(c.block, "1794 2188 2060 2396: 00 02; 2524: 00 03; 2220: 05; 1826 1852 2594: 06");
}

TEST(SecondGenerationBlock, SerialNumberForms) {
    const std::pair<std::optional<std::string>, std::string> kCases[] = {
        // The serial number, and the block's bytes with it; none: refused.
        {"1", "2008 2344 2798: 52; 2010 2346 2800: 00"},
        {"2", ""},
        {std::string(25, '7'), ""},
        {std::string(24, '7'), "2008: 32"},
        {"", "2008 2344 2798: 02"},
        // Without a drive serial the file's own value stays.
        {std::nullopt, "2008: 22; 2040: '1"},
    };
    for (const auto& [serial, layout] : kCases) {
        SCOPED_TRACE(serial.value_or("none"));
        Compiled c = CompileIni(SecondGenerationIni(), {}, serial);
        EXPECT_EQ(c.result.ok, !layout.empty());
        ExpectBytes(c.block, layout);
    }
}

TEST(SecondGenerationBlock, FollowsTheImage) {
    Compiled a = Compile(SecondGenerationIni(), {2, "01000700", 100000, 1});
    Compiled b = Compile(SecondGenerationIni(), {2, "01000700", 100000, 2});
    EXPECT_NE(Slice(a.block, 74, 2), Slice(b.block, 74, 2));
    EXPECT_EQ(Slice(a.block, 76, 4096 - 76), Slice(b.block, 76, 4096 - 76));

    // A firmware that does not fit below the flash size fails; one that just fits does not.
    Compile(SecondGenerationIni(), {2, "01000700", 122880 + 22, 1});
    ExpectFails(SecondGenerationIni(), "SFlashSize", {2, "01000700", 122880 + 23, 1});
}

TEST(SecondGenerationBlock, InquiryEntries) {
    Compiled c = Compile(SecondGenerationIni().Set("SCSI INQUIRY", "0-Vendor", "ABCDEFGH"));
    ExpectBytes(c.block, "3584: 'ABCDEFGHE");
    c = CompileIni(SecondGenerationIni().Set("SCSI INQUIRY", "0-Vendor", "ABCDEFGHI"));
    EXPECT_FALSE(c.result.ok);
    EXPECT_EQ(c.scratchText, "SCSI INQUIRY :\r\n 0-Vendor is wrong.");
    // Characters outside the code page become '?'; a character pair counts twice.
    c = Compile(
        SecondGenerationIni().Set("SCSI INQUIRY", "2-Product", "Größe\xE2\x82\xAC\xE4\xB8\xAD"));
    ExpectBytes(c.block, "3648: 47 72 F6 DF 65 80 3F 20");
}

TEST(SecondGenerationBlock, LogicalUnitTables) {
    Compiled c = Compile(SecondGenerationIni().SetAll(
        "LUN NORMAL", "0-Type=2 0-Size=0x123456789ABC 0-Rsv=0x12345 Flag=5"));
    EXPECT_EQ(Record(c.block, 0x10), Hex("01 01 00 05 01 08 00 00 BC 9A 78 56 34 12 45 23 00 0E 00 "
                                         "00 1C 00 00 00 00 00 00 00"));
    c = Compile(SecondGenerationIni().SetAll("LUN NORMAL", "0-Type=7 0-Inq=0"));
    EXPECT_EQ(Slice(Value(c.block, 0x10), 4, 24), Bytes(24, 0));

    // Same description in two modes: one table carrying both mode bits.
    const char* one = "Count=1 Flag=0 0-Type=0 0-Flag=0 0-Size=0 0-Rsv=0 0-Inq=0";
    Ini twice = SecondGenerationIni().SetAll("LUN JBOD", one).SetAll("LUN NORMAL", one);
    c = Compile(twice, kLaterFamily);
    EXPECT_EQ(Slice(Value(c.block, 0x10), 0, 4), Hex("01 03 00 00"));
    EXPECT_EQ(Value(c.block, 0x10).size(), 28u);
    EXPECT_EQ(
        Value(Compile(Ini(twice).Set("LUN JBOD", "Flag", "4"), kLaterFamily).block, 0x10).size(),
        56u);
    // The first family has no JBOD items: the section is not read.
    EXPECT_EQ(Value(Compile(twice).block, 0x10).size(), 28u);
    // Units 3 and 4 exist only in the first family's table.
    Ini fourth = SecondGenerationIni().SetAll("LUN NORMAL", "Count=4 3-Type=3");
    EXPECT_EQ(Slice(Value(Compile(fourth, kLaterFamily).block, 0x10), 76, 1), Hex("00"));
    EXPECT_EQ(Slice(Value(Compile(fourth).block, 0x10), 76, 1), Hex("02"));

    // Five normal units and three distinct three-unit tables: 352 bytes in two records.
    Ini full = SecondGenerationIni().Set("LUN NORMAL", "Count", "5");
    int size = 1;
    for (const char* mode : {"LUN JBOD", "LUN RAID-0", "LUN RAID-1"}) {
        full.Set(mode, "Count", "3").Set(mode, "1-Size", std::to_string(size++));
    }
    EXPECT_EQ(Value(Compile(full, {2, "02000100", 100000, 1}).block, 0x10).size(), 124u);
    auto records = Records(Compile(full, kLaterFamily).block);
    ASSERT_GE(records.size(), 2u);
    EXPECT_EQ(records[0].first, 0x10);
    EXPECT_EQ(records[0].second.size(), 255u);
    EXPECT_EQ(records[1].first, 0x10);
    EXPECT_EQ(records[1].second.size(), 97u);
}

TEST(SecondGenerationBlock, RefusesBadValuesNamingTheKey) {
    const struct {
        const char* named;
        const char* section;
        std::string pairs;
        const char* removed = "";
        ImageSpec image{};
    } kCases[] = {
        {"VID", "USB Device Descriptor", "VID=0x10000"},
        {"bcdDevice", "USB Device Descriptor", "", "bcdDevice"},
        {"Flag", "LUN NORMAL", "Flag=1"},
        {"Count", "LUN NORMAL", "Count=6"},
        {"Count", "LUN JBOD", "Count=4", "", kLaterFamily},
        {"S-Size", "LUN NORMAL", "S-Size=2097153"},
        {"S-Size", "LUN NORMAL", "S-Size=-5"},
        {"DeleteKey", "Authentication", "", "DeleteKey"},
        {"DeleteKey", "Authentication", "DeleteKey=" + std::string(33, 'K')},
        {"AuthWait", "Authentication", "AuthWait=0"},
        {"Flag", "Power Control", "Flag=5"},
        {"Count", "Capacity LED", "Count=11"},
        {"SFlashSecret", "Control Parameter", "SFlashSecret=2"},
        {"SFlashSecret", "Control Parameter", "", "SFlashSecret"},
        {"SFlashPage", "Control Parameter", "", "SFlashPage"},
        {"NCQDisable", "Control Parameter", "NCQDisable=2"},
    };
    for (const auto& row : kCases) {
        ExpectFails(
            SecondGenerationIni().SetAll(row.section, row.pairs).Remove(row.section, row.removed),
            row.named, row.image);
    }
    Compile(SecondGenerationIni().Set("Config", "Version", "0x2"));
}

TEST(SecondGenerationBlock, SingleUnitTablesAuthenticationAndRaidDefault) {
    Compiled c = Compile(SecondGenerationIni().SetAll("LUN NORMAL", "S-Size=2097152 S-Type=3"));
    EXPECT_EQ(Record(c.block, 0x11), Hex("00 01 00 00 00 00 00 00 00 00 20 17*00"));
    EXPECT_FALSE(
        Record(Compile(SecondGenerationIni().Remove("Authentication", "AuthWait")).block, 0x03));

    Ini ini = SecondGenerationIni().SetAll("RAID Default", "Type=3 Emu4k=1 Split=1 Offset=0x800");
    EXPECT_FALSE(Record(Compile(ini).block, 0x05));
    c = Compile(ini, kLaterFamily);
    EXPECT_EQ(Record(c.block, 0x05), Hex("03 02"));  // Split is never read
    EXPECT_EQ(Records(c.block).back().second, Hex("65 00 00 08 00 00"));
}

TEST(SecondGenerationBlock, PinPowerFanAndLedRecords) {
    // The bytes of each record are read back by the decoder in compile_decode_test; here the
    // records' lengths and the fields the decoder cannot tell apart.
    Ini ini = SecondGenerationIni();
    ini.SetAll("Capacity LED 2", "Count=2 Flag=2").Set("Access LED", "2-BreathTrans", "9");
    ini.Remove("Access LED", "2-Extend");
    Compiled c = Compile(ini);
    EXPECT_EQ(Slice(Value(c.block, 0x25), 10, 6), Hex("00 00 00 00 09 00"));
    c = Compile(ini.Set("Capacity LED 2", "Flag", "0"));
    EXPECT_EQ(Value(c.block, 0x36).size(), 18u);

    // Access LED and Secret LED are off only at 256 or absence.
    c = Compile(
        SecondGenerationIni().Set("Secret LED", "E-Port", "256").Set("Access LED", "2-Port", ""));
    EXPECT_FALSE(Record(c.block, 0x26));
    EXPECT_FALSE(Record(c.block, 0x25));

    // The later family writes no rebuild progress LED the file does not ask for.
    EXPECT_FALSE(Record(Compile(SecondGenerationIni(), kLaterFamily).block, 0x35));
}

TEST(SecondGenerationBlock, ControlAndFirmwareParameters) {
    Ini ini = SecondGenerationIni();
    ini.SetAll("Control Parameter",
               "SFlashSecret=0 SFlashSize=65536 NCQDisable=0 LinkupAlways=1 "
               "PMPEnable=1 SSCDisable=0");
    ini.SetAll("Firmware Parameter", "WaitDevDetect=0x12345 USB3F_FPLC1=-1");
    const ImageSpec small{2, "01000700", 40000, 1};
    // 40 characters, the last number too large for its byte.
    ExpectFails(
        ini.Set("Control Parameter", "SFlashInfo", "0x01 0x02 0x03 0x04 0x05 0x06 0x07 0x1FF"),
        "SFlashInfo", small);
    ini.Set("Control Parameter", "SFlashInfo", "0x01 0x02 0x03 0x04 0x05 0x06 0x07 0xFF");
    Compiled c = Compile(ini, small);
    EXPECT_EQ(c.firmwareAddress, 4096u);
    EXPECT_EQ(c.flashParameters, (std::array<std::uint8_t, 8>{1, 2, 3, 4, 5, 6, 7, 0xFF}));
    ExpectBytes(c.block,
                "36: 00 10 00 00 00 F0 00 00; 68: 01; 84: 01 02 03 04 05 06 07 FF; 3840: FF");
    EXPECT_FALSE(Record(c.block, 0x04));
    EXPECT_EQ(Record(c.block, 0x07), Hex("01"));
    EXPECT_EQ(Record(c.block, 0x02), Hex("04 00"));
    std::vector<Bytes> parameters;
    for (auto& [tag, value] : Records(c.block)) {
        if (tag == 0x01) parameters.push_back(value);
    }
    EXPECT_EQ(parameters, (std::vector<Bytes>{Hex("00 00 FF FF FF FF"), Hex("02 00 45 23 00 00"),
                                              Hex("80 00 01 00 00 00")}));

    c = Compile(SecondGenerationIni().Set("Control Parameter", "SFlashSize", "65537"), small);
    ExpectBytes(c.block, "40: 00 E0 01 00");
    c = Compile(SecondGenerationIni().Remove("Control Parameter", "SFlashSize"));
    ExpectBytes(c.block, "40: 00 E0 03 00; 76: FF FF FF FF");
    // Nine numbers in 44 characters: the ninth is ignored.
    c = Compile(SecondGenerationIni().Set("Control Parameter", "SFlashInfo",
                                          "0x11 0x22 0x33 0x44 0x55 0x66 0x77 0x88 0x99"));
    ExpectBytes(c.block, "84: 11 22 33 44 55 66 77 88");
}

TEST(SecondGenerationBlock, CommandPermissionCarriesTheKeyDigest) {
    Ini ini = SecondGenerationIni().Set("Command Permission", "Key", "Ab");
    auto digest = Sha256(Hex("41 00 62 00"));
    EXPECT_EQ(Record(Compile(ini, kLaterFamily).block, 0x08),
              Bytes(digest->begin(), digest->end()));
    EXPECT_FALSE(Record(Compile(ini).block, 0x08));
}

TEST(SecondGenerationBlock, EmptyValuesAndNumberForms) {
    // An empty value is the same as a missing key.
    EXPECT_FALSE(
        Record(Compile(SecondGenerationIni().Set("FAN Control", "Count", "")).block, 0x23));
    // Octal and hex follow the C rules: 010 is 8, 0x10 is 16.
    Compiled c =
        Compile(SecondGenerationIni().SetAll("FAN Control", "0-ThrldMAX=010 Interval=0x10"));
    ExpectBytes(Value(c.block, 0x23), "0: 10; 6: 08");
}

}  // namespace
}  // namespace mox3::test
