// The second-generation block compiled from configuration files.
#include <gtest/gtest.h>

#include "base/sha256.h"
#include "base/text.h"
#include "config/compile_fixture.h"
#include "config/digest_header.h"

namespace mox3::test {
namespace {

// The records of the list from byte 128, tag and value.
std::vector<std::pair<int, std::vector<std::uint8_t>>> Records(const std::vector<std::uint8_t>& b) {
    std::vector<std::pair<int, std::vector<std::uint8_t>>> out;
    for (std::size_t at = 128; at + 1 < 1792 && b[at] != 0; at += 2 + b[at + 1]) {
        out.push_back({b[at], Slice(b, at + 2, b[at + 1])});
    }
    return out;
}

std::vector<std::uint8_t> Record(const std::vector<std::uint8_t>& b, int tag) {
    for (auto& [t, v] : Records(b)) {
        if (t == tag) return v;
    }
    return {};
}

bool HasRecord(const std::vector<std::uint8_t>& b, int tag) {
    for (auto& [t, v] : Records(b)) {
        if (t == tag) return true;
    }
    return false;
}

const ImageSpec kLaterFamily{2, "03000100", 100000, 1};

TEST(SecondGenerationBlock, ShippedModelFileSetsListHeaderHashedKeyAndSeals) {
    Compiled c = CompileIni(SecondGenerationIni());
    ASSERT_TRUE(c.result.ok) << c.result.reason;
    const auto& b = c.block;
    EXPECT_EQ(Slice(b, 128, 96),
              Hex("10 1C 01 01 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 0E 00 00 1C 00 00 00 "
                  "00 00 00 00 03 01 01 20 02 09 00 21 02 FF 01 23 0C 1E 00 00 00 00 03 2D 00 00 "
                  "00 00 01 24 04 85 88 01 01 25 0E 86 1B 01 05 05 87 1B 01 05 05 00 00 00 00 26 "
                  "08 FF 00 00 00 FF 00 00 00 01 06 80 00 01 00 00 00 00"));
    EXPECT_EQ(c.firmwareAddress, 8192u);
    EXPECT_EQ(Slice(b, 32, 16), Hex("DC 0B 00 00 00 20 00 00 00 E0 01 00 01 00 00 00"));
    EXPECT_EQ(Slice(b, 48, 20), Hex("00 07 00 00 8A 01 8A 08 00 00 50 01 DA 09 00 00 B8 01 00 00"));
    EXPECT_EQ(b[68], 0);
    EXPECT_EQ(Slice(b, 72, 2), Hex("00 10"));
    EXPECT_EQ(Slice(b, 76, 16), Hex("00 00 02 00 00 10 00 00 00 00 00 00 00 00 00 00"));
    EXPECT_EQ(c.flashParameters, (std::array<std::uint8_t, 8>{}));
    EXPECT_EQ(Slice(b, 124, 4), Hex("00 0F 00 01"));
    EXPECT_EQ(b[3840], 0x7F);
    EXPECT_EQ(b[3841], 0xFF);
    EXPECT_EQ(b[3824], 0xFF);
    // INQUIRY entry 0 padded with blanks; the other entries stay blank.
    EXPECT_EQ(std::string(b.begin() + 3584, b.begin() + 3612), "KAVELIN External HDD    0001");
    EXPECT_EQ(Slice(b, 3612, 112), std::vector<std::uint8_t>(112, 0x20));
    // The deleting key field holds the digest of the zero-padded key.
    std::vector<std::uint8_t> key(32, 0);
    std::string text = "R4TX8WQ2LM7ZK5NC9VH3PJ6DB1FYG0SE";
    std::copy(text.begin(), text.end(), key.begin());
    auto keyDigest = Sha256(key);
    EXPECT_EQ(Slice(b, 92, 32), std::vector<std::uint8_t>(keyDigest->begin(), keyDigest->end()));
    // Sealed: bytes 0..31 are the digest of bytes 32..3071.
    std::vector<std::uint8_t> copy = b;
    EXPECT_EQ(VerifyAndSeal(0, copy, 4096, 1), kSealOk);
    EXPECT_EQ(copy, b);
    // The serial number is the drive's, in all three areas.
    EXPECT_EQ(b[2008], 34);
    EXPECT_EQ(Slice(b, 2010, 4), Hex("30 00 31 00"));
    EXPECT_EQ(b[2344], 34);
    EXPECT_EQ(b[2798], 34);
}

TEST(SecondGenerationBlock, UsbIdentity) {
    Compiled c = CompileIni(SecondGenerationIni());
    ASSERT_TRUE(c.result.ok);
    for (std::size_t at : {1800, 2194, 2530}) EXPECT_EQ(Slice(c.block, at, 4), Hex("3B 5E 34 7C"));
    for (std::size_t at : {1826, 2220, 2556}) EXPECT_EQ(c.block[at], 0x06);
    for (std::size_t at : {1794, 2188, 2060, 2396}) EXPECT_EQ(Slice(c.block, at, 2), Hex("10 02"));
    EXPECT_EQ(Slice(c.block, 1817, 2), Hex("C0 04"));
    EXPECT_EQ(Slice(c.block, 2547, 2), Hex("C0 01"));

    ExpectFails(SecondGenerationIni().Set("USB Device Descriptor", "VID", "0x10000"), "VID");
    ExpectFails(SecondGenerationIni().Remove("USB Device Descriptor", "bcdDevice"), "bcdDevice");
    ExpectFails(SecondGenerationIni().Set("USB Configuration Descriptor", "bMaxPower-SS", "-1"),
                "bMaxPower-SS");
    ExpectFails(SecondGenerationIni().Set("USB Configuration Descriptor", "bMaxPower-FS", "0x100"),
                "bMaxPower-FS");

    std::string longest(24, 'M');
    c = CompileIni(SecondGenerationIni().Set("USB String Descriptor", "Manufacturer", longest));
    ASSERT_TRUE(c.result.ok);
    for (std::size_t at : {1908, 2244, 2698}) {
        EXPECT_EQ(c.block[at], 0x32);
        EXPECT_EQ(c.block[at + 1], 0x03);
        EXPECT_EQ(c.block[at + 48], 'M');
    }
    ExpectFails(SecondGenerationIni().Set("USB String Descriptor", "Manufacturer", longest + "M"),
                "Manufacturer");

    c = CompileIni(SecondGenerationIni(), {}, "1");
    ASSERT_TRUE(c.result.ok);
    for (std::size_t at : {2008, 2344, 2798}) {
        EXPECT_EQ(c.block[at], 0x52);
        EXPECT_EQ(c.block[at + 2], 0);
    }
    EXPECT_FALSE(CompileIni(SecondGenerationIni(), {}, "2").result.ok);
    EXPECT_FALSE(CompileIni(SecondGenerationIni(), {}, std::string(25, '7')).result.ok);
    ASSERT_TRUE((c = CompileIni(SecondGenerationIni(), {}, std::string(24, '7'))).result.ok);
    EXPECT_EQ(c.block[2008], 50);
    ASSERT_TRUE((c = CompileIni(SecondGenerationIni(), {}, "")).result.ok);
    for (std::size_t at : {2008, 2344, 2798}) EXPECT_EQ(c.block[at], 2);
    // Without a drive serial the file's own value stays.
    ASSERT_TRUE((c = CompileIni(SecondGenerationIni(), {}, std::nullopt)).result.ok);
    EXPECT_EQ(c.block[2008], 34);
    EXPECT_EQ(c.block[2040], '1');

    c = CompileIni(SecondGenerationIni()
                       .Set("USB Device Descriptor", "bcdUSB", "0x0200")
                       .Set("USB Interface Descriptor", "bInterfaceSubClass-FS", "0x05"));
    ASSERT_TRUE(c.result.ok);
    for (std::size_t at : {1794, 2188, 2060, 2396}) EXPECT_EQ(Slice(c.block, at, 2), Hex("00 02"));
    EXPECT_EQ(Slice(c.block, 2524, 2), Hex("00 03"));
    EXPECT_EQ(c.block[2220], 0x05);
    EXPECT_EQ(c.block[1826], 0x06);
    EXPECT_EQ(c.block[1852], 0x06);  // the attached-SCSI settings keep 0x06
    EXPECT_EQ(c.block[2594], 0x06);
}

TEST(SecondGenerationBlock, FollowsTheImageAndSealsOnlyTheCoveredBytes) {
    Compiled a = CompileIni(SecondGenerationIni(), {2, "01000700", 100000, 1});
    Compiled b = CompileIni(SecondGenerationIni(), {2, "01000700", 100000, 2});
    ASSERT_TRUE(a.result.ok && b.result.ok);
    EXPECT_NE(Slice(a.block, 74, 2), Slice(b.block, 74, 2));
    EXPECT_EQ(Slice(a.block, 76, 4096 - 76), Slice(b.block, 76, 4096 - 76));

    Compiled other = CompileIni(SecondGenerationIni().Set("SCSI INQUIRY", "1-Vendor", "OTHER"));
    ASSERT_TRUE(other.result.ok);
    EXPECT_NE(other.block, a.block);
    EXPECT_EQ(Slice(other.block, 0, 32), Slice(a.block, 0, 32));

    // A firmware that does not fit below the flash size fails; one that just fits does not.
    EXPECT_TRUE(CompileIni(SecondGenerationIni(), {2, "01000700", 122880 + 22, 1}).result.ok);
    ExpectFails(SecondGenerationIni(), "SFlashSize", {2, "01000700", 122880 + 23, 1});
}

TEST(SecondGenerationBlock, InquiryEntries) {
    Compiled c = CompileIni(SecondGenerationIni().Set("SCSI INQUIRY", "0-Vendor", "ABCDEFGH"));
    ASSERT_TRUE(c.result.ok);
    EXPECT_EQ(std::string(c.block.begin() + 3584, c.block.begin() + 3592), "ABCDEFGH");
    EXPECT_EQ(c.block[3592], 'E');

    c = CompileIni(SecondGenerationIni().Set("SCSI INQUIRY", "0-Vendor", "ABCDEFGHI"));
    EXPECT_FALSE(c.result.ok);
    EXPECT_EQ(c.scratchText, "SCSI INQUIRY :\r\n 0-Vendor is wrong.");
    c = CompileIni(SecondGenerationIni().Set("SCSI INQUIRY", "3-RevLvl", "12345"));
    EXPECT_FALSE(c.result.ok);
    EXPECT_EQ(c.scratchText, "SCSI INQUIRY :\r\n 3-RevLvl is wrong.");

    // Characters outside the code page become '?'; a character pair counts twice.
    c = CompileIni(
        SecondGenerationIni().Set("SCSI INQUIRY", "2-Product", "Größe\xE2\x82\xAC\xE4\xB8\xAD"));
    ASSERT_TRUE(c.result.ok);
    EXPECT_EQ(Slice(c.block, 3584 + 56 + 8, 8), Hex("47 72 F6 DF 65 80 3F 20"));
}

TEST(SecondGenerationBlock, LogicalUnitTables) {
    Ini base = SecondGenerationIni();
    base.Set("LUN NORMAL", "0-Type", "2").Set("LUN NORMAL", "0-Size", "0x123456789ABC");
    base.Set("LUN NORMAL", "0-Rsv", "0x12345").Set("LUN NORMAL", "Flag", "5");
    Compiled c = CompileIni(base);
    ASSERT_TRUE(c.result.ok) << c.result.reason;
    EXPECT_EQ(Record(c.block, 0x10),
              Hex("01 01 00 05 01 08 00 00 BC 9A 78 56 34 12 45 23 00 0E 00 00 1C 00 00 00 00 00 "
                  "00 00"));

    c = CompileIni(
        SecondGenerationIni().Set("LUN NORMAL", "0-Type", "7").Set("LUN NORMAL", "0-Inq", "0"));
    ASSERT_TRUE(c.result.ok);
    EXPECT_EQ(Slice(Record(c.block, 0x10), 4, 24), std::vector<std::uint8_t>(24, 0));

    ExpectFails(SecondGenerationIni().Set("LUN NORMAL", "Flag", "1"), "Flag");
    ExpectFails(SecondGenerationIni().Set("LUN NORMAL", "Count", "6"), "Count");

    // Same description in two modes: one table carrying both mode bits.
    Ini twice = SecondGenerationIni();
    for (const char* key : {"Count", "Flag", "0-Type", "0-Flag", "0-Size", "0-Rsv", "0-Inq"}) {
        twice.Set("LUN JBOD", key, key == std::string("Count") ? "1" : "0");
        twice.Set("LUN NORMAL", key, key == std::string("Count") ? "1" : "0");
    }
    c = CompileIni(twice, kLaterFamily);
    ASSERT_TRUE(c.result.ok) << c.result.reason;
    EXPECT_EQ(c.itemCount, 407u);
    EXPECT_EQ(Slice(Record(c.block, 0x10), 0, 4), Hex("01 03 00 00"));
    EXPECT_EQ(Record(c.block, 0x10).size(), 28u);
    c = CompileIni(twice.Set("LUN JBOD", "Flag", "4"), kLaterFamily);
    ASSERT_TRUE(c.result.ok);
    EXPECT_EQ(Record(c.block, 0x10).size(), 56u);
    // The first family has no JBOD items: the section is not read.
    c = CompileIni(twice, {});
    ASSERT_TRUE(c.result.ok);
    EXPECT_EQ(Record(c.block, 0x10).size(), 28u);
    ExpectFails(SecondGenerationIni().Set("LUN JBOD", "Count", "4"), "Count", kLaterFamily);
    // Units 3 and 4 exist only in the first family's table.
    Ini fourth =
        SecondGenerationIni().Set("LUN NORMAL", "Count", "4").Set("LUN NORMAL", "3-Type", "3");
    c = CompileIni(fourth, kLaterFamily);
    ASSERT_TRUE(c.result.ok);
    EXPECT_EQ(Record(c.block, 0x10)[4 + 3 * 24], 0);
    c = CompileIni(fourth);
    ASSERT_TRUE(c.result.ok);
    EXPECT_EQ(Record(c.block, 0x10)[4 + 3 * 24], 2);

    // Five normal units and three distinct three-unit tables: 352 bytes in two records.
    Ini full = SecondGenerationIni();
    full.Set("LUN NORMAL", "Count", "5");
    int size = 1;
    for (const char* mode : {"LUN JBOD", "LUN RAID-0", "LUN RAID-1"}) {
        full.Set(mode, "Count", "3").Set(mode, "1-Size", std::to_string(size++));
    }
    c = CompileIni(full, {2, "02000100", 100000, 1});  // first family: units 3 and 4 exist
    ASSERT_TRUE(c.result.ok);
    EXPECT_EQ(Record(c.block, 0x10).size(), 124u);
    c = CompileIni(full, kLaterFamily);
    ASSERT_TRUE(c.result.ok) << c.result.reason;
    auto records = Records(c.block);
    ASSERT_GE(records.size(), 2u);
    EXPECT_EQ(records[0].first, 0x10);
    EXPECT_EQ(records[0].second.size(), 255u);
    EXPECT_EQ(records[1].first, 0x10);
    EXPECT_EQ(records[1].second.size(), 97u);
}

TEST(SecondGenerationBlock, SingleUnitTablesAndAuthentication) {
    Compiled c = CompileIni(SecondGenerationIni()
                                .Set("LUN NORMAL", "S-Size", "2097152")
                                .Set("LUN NORMAL", "S-Type", "3"));
    ASSERT_TRUE(c.result.ok);
    EXPECT_EQ(Record(c.block, 0x11),
              Hex("00 01 00 00 00 00 00 00 00 00 20 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 "
                  "00 00"));
    ExpectFails(SecondGenerationIni().Set("LUN NORMAL", "S-Size", "2097153"), "S-Size");
    ExpectFails(SecondGenerationIni().Set("LUN NORMAL", "S-Size", "-5"), "S-Size");

    ExpectFails(SecondGenerationIni().Remove("Authentication", "DeleteKey"), "DeleteKey");
    ExpectFails(SecondGenerationIni().Set("Authentication", "DeleteKey", std::string(33, 'K')),
                "DeleteKey");
    ExpectFails(SecondGenerationIni().Set("Authentication", "AuthWait", "0"), "AuthWait");
    c = CompileIni(SecondGenerationIni().Remove("Authentication", "AuthWait"));
    ASSERT_TRUE(c.result.ok);
    EXPECT_FALSE(HasRecord(c.block, 0x03));
}

TEST(SecondGenerationBlock, RaidDefaultBelongsToTheLaterFamily) {
    Ini ini = SecondGenerationIni();
    ini.Set("RAID Default", "Type", "3").Set("RAID Default", "Emu4k", "1");
    ini.Set("RAID Default", "Split", "1").Set("RAID Default", "Offset", "0x800");
    Compiled c = CompileIni(ini);
    ASSERT_TRUE(c.result.ok);
    EXPECT_FALSE(HasRecord(c.block, 0x05));
    c = CompileIni(ini, kLaterFamily);
    ASSERT_TRUE(c.result.ok);
    EXPECT_EQ(Record(c.block, 0x05), Hex("03 02"));  // Split is never read
    auto records = Records(c.block);
    EXPECT_EQ(records.back().second, Hex("65 00 00 08 00 00"));
}

TEST(SecondGenerationBlock, PinPowerFanAndLedRecords) {
    // The bytes of each record are read back by the decoder in compile_decode_test; here the
    // records' lengths and the fields the decoder cannot tell apart.
    Ini ini = SecondGenerationIni();
    ini.Set("Capacity LED 2", "Count", "2").Set("Capacity LED 2", "Flag", "2");
    ini.Set("Access LED", "2-BreathTrans", "9").Remove("Access LED", "2-Extend");
    ini.Set("FET Control", "Count", "1").Set("FET Control", "0-Delay1", "0x1234");
    Compiled c = CompileIni(ini);
    ASSERT_TRUE(c.result.ok) << c.result.reason;
    EXPECT_EQ(Slice(Record(c.block, 0x25), 10, 6), Hex("00 00 00 00 09 00"));
    c = CompileIni(ini.Set("Capacity LED 2", "Flag", "0"));
    ASSERT_TRUE(c.result.ok);
    EXPECT_EQ(Record(c.block, 0x36).size(), 18u);
    EXPECT_EQ(Record(c.block, 0x22), Hex("00 00 00 00 00 00 00 34 12 00 00"));

    ExpectFails(SecondGenerationIni().Set("Power Control", "Flag", "5"), "Flag");
    ExpectFails(SecondGenerationIni().Set("Capacity LED", "Count", "11"), "Count");
    ExpectFails(SecondGenerationIni().Set("Status LED", "Count", "2"), "Count");

    // Access LED and Secret LED are off only at 256 or absence.
    c = CompileIni(
        SecondGenerationIni().Set("Secret LED", "E-Port", "256").Set("Access LED", "2-Port", ""));
    ASSERT_TRUE(c.result.ok);
    EXPECT_FALSE(HasRecord(c.block, 0x26));
    EXPECT_FALSE(HasRecord(c.block, 0x25));

    // Later-family sections: the RAID switch keeps all 8 port bits.
    Ini later = SecondGenerationIni();
    later.Set("RAID Switch", "Count", "1").Set("RAID Switch", "0-Port", "0x85");
    c = CompileIni(later, kLaterFamily);
    ASSERT_TRUE(c.result.ok) << c.result.reason;
    EXPECT_EQ(Record(c.block, 0x31), Hex("85 00 00"));
    EXPECT_FALSE(HasRecord(c.block, 0x35));
}

TEST(SecondGenerationBlock, ControlAndFirmwareParameters) {
    ExpectFails(SecondGenerationIni().Set("Control Parameter", "SFlashSecret", "2"),
                "SFlashSecret");
    ExpectFails(SecondGenerationIni().Remove("Control Parameter", "SFlashSecret"), "SFlashSecret");
    ExpectFails(SecondGenerationIni().Remove("Control Parameter", "SFlashPage"), "SFlashPage");
    ExpectFails(SecondGenerationIni().Set("Control Parameter", "NCQDisable", "2"), "NCQDisable");
    ExpectFails(SecondGenerationIni().Set("Control Parameter", "SFlashInfo", std::string(40, '1')),
                "SFlashInfo");

    Ini ini = SecondGenerationIni();
    ini.Set("Control Parameter", "SFlashSecret", "0")
        .Set("Control Parameter", "SFlashSize", "65536");
    ini.Set("Control Parameter", "SFlashInfo", "0x01 0x02 0x03 0x04 0x05 0x06 0x07 0x1FF");
    ini.Set("Control Parameter", "NCQDisable", "0").Set("Control Parameter", "LinkupAlways", "1");
    ini.Set("Control Parameter", "PMPEnable", "1").Set("Control Parameter", "SSCDisable", "0");
    ini.Set("Firmware Parameter", "WaitDevDetect", "0x12345");
    ini.Set("Firmware Parameter", "USB3F_FPLC1", "-1");
    ASSERT_EQ(std::string("0x01 0x02 0x03 0x04 0x05 0x06 0x07 0x1FF").size(), 40u);
    const ImageSpec small{2, "01000700", 40000, 1};
    ExpectFails(ini, "SFlashInfo", small);
    ini.Set("Control Parameter", "SFlashInfo", "0x01 0x02 0x03 0x04 0x05 0x06 0x07 0xFF");
    Compiled c = CompileIni(ini, small);
    ASSERT_TRUE(c.result.ok) << c.result.reason;
    EXPECT_EQ(c.firmwareAddress, 4096u);
    EXPECT_EQ(Slice(c.block, 36, 8), Hex("00 10 00 00 00 F0 00 00"));
    EXPECT_EQ(c.block[68], 1);
    EXPECT_EQ(Slice(c.block, 84, 8), Hex("01 02 03 04 05 06 07 FF"));
    EXPECT_EQ(c.flashParameters, (std::array<std::uint8_t, 8>{1, 2, 3, 4, 5, 6, 7, 0xFF}));
    EXPECT_EQ(c.block[3840], 0xFF);
    EXPECT_FALSE(HasRecord(c.block, 0x04));
    EXPECT_EQ(Record(c.block, 0x07), Hex("01"));
    EXPECT_EQ(Record(c.block, 0x02), Hex("04 00"));
    auto records = Records(c.block);
    std::vector<std::vector<std::uint8_t>> parameters;
    for (auto& [tag, value] : records) {
        if (tag == 0x01) parameters.push_back(value);
    }
    EXPECT_EQ(parameters,
              (std::vector<std::vector<std::uint8_t>>{
                  Hex("00 00 FF FF FF FF"), Hex("02 00 45 23 00 00"), Hex("80 00 01 00 00 00")}));

    c = CompileIni(SecondGenerationIni().Set("Control Parameter", "SFlashSize", "65537"),
                   {2, "01000700", 40000, 1});
    ASSERT_TRUE(c.result.ok);
    EXPECT_EQ(Slice(c.block, 40, 4), Hex("00 E0 01 00"));
    c = CompileIni(SecondGenerationIni().Remove("Control Parameter", "SFlashSize"));
    ASSERT_TRUE(c.result.ok);
    EXPECT_EQ(Slice(c.block, 40, 4), Hex("00 E0 03 00"));
    EXPECT_EQ(Slice(c.block, 76, 4), Hex("FF FF FF FF"));
    // Nine numbers in 44 characters: the ninth is ignored.
    c = CompileIni(SecondGenerationIni().Set("Control Parameter", "SFlashInfo",
                                             "0x11 0x22 0x33 0x44 0x55 0x66 0x77 0x88 0x99"));
    ASSERT_TRUE(c.result.ok);
    EXPECT_EQ(Slice(c.block, 84, 8), Hex("11 22 33 44 55 66 77 88"));
}

TEST(SecondGenerationBlock, CommandPermissionCarriesTheKeyDigest) {
    Compiled c =
        CompileIni(SecondGenerationIni().Set("Command Permission", "Key", "Ab"), kLaterFamily);
    ASSERT_TRUE(c.result.ok);
    auto digest = Sha256(Hex("41 00 62 00"));
    EXPECT_EQ(Record(c.block, 0x08), std::vector<std::uint8_t>(digest->begin(), digest->end()));
    c = CompileIni(SecondGenerationIni().Set("Command Permission", "Key", "Ab"));
    ASSERT_TRUE(c.result.ok);
    EXPECT_FALSE(HasRecord(c.block, 0x08));
}

TEST(SecondGenerationBlock, HeaderVersionAndBadValues) {
    Compiled c = CompileIni(SecondGenerationIni().Set("Config", "Version", "0"));
    EXPECT_FALSE(c.result.ok);
    EXPECT_EQ(c.result.failedStep, "config header");
    EXPECT_FALSE(CompileIni(SecondGenerationIni().Remove("Config", "Version")).result.ok);
    EXPECT_TRUE(CompileIni(SecondGenerationIni().Set("Config", "Version", "0x2")).result.ok);
    ExpectFails(SecondGenerationIni().Set("FAN Control", "Interval", "soon"), "Interval");
    // An empty value is the same as a missing key.
    c = CompileIni(SecondGenerationIni().Set("FAN Control", "Count", ""));
    ASSERT_TRUE(c.result.ok);
    EXPECT_FALSE(HasRecord(c.block, 0x23));
    // Octal and hex follow the C rules: 010 is 8, 0x10 is 16.
    c = CompileIni(SecondGenerationIni()
                       .Set("FAN Control", "0-ThrldMAX", "010")
                       .Set("FAN Control", "Interval", "0x10"));
    ASSERT_TRUE(c.result.ok);
    EXPECT_EQ(Slice(Record(c.block, 0x23), 0, 1), Hex("10"));
    EXPECT_EQ(Record(c.block, 0x23)[6], 8);
}

}  // namespace
}  // namespace mox3::test
