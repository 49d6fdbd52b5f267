#!/usr/bin/env bash
# Builds the program and runs its main job on an emulated drive: a ZR-MOX3 with old firmware
# is updated from start to end, as a user would see it.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
cmake -S . -B build
cmake --build build -j"$(nproc 2>/dev/null || echo 2)"
dir=build/main-job
rm -rf "$dir"
build/bin/mox3-updater demo --dir "$dir"
