#!/usr/bin/env python3
"""Writes the shipped drive-model configuration files to resources/config.

Each file is UTF-16 LE text with a byte-order mark and CRLF line ends. Files of the same
bridge generation differ only in the USB product id and the USB product string, so both
generations are described once here and stamped per drive model.

Usage: make_config_files.py [OUTPUT_DIR]   (default: resources/config next to this script)
"""

import pathlib
import sys

HEADER = "; * This file must be written in UTF-16 LE with BOM encoding."
DELETE_KEY = "R4TX8WQ2LM7ZK5NC9VH3PJ6DB1FYG0SE"

# (resource id, generation, PID, Product)
MODELS = [
    (104, 1, "0x7C31", "ZR-MOX3"),
    (106, 1, "0x7C32", "ZR-MOX3"),
    (116, 2, "0x7C33", "ZR-MOX3"),
    (117, 2, "0x7C34", "ZR-MOX3"),
    (118, 2, "0x7C34", "ZR-MOXE3"),
    (119, 2, "0x7C35", "ZR-MOX3"),
    (120, 2, "0x7C35", "ZR-MOXE3"),
    (121, 2, "0x7C36", "ZR-MOX3"),
    (123, 2, "0x7C36", "ZR-MOXE3"),
]

# A commented-out key: the reader sees it as absent; the value shows what it would be.
def off(key, value):
    return (";" + key, value)


def first_generation(pid, product):
    return [
        ("Config", [("Version", "0"), ("Name", "FUJITSU Default")]),
        ("USB Device Descriptor", [("VID", "0x5E3B"), ("PID", pid), ("bcdDevice", "0x0001")]),
        ("USB String Descriptor", [
            ("Manufacturer", "KAVELIN"),
            ("Product", product),
            ("SerialNumber", "0000000000000002"),
        ]),
        ("USB Configuration Descriptor", [
            ("bmAttributes-HS", "0xC0"),
            ("bmAttributes-FS", "0xC0"),
            ("bmAttributes-SS", "0xC0"),
            ("bMaxPower-HS", "0x04"),
            ("bMaxPower-FS", "0x04"),
            ("bMaxPower-SS", "0x01"),
        ]),
        ("USB Interface Descriptor", [
            off("bInterfaceSubClass-HS", "0x06"),
            off("bInterfaceSubClass-FS", "0x06"),
            off("bInterfaceSubClass-SS", "0x06"),
        ]),
        ("SCSI INQUIRY", [
            ("Flag", "1"),
            # Quoted so that the reader keeps the trailing blanks.
            ("Vendor", '"KAVELIN "'),
            ("Product", '"External HDD    "'),
            ("RevLvl", "0001"),
            ("Vendor-1", ""),
            ("Product-1", ""),
            ("RevLvl-1", ""),
        ]),
        ("LUN", [
            ("RMB", "0"),
            ("MultiLUN", "0"),
            ("SizeLUN0", "256"),
            ("TypeLUN0", "0"),
            ("HideLUN1", "0"),
        ]),
        ("LED", [("Flag", "0")] + [(k, "0x00") for k in (
            "USB2Port", "USB3Port", "AuthPort", "USB2Func", "USB3Func", "AuthFunc")]),
        ("Authentication", [("AuthWaitTime", "1"), ("SecretDelKey", DELETE_KEY)]),
        ("SATA Automatic Standby", [
            off("StandbyTransTime", "600"),
            off("StandbyBlinkDuty", "1"),
            off("StandbyBlinkTime", "10"),
        ]),
        ("Control Parameter", [
            ("SSCDisable", "1"),
            off("WaitTimeSATADevDetect", "2500"),
            off("WaitTimeSATAPHYReady", "90"),
            off("WaitTimeUSB3HostStart", "400"),
        ]),
    ]


def empty(*keys):
    return [(k, "") for k in keys]


def numbered(indices, names, values=None):
    values = values or {}
    return [(f"{n}-{name}", values.get(f"{n}-{name}", "")) for n in indices for name in names]


def second_generation(pid, product):
    inquiry = numbered(range(5), ("Vendor", "Product", "RevLvl"),
                       {"0-Vendor": "KAVELIN", "0-Product": "External HDD", "0-RevLvl": "0001"})
    units = numbered(range(3), ("Type", "Flag", "Size", "Rsv", "Inq"),
                     {"0-Type": "0", "0-Flag": "0x00", "0-Size": "0", "0-Rsv": "0", "0-Inq": "1"})
    access_led = numbered((2, 3), (
        "Port", "Active", "Flag", "Blink", "TransBlink", "TransTime", "BreathTime", "Extend"), {
            "2-Port": "6", "2-Active": "1", "2-Flag": "0x1B", "2-Blink": "1",
            "2-TransBlink": "5", "2-TransTime": "5", "2-BreathTime": "0", "2-Extend": "0",
            "3-Port": "7", "3-Active": "1", "3-Flag": "0x1B", "3-Blink": "1",
            "3-TransBlink": "5", "3-TransTime": "5", "3-BreathTime": "0", "3-Extend": "0",
        })
    return [
        ("Config", [("Version", "2"), ("Name", "FUJITSU Default FET-Control")]),
        ("USB Device Descriptor", [("VID", "0x5E3B"), ("PID", pid), ("bcdDevice", "0x0001")]),
        ("USB String Descriptor", [
            ("Manufacturer", "KAVELIN"),
            ("Product", product),
            ("SerialNumber", "0000000000000001"),
        ]),
        ("USB Configuration Descriptor", [
            ("bmAttributes-HS", "0xC0"),
            ("bMaxPower-HS", "0x04"),
            ("bmAttributes-FS", "0xC0"),
            ("bMaxPower-FS", "0x04"),
            ("bmAttributes-SS", "0xC0"),
            ("bMaxPower-SS", "0x01"),
        ]),
        ("USB Interface Descriptor", [
            off("bInterfaceSubClass-HS", "0x06"),
            off("bInterfaceSubClass-FS", "0x06"),
            off("bInterfaceSubClass-SS", "0x06"),
        ]),
        ("Device Identification VPD", empty("CompanyId")),
        ("SCSI INQUIRY", inquiry),
        ("LUN NORMAL", [("Count", "1"), ("Flag", "0x00")] + units),
        ("Authentication", [("AuthWait", "1"), ("DeleteKey", DELETE_KEY)]),
        ("GPIO Initialize", [(f"{n:02d}-Flag", "") for n in range(3, 9)] + [("09-Flag", "0x00")]),
        ("Power Control", [("Flag", "2")] + empty("Port", "Active")),
        ("FET Control", empty("Count", "Flag", "0-Port", "0-Active", "0-Ch", "0-Delay1",
                              "0-Delay2")),
        ("FAN Control", [
            ("Interval", "30"),
            ("Flag", "0"),
            ("Count", "1"),
            ("0-Flag", "1"),
            ("0-Port", "3"),
            ("0-Active", "0"),
            ("0-ThrldMAX", "45"),
        ] + empty("0-ThrldPWM", "0-SpeedPWM", "0-PulsePWM")),
        ("Status LED", [
            ("Count", "1"),
            ("0-InPort", "5"),
            ("0-InActive", "1"),
            ("0-OutPort", "8"),
            ("0-OutActive", "1"),
            ("0-Flag", "1"),
            ("0-Blink", "1"),
        ]),
        ("Access LED", access_led),
        ("Secret LED", [("E-Port", "0xFF")] + empty("E-Active", "E-Flag", "E-Blink", "E-Trans") +
         [("A-Port", "0xFF")] + empty("A-Active", "A-Flag", "A-Blink", "A-Trans")),
        ("Button", empty("Port", "Active", "Double", "Hold")),
        ("Automatic Standby", empty("Timer", "BlinkPulse", "BlinkTime")),
        ("Control Parameter", [
            ("SFlashSecret", "1"),
            ("SFlashSize", "131072"),
            ("SFlashPage", "4096"),
            ("SFlashInfo", ""),
            ("SSCDisable", "1"),
        ] + empty("NCQDisable", "LinkupAlways", "2TBOverMode")),
        ("Firmware Parameter", empty("USB3F_FPLC1", "USB3F_FPLC2") + [("CustomParam-0", "1")]),
    ]


def render(sections):
    lines = [HEADER, ""]
    for index, (name, keys) in enumerate(sections):
        if index:
            lines.append("")
        lines.append(f"[{name}]")
        lines.extend(f"{key}={value}" for key, value in keys)
    text = "".join(line + "\r\n" for line in lines)
    return b"\xff\xfe" + text.encode("utf-16-le")


def main():
    root = pathlib.Path(__file__).resolve().parent.parent
    out_dir = pathlib.Path(sys.argv[1]) if len(sys.argv) > 1 else root / "resources" / "config"
    out_dir.mkdir(parents=True, exist_ok=True)
    for rid, generation, pid, product in MODELS:
        build = first_generation if generation == 1 else second_generation
        (out_dir / f"config_{rid}.ini").write_bytes(render(build(pid, product)))


if __name__ == "__main__":
    main()
