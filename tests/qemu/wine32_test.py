#!/usr/bin/env python3
"""The shipped 32-bit Windows programs under 32-bit Wine, inside a QEMU guest: for machines
whose kernel cannot run 32-bit programs, while the guest's kernel can (IA32 emulation).

The guest mounts the host's /usr and /etc read-only over virtio-9p and runs Wine from them in a
chroot whose writable places are memory; a 32-bit Wine prefix is made there. Then:
  - the unit tests (mox3_tests.exe), on a virtual X display when the host has Xvfb;
  - the command line (mox3-updater-cli.exe) on an emulated drive attached over usbredir, which
    Wine reaches as \\\\.\\D: (a raw device drive, D:: in the prefix's dosdevices) through the
    guest kernel's SG_IO: `bridge version|status|inquiry|capacity --json` must answer as the
    Linux program does on /dev/sdX; `list` and `update` show how far Wine's device tree goes;
  - the dialog program through its test driver (tests/gui/gui_test.sh update), with Xvfb.

    wine32_test.py --bin build-win/bin --host-program build/bin/mox3-updater [--cache DIR]

Exit code 77 (skipped) when the guest, or 32-bit Wine on the host's disk, cannot be had. Each
part that could not run is printed as SKIPPED; none is counted as passed."""

import argparse
import json
import os
import shlex
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import harness  # noqa: E402
import scenarios_test  # noqa: E402

SKIP = 77
PROGRAMS = ("mox3_tests.exe", "mox3-updater-cli.exe", "mox3-updater.exe", "mox3_gui_driver.exe")
GUI_TEST = os.path.join(os.path.dirname(HERE), "gui", "gui_test.sh")
WINE = "/usr/lib/wine/wine"

# The guest's root for Wine: the host's /usr and /etc (shared), the merged-/usr links, and
# memory for everything written. /root holds the Wine prefix (about 600 MB).
SYSROOT_SETUP = r"""
cd /sysroot
for l in bin lib lib32 lib64 sbin; do ln -sfn usr/$l $l; done
mkdir -p proc sys dev tmp run root var/tmp
mount -t proc proc proc && mount -t sysfs sysfs sys && mount -t devtmpfs devtmpfs dev &&
mount -t tmpfs -o size=200m tmpfs tmp && mount -t tmpfs tmpfs run &&
mount -t tmpfs -o size=1200m tmpfs root && mount -t tmpfs tmpfs var/tmp &&
mkdir -p dev/shm && mount -t tmpfs tmpfs dev/shm && cp -r /sysroot/mox3 /sysroot/root/bin
"""
# The .NET and HTML engines are left out of the prefix: the programs use neither, and looking
# for them costs the prefix's making time.
ENV = ("HOME=/root WINEPREFIX=/root/wine WINEARCH=win32 WINEDEBUG=-all LANG=C.UTF-8 "
       "WINEDLLOVERRIDES=mscoree,mshtml= "
       "PATH=/usr/bin:/bin TMPDIR=/tmp")


def in_root(command):
    """A guest command that runs `command` in the Wine root, with Wine's environment."""
    return "chroot /sysroot /usr/bin/env %s /bin/sh -c %s" % (ENV, shlex.quote(command))


def without_device(text):
    """A command's JSON answer without the device's name, which differs between systems."""
    try:
        answer = json.loads(text)
    except ValueError:
        return None
    answer.pop("device", None)
    return answer


def comparable(answer, later_commands):
    """A bridge answer to compare with the other system's. Bytes 4 and 5 of the status block
    count the vendor commands since the bridge started (little-endian in the normal firmware):
    the answer that came first is counted forward by the commands sent after it."""
    if answer is None or answer.get("command") != "bridge status":
        return answer
    block = bytes.fromhex(answer.get("bytes", "").replace(" ", ""))
    if len(block) != 12:
        return answer
    count = int.from_bytes(block[4:6], "little") + later_commands
    block = block[:4] + count.to_bytes(2, "little") + block[6:]
    return dict(answer, bytes=" ".join("%02X" % b for b in block))


def stage_programs(bin_dir, into):
    """Copies the programs (without debugging sections, which only slow the shared folder)
    and the dialog's test script into `into`; the names of the programs missing."""
    strip = shutil.which("i686-w64-mingw32-strip")
    missing = []
    for name in PROGRAMS:
        source = os.path.join(bin_dir, name)
        if not os.path.isfile(source):
            missing.append(name)
            continue
        target = os.path.join(into, name)
        if not strip or subprocess.run([strip, "--strip-debug", "-o", target, source],
                                       capture_output=True).returncode != 0:
            shutil.copyfile(source, target)
    shutil.copyfile(GUI_TEST, os.path.join(into, "gui_test.sh"))
    return missing


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--bin", required=True, help="the folder of the 32-bit programs")
    parser.add_argument("--host-program", required=True, help="the Linux mox3-updater")
    parser.add_argument("--cache", default=None)
    parser.add_argument("--timeout", type=float, default=300)
    args = parser.parse_args()
    check = harness.Checks("wine32")
    started = time.monotonic()

    try:
        kernel = harness.find_tools(args.cache)["kernel"]
    except harness.Unavailable as e:
        print("SKIPPED: cannot boot a QEMU guest here: %s" % e)
        return SKIP
    with open(os.path.join(kernel, "load-order")) as f:
        if "9p.ko" not in f.read().split():
            print("SKIPPED: the guest's kernel has no 9p module: run tests/qemu/prepare.sh again")
            return SKIP
    if not os.path.isfile(WINE) or not os.path.isfile("/lib/ld-linux.so.2"):
        print("SKIPPED: no 32-bit Wine on this machine (packages wine32:i386, libwine:i386)")
        return SKIP

    with tempfile.TemporaryDirectory(prefix="mox3-wine32-") as staged, \
            scenarios_test.Bench(args.host_program) as bench:
        missing = stage_programs(args.bin, staged)
        shutil.copyfile(bench.path("firmware_C311.bin"), os.path.join(staged, "firmware_C311.bin"))
        if missing:
            print("FAILED: %s lacks %s" % (args.bin, ", ".join(missing)), file=sys.stderr)
            return 1
        drive_socket = bench.drive("d1")
        shares = {"/sysroot/usr": "/usr", "/sysroot/etc": "/etc", "/sysroot/mox3": staged}
        with harness.Guest(program=args.host_program, cache_dir=args.cache, shares=shares,
                           usbredir_sockets=[drive_socket], memory_mb=2048,
                           boot_timeout=args.timeout) as guest:
            print("guest booted in %.1f s" % guest.boot_seconds)

            def step(what, command, timeout=args.timeout):
                begin = time.monotonic()
                rc, out = guest.run(command, timeout=timeout)
                print("[%s: exit code %d, %.1f s]" % (what, rc, time.monotonic() - begin))
                return rc, out

            rc, out = step("the Wine root", SYSROOT_SETUP)
            if rc != 0:
                check(False, "the guest's Wine root is made", out)
                return check.result()
            # A server that stays keeps Wine's own services running between the programs,
            # which spares each program seconds of starting them under software emulation.
            rc, out = step("Wine prefix", in_root("%s wineboot -i 2>&1; %sserver -w; %sserver -p"
                                                  % (WINE, WINE, WINE)), timeout=600)
            rc, out = step("version", in_root("%s /root/bin/mox3-updater-cli.exe --version"
                                              % WINE))
            check(rc == 0 and out.startswith("mox3-updater "),
                  "the 32-bit command line starts under 32-bit Wine", out)
            if rc != 0:
                return check.result()

            # The drive: /dev/sdX in the guest, D: for Wine.
            rc, out = step("drive", "for i in $(seq 200); do d=$(ls /sys/block | grep ^sd | "
                           "head -n 1); [ -n \"$d\" ] && break; sleep 0.1; done; echo $d")
            disk = out.strip()
            check(rc == 0 and disk.startswith("sd"), "the emulated drive is a disk in the guest",
                  out)
            rc, out = step("D:", in_root("ln -s /dev/%s /root/wine/dosdevices/d:: && "
                                         "ls -l /root/wine/dosdevices/" % disk))
            for what in ("version", "status", "inquiry", "capacity"):
                rc_linux, linux = guest.run("mox3-updater bridge %s /dev/%s --json" % (what, disk))
                rc_wine, windows = step("bridge " + what, in_root(
                    "%s /root/bin/mox3-updater-cli.exe bridge %s '\\\\.\\D:' --json" % (WINE, what)))
                linux_answer = comparable(without_device(linux), 1)
                same = linux_answer is not None and \
                    linux_answer == comparable(without_device(windows), 0)
                check(rc_linux == 0 and rc_wine == 0 and same,
                      "bridge %s through \\\\.\\D: answers as on /dev/%s" % (what, disk),
                      "Linux:\n%s\nWindows:\n%s" % (linux, windows))

            # How far the Windows device tree goes under Wine: Wine lists no disk interface for
            # the drive, so the walk ends before it (README, Windows). A Wine that lists one
            # fails these checks, and the README is to be brought up to date.
            rc, out = step("list", in_root("%s /root/bin/mox3-updater-cli.exe list --json" % WINE))
            listing = without_device(out) or {}
            check(rc == 0 and listing.get("census") == 0 and listing.get("drives") == [],
                  "list under Wine finds no drive: no disk interface in Wine's device tree", out)
            rc, out = step("update", in_root(
                "MOX3_TIME_SCALE=%s %s /root/bin/mox3-updater-cli.exe update --yes --json"
                % (scenarios_test.SCALE, WINE)))
            refusal = (without_device(out) or {}).get("error") or {}
            check(rc == 1 and refusal.get("code") == "no-drive",
                  "update under Wine stops where list does: no drive", out)

            # The unit tests, on a virtual display when there is one.
            display = os.path.isfile("/usr/bin/Xvfb")
            if display:
                rc, out = step("Xvfb", in_root(
                    "Xvfb :7 -screen 0 1024x768x24 -nolisten tcp >/tmp/xvfb.log 2>&1 & "
                    "for i in $(seq 600); do [ -e /tmp/.X11-unix/X7 ] && break; sleep 0.1; "
                    "done; ls /tmp/.X11-unix/X7"))
                display = rc == 0
            xvfb = "export DISPLAY=:7; " if display else ""
            rc, out = step("mox3_tests.exe", in_root(
                "cd /tmp && %s%s /root/bin/mox3_tests.exe --gtest_brief=1 2>&1" % (xvfb, WINE)),
                timeout=900)
            print(out[-3000:])
            check(rc == 0 and "[  PASSED  ]" in out and "FAILED" not in out,
                  "the 32-bit unit tests pass under 32-bit Wine", out[-6000:])
            if not display:
                print("SKIPPED: the dialog's tests (no virtual X display in the guest)")
            else:
                rc, out = step("dialog", in_root(
                    "cd /tmp && %sMOX3_WINESERVER_STAYS=1 bash /root/bin/gui_test.sh update %s "
                    "/root/bin/mox3-updater.exe /root/bin/mox3_gui_driver.exe "
                    "/root/bin/mox3-updater-cli.exe 2>&1" % (xvfb, WINE)), timeout=900)
                print(out[-3000:])
                check(rc == 0, "the 32-bit dialog updates an emulated drive under 32-bit Wine",
                      out[-6000:])
    print("wine32: %.0f s in all" % (time.monotonic() - started))
    return check.result()


if __name__ == "__main__":
    harness.run_test_script(main)
