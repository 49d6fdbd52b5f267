#!/usr/bin/env bash
# Gets what booting a Linux guest under QEMU needs: the emulator, its firmware (qboot), a static
# busybox, and a Debian 12 kernel with the modules for USB storage behind an xHCI controller
# and for host folders shared over virtio-9p.
#
#   tests/qemu/prepare.sh CACHE_DIR
#
# Installs the missing packages with apt-get (through sudo when not run as root), then downloads
# the kernel package of the release's current ABI into CACHE_DIR (never installed: unpacked
# only). A second run with the same ABI downloads nothing. Leaves in CACHE_DIR/kernel:
#   vmlinuz          the kernel
#   modules/*.ko     the modules below and whatever they need
#   load-order       the module file names, one a line, in the order to insmod them
#   release          the kernel release, for example 6.1.0-57-amd64
set -euo pipefail

if [ $# -ne 1 ]; then
    echo "usage: $0 CACHE_DIR" >&2
    exit 2
fi
cache=$1
mkdir -p "$cache"
cache=$(cd "$cache" && pwd)

# The storage stack, in load order, and ext4 (which also mounts ext2) for file systems on the
# emulated disks. crct10dif_generic, crc64_rocksoft_generic and crc32c_generic are only soft
# dependencies of the modules that use them, so the order is given rather than derived.
# virtio_pci and 9p mount host folders read-only in the guest (harness.py's shares): the host's
# /usr and /etc, from which wine32_test.py runs the host's 32-bit Wine.
modules=(crc64 crct10dif_common crct10dif_generic crc64_rocksoft_generic crc-t10dif
         crc64-rocksoft t10-pi scsi_common scsi_mod sd_mod sg usb-common usbcore xhci-hcd
         xhci-pci usb-storage crc32c_generic ext4 virtio_pci 9pnet_virtio 9p)

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
updated=0
apt_update() {
    if [ $updated -eq 0 ]; then
        $sudo apt-get update
        updated=1
    fi
}

packages=(qemu-system-x86 qemu-system-data busybox-static xz-utils)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    apt_update
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends "${missing[@]}"
fi

# The ABI the release's kernel meta package points at now (linux-image-6.1.0-NN-amd64).
current_image() {
    apt-cache depends linux-image-amd64 2>/dev/null |
        sed -n 's/^ *Depends: \(linux-image-[0-9][^ ]*-amd64\)$/\1/p' | head -n 1
}
image=$(current_image)
if [ -z "$image" ]; then
    apt_update
    image=$(current_image)
fi
if [ -z "$image" ]; then
    echo "$0: apt knows no linux-image-amd64 package: cannot tell which kernel to get" >&2
    exit 1
fi
release=${image#linux-image-}

if [ -f "$cache/kernel/release" ] && [ "$(cat "$cache/kernel/release")" = "$release" ] &&
   [ -f "$cache/kernel/vmlinuz" ] && [ -f "$cache/kernel/load-order" ] &&
   [ "$(cat "$cache/kernel/wanted" 2>/dev/null)" = "${modules[*]}" ]; then
    echo "kernel $release is ready in $cache/kernel"
    exit 0
fi

deb=$(ls "$cache"/"${image}"_*.deb 2>/dev/null | head -n 1 || true)
if [ -z "$deb" ]; then
    # apt's own user downloads into the folder when it may; otherwise apt warns and goes on.
    (cd "$cache" && apt-get download "$image") || { apt_update && (cd "$cache" && apt-get download "$image"); }
    deb=$(ls "$cache"/"${image}"_*.deb | head -n 1)
fi
# Older kernels' packages are of no further use.
for old in "$cache"/linux-image-*.deb; do
    [ "$old" = "$deb" ] || rm -f "$old"
done

work=$(mktemp -d "$cache/unpack.XXXXXX")
trap 'rm -rf "$work"' EXIT
dpkg-deb -x "$deb" "$work"
moddir="$work/lib/modules/$release"
if [ ! -f "$work/boot/vmlinuz-$release" ] || [ ! -d "$moddir" ]; then
    echo "$0: $deb holds no vmlinuz-$release or no modules folder" >&2
    exit 1
fi

out="$work/out"
mkdir -p "$out/modules"
cp "$work/boot/vmlinuz-$release" "$out/vmlinuz"
# Each module, then any hard dependency (the .modinfo "depends=" list) not yet loaded is put
# before the module that needs it, so that a future kernel needing more still loads.
python3 - "$moddir" "$out" "${modules[@]}" <<'EOF'
import lzma, os, re, shutil, sys

moddir, out, wanted = sys.argv[1], sys.argv[2], sys.argv[3:]
files = {}
for root, _, names in os.walk(moddir):
    for name in names:
        m = re.match(r"(.+)\.ko(\.xz)?$", name)
        if m:
            files[m.group(1).replace("-", "_")] = os.path.join(root, name)

def read(key):
    path = files.get(key)
    if path is None:
        sys.exit(f"prepare.sh: module {key} is not in the kernel package")
    data = open(path, "rb").read()
    return lzma.decompress(data) if path.endswith(".xz") else data

order = []
def add(name, trail=()):
    key = name.replace("-", "_")
    if key in (k for k, _ in order):
        return
    if key in trail:
        sys.exit(f"prepare.sh: module dependency loop at {key}")
    data = read(key)
    m = re.search(rb"(?:^|\0)depends=([^\0]*)\0", data)
    for dep in (m.group(1).decode().split(",") if m else []):
        if dep:
            add(dep, trail + (key,))
    order.append((key, data))

for name in wanted:
    add(name)
with open(os.path.join(out, "load-order"), "w") as f:
    for key, data in order:
        base = os.path.basename(files[key]).removesuffix(".xz")
        with open(os.path.join(out, "modules", base), "wb") as m:
            m.write(data)
        f.write(base + "\n")
EOF
# The kernel uncompressed, when it can be: QEMU starts such an ELF kernel directly (PVH entry),
# which spares the seconds the compressed one takes to unpack itself under software emulation.
python3 - "$out/vmlinuz" "$out/vmlinux" <<'PY' || rm -f "$out/vmlinux"
import lzma, re, sys
data = open(sys.argv[1], "rb").read()
start = data.find(b"\xfd7zXZ\x00")
if start < 0:
    sys.exit("prepare.sh: the kernel is not xz-compressed: the compressed one will be booted")
elf = lzma.LZMADecompressor().decompress(data[start:])
# An ELF file with a "Xen" note of type 18: the PVH entry point.
if elf[:4] != b"\x7fELF" or not re.search(rb"\x04\0\0\0.\0\0\0\x12\0\0\0Xen\0", elf, re.S):
    sys.exit("prepare.sh: the kernel has no PVH entry: the compressed one will be booted")
open(sys.argv[2], "wb").write(elf)
PY
echo "$release" > "$out/release"
echo "${modules[*]}" > "$out/wanted"
rm -rf "$cache/kernel"
mv "$out" "$cache/kernel"
echo "kernel $release is ready in $cache/kernel ($(wc -l < "$cache/kernel/load-order") modules)"
