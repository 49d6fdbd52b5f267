#!/usr/bin/env python3
"""Boots a Linux guest under QEMU with mox3-updater inside and runs shell commands in it.

The guest is a Debian kernel (see prepare.sh) with an initramfs made here: busybox, the
storage and USB modules, the program (statically linked, or dynamically with the shared
libraries it needs copied beside it), any extra files, and an /init that mounts proc, sysfs and
devtmpfs, loads the modules and then serves commands over the serial console. Each command is
sent base64-encoded, runs under `sh` with its standard output and error captured, and comes
back between markers with its exit code. USB devices are attached through QEMU's usb-redir
device: one per given socket, on an xHCI controller. Host folders can be shared read-only
(shares={guest path: host folder}, over virtio-9p); /init mounts them before the prompt.

    from harness import run_guest
    results = run_guest(["mox3-updater list"], usbredir_sockets=["/tmp/dev.sock"])
    for rc, output in results: ...

or with more control:

    with Guest(usbredir_sockets=[...]) as guest:
        rc, out = guest.run("mox3-updater list")
        guest.monitor("info usb")

From the shell:

    tests/qemu/harness.py [--cache DIR] [--program FILE] [--usbredir SOCKET]... -- CMD...

When QEMU, its firmware or the kernel is missing, `Unavailable` is raised (exit code 77 from the
command line), so that callers can skip rather than fail.

Standard library only.
"""

import argparse
import base64
import gzip
import os
import re
import selectors
import shutil
import socket
import stat
import subprocess
import sys
import tempfile
import time
import uuid

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE_ROOT = os.path.dirname(os.path.dirname(HERE))
QBOOT = "/usr/share/qemu/qboot.rom"


class Unavailable(Exception):
    """QEMU, its firmware, busybox or the kernel cannot be had: the guest cannot boot."""


class GuestError(Exception):
    """The guest did not boot, did not answer in time or broke the protocol."""

    def __init__(self, message, transcript=""):
        super().__init__(message)
        self.transcript = transcript

    def __str__(self):
        text = super().__str__()
        if self.transcript:
            tail = self.transcript[-4000:]
            text += "\n--- guest console (last %d characters) ---\n%s" % (len(tail), tail)
        return text


def default_cache_dir():
    env = os.environ.get("MOX3_QEMU_CACHE")
    if env:
        return env
    base = os.environ.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"), ".cache")
    return os.path.join(base, "mox3-updater", "qemu")


def default_program():
    for build in ("build-static", "build"):
        path = os.path.join(SOURCE_ROOT, build, "bin", "mox3-updater")
        if os.path.isfile(path):
            return path
    return None


def find_tools(cache_dir=None):
    """Returns the paths the guest needs, or raises Unavailable naming what is missing."""
    cache_dir = cache_dir or default_cache_dir()
    hint = "run tests/qemu/prepare.sh %s" % cache_dir
    qemu = shutil.which("qemu-system-x86_64")
    if not qemu:
        raise Unavailable("qemu-system-x86_64 is not installed (%s)" % hint)
    if not os.path.isfile(QBOOT):
        raise Unavailable("%s is missing (package qemu-system-data; %s)" % (QBOOT, hint))
    busybox = None
    for candidate in ("/bin/busybox", "/usr/bin/busybox"):
        if os.path.isfile(candidate) and is_static(candidate):
            busybox = candidate
            break
    if not busybox:
        raise Unavailable("no statically linked busybox (package busybox-static; %s)" % hint)
    kernel = os.path.join(cache_dir, "kernel")
    for name in ("vmlinuz", "load-order", "release"):
        if not os.path.isfile(os.path.join(kernel, name)):
            raise Unavailable("no kernel in %s (%s)" % (kernel, hint))
    return {"qemu": qemu, "busybox": busybox, "kernel": kernel}


def is_static(path):
    """True when the ELF file has no program interpreter (PT_INTERP)."""
    with open(path, "rb") as f:
        head = f.read(64)
        if head[:4] != b"\x7fELF" or head[4] != 2:
            return False
        phoff = int.from_bytes(head[32:40], "little")
        phentsize = int.from_bytes(head[54:56], "little")
        phnum = int.from_bytes(head[56:58], "little")
        f.seek(phoff)
        table = f.read(phentsize * phnum)
    for i in range(phnum):
        if int.from_bytes(table[i * phentsize:i * phentsize + 4], "little") == 3:
            return False
    return True


def shared_libraries(program):
    """The shared libraries (and the loader) a dynamically linked program needs, as paths."""
    result = subprocess.run(["ldd", program], capture_output=True, text=True)
    if result.returncode != 0:
        raise GuestError("ldd %s failed: %s" % (program, result.stderr.strip()))
    paths = []
    for line in result.stdout.splitlines():
        m = re.search(r"(/\S+) \(0x[0-9a-f]+\)", line)
        if m:
            paths.append(m.group(1))
    return paths


def _without_debug_info(program):
    """The program's bytes, without its debugging sections when strip is there (a smaller
    initramfs boots faster)."""
    strip = shutil.which("strip")
    if strip:
        with tempfile.TemporaryDirectory(prefix="mox3-strip-") as tmp:
            out = os.path.join(tmp, "program")
            if subprocess.run([strip, "--strip-debug", "-o", out, program],
                              capture_output=True).returncode == 0:
                with open(out, "rb") as f:
                    return f.read()
    with open(program, "rb") as f:
        return f.read()


class Cpio:
    """Writes a gzip-compressed cpio archive in the "newc" format the kernel unpacks."""

    def __init__(self, path):
        self._out = gzip.open(path, "wb", compresslevel=1)
        self._ino = 1
        self._seen = set()

    def _entry(self, name, mode, data=b"", rdev=(0, 0)):
        name_bytes = name.encode() + b"\0"
        fields = (self._ino, mode, 0, 0, 2 if stat.S_ISDIR(mode) else 1, 0, len(data), 0, 0,
                  rdev[0], rdev[1], len(name_bytes), 0)
        self._ino += 1
        header = b"070701" + b"".join(b"%08X" % v for v in fields)
        self._out.write(header + name_bytes)
        self._out.write(b"\0" * (-(len(header) + len(name_bytes)) % 4))
        self._out.write(data)
        self._out.write(b"\0" * (-len(data) % 4))

    def directory(self, name):
        name = name.strip("/")
        parts = name.split("/")
        for i in range(1, len(parts) + 1):
            sub = "/".join(parts[:i])
            if sub and sub not in self._seen:
                self._seen.add(sub)
                self._entry(sub, stat.S_IFDIR | 0o755)

    def file(self, name, data, mode=0o644):
        name = name.strip("/")
        self.directory(os.path.dirname(name))
        self._seen.add(name)
        self._entry(name, stat.S_IFREG | mode, data)

    def symlink(self, name, target):
        name = name.strip("/")
        self.directory(os.path.dirname(name))
        self._seen.add(name)
        self._entry(name, stat.S_IFLNK | 0o777, target.encode())

    def char_device(self, name, major, minor, mode=0o600):
        name = name.strip("/")
        self.directory(os.path.dirname(name))
        self._entry(name, stat.S_IFCHR | mode, rdev=(major, minor))

    def close(self):
        self._entry("TRAILER!!!", 0)
        self._out.close()


# Runs as PID 1. Commands come in as lines "C <base64 chunk>" (appended) and "R <id>" (run);
# "Q" powers off. The answer is "@@MOX3-BEGIN id@@", the output, "@@MOX3-END id rc=N nl=B@@";
# nl=0 means the output did not end in a newline and one was added before the end marker.
INIT = r"""#!/bin/busybox sh
/bin/busybox mkdir -p /proc /sys /dev /tmp /run /root /usr/bin /usr/sbin /sbin
/bin/busybox --install -s
export PATH=/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin HOME=/root TERM=dumb
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
mount -t tmpfs tmpfs /tmp
mount -t tmpfs tmpfs /run
for m in $(cat /lib/modules/load-order); do
    insmod /lib/modules/$m || echo "@@MOX3-INSMOD-FAILED $m@@"
done
if [ -f /etc/mox3-shares ]; then
    while read -r tag path; do
        mkdir -p "$path"
        mount -t 9p -o ro,trans=virtio,version=9p2000.L,cache=loose,msize=262144 "$tag" "$path" ||
            echo "@@MOX3-MOUNT-FAILED $path@@"
    done < /etc/mox3-shares
fi
stty -echo -opost 2>/dev/null
cd /root
echo "@@MOX3-READY $(cat /proc/uptime)@@"
while read -r op arg; do
    case "$op" in
    C) echo "$arg" >> /tmp/.mox3-cmd.b64 ;;
    R)
        base64 -d /tmp/.mox3-cmd.b64 > /tmp/.mox3-cmd.sh
        rm -f /tmp/.mox3-cmd.b64
        (sh /tmp/.mox3-cmd.sh) </dev/null >/tmp/.mox3-out 2>&1
        rc=$?
        nl=1
        if [ -s /tmp/.mox3-out ] && [ "$(tail -c 1 /tmp/.mox3-out | wc -l)" -eq 0 ]; then nl=0; fi
        echo "@@MOX3-BEGIN $arg@@"
        cat /tmp/.mox3-out
        [ $nl = 1 ] || echo
        echo "@@MOX3-END $arg rc=$rc nl=$nl@@"
        ;;
    Q) break ;;
    esac
done
sync
poweroff -f
"""


def build_initramfs(path, tools, program=None, files=None):
    """Writes the initramfs to path: busybox, modules, /init, the program and extra files.

    files maps a guest path to a host file path or to bytes."""
    archive = Cpio(path)
    archive.char_device("dev/console", 5, 1)
    archive.char_device("dev/null", 1, 3, 0o666)
    with open(tools["busybox"], "rb") as f:
        archive.file("bin/busybox", f.read(), 0o755)
    archive.symlink("bin/sh", "busybox")
    kernel = tools["kernel"]
    with open(os.path.join(kernel, "load-order"), "rb") as f:
        order = f.read()
    archive.file("lib/modules/load-order", order)
    for name in order.decode().split():
        with open(os.path.join(kernel, "modules", name), "rb") as f:
            archive.file("lib/modules/" + name, f.read())
    if program:
        archive.file("usr/local/bin/mox3-updater", _without_debug_info(program), 0o755)
        if not is_static(program):
            for lib in shared_libraries(program):
                with open(lib, "rb") as f:
                    archive.file(lib, f.read(), 0o755)
                # The loader is looked for by the path the program names.
                real = os.path.realpath(lib)
                if real != lib:
                    with open(real, "rb") as f:
                        archive.file(real, f.read(), 0o755)
    for guest_path, source in sorted((files or {}).items()):
        if isinstance(source, (bytes, bytearray)):
            archive.file(guest_path, bytes(source), 0o644)
        else:
            mode = os.stat(source).st_mode & 0o777
            with open(source, "rb") as f:
                archive.file(guest_path, f.read(), mode)
    archive.file("init", INIT.encode(), 0o755)
    archive.close()


def _chardev_for(index, address, reconnect):
    """The -chardev option for one usb-redir device. address is a unix socket path or
    host:port (TCP). QEMU connects as the client; with reconnect it starts anyway and keeps
    trying, so the device program may come up later."""
    ident = "usbredir%d" % index
    m = re.fullmatch(r"(?:tcp:)?([\w.-]+|\[[0-9a-fA-F:]+\]):(\d+)", address)
    if m and not address.startswith("/"):
        chardev = "socket,id=%s,host=%s,port=%s" % (ident, m.group(1).strip("[]"), m.group(2))
    else:
        chardev = "socket,id=%s,path=%s" % (ident, address.replace(",", ",,"))
    if reconnect:
        chardev += ",reconnect=%d" % reconnect
    return ident, chardev


class Guest:
    """One booted guest. Use as a context manager, or call boot() and close()."""

    def __init__(self, program=None, usbredir_sockets=(), cache_dir=None, files=None,
                 boot_timeout=120, memory_mb=512, usbredir_reconnect=1, transcript=None,
                 kernel_args="", kernel_format="auto", shares=None):
        self.tools = find_tools(cache_dir)
        self.program = program if program is not None else default_program()
        if self.program and not os.path.isfile(self.program):
            raise GuestError("no program at %s" % self.program)
        self.usbredir_sockets = list(usbredir_sockets)
        self.files = files or {}
        self.boot_timeout = boot_timeout
        self.memory_mb = memory_mb
        self.usbredir_reconnect = usbredir_reconnect
        self.transcript_path = transcript
        self.kernel_args = kernel_args
        self.kernel_format = kernel_format  # "auto", "vmlinux" or "vmlinuz"
        # Host folders shared read-only over virtio-9p: guest path -> host folder.
        self.shares = dict(shares or {})
        for guest_path, host_path in self.shares.items():
            if not guest_path.startswith("/") or not os.path.isdir(host_path):
                raise GuestError("cannot share %s at %s" % (host_path, guest_path))
        self.boot_seconds = None       # wall time from starting QEMU to the guest's prompt
        self.initramfs_seconds = None  # wall time to build the initramfs
        self.guest_uptime = None       # the guest's own uptime when its prompt came
        self._process = None
        self._console = bytearray()
        self._pos = 0
        self._workdir = None
        self._log = None
        self._selector = None
        self._stderr_path = None
        self.final_qemu_messages = ""

    # -- life cycle ---------------------------------------------------------------------------

    def __enter__(self):
        self.boot()
        return self

    def __exit__(self, *exc):
        self.close()

    def kernel_image(self):
        """The uncompressed kernel when prepare.sh could make one (QEMU enters it directly,
        seconds sooner under software emulation), else the compressed one."""
        # qboot never reaches the uncompressed kernel while a usb-redir socket that QEMU
        # retries (reconnect) is unconnected: with such sockets "auto" boots the compressed one.
        retrying = self.usbredir_sockets and self.usbredir_reconnect
        if self.kernel_format == "vmlinux" or (self.kernel_format == "auto" and not retrying):
            path = os.path.join(self.tools["kernel"], "vmlinux")
            if os.path.isfile(path):
                return path
            if self.kernel_format == "vmlinux":
                raise Unavailable("no uncompressed kernel at %s" % path)
        return os.path.join(self.tools["kernel"], "vmlinuz")

    def command_line(self, initramfs, monitor_path):
        args = [self.tools["qemu"], "-nodefaults", "-bios", QBOOT,
                "-machine", "q35,accel=tcg", "-m", str(self.memory_mb),
                "-smp", "1", "-display", "none", "-no-reboot",
                "-chardev", "stdio,id=console,signal=off", "-serial", "chardev:console",
                "-monitor", "unix:%s,server=on,wait=off" % monitor_path,
                "-kernel", self.kernel_image(),
                "-initrd", initramfs,
                "-append", ("console=ttyS0 quiet loglevel=1 panic=-1 " + self.kernel_args).strip(),
                "-device", "qemu-xhci,id=xhci"]
        for index, address in enumerate(self.usbredir_sockets):
            ident, chardev = _chardev_for(index, address, self.usbredir_reconnect)
            args += ["-chardev", chardev, "-device", "usb-redir,chardev=%s,bus=xhci.0" % ident]
        for index, (guest_path, host_path) in enumerate(sorted(self.shares.items())):
            tag = "share%d" % index
            args += ["-fsdev", "local,id=%s,path=%s,security_model=none,readonly=on"
                     % (tag, host_path.replace(",", ",,")),
                     "-device", "virtio-9p-pci,fsdev=%s,mount_tag=%s" % (tag, tag)]
        return args

    def boot(self):
        self._workdir = tempfile.mkdtemp(prefix="mox3-qemu-")
        initramfs = os.path.join(self._workdir, "initramfs.cpio.gz")
        start = time.monotonic()
        files = dict(self.files)
        if self.shares:
            # /init mounts each share where this list says, one "tag path" a line.
            files["etc/mox3-shares"] = "".join(
                "share%d %s\n" % (index, guest_path)
                for index, (guest_path, _) in enumerate(sorted(self.shares.items()))).encode()
        build_initramfs(initramfs, self.tools, self.program, files)
        self.initramfs_seconds = time.monotonic() - start
        self._monitor_path = os.path.join(self._workdir, "monitor.sock")
        if self.transcript_path:
            self._log = open(self.transcript_path, "wb")
        # QEMU's own messages go to a file, never into the console stream.
        self._stderr_path = os.path.join(self._workdir, "qemu.stderr")
        start = time.monotonic()
        with open(self._stderr_path, "wb") as stderr:
            self._process = subprocess.Popen(self.command_line(initramfs, self._monitor_path),
                                             stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                             stderr=stderr, bufsize=0)
        os.set_blocking(self._process.stdout.fileno(), False)
        self._selector = selectors.DefaultSelector()
        self._selector.register(self._process.stdout, selectors.EVENT_READ)
        try:
            m = self._expect(rb"@@MOX3-READY ([0-9.]+) [0-9.]+@@\r?\n", self.boot_timeout, "boot")
        except GuestError:
            self.close()
            raise
        self.boot_seconds = time.monotonic() - start
        self.guest_uptime = float(m.group(1))
        failed = re.findall(rb"@@MOX3-INSMOD-FAILED (\S+)@@", bytes(self._console))
        if failed:
            self.close()
            raise GuestError("modules failed to load: %s" % b" ".join(failed).decode(),
                             self.transcript())
        unmounted = re.findall(rb"@@MOX3-MOUNT-FAILED (\S+)@@", bytes(self._console))
        if unmounted:
            transcript = self.transcript()
            self.close()
            raise GuestError("shared folders not mounted: %s" % b" ".join(unmounted).decode(),
                             transcript)

    def close(self):
        if self._process:
            if self._process.poll() is None:
                try:
                    self._process.stdin.write(b"Q\n")
                    self._process.stdin.flush()
                    self._process.wait(timeout=10)
                except (OSError, subprocess.TimeoutExpired):
                    pass
            if self._process.poll() is None:
                self._process.kill()
                self._process.wait()
            self._drain()
            for stream in (self._process.stdin, self._process.stdout):
                try:
                    stream.close()
                except OSError:
                    pass
            self._process = None
        if self._selector:
            self._selector.close()
            self._selector = None
        if self._log:
            self._log.close()
            self._log = None
        if self._workdir:
            self.final_qemu_messages = self.qemu_messages()
            self._stderr_path = None
            shutil.rmtree(self._workdir, ignore_errors=True)
            self._workdir = None

    # -- console ------------------------------------------------------------------------------

    def transcript(self):
        """Everything the guest's console printed so far, as text, and what QEMU itself said
        on its standard error."""
        text = bytes(self._console).decode("utf-8", "replace")
        qemu = self.qemu_messages()
        return text + ("\n--- QEMU's standard error ---\n" + qemu if qemu else "")

    def qemu_messages(self):
        """What QEMU wrote to its standard error so far."""
        if not self._stderr_path:
            return self.final_qemu_messages
        try:
            with open(self._stderr_path, "rb") as f:
                return f.read().decode("utf-8", "replace")
        except OSError:
            return ""

    def _read(self, deadline):
        """Reads what the console has; False once QEMU has ended and nothing more comes."""
        remaining = deadline - time.monotonic()
        if remaining <= 0:
            return True
        if not self._selector.select(min(remaining, 1.0)):
            return self._process.poll() is None
        try:
            data = self._process.stdout.read(65536)
        except BlockingIOError:
            return True
        if data is None:
            return True
        if not data:
            return False
        self._console += data
        if self._log:
            self._log.write(data)
            self._log.flush()
        return True

    def _drain(self):
        try:
            while True:
                data = self._process.stdout.read(65536)
                if not data:
                    break
                self._console += data
                if self._log:
                    self._log.write(data)
        except (BlockingIOError, OSError, ValueError):
            pass

    def _expect(self, pattern, timeout, what):
        regex = re.compile(pattern, re.S)
        deadline = time.monotonic() + timeout
        while True:
            m = regex.search(self._console, self._pos)
            if m:
                self._pos = m.end()
                return m
            if time.monotonic() >= deadline:
                raise GuestError("no answer within %g s (%s)" % (timeout, what), self.transcript())
            if not self._read(deadline):
                m = regex.search(self._console, self._pos)
                if m:
                    self._pos = m.end()
                    return m
                raise GuestError("QEMU ended (exit code %s) while waiting for %s"
                                 % (self._process.poll(), what), self.transcript())

    # -- commands -----------------------------------------------------------------------------

    def run(self, command, timeout=120):
        """Runs one shell command in the guest; returns (exit code, output as text).

        Standard output and error are captured together; standard input is /dev/null. The
        output is exact (bytes decoded as UTF-8) apart from carriage returns before newlines,
        which the serial line cannot tell from the guest's own."""
        if not self._process or self._process.poll() is not None:
            raise GuestError("the guest is not running", self.transcript())
        ident = uuid.uuid4().hex[:12]
        encoded = base64.b64encode(command.encode()).decode()
        lines = ["C %s\n" % encoded[i:i + 512] for i in range(0, len(encoded), 512)]
        lines.append("R %s\n" % ident)
        try:
            self._process.stdin.write("".join(lines).encode())
            self._process.stdin.flush()
        except OSError as e:
            raise GuestError("cannot write to the guest's console: %s" % e, self.transcript())
        m = self._expect(rb"@@MOX3-BEGIN " + ident.encode() + rb"@@\r?\n(.*?)@@MOX3-END "
                         + ident.encode() + rb" rc=(\d+) nl=([01])@@\r?\n",
                         timeout, "command %r" % command)
        body = m.group(1)
        if m.group(3) == b"0":
            body = body[:-2] if body.endswith(b"\r\n") else body[:-1]
        body = body.replace(b"\r\n", b"\n")
        return int(m.group(2)), body.decode("utf-8", "replace")

    def monitor(self, command, timeout=10):
        """Sends one command to QEMU's human monitor (for example "info usb" or
        "device_del ...") and returns its answer."""
        with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
            s.settimeout(timeout)
            s.connect(self._monitor_path)
            data = b""
            while not data.endswith(b"(qemu) "):
                chunk = s.recv(4096)
                if not chunk:
                    break
                data += chunk
            s.sendall(command.encode() + b"\n")
            data = b""
            while not data.endswith(b"(qemu) "):
                chunk = s.recv(4096)
                if not chunk:
                    break
                data += chunk
        text = data.decode("utf-8", "replace").replace("\r", "")
        # The monitor echoes the command line (with terminal escapes) before the answer.
        text = text.rsplit("(qemu) ", 1)[0]
        return text.split("\n", 1)[1] if "\n" in text else ""


class Checks:
    """The checks of a test script: each is recorded; the failures are reported at the end."""

    def __init__(self, name):
        self.name = name
        self.failures = []

    def __call__(self, condition, what, output):
        if not condition:
            self.failures.append("%s; output was:\n%s" % (what, output))
        print("%s: %s" % ("ok" if condition else "FAILED", what))

    def result(self):
        """The script's exit code: 0 when every check held, else 1 after listing failures."""
        for failure in self.failures:
            print("FAILED: " + failure, file=sys.stderr)
        if self.failures:
            return 1
        print("%s: all checks passed" % self.name)
        return 0


def run_test_script(main):
    """Runs a test script's main; a guest that breaks down fails the script."""
    try:
        sys.exit(main())
    except GuestError as e:
        print("FAILED: %s" % e, file=sys.stderr)
        sys.exit(1)


def run_guest(commands, usbredir_sockets=(), timeout=120, **options):
    """Boots a guest, runs the commands one after another and powers it off.

    Returns a list of (exit code, output), one per command. timeout bounds the boot and each
    command. Further options go to Guest (program, cache_dir, files, transcript, ...)."""
    options.setdefault("boot_timeout", timeout)
    with Guest(usbredir_sockets=usbredir_sockets, **options) as guest:
        return [guest.run(command, timeout) for command in commands]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--cache", help="the folder prepare.sh filled (default %s)"
                        % default_cache_dir())
    parser.add_argument("--program", help="the mox3-updater to put into the guest")
    parser.add_argument("--usbredir", action="append", default=[], metavar="SOCKET",
                        help="attach a usb-redir device connecting to SOCKET (path or host:port)")
    parser.add_argument("--file", action="append", default=[], metavar="GUEST=HOST",
                        help="put the host file HOST at GUEST in the guest")
    parser.add_argument("--timeout", type=float, default=120)
    parser.add_argument("--transcript", help="write the guest's whole console to this file")
    parser.add_argument("commands", nargs="*", help="shell commands to run in the guest")
    args = parser.parse_args()
    files = {}
    for item in args.file:
        guest_path, _, host_path = item.partition("=")
        files[guest_path] = host_path
    try:
        with Guest(program=args.program, usbredir_sockets=args.usbredir, cache_dir=args.cache,
                   files=files, boot_timeout=args.timeout, transcript=args.transcript) as guest:
            print("booted in %.1f s (guest uptime %.1f s)" % (guest.boot_seconds,
                                                               guest.guest_uptime))
            worst = 0
            for command in args.commands:
                rc, output = guest.run(command, args.timeout)
                print("$ %s\n%s[exit code %d]" % (command, output, rc))
                worst = worst or rc
            return 1 if worst else 0
    except Unavailable as e:
        print("cannot boot a guest: %s" % e, file=sys.stderr)
        return 77
    except GuestError as e:
        print("guest failed: %s" % e, file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
