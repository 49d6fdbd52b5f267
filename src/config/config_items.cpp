#include "config/config_items.h"

#include <string>
#include <vector>

#include "base/text.h"

namespace mox3 {

void ConfigItem::SetValue(std::u16string_view text) {
    value.assign(CutToCapacity(text, kShortTextUnits));
    fullText.clear();
    if (value.size() < text.size()) fullText.assign(text);
}

namespace {

constexpr char16_t kLunFlagText[] = u"Bit0: Multi Password, Bit1: Multi Secret, Bit2: ATA Secret";
constexpr char16_t kLunTypeText[] =
    u"0: Fixed, 1: Removable, 2: Removable(read-only), 3: Virtual CD";
constexpr char16_t kPowerFlagText[] =
    u"0: FW default, 1: GPIO switch, 2: FET control only, 3: Hot-plug only";
constexpr char16_t kRaidTypeText[] = u"0: NORMAL, 1: JBOD, 2: RAID-0, 3: RAID-1";

// Builds a table: a header item per section, its keys, and an empty item between sections.
class TableBuilder {
  public:
    void Section(std::u16string name) {
        if (!items_.empty()) items_.push_back(ConfigItem{});
        section_ = std::move(name);
        items_.push_back(ConfigItem{0, section_, section_, {}, {}});
    }
    void Key(std::u16string key, std::u16string description = {}, std::int32_t enabled = 1) {
        items_.push_back(ConfigItem{enabled, section_, std::move(key), {}, std::move(description)});
    }
    void Keys(std::initializer_list<const char16_t*> keys) {
        for (const char16_t* k : keys) Key(k);
    }
    // "n-Name" keys for n in [first, last], grouped by n.
    void Numbered(int first, int last, std::initializer_list<const char16_t*> names) {
        for (int n = first; n <= last; ++n) {
            for (const char16_t* name : names) Key(Number(n) + u"-" + name);
        }
    }
    // "NN-Flag" keys of the GPIO sections.
    void PinFlags(int first, int last) {
        for (int n = first; n <= last; ++n) {
            std::u16string nn = Number(n);
            if (nn.size() < 2) nn.insert(nn.begin(), u'0');
            Key(nn + u"-Flag");
        }
    }
    std::vector<ConfigItem> Take() { return std::move(items_); }

  private:
    static std::u16string Number(int n) { return Utf8ToUtf16(std::to_string(n)); }

    std::vector<ConfigItem> items_;
    std::u16string section_;
};

// The USB identity sections every table begins with; item 8 is the serial number.
void UsbSections(TableBuilder& t) {
    t.Section(u"USB Device Descriptor");
    t.Keys({u"VID", u"PID", u"bcdDevice"});
    t.Section(u"USB String Descriptor");
    t.Keys({u"Manufacturer", u"Product", u"SerialNumber"});
    t.Section(u"USB Configuration Descriptor");
    t.Keys({u"bmAttributes-HS", u"bMaxPower-HS", u"bmAttributes-FS", u"bMaxPower-FS",
            u"bmAttributes-SS", u"bMaxPower-SS"});
    t.Section(u"USB Interface Descriptor");
    t.Keys({u"bInterfaceSubClass-HS", u"bInterfaceSubClass-FS", u"bInterfaceSubClass-SS"});
}

std::vector<ConfigItem> BuildFirstGeneration() {
    TableBuilder t;
    UsbSections(t);
    t.Section(u"SCSI INQUIRY");
    t.Keys({u"Flag", u"Vendor", u"Product", u"RevLvl", u"Vendor-1", u"Product-1", u"RevLvl-1"});
    t.Section(u"LUN");
    t.Keys({u"RMB", u"MultiLUN", u"SizeLUN0", u"TypeLUN0", u"HideLUN1"});
    t.Section(u"LED");
    t.Keys({u"Flag", u"USB2Port", u"USB3Port", u"AuthPort", u"USB2Func", u"USB3Func", u"AuthFunc"});
    t.Section(u"FAN");
    t.Keys({u"Flag", u"SMARTInterval", u"TempThreshold", u"ControlPort", u"ActiveValue",
            u"DefaultValue"});
    t.Section(u"Authentication");
    t.Keys({u"AuthWaitTime", u"SecretDelKey"});
    t.Section(u"SATA Automatic Standby");
    t.Keys({u"StandbyTransTime", u"StandbyBlinkDuty", u"StandbyBlinkTime"});
    t.Section(u"Control Parameter");
    t.Keys({u"SSCDisable", u"2TBOverMode", u"SATACurrentAPMLevel", u"USB3LFPS",
            u"WaitTimeSATADevDetect", u"WaitTimeSATAPHYReady", u"WaitTimeUSB3HostStart"});
    return t.Take();
}

constexpr std::initializer_list<const char16_t*> kUnitKeys = {u"Type", u"Flag", u"Size", u"Rsv",
                                                              u"Inq"};

// The keys of a logical-unit section, units 0 to `lastUnit`.
void LunSection(TableBuilder& t, const char16_t* name, bool described, int lastUnit) {
    t.Section(name);
    t.Key(u"Count");
    t.Key(u"Flag", described ? kLunFlagText : u"");
    for (int n = 0; n <= 2; ++n) {
        for (const char16_t* k : kUnitKeys) {
            std::u16string key = Utf8ToUtf16(std::to_string(n)) + u"-" + k;
            bool typeKey = described && n == 0 && std::u16string_view(k) == u"Type";
            t.Key(key, typeKey ? kLunTypeText : u"");
        }
    }
    t.Keys({u"S-Type", u"S-Flag", u"S-Size", u"S-Rsv", u"S-Inq"});
    if (lastUnit > 2) t.Numbered(3, lastUnit, kUnitKeys);
}

std::vector<ConfigItem> BuildSecondGeneration(bool later) {
    TableBuilder t;
    UsbSections(t);
    t.Section(u"SCSI INQUIRY");
    t.Numbered(0, 4, {u"Vendor", u"Product", u"RevLvl"});
    LunSection(t, u"LUN NORMAL", true, later ? 2 : 4);
    t.Section(u"Authentication");
    t.Keys({u"AuthWait", u"DeleteKey"});
    t.Section(u"GPIO Initialize");
    t.PinFlags(3, 9);
    if (later) {
        t.Key(u"Alt");
        t.PinFlags(10, 15);
    } else {
        t.Section(u"GPIO Suspend");
        t.PinFlags(0, 9);
    }
    t.Section(u"Power Control");
    t.Key(u"Flag", kPowerFlagText);
    t.Keys({u"Port", u"Active"});
    t.Section(u"FET Control");
    t.Keys({u"Count", u"Flag", u"0-Port", u"0-Active", u"0-Ch", u"0-Delay1", u"0-Delay2"});
    if (later) {
        t.Numbered(1, 1, {u"Port", u"Active", u"Ch", u"Delay1", u"Delay2"});
    } else {
        t.Keys({u"0-ExtFlag", u"0-ExtPort", u"0-ExtActive"});
    }
    t.Section(u"FAN Control");
    t.Keys({u"Interval", u"Flag", u"Count", u"0-Flag", u"0-Port", u"0-Active", u"0-ThrldMAX",
            u"0-ThrldPWM", u"0-SpeedPWM", u"0-PulsePWM"});
    t.Section(u"Status LED");
    t.Keys({u"Count", u"0-InPort", u"0-InActive", u"0-OutPort", u"0-OutActive", u"0-Flag",
            u"0-Blink"});
    t.Section(u"Access LED");
    t.Numbered(2, 3,
               {u"Port", u"Active", u"Flag", u"Blink", u"TransBlink", u"TransTime", u"BreathTime",
                u"BreathTrans", u"Extend"});
    t.Section(u"Secret LED");
    t.Keys({u"E-Port", u"E-Active", u"E-Flag", u"E-Blink", u"E-Trans", u"A-Port", u"A-Active",
            u"A-Flag", u"A-Blink", u"A-Trans"});
    if (later) {
        t.Section(u"Device LED");
        t.Keys({u"Flag", u"Count"});
        t.Numbered(0, 1, {u"Port", u"Active", u"Flag", u"Blink"});
    }
    t.Section(u"Capacity LED");
    t.Keys({u"Interval", u"Flag", u"D-Port", u"D-Active", u"Count"});
    t.Numbered(0, later ? 9 : 6, {u"Port", u"Active"});
    t.Section(u"Capacity LED 2");
    t.Keys({u"Interval", u"Flag", u"Mask", u"Off", u"Count"});
    t.Numbered(0, 9, {u"Value", u"Value-D"});
    t.Section(u"Button");
    t.Keys({u"Port", u"Active", u"Double", u"Hold", u"Extend"});
    t.Section(u"Automatic Standby");
    t.Keys({u"Timer", u"BlinkPulse", u"BlinkTime", u"PowerMode", u"Extend"});
    if (!later) {
        t.Section(u"LUN Default");
        t.Keys({u"Split", u"Emu4k"});
    } else {
        t.Section(u"RAID Default");
        t.Key(u"Type", kRaidTypeText);
        t.Key(u"Split", u"", 0);
        t.Keys({u"Emu4k", u"Offset"});
        LunSection(t, u"LUN JBOD", false, 2);
        LunSection(t, u"LUN RAID-0", false, 2);
        LunSection(t, u"LUN RAID-1", false, 2);
        t.Section(u"RAID Button");
        t.Keys({u"S-Port", u"S-Active", u"L-Port", u"L-Active", u"Flag", u"Hold"});
        t.Section(u"RAID Switch");
        t.Key(u"Count");
        t.Numbered(0, 1, {u"Port", u"High", u"Low"});
        t.Section(u"RAID Status LED");
        t.Key(u"Count");
        t.Numbered(0, 1, {u"Port", u"Active", u"Flag", u"Error", u"Rebuild"});
        t.Section(u"RAID Mode LED");
        t.Key(u"Count");
        t.Numbered(0, 3, {u"Port", u"Active", u"Flag"});
        t.Section(u"Rebuild Progress LED");
        t.Keys({u"Blink", u"Flag", u"D-Port", u"D-Active", u"Count"});
        t.Numbered(0, 9, {u"Port", u"Active"});
        t.Section(u"Command Permission");
        t.Key(u"Key");
    }
    t.Section(u"Control Parameter");
    t.Keys({u"SFlashSecret", u"SFlashSize", u"SFlashPage", u"SFlashInfo", u"SSCDisable",
            u"NCQDisable", u"LinkupAlways", u"2TBOverMode"});
    if (!later) t.Key(u"PMPEnable");
    t.Section(u"Firmware Parameter");
    t.Keys({u"USB3F_FPLC1", u"USB3F_FPLC2", u"WaitDevDetect", u"WaitUSBStart", u"Parameter-0",
            u"CustomParam-0", u"CustomParam-1"});
    return t.Take();
}

std::vector<ConfigItem>& Storage(ItemTableKind kind) {
    static std::vector<ConfigItem> first = BuildFirstGeneration();
    static std::vector<ConfigItem> second = BuildSecondGeneration(false);
    static std::vector<ConfigItem> later = BuildSecondGeneration(true);
    switch (kind) {
        case ItemTableKind::FirstGeneration:
            return first;
        case ItemTableKind::SecondGeneration:
            return second;
        case ItemTableKind::SecondGenerationLater:
            break;
    }
    return later;
}

}  // namespace

std::span<ConfigItem> ItemTable(ItemTableKind kind) {
    return Storage(kind);
}

std::string_view ItemTableName(ItemTableKind kind) {
    switch (kind) {
        case ItemTableKind::FirstGeneration:
            return "first generation";
        case ItemTableKind::SecondGeneration:
            return "second generation, first family";
        case ItemTableKind::SecondGenerationLater:
            break;
    }
    return "second generation, later family";
}

}  // namespace mox3
