// The first-generation block compiled from configuration files.
#include <gtest/gtest.h>

#include "config/compile_fixture.h"
#include "config/digest_header.h"

namespace mox3::test {
namespace {

const ImageSpec kImage{1, "01020300", 40000, 1};

Compiled Compile(const Ini& ini, std::optional<std::string> serial = "0123456789ABCDEF") {
    return CompileIni(ini, kImage, std::move(serial));
}

void Refuses(const Ini& ini, const std::string& key) {
    ExpectFails(ini, key, kImage);
}

TEST(FirstGenerationBlock, ShippedModelFileSetsHeaderDescriptorsAndListAndSeals) {
    Compiled c = Compile(FirstGenerationIni());
    ASSERT_TRUE(c.result.ok) << c.result.reason;
    const auto& b = c.block;
    EXPECT_EQ(c.firmwareAddress, 8192u);
    EXPECT_EQ(c.flashParameters, (std::array<std::uint8_t, 8>{}));
    EXPECT_EQ(Slice(b, 32, 42), Hex("DC 0B 00 00 00 20 00 00 00 E0 00 00 00 14 00 00 50 01 50 01 "
                                    "00 17 00 00 66 01 00 00 00 00 00 00 84 00 00 00 00 01 00 00 "
                                    "08 01"));
    EXPECT_EQ(Slice(b, 108, 4), Hex("00 1F 00 01"));
    EXPECT_EQ(std::string(b.begin() + 76, b.begin() + 108), "R4TX8WQ2LM7ZK5NC9VH3PJ6DB1FYG0SE");
    for (std::size_t at : {1032, 1368, 1800}) EXPECT_EQ(Slice(b, at, 6), Hex("3B 5E 31 7C 01 00"));
    for (std::size_t at : {1082, 1418, 1886}) {
        EXPECT_EQ(b[at], 16);
        EXPECT_EQ(b[at + 1], 3);
        EXPECT_EQ(Slice(b, at + 2, 4), Hex("4B 00 41 00"));
    }
    // The INQUIRY answer keeps the blanks inside the quotation marks.
    EXPECT_EQ(Slice(b, 112, 3), Hex("04 1D 00"));
    EXPECT_EQ(std::string(b.begin() + 115, b.begin() + 143), "KAVELIN External HDD    0001");
    EXPECT_EQ(Slice(b, 143, 4), Hex("03 01 01 00"));
    EXPECT_EQ(b[3840], 0x7F);
    EXPECT_EQ(Slice(b, 3841, 255), std::vector<std::uint8_t>(255, 0xFF));
    // Configuration attributes land in each speed's configuration and other-speed descriptor.
    EXPECT_EQ(Slice(b, 1049, 2), Hex("C0 04"));
    EXPECT_EQ(Slice(b, 1249, 2), Hex("C0 04"));
    EXPECT_EQ(Slice(b, 1385, 2), Hex("C0 04"));
    EXPECT_EQ(Slice(b, 1585, 2), Hex("C0 04"));
    EXPECT_EQ(Slice(b, 1817, 2), Hex("C0 01"));
    for (std::size_t at : {1058, 1394, 1826}) EXPECT_EQ(b[at], 0x06);
    EXPECT_EQ(Slice(b, 1392, 16), Hex("02 08 06 50 00 00 07 05 81 02 40 00 0F 00 07 05"));
    EXPECT_EQ(Slice(b, 1872, 10), Hex("0A 10 03 00 0E 00 01 01 65 00"));
    std::vector<std::uint8_t> sealed = b;
    EXPECT_EQ(VerifyAndSeal(0, sealed, 4096, 0), kSealOk);
}

TEST(FirstGenerationBlock, SerialNumberForms) {
    Compiled c = Compile(FirstGenerationIni(), std::string(24, 'S'));
    ASSERT_TRUE(c.result.ok);
    for (std::size_t at : {1182, 1518, 1986}) EXPECT_EQ(c.block[at], 50);
    EXPECT_EQ(c.block[2034], 'S');
    EXPECT_FALSE(Compile(FirstGenerationIni(), std::string(25, 'S')).result.ok);
    ASSERT_TRUE((c = Compile(FirstGenerationIni(), "1")).result.ok);
    for (std::size_t at : {1182, 1518, 1986}) EXPECT_EQ(c.block[at], 0x52);
    EXPECT_FALSE(Compile(FirstGenerationIni(), "X").result.ok);
    ASSERT_TRUE((c = Compile(FirstGenerationIni(), "")).result.ok);
    EXPECT_EQ(c.block[1182], 2);
}

TEST(FirstGenerationBlock, OptionalRecords) {
    Ini ini = FirstGenerationIni();
    ini.Set("SCSI INQUIRY", "Flag", "2")
        .Set("SCSI INQUIRY", "Vendor-1", "V2")
        .Set("SCSI INQUIRY", "Product-1", "P2")
        .Set("SCSI INQUIRY", "RevLvl-1", "R2");
    ini.Set("LUN", "MultiLUN", "1").Set("LUN", "TypeLUN0", "2").Set("LUN", "HideLUN1", "1");
    ini.Set("LED", "Flag", "1");
    for (const char* k : {"USB2Port", "USB3Port", "AuthPort", "USB2Func", "USB3Func", "AuthFunc"}) {
        ini.Set("LED", k,
                std::to_string(std::string(k).size() + (k[0] == 'A'   ? 10
                                                        : k[3] == '2' ? 0
                                                                      : 20)));
    }
    ini.Set("FAN", "Flag", "1")
        .Set("FAN", "SMARTInterval", "1")
        .Set("FAN", "TempThreshold", "2")
        .Set("FAN", "ControlPort", "3")
        .Set("FAN", "ActiveValue", "4")
        .Set("FAN", "DefaultValue", "5");
    Compiled c = Compile(ini);
    ASSERT_TRUE(c.result.ok) << c.result.reason;
    const auto& b = c.block;
    EXPECT_EQ(Slice(b, 112, 2), Hex("04 3A"));
    EXPECT_EQ(Slice(b, 143, 4), Hex("00 56 32 00"));
    EXPECT_EQ(Slice(b, 152, 2), Hex("50 32"));
    EXPECT_EQ(Slice(b, 168, 2), Hex("52 32"));
    EXPECT_EQ(Slice(b, 172, 19), Hex("02 11 00 07 02 00 00 08 00 00 00 85 00 00 00 00 00 00 00"));
    // USB2Port 8, USB2Func 8, USB3Port 28, USB3Func 28, AuthPort 18, AuthFunc 18.
    EXPECT_EQ(Slice(b, 191, 8), Hex("06 06 08 08 1C 1C 12 12"));
    EXPECT_EQ(Slice(b, 199, 7), Hex("10 05 01 02 03 04 05"));
    EXPECT_EQ(Slice(b, 206, 4), Hex("03 01 01 00"));

    Refuses(FirstGenerationIni().Set("SCSI INQUIRY", "Flag", "2"), "Vendor-1");
    Refuses(FirstGenerationIni().Set("SCSI INQUIRY", "Flag", "3"), "Flag");
    Refuses(FirstGenerationIni().Set("LUN", "MultiLUN", "1").Set("LUN", "SizeLUN0", "0"),
            "SizeLUN0");
    Refuses(FirstGenerationIni().Set("LED", "Flag", "1").Remove("LED", "USB2Port"), "USB2Port");
    Refuses(FirstGenerationIni().Set("Authentication", "AuthWaitTime", "0"), "AuthWaitTime");
    Refuses(FirstGenerationIni().Remove("Authentication", "SecretDelKey"), "SecretDelKey");
    Refuses(FirstGenerationIni().Set("USB Device Descriptor", "PID", "0x10000"), "PID");
}

TEST(FirstGenerationBlock, ControlParameterRecord) {
    Ini ini = FirstGenerationIni();
    ini.Set("Control Parameter", "USB3LFPS", "0x12345678");
    Compiled c = Compile(ini);
    ASSERT_TRUE(c.result.ok);
    std::vector<std::uint8_t> value(100, 0);
    value[34] = 0x03;
    value[36] = 0x78;
    value[37] = 0x56;
    value[38] = 0x34;
    value[39] = 0x12;
    EXPECT_EQ(Slice(c.block, 146, 2), Hex("05 64"));
    EXPECT_EQ(Slice(c.block, 148, 100), value);
    EXPECT_EQ(c.block[248], 0);

    // Blink duty and time of 0 write nothing; either one non-zero sets flag 0x40.
    ini = FirstGenerationIni();
    ini.Set("SATA Automatic Standby", "StandbyBlinkDuty", "0")
        .Set("SATA Automatic Standby", "StandbyBlinkTime", "0");
    ASSERT_TRUE((c = Compile(ini)).result.ok);
    EXPECT_EQ(c.block[146], 0);
    ini.Set("SATA Automatic Standby", "StandbyBlinkTime", "10").Set("LUN", "RMB", "1");
    ini.Set("Control Parameter", "WaitTimeSATADevDetect", "2500")
        .Set("Control Parameter", "2TBOverMode", "2");
    ASSERT_TRUE((c = Compile(ini)).result.ok);
    EXPECT_EQ(Slice(c.block, 146, 8), Hex("05 64 C1 00 C4 09 00 00"));
    EXPECT_EQ(Slice(c.block, 162, 3), Hex("00 0A 01"));
    EXPECT_EQ(c.block[146 + 36], 0x04);
    EXPECT_EQ(Slice(c.block, 146 + 42, 2), Hex("02 00"));
    Refuses(FirstGenerationIni().Set("Control Parameter", "2TBOverMode", "3"), "2TBOverMode");
    Refuses(FirstGenerationIni().Set("Control Parameter", "WaitTimeSATAPHYReady", "0x10000"),
            "WaitTimeSATAPHYReady");
}

TEST(FirstGenerationBlock, HeaderVersion) {
    EXPECT_TRUE(Compile(FirstGenerationIni().Remove("Config", "Version")).result.ok);
    Compiled c = Compile(FirstGenerationIni().Set("Config", "Version", "2"));
    EXPECT_FALSE(c.result.ok);
    EXPECT_EQ(c.result.failedStep, "config header");
}

}  // namespace
}  // namespace mox3::test
