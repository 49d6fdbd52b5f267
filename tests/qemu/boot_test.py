#!/usr/bin/env python3
"""Boots a real Linux kernel under QEMU with mox3-updater inside and checks that the program
runs there against the kernel's own sysfs, and that the USB stack the drives are reached
through is up. Exit code 77 (skipped) when QEMU or the kernel cannot be had."""

import argparse
import json
import os
import socket
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402

SKIP = 77


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--program", required=True)
    parser.add_argument("--version", required=True, help="the version the program must report")
    parser.add_argument("--cache", default=None)
    parser.add_argument("--timeout", type=float, default=300)
    args = parser.parse_args()

    check = harness.Checks("qemu_boot")

    try:
        guest = harness.Guest(program=args.program, cache_dir=args.cache,
                              boot_timeout=args.timeout)
    except harness.Unavailable as e:
        print("SKIPPED: cannot boot a QEMU guest here: %s" % e)
        return SKIP
    with guest:
        print("guest booted in %.1f s from %s (initramfs built in %.1f s, guest uptime at its "
              "prompt %.1f s)" % (guest.boot_seconds, os.path.basename(guest.kernel_image()),
                                  guest.initramfs_seconds, guest.guest_uptime))

        # The console protocol itself: exit code, standard error, output without a final
        # newline, several lines, quoting, a command longer than a terminal line.
        rc, out = guest.run("printf 'a b\\n\"c\"'; echo ' to stderr' >&2; exit 3")
        check(rc == 3 and out == 'a b\n"c" to stderr\n',
              "protocol: expected exit code 3 and exact output, got %d" % rc, repr(out))
        rc, out = guest.run("echo %s | wc -c" % ("x" * 5000))
        check(rc == 0 and out.strip() == "5001", "a 5000-character command line", out)

        rc, out = guest.run("mox3-updater --version")
        check(rc == 0 and out.startswith("mox3-updater %s\n" % args.version),
              "mox3-updater --version: exit code %d" % rc, out)
        rc, out = guest.run("mox3-updater list")
        check(rc == 0 and "census: 0 (no known drive attached)" in out
              and "0 bridge drive(s)" in out,
              "mox3-updater list must find no drive: exit code %d" % rc, out)
        rc, out = guest.run("mox3-updater list --json")
        try:
            listing = json.loads(out)
            check(rc == 0 and listing.get("census") == 0 and listing.get("drives") == [],
                  "mox3-updater list --json must list no drive", out)
        except ValueError:
            check(False, "mox3-updater list --json printed no JSON", out)

        # The xHCI controller's two root hubs (USB 2 and USB 3): the stack is loaded.
        rc, out = guest.run("ls /sys/bus/usb/devices")
        check(rc == 0 and {"usb1", "usb2"} <= set(out.split()),
              "ls /sys/bus/usb/devices must show the xHCI root hubs", out)
        rc, out = guest.run("cat /sys/bus/usb/devices/usb*/product")
        check(rc == 0 and out.count("xHCI Host Controller") == 2,
              "the root hubs must belong to the xHCI driver", out)

        for command in ("mox3-updater --version", "mox3-updater list",
                        "ls /sys/bus/usb/devices"):
            rc, out = guest.run(command)
            print("$ %s\n%s[exit code %d]" % (command, out, rc))

    # A usb-redir device whose socket nobody serves yet: QEMU must start anyway, the guest
    # must see nothing but the root hubs, and QEMU must connect once the socket is served.
    with tempfile.TemporaryDirectory(prefix="mox3-qemu-test-") as tmp:
        unserved = os.path.join(tmp, "unserved.sock")
        with harness.Guest(program=args.program, cache_dir=args.cache,
                           usbredir_sockets=[unserved], boot_timeout=args.timeout) as guest:
            print("guest with a usb-redir device booted in %.1f s from %s"
                  % (guest.boot_seconds, os.path.basename(guest.kernel_image())))
            rc, out = guest.run("ls /sys/bus/usb/devices")
            check(rc == 0 and sorted(out.split()) == ["1-0:1.0", "2-0:1.0", "usb1", "usb2"],
                  "no USB device may be attached while the socket is unserved", out)
            answer = guest.monitor("info usb")
            check("USB Redirection Device" in answer,
                  "QEMU's monitor must show the usb-redir device", answer)
            with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as server:
                server.bind(unserved)
                server.listen(1)
                server.settimeout(30)
                try:
                    connection, _ = server.accept()
                    connection.close()
                except socket.timeout:
                    check(False, "QEMU did not connect to the usb-redir socket within 30 s",
                          guest.qemu_messages())

    return check.result()


if __name__ == "__main__":
    harness.run_test_script(main)
