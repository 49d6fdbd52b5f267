#!/usr/bin/env bash
# Builds and runs the whole test suite: an optimised build, one with AddressSanitizer and
# UndefinedBehaviorSanitizer, and the Windows programs under Wine (scripts/run-windows-tests.sh;
# MOX3_SKIP_WINDOWS=1 leaves them out).
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
jobs=$(nproc 2>/dev/null || echo 2)

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j"$jobs"
(cd build && ctest --output-on-failure -j"$jobs")

cmake -S . -B build-sanitize -DCMAKE_BUILD_TYPE=Debug -DMOX3_SANITIZE=ON -DMOX3_BUILD_BENCHMARKS=OFF
cmake --build build-sanitize -j"$jobs"
(cd build-sanitize && ctest --output-on-failure -j"$jobs")

if [ "${MOX3_SKIP_WINDOWS:-0}" != 1 ]; then
    ./scripts/run-windows-tests.sh
fi
