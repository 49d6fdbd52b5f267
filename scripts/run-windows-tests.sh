#!/usr/bin/env bash
# Cross-builds the Windows programs with mingw-w64 and runs their tests under Wine: the unit
# tests, the Windows command line against the Linux one (the same compiled blocks), the dialog
# program driven on a virtual X display, and its screenshots in every language
# (build-win64/artifacts/screenshots). Also checks the shipped programs' imports against what
# Windows XP SP2 has, and packs them into build-win/mox3-updater-<version>-win32.zip.
#
# The shipped programs are 32-bit (build-win/bin). Their tests run where the machine runs 32-bit
# Wine. On a machine whose kernel cannot run 32-bit programs, they run under 32-bit Wine inside
# a QEMU guest whose kernel can (tests/qemu/wine32_test.py, the CTest test wine32_guest: the
# unit tests, the command line on an emulated drive through SG_IO, the dialog), and the same
# sources built for 64-bit Windows (build-win64/bin) are tested under 64-bit Wine as well.
# The last lines say which ran.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh --windows
jobs=$(nproc 2>/dev/null || echo 2)
export WINEDEBUG=-all

# The Linux program the Windows command line is compared with.
if [ ! -x build/bin/mox3-updater ]; then
    cmake -S . -B build
    cmake --build build -j"$jobs" --target mox3-updater
fi
host_cli=$PWD/build/bin/mox3-updater

cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-i686.cmake \
      -DMOX3_HOST_CLI="$host_cli" -DMOX3_WERROR=ON
cmake --build build-win -j"$jobs"
# Without Wine: the shipped programs import nothing Windows XP SP2 lacks; their zip.
(cd build-win && ctest --output-on-failure -R '^xp_imports$' && cpack)

if /usr/lib/wine/wine --version >/dev/null 2>&1 && \
   timeout 120 /usr/lib/wine/wine build-win/bin/mox3-updater-cli.exe --version >/dev/null 2>&1; then
    echo "32-bit Wine runs here: testing the shipped 32-bit programs"
    (cd build-win && ctest --output-on-failure -LE qemu)
    echo "ran: the shipped 32-bit programs under this machine's 32-bit Wine"
    exit 0
fi

echo "32-bit Wine does not run on this machine: testing the shipped 32-bit programs in a QEMU guest"
qemu_cache=${MOX3_QEMU_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/mox3-updater/qemu}
export MOX3_QEMU_CACHE=$qemu_cache
guest_ran=skipped
if ./tests/qemu/prepare.sh "$qemu_cache"; then
    log=$(mktemp)
    start=$(date +%s)
    (cd build-win && ctest --output-on-failure -L qemu) | tee "$log"
    # CTest reports a test that exited with 77 as "Not Run"/"Skipped", not as passed.
    if grep -q "wine32_guest .*Passed" "$log"; then
        guest_ran="passed in $(( $(date +%s) - start )) s"
    fi
    rm -f "$log"
else
    echo "the QEMU guest cannot be prepared here: the 32-bit programs are not run"
fi

echo "and testing the 64-bit build under 64-bit Wine"
cmake -S . -B build-win64 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-x86_64.cmake \
      -DMOX3_HOST_CLI="$host_cli" -DMOX3_WERROR=ON
cmake --build build-win64 -j"$jobs"
# One Wine prefix serves all tests, so they run one after the other.
(cd build-win64 && ctest --output-on-failure)
echo "ran: the 32-bit programs in the QEMU guest: $guest_ran; the 64-bit build under 64-bit Wine: passed"
