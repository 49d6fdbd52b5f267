#include "config/compile_fixture.h"

#include <algorithm>
#include <sstream>

#include "base/text.h"
#include "bridge/firmware_image.h"

namespace mox3::test {

Ini& Ini::Set(const std::string& section, const std::string& key, const std::string& value) {
    auto s = std::find_if(sections_.begin(), sections_.end(),
                          [&](const auto& e) { return e.first == section; });
    if (s == sections_.end()) {
        sections_.push_back({section, {}});
        s = sections_.end() - 1;
    }
    auto k = std::find_if(s->second.begin(), s->second.end(),
                          [&](const auto& e) { return e.first == key; });
    if (k == s->second.end()) {
        s->second.push_back({key, value});
    } else {
        k->second = value;
    }
    return *this;
}

Ini& Ini::Remove(const std::string& section, const std::string& key) {
    for (auto& s : sections_) {
        if (s.first != section) continue;
        std::erase_if(s.second, [&](const auto& e) { return e.first == key; });
    }
    return *this;
}

std::string Ini::Text() const {
    std::ostringstream out;
    out << "; * This file must be written in UTF-16 LE with BOM encoding.\n\n";
    for (const auto& [section, keys] : sections_) {
        out << "[" << section << "]\n";
        for (const auto& [key, value] : keys) out << key << "=" << value << "\n";
        out << "\n";
    }
    return out.str();
}

namespace {

// The USB identity both generations' model files share.
void UsbIdentity(Ini& ini, const char* pid, const char* serial) {
    ini.Set("USB Device Descriptor", "VID", "0x5E3B")
        .Set("USB Device Descriptor", "PID", pid)
        .Set("USB Device Descriptor", "bcdDevice", "0x0001");
    ini.Set("USB String Descriptor", "Manufacturer", "KAVELIN")
        .Set("USB String Descriptor", "Product", "ZR-MOX3")
        .Set("USB String Descriptor", "SerialNumber", serial);
    for (const char* speed : {"HS", "FS", "SS"}) {
        ini.Set("USB Configuration Descriptor", std::string("bmAttributes-") + speed, "0xC0");
        ini.Set("USB Configuration Descriptor", std::string("bMaxPower-") + speed,
                std::string(speed) == "SS" ? "0x01" : "0x04");
    }
}

}  // namespace

Ini SecondGenerationIni() {
    Ini ini;
    ini.Set("Config", "Version", "2").Set("Config", "Name", "FUJITSU Default FET-Control");
    UsbIdentity(ini, "0x7C34", "0000000000000001");
    ini.Set("SCSI INQUIRY", "0-Vendor", "KAVELIN")
        .Set("SCSI INQUIRY", "0-Product", "External HDD")
        .Set("SCSI INQUIRY", "0-RevLvl", "0001");
    ini.Set("LUN NORMAL", "Count", "1")
        .Set("LUN NORMAL", "Flag", "0x00")
        .Set("LUN NORMAL", "0-Type", "0")
        .Set("LUN NORMAL", "0-Flag", "0x00")
        .Set("LUN NORMAL", "0-Size", "0")
        .Set("LUN NORMAL", "0-Rsv", "0")
        .Set("LUN NORMAL", "0-Inq", "1");
    ini.Set("Authentication", "AuthWait", "1")
        .Set("Authentication", "DeleteKey", "R4TX8WQ2LM7ZK5NC9VH3PJ6DB1FYG0SE");
    ini.Set("GPIO Initialize", "09-Flag", "0x00");
    ini.Set("Power Control", "Flag", "2");
    ini.Set("FAN Control", "Interval", "30")
        .Set("FAN Control", "Flag", "0")
        .Set("FAN Control", "Count", "1")
        .Set("FAN Control", "0-Flag", "1")
        .Set("FAN Control", "0-Port", "3")
        .Set("FAN Control", "0-Active", "0")
        .Set("FAN Control", "0-ThrldMAX", "45");
    ini.Set("Status LED", "Count", "1")
        .Set("Status LED", "0-InPort", "5")
        .Set("Status LED", "0-InActive", "1")
        .Set("Status LED", "0-OutPort", "8")
        .Set("Status LED", "0-OutActive", "1")
        .Set("Status LED", "0-Flag", "1")
        .Set("Status LED", "0-Blink", "1");
    for (const char* n : {"2", "3"}) {
        std::string p(n);
        ini.Set("Access LED", p + "-Port", p == "2" ? "6" : "7")
            .Set("Access LED", p + "-Active", "1")
            .Set("Access LED", p + "-Flag", "0x1B")
            .Set("Access LED", p + "-Blink", "1")
            .Set("Access LED", p + "-TransBlink", "5")
            .Set("Access LED", p + "-TransTime", "5")
            .Set("Access LED", p + "-BreathTime", "0")
            .Set("Access LED", p + "-Extend", "0");
    }
    ini.Set("Secret LED", "E-Port", "0xFF").Set("Secret LED", "A-Port", "0xFF");
    ini.Set("Control Parameter", "SFlashSecret", "1")
        .Set("Control Parameter", "SFlashSize", "131072")
        .Set("Control Parameter", "SFlashPage", "4096")
        .Set("Control Parameter", "SFlashInfo", "")
        .Set("Control Parameter", "SSCDisable", "1");
    ini.Set("Firmware Parameter", "CustomParam-0", "1");
    return ini;
}

Ini FirstGenerationIni() {
    Ini ini;
    ini.Set("Config", "Version", "0").Set("Config", "Name", "FUJITSU Default");
    UsbIdentity(ini, "0x7C31", "0000000000000002");
    ini.Set("SCSI INQUIRY", "Flag", "1")
        .Set("SCSI INQUIRY", "Vendor", "\"KAVELIN \"")
        .Set("SCSI INQUIRY", "Product", "\"External HDD    \"")
        .Set("SCSI INQUIRY", "RevLvl", "0001");
    ini.Set("LUN", "RMB", "0").Set("LUN", "MultiLUN", "0").Set("LUN", "SizeLUN0", "256");
    ini.Set("LED", "Flag", "0");
    ini.Set("Authentication", "AuthWaitTime", "1")
        .Set("Authentication", "SecretDelKey", "R4TX8WQ2LM7ZK5NC9VH3PJ6DB1FYG0SE");
    ini.Set("Control Parameter", "SSCDisable", "1");
    return ini;
}

Compiled CompileBytes(const std::vector<std::uint8_t>& config, const ImageSpec& image,
                      std::optional<std::string> serial) {
    TempDir dir;
    std::string error;
    auto bytes = MakeSampleImage({image.generation, image.digits, image.size, image.seed}, &error);
    if (bytes.empty()) throw std::runtime_error(error);
    WriteBytes(dir / "image.bin", bytes);
    WriteBytes(dir / "config.ini", config);
    CBridgeMgr mgr;
    Compiled c;
    std::optional<std::u16string> serial16;
    if (serial) serial16 = Utf8ToUtf16(*serial);
    c.result = BuildConfigBlock(mgr, Utf8ToUtf16((dir / "image.bin").string()),
                                Utf8ToUtf16((dir / "config.ini").string()), 0, serial16);
    if (c.result.ok) c.block.assign(mgr.imageBuffer.begin(), mgr.imageBuffer.begin() + 4096);
    c.scratchText = Utf16ToUtf8(mgr.scratchText);
    c.firmwareAddress = mgr.firmwareAddress;
    c.flashParameters = mgr.flashParameters;
    c.itemCount = mgr.itemCount;
    return c;
}

Compiled CompileIni(const Ini& ini, const ImageSpec& image, std::optional<std::string> serial) {
    TempDir dir;
    WriteUtf16Ini(dir / "config.ini", ini.Text());
    return CompileBytes(ReadBytes(dir / "config.ini"), image, std::move(serial));
}

std::vector<std::uint8_t> Hex(const std::string& text) {
    std::vector<std::uint8_t> out;
    std::istringstream in(text);
    std::string word;
    while (in >> word) out.push_back(static_cast<std::uint8_t>(std::stoul(word, nullptr, 16)));
    return out;
}

std::vector<std::uint8_t> Slice(const std::vector<std::uint8_t>& block, std::size_t from,
                                std::size_t count) {
    if (block.size() < from + count) return {};
    return {block.begin() + static_cast<std::ptrdiff_t>(from),
            block.begin() + static_cast<std::ptrdiff_t>(from + count)};
}

}  // namespace mox3::test
