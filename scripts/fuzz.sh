#!/usr/bin/env bash
# Builds the libFuzzer targets (fuzz/, with clang++, in build-fuzz) and runs each for SECONDS
# seconds, one after the other, starting from its kept corpus in fuzz/corpus/<target>. New
# inputs go to build-fuzz/corpus/<target>, findings to build-fuzz/findings/. Prints the
# executions and seconds of every target; exits non-zero when any target found a fault.
#   scripts/fuzz.sh SECONDS [TARGET...]     (targets: the names of fuzz/*.cpp; default all)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:?usage: scripts/fuzz.sh SECONDS [TARGET...]}
shift
build=${MOX3_FUZZ_BUILD:-build-fuzz}
jobs=$(nproc 2>/dev/null || echo 2)

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
    for source in fuzz/*.cpp; do
        name=$(basename "$source" .cpp)
        [ "$name" = make_seeds ] || targets+=("$name")
    done
fi

cmake -S . -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DMOX3_FUZZ=ON -DMOX3_BUILD_TESTS=OFF -DMOX3_BUILD_BENCHMARKS=OFF >/dev/null
cmake --build "$build" -j"$jobs" --target "${targets[@]/#/fuzz_}"

mkdir -p "$build/findings"
failed=()
summary=()
for target in "${targets[@]}"; do
    work="$build/corpus/$target"
    log="$build/fuzz-$target.log"
    mkdir -p "$work" "fuzz/corpus/$target"
    start=$(date +%s)
    status=0
    "$build/fuzz/fuzz_$target" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 \
        -print_final_stats=1 -artifact_prefix="$build/findings/$target-" \
        "$work" "fuzz/corpus/$target" >"$log" 2>&1 || status=$?
    elapsed=$(( $(date +%s) - start ))
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
    line=$(printf '%-18s %12s executions %6s s' "$target" "${runs:-?}" "$elapsed")
    if [ "$status" -ne 0 ]; then
        line="$line  FOUND A FAULT (exit $status, log $log)"
        failed+=("$target")
        grep -m 5 -E 'ERROR|runtime error|property broken|Test unit written' "$log" >&2 || true
    fi
    echo "$line"
    summary+=("$line")
done

echo
printf '%s\n' "${summary[@]}"
if [ ${#failed[@]} -ne 0 ]; then
    echo "fuzzing found faults in: ${failed[*]}" >&2
    exit 1
fi
