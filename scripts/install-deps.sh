#!/usr/bin/env bash
# Installs what building and testing need on a Debian 12 machine. With --windows, also what the
# Windows programs need: the mingw-w64 cross compilers, Wine (64-bit, and 32-bit where the
# machine can run it), a virtual X display and the fonts the dialog's languages are shown in.
set -euo pipefail
# dpkg-dev and file: the Debian package's dependencies (dpkg-shlibdeps) and Debian's build flags.
# clang and libclang-rt-dev (libFuzzer and the sanitizers' runtimes): the fuzz targets.
# libsystemd-dev: the inhibitor lock against sleep and shutdown during an update (optional);
# dbus-daemon: a private bus for its test.
# nlohmann-json3-dev: the --json output (header-only; the Windows builds use the same headers).
packages=(cmake make g++ pkg-config libssl-dev libgtest-dev libgmock-dev libbenchmark-dev
          nlohmann-json3-dev libsystemd-dev dbus-daemon
          dpkg-dev file
          clang libclang-rt-dev)
if [ "${1:-}" = --windows ]; then
    packages+=(g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix binutils-mingw-w64-i686
               binutils-mingw-w64-x86-64 googletest wine wine64 wine32:i386 xvfb xauth
               imagemagick x11-apps fonts-dejavu-core fonts-wqy-microhei fonts-thai-tlwg)
fi
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
if [ "${1:-}" = --windows ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
    $sudo dpkg --add-architecture i386
fi
$sudo apt-get update
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends "${missing[@]}"
