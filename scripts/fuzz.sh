#!/usr/bin/env bash
# Runs each libFuzzer target of build-fuzz/ for SECONDS, one after the other
# and nice'd (the machine is shared), starting from the committed corpus in
# tests/fuzz/corpus/TARGET. New inputs go to build-fuzz/fuzz-corpus/TARGET,
# which later runs start from too; a crashing input is saved as
# build-fuzz/TARGET-crash-*. Prints the executions of each target and in
# total, and exits non-zero when a target fails.
#   scripts/fuzz.sh SECONDS [TARGET...]   (targets: verify records keys command_line audit)
# The build directory must exist (scripts/test.sh makes it):
#   cmake -S . -B build-fuzz -DCMAKE_CXX_COMPILER=clang++ -DZUD_FUZZ=ON -DZUD_BUILD_TESTS=OFF
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:?usage: scripts/fuzz.sh SECONDS [TARGET...]}
shift
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(verify records keys command_line audit)

total=0
for target in "${targets[@]}"; do
    work=build-fuzz/fuzz-corpus/$target
    log=build-fuzz/$target-fuzz.log
    mkdir -p "$work"
    if ! nice -n 10 "build-fuzz/tests/fuzz/${target}_fuzz" -max_total_time="$seconds" -print_final_stats=1 \
            -artifact_prefix="build-fuzz/$target-" "$work" "tests/fuzz/corpus/$target" >"$log" 2>&1; then
        tail -n 60 "$log"
        echo "The $target fuzz target failed; the input is saved in build-fuzz/$target-crash-* (or -leak-, -timeout-)."
        exit 1
    fi
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    echo "$target: $runs executions in ${seconds} s ($(grep -m1 -o 'Seed: [0-9]*' "$log"))"
    total=$((total + runs))
done
echo "fuzzing: $total executions in total"
