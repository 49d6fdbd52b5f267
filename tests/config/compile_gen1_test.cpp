// The first-generation block compiled from configuration files.
#include <gtest/gtest.h>

#include "config/compile_fixture.h"

namespace mox3::test {
namespace {

const ImageSpec kImage{1, "01020300", 40000, 1};

Compiled Compile(const Ini& ini, std::optional<std::string> serial = "0123456789ABCDEF") {
    return CompileIni(ini, kImage, std::move(serial));
}

TEST(FirstGenerationBlock, ShippedModelFileSetsHeaderDescriptorsAndList) {
    Compiled c = Compile(FirstGenerationIni());
    ASSERT_TRUE(c.result.ok) << c.result.reason;
    ExpectBytes(c.block,
                "32: DC 0B 00 00 00 20 00 00 00 E0 00 00 00 14 00 00 50 01 50 01 00 17 00 00 66 "
                "01 00 00 00 00 00 00 84 00 00 00 00 01 00 00 08 01; 108: 00 1F 00 01;"
                "76: 'R4TX8WQ2LM7ZK5NC9VH3PJ6DB1FYG0SE; 112: 04 1D 00; 143: 03 01 01 00;"
                // The INQUIRY answer keeps the blanks inside the quotation marks.
                "115: 'KAVELIN External HDD    0001; 3840: 7F 255*FF;"
                "1032 1368 1800: 3B 5E 31 7C 01 00; 1082 1418 1886: 10 03 4B 00 41 00;"
                // Each speed's configuration and other-speed descriptor.
                "1049 1249 1385 1585: C0 04; 1817: C0 01; 1058 1394 1826: 06;"
                "1392: 02 08 06 50 00 00 07 05 81 02 40 00 0F 00 07 05;"
                "1872: 0A 10 03 00 0E 00 01 01 65 00");
}

// The forms of the serial number are the second generation's; here where the bytes land.
TEST(FirstGenerationBlock, SerialNumberFillsAllThreeSets) {
    ExpectBytes(Compile(FirstGenerationIni(), std::string(24, 'S')).block,
                "1182 1518 1986: 32; 2034: 'S");
}

TEST(FirstGenerationBlock, OptionalRecords) {
    Ini ini = FirstGenerationIni();
    ini.SetAll("SCSI INQUIRY", "Flag=2 Vendor-1=V2 Product-1=P2 RevLvl-1=R2");
    ini.SetAll("LUN", "MultiLUN=1 TypeLUN0=2 HideLUN1=1");
    ini.SetAll("LED",
               "Flag=1 USB2Port=8 USB2Func=8 USB3Port=28 USB3Func=28 AuthPort=18 AuthFunc=18");
    ini.SetAll("FAN",
               "Flag=1 SMARTInterval=1 TempThreshold=2 ControlPort=3 ActiveValue=4 "
               "DefaultValue=5");
    Compiled c = Compile(ini);
    ASSERT_TRUE(c.result.ok) << c.result.reason;
    ExpectBytes(
        c.block,
        "112: 04 3A; 143: 00 56 32 00; 152: 50 32; 168: 52 32; 191: 06 06 08 08 1C 1C 12 12;"
        "172: 02 11 00 07 02 00 00 08 00 00 00 85 00 00 00 00 00 00 00;"
        "199: 10 05 01 02 03 04 05; 206: 03 01 01 00");
}

TEST(FirstGenerationBlock, ControlParameterRecord) {
    Ini ini = FirstGenerationIni();
    Compiled c = Compile(Ini(ini).Set("Control Parameter", "USB3LFPS", "0x12345678"));
    ASSERT_TRUE(c.result.ok);
    ExpectBytes(c.block, "146: 05 64 34*00 03 00 78 56 34 12 61*00");

    // Blink duty and time of 0 write nothing; either one non-zero sets flag 0x40.
    ini.SetAll("SATA Automatic Standby", "StandbyBlinkDuty=0 StandbyBlinkTime=0");
    ASSERT_TRUE((c = Compile(ini)).result.ok);
    EXPECT_EQ(c.block[146], 0);
    ini.Set("SATA Automatic Standby", "StandbyBlinkTime", "10").Set("LUN", "RMB", "1");
    ini.SetAll("Control Parameter", "WaitTimeSATADevDetect=2500 2TBOverMode=2");
    ASSERT_TRUE((c = Compile(ini)).result.ok);
    ExpectBytes(c.block, "146: 05 64 C1 00 C4 09 00 00; 162: 00 0A 01; 182: 04; 188: 02 00");
}

TEST(FirstGenerationBlock, RefusesBadValuesNamingTheKey) {
    const struct {
        const char* named;
        const char* section;
        const char* pairs;
        const char* removed = "";
    } kCases[] = {
        {"Vendor-1", "SCSI INQUIRY", "Flag=2"},
        {"Flag", "SCSI INQUIRY", "Flag=3"},
        {"SizeLUN0", "LUN", "MultiLUN=1 SizeLUN0=0"},
        {"USB2Port", "LED", "Flag=1", "USB2Port"},
        {"AuthWaitTime", "Authentication", "AuthWaitTime=0"},
        {"SecretDelKey", "Authentication", "", "SecretDelKey"},
        {"2TBOverMode", "Control Parameter", "2TBOverMode=3"},
        {"WaitTimeSATAPHYReady", "Control Parameter", "WaitTimeSATAPHYReady=0x10000"},
    };
    for (const auto& row : kCases) {
        Ini ini = FirstGenerationIni().SetAll(row.section, row.pairs);
        ExpectFails(ini.Remove(row.section, row.removed), row.named, kImage);
    }
    EXPECT_TRUE(Compile(FirstGenerationIni().Remove("Config", "Version")).result.ok);
}

}  // namespace
}  // namespace mox3::test
