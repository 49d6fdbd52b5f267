#!/usr/bin/env python3
"""Emulated drives on a real kernel's USB bus: each drive is served to a QEMU guest over
usbredir (`mox3-updater emulator serve`), and the program inside the guest finds, identifies and
updates it through the kernel's usb-storage driver, sysfs and SG_IO, the bridge's restarts
included (the drive leaves the bus and comes back with another identity); a file system on the
disk behind the bridge outlives the update. Exit code 77 (skipped) when QEMU or the kernel
cannot be had."""

import argparse
import json
import os
import re
import signal
import struct
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402

SKIP = 77
SCALE = "10"  # every wait of program and drives runs ten times faster
SERIAL = "4A3F0012B7C4D9E1"


class Bench:
    """The host side: emulated drives in a folder, each served on a socket of its own."""

    def __init__(self, host_cli):
        self.cli = host_cli
        self.folder = tempfile.TemporaryDirectory(prefix="mox3-qemu-")
        self.work = self.folder.name
        self.servers = []
        self.env = dict(os.environ, MOX3_TIME_SCALE=SCALE)
        self.run("image", "make", "--generation", "2", "--version", "01000500", "--size",
                 "120000", "-o", self.path("old.bin"))
        self.run("image", "make", "--generation", "2", "--version", "01000700", "--size",
                 "120000", "-o", self.path("firmware_C311.bin"))

    def path(self, name):
        return os.path.join(self.work, name)

    def run(self, *args):
        result = subprocess.run([self.cli] + list(args), env=self.env, capture_output=True,
                                text=True)
        if result.returncode != 0:
            raise RuntimeError("%s: %s%s" % (" ".join(args), result.stdout, result.stderr))
        return result.stdout

    def drive(self, name, serial=SERIAL, *options):
        self.run("emulator", "create", self.path(name), "--generation", "2", "--serial", serial,
                 "--firmware", self.path("old.bin"), *options)
        return self.serve(name)

    def plain_disk(self, name):
        self.run("emulator", "create-disk", self.path(name), "--vid", "0x0BC2", "--pid",
                 "0x2322", "--product", "Portable")
        return self.serve(name)

    def serve(self, name):
        socket_path = self.path(name + ".sock")
        log = open(self.path(name + ".serve.log"), "w")
        server = subprocess.Popen([self.cli, "emulator", "serve", self.path(name), "--usbredir",
                                   socket_path], env=self.env, stdout=log, stderr=log)
        self.servers.append(server)
        deadline = time.monotonic() + 10
        while not os.path.exists(socket_path):
            if server.poll() is not None or time.monotonic() > deadline:
                raise RuntimeError("the drive %s is not served: see %s" % (name, log.name))
            time.sleep(0.05)
        return socket_path

    def show(self, name, *options):
        return self.run("emulator", "show", self.path(name), *options)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        for server in self.servers:
            server.send_signal(signal.SIGTERM)
        for server in self.servers:
            try:
                server.wait(timeout=10)
            except subprocess.TimeoutExpired:
                server.kill()
        self.folder.cleanup()


def partition_table(blocks, block_length):
    """A master boot record with one Linux partition from 1 MiB to the end of a disk of
    `blocks` logical blocks: its addresses count logical blocks, whatever their length."""
    start = 1024 * 1024 // block_length
    entry = struct.pack("<B3sB3sII", 0, b"\xfe\xff\xff", 0x83, b"\xfe\xff\xff", start,
                        blocks - start)
    return bytes(446) + entry + bytes(48) + b"\x55\xaa"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--program", required=True, help="the mox3-updater for the guest")
    parser.add_argument("--host-program", required=True, help="the mox3-updater for the host")
    parser.add_argument("--cache", default=None)
    parser.add_argument("--timeout", type=float, default=300)
    args = parser.parse_args()

    check = harness.Checks("qemu scenarios")

    def guest_with(sockets, bench, files=None):
        return harness.Guest(program=args.program, cache_dir=args.cache,
                             usbredir_sockets=sockets, boot_timeout=args.timeout,
                             files=dict(files or {}, **{
                                 "/images/firmware_C311.bin": bench.path("firmware_C311.bin")}))

    def settle(guest, count):
        # The kernel has probed the attached disks when as many SCSI generic nodes exist.
        rc, out = guest.run("for i in $(seq 100); do [ $(ls /dev/sg* 2>/dev/null | wc -l) -ge %d ]"
                            " && break; sleep 0.1; done; ls /dev/sg*" % count)
        return out

    def files_hold(guest, what):
        # Once the drive's partition is back: its blocks are 4096 bytes and every file reads
        # with the digest it was written with.
        rc, out = guest.run(
            "for i in $(seq 100); do p=$(findfs LABEL=mox3data 2>/dev/null) && break; "
            "sleep 0.1; done; echo $p; cat /sys/block/$(basename $p | tr -d 0-9)/queue/"
            "logical_block_size; mount -o ro -t ext2 $p /mnt && sha256sum -c /root/sums && "
            "umount /mnt", timeout=args.timeout)
        check(rc == 0 and "4096" in out.split()[1:2] and out.count(": OK") == 4, what, out)

    update = ("MOX3_TIME_SCALE=%s mox3-updater update --yes --image-dir /images "
              "--state-dir /tmp/state" % SCALE)

    try:
        harness.find_tools(args.cache)
    except harness.Unavailable as e:
        print("SKIPPED: cannot boot a QEMU guest here: %s" % e)
        return SKIP

    # One drive beside a plain USB disk: found, identified, updated through two restarts.
    with Bench(args.host_program) as bench:
        sockets = [bench.drive("d1"), bench.plain_disk("p1")]
        with guest_with(sockets, bench) as guest:
            nodes = settle(guest, 2)
            check(len(nodes.split()) == 2, "the kernel attached both disks", nodes)
            rc, out = guest.run("mox3-updater list")
            check(rc == 0 and "census: 1 (one known drive attached)" in out
                  and "1 bridge drive(s)" in out
                  and '0x5E3B:0x7C34 "KAVELIN" "ZR-MOX3" serial "%s"' % SERIAL in out
                  and "firmware V01L00R05, normal firmware, generation 2" in out,
                  "list finds the drive with its identity, version and generation 2", out)
            check("0x0BC2" not in out,
                  "a plain USB disk that rejects vendor commands is not listed", out)
            rc, out = guest.run(update, timeout=args.timeout)
            check(rc == 0 and "Complete" in out, "update --yes completes", out)
            rc, out = guest.run("mox3-updater list")
            check('0x5E3B:0x7C34 "KAVELIN" "ZR-MOX3" serial "%s"' % SERIAL in out
                  and "firmware V01L00R07, normal firmware" in out,
                  "the drive is back with the maker's identity, its serial and V01L00R07",
                  out)
        shown = bench.show("d1")
        check("firmware version: V01L00R07" in shown
              and "flash: firmware at 8192 intact, version V01L00R07" in shown,
              "the emulator's flash holds the new firmware", shown)

    # A file system on a drive of 4096-byte blocks outlives an update: the partition table,
    # ext2 and the files' digests read the same once the drive is back.
    with Bench(args.host_program) as bench:
        blocks = 16384
        socket_path = bench.drive("d5", SERIAL, "--sector", "4096", "--blocks", str(blocks * 8))
        mbr = partition_table(blocks, 4096)
        with guest_with([socket_path], bench, {"/root/mbr": mbr}) as guest:
            settle(guest, 1)
            rc, out = guest.run("d=/dev/$(ls /sys/block | grep ^sd); echo $d; "
                                "cat /sys/block/${d#/dev/}/queue/logical_block_size")
            disk = out.split()[0] if out.split() else "/dev/sda"
            check(rc == 0 and out.split()[1:] == ["4096"],
                  "the kernel reads the drive as 4096-byte blocks", out)
            rc, out = guest.run(
                "dd if=/root/mbr of=%s bs=512 count=1 conv=notrunc 2>/dev/null && "
                "blockdev --rereadpt %s && mke2fs -q -b 4096 -L mox3data %s1 && mkdir -p /mnt && "
                "mount -t ext2 %s1 /mnt && mkdir /mnt/dir && "
                "dd if=/dev/urandom of=/mnt/big bs=65536 count=160 2>/dev/null && "
                "dd if=/dev/urandom of=/mnt/dir/odd bs=1 count=12345 2>/dev/null && "
                "seq 100000 > /mnt/dir/numbers && echo small > /mnt/small && "
                "sha256sum /mnt/big /mnt/small /mnt/dir/odd /mnt/dir/numbers > /root/sums && "
                "cat /root/sums" % (disk, disk, disk, disk), timeout=args.timeout)
            check(rc == 0 and len(re.findall(r"^[0-9a-f]{64}  /mnt/", out, re.M)) == 4,
                  "partitioned, ext2 made, four files written and their digests kept", out)
            # Still mounted: the update refuses, names the mount point and sends the drive
            # nothing that changes it.
            rc, out = guest.run(update + " 2>&1", timeout=args.timeout)
            shown = bench.show("d5")
            check(rc == 1 and "is mounted on /mnt" in out
                  and "firmware version: V01L00R05" in shown and "mode: normal firmware" in shown,
                  "with its file system mounted the drive is refused and left as it was",
                  out + shown)
            rc, out = guest.run("umount /mnt && echo unmounted")
            before = bench.show("d5", "--digest")
            rc, out = guest.run(update, timeout=args.timeout)
            check(rc == 0 and "Complete" in out, "update --yes completes", out)
            kept = re.search(r"Backup of the flash: (\S+)", out)
            check(kept is not None, "the update kept the flash it replaced", out)
            after = bench.show("d5", "--digest")
            digest = re.search(r"disk digest: \w+", before)
            check(digest is not None and digest.group(0) in after
                  and "firmware version: V01L00R07" in after,
                  "the update wrote V01L00R07 and nothing on the disk (its digest)",
                  before + after)
            files_hold(guest, "the drive is back with 4096-byte blocks and every file's digest holds")
            # An update killed while it writes the flash, and the run that recovers the drive
            # from its loader: the files are still there, at 4096-byte blocks.
            rc, out = guest.run("MOX3_KILL_AT_REQUEST=60 " + update + " --force",
                                timeout=args.timeout)
            check(rc != 0 and "mode: update loader" in bench.show("d5"),
                  "a forced update killed while it writes leaves the drive in its loader", out)
            settle(guest, 1)
            rc, out = guest.run(update, timeout=args.timeout)
            check(rc == 0 and "Complete" in out, "the next run recovers the drive", out)
            after = bench.show("d5", "--digest")
            check(digest is not None and digest.group(0) in after,
                  "the interrupted update and its recovery wrote nothing on the disk", after)
            files_hold(guest, "after the recovery the drive has 4096-byte blocks and every file")
            # The way back: the backup of the first update written back leaves the flash as it
            # was and the files in place, and verify finds the flash equal to that backup.
            backup = kept.group(1) if kept else "/tmp/state/backups/none.bin"
            rc, out = guest.run("MOX3_TIME_SCALE=%s mox3-updater restore %s --yes --state-dir "
                                "/tmp/state" % (SCALE, backup), timeout=args.timeout)
            after = bench.show("d5", "--digest")
            check(rc == 0 and "firmware version: V01L00R05" in after
                  and digest is not None and digest.group(0) in after,
                  "restore puts the old firmware back and writes nothing on the disk", out + after)
            files_hold(guest, "after the restore the drive has 4096-byte blocks and every file")
            rc, out = guest.run("MOX3_TIME_SCALE=%s mox3-updater verify --against %s --yes --json "
                                "--state-dir /tmp/state" % (SCALE, backup), timeout=args.timeout)
            try:
                regions = json.loads(out)["regions"]
            except (ValueError, KeyError):
                regions = []
            check(rc == 0 and len(regions) >= 2 and all(r["matches"] for r in regions),
                  "verify finds every region of the flash equal to the backup", out)
            files_hold(guest, "after verify the drive has 4096-byte blocks and every file")

    # A run killed while it writes leaves the drive in its loader; a second run recovers it
    # with the serial number from the marker.
    with Bench(args.host_program) as bench:
        with guest_with([bench.drive("d2")], bench) as guest:
            settle(guest, 1)
            rc, out = guest.run("MOX3_KILL_AT_REQUEST=60 " + update, timeout=args.timeout)
            check(rc != 0, "the first run is killed in the middle", out)
            settle(guest, 1)
            rc, out = guest.run("mox3-updater list")
            check("0x04C5:0x" in out and "update loader" in out,
                  "the drive waits in its loader with the bare bridge's identity", out)
            rc, out = guest.run(update, timeout=args.timeout)
            check(rc == 0 and "Complete" in out, "a second run finishes the update", out)
            rc, out = guest.run("mox3-updater list")
            check('0x5E3B:0x7C34 "KAVELIN" "ZR-MOX3" serial "%s"' % SERIAL in out
                  and "firmware V01L00R07" in out,
                  "the recovered drive has the maker's identity and its own serial", out)

    # Two drives: the census counts both.
    with Bench(args.host_program) as bench:
        sockets = [bench.drive("d3", "SERIAL0003"), bench.drive("d4", "SERIAL0004")]
        with guest_with(sockets, bench) as guest:
            settle(guest, 2)
            rc, out = guest.run("mox3-updater list")
            check(out.startswith("census: 2") and "2 bridge drive(s)" in out,
                  "the census gives 2 for two attached drives", out)
            ports = re.findall(r"USB port (\S+)", out)
            check(len(ports) == 2 and ports[0] != ports[1] and all("-" in p for p in ports),
                  "each drive has its own USB port, bus and port chain as sysfs names it", out)
            # An update is refused and names both; --device picks one, and only it changes.
            rc, out = guest.run(update + " 2>&1", timeout=args.timeout)
            check(rc == 1 and "serial SERIAL0003, port " in out
                  and "serial SERIAL0004, port " in out,
                  "several drives are refused, each named with its serial number and port", out)
            rc, out = guest.run(update + " --device SERIAL0004", timeout=args.timeout)
            check(rc == 0 and "Complete" in out, "--device names the drive to update", out)
            shown3, shown4 = bench.show("d3"), bench.show("d4")
            check("firmware version: V01L00R07" in shown4 and "firmware version: V01L00R05" in shown3,
                  "the drive named was updated through its restarts, the other one left alone",
                  shown3 + shown4)
            # --all: both at once, each through its own restarts (the second one forced).
            rc, out = guest.run(update + " --all --force", timeout=args.timeout)
            shown3, shown4 = bench.show("d3"), bench.show("d4")
            check(rc == 0 and out.count("updated, ") == 2
                  and "firmware version: V01L00R07" in shown3 and "firmware version: V01L00R07" in shown4,
                  "update --all updates both drives at once", out + shown3 + shown4)

    return check.result()


if __name__ == "__main__":
    harness.run_test_script(main)
