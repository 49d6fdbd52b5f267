#!/usr/bin/env bash
# Kills an emulated update before every one of its requests, for both bridge generations and
# both logical-block lengths, power-cycles the drive and runs the update again; prints one line
# per combination. Takes several minutes; CI runs a spread sample of the same points.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build}
cmake -S . -B "$build" >/dev/null
cmake --build "$build" -j"$(nproc)" --target mox3_tests mox3-updater >/dev/null
MOX3_CAMPAIGN_EVERY=1 "$build/bin/mox3_tests" --gtest_filter='*InterruptionCampaign*' \
    | grep -E 'interruption campaign:|FAILED|PASSED'
MOX3_FAULT_MATRIX_EVERY=1 "$build/bin/mox3_tests" --gtest_filter='FaultMatrix*' \
    | grep -E 'OK|FAILED|PASSED'
