#!/usr/bin/env bash
# Builds and runs the whole test suite, every build with warnings as errors: the optimised
# Release build (-O3; with the tests that attach emulated drives to a real Linux kernel under
# QEMU, and the Debian package made and checked), one with AddressSanitizer and
# UndefinedBehaviorSanitizer, each fuzz target for 20 s, the program with Debian's packaging
# flags (dpkg-buildflags), and the Windows programs under Wine (scripts/run-windows-tests.sh).
# MOX3_SKIP_WINDOWS=1 leaves the Windows programs out, MOX3_SKIP_QEMU=1 the QEMU tests.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
jobs=$(nproc 2>/dev/null || echo 2)

qemu_cache=${MOX3_QEMU_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/mox3-updater/qemu}
if [ "${MOX3_SKIP_QEMU:-0}" != 1 ]; then
    # QEMU, busybox and a Debian kernel for the guest (downloaded once, then cached).
    ./tests/qemu/prepare.sh "$qemu_cache"
fi

cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DMOX3_WERROR=ON -DMOX3_QEMU_CACHE="$qemu_cache"
cmake --build build -j"$jobs"
(cd build && ctest --output-on-failure -j"$jobs")

cmake -S . -B build-sanitize -DCMAKE_BUILD_TYPE=Debug -DMOX3_SANITIZE=ON -DMOX3_BUILD_BENCHMARKS=OFF \
      -DMOX3_WERROR=ON
cmake --build build-sanitize -j"$jobs"
# The QEMU tests run the same program once more; the optimised build has run them.
(cd build-sanitize && ctest --output-on-failure -j"$jobs" -LE qemu)

# Each fuzz target for 20 s from its kept corpus (fuzz/corpus), built with clang and libFuzzer.
./scripts/fuzz.sh 20

# The program as a Debian package build compiles it: dpkg-buildflags' hardening flags,
# _FORTIFY_SOURCE and -O2 (CPPFLAGS folded into the compiler flags, which CMake does not read),
# and no build type's flags of CMake's own. Compiled only; the tests ran above.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cmake -S . -B build-debian -DCMAKE_BUILD_TYPE=None -DMOX3_WERROR=ON -DMOX3_BUILD_TESTS=OFF \
      -DMOX3_BUILD_BENCHMARKS=OFF \
      -DCMAKE_CXX_FLAGS="$(dpkg-buildflags --get CXXFLAGS) $(dpkg-buildflags --get CPPFLAGS)" \
      -DCMAKE_EXE_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)"
cmake --build build-debian -j"$jobs"

if [ "${MOX3_SKIP_WINDOWS:-0}" != 1 ]; then
    ./scripts/run-windows-tests.sh
fi
