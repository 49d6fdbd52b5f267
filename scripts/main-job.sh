#!/usr/bin/env bash
# Builds the program and compiles a shipped configuration file against a sample image.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
cmake -S . -B build
cmake --build build -j"$(nproc 2>/dev/null || echo 2)"

out=build/main-job
mkdir -p "$out"
bin=build/bin/mox3-updater
$bin image make --generation 2 --version 01000700 --size 120000 -o "$out/firmware_C311.bin"
$bin image info "$out/firmware_C311.bin"
$bin compile --resource 117 --image "$out/firmware_C311.bin" --serial 4A3F0012B7C4D9E1 \
    -o "$out/config_117.bin"
$bin decode "$out/config_117.bin"
