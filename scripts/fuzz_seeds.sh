#!/usr/bin/env bash
# Regenerates the seeds of the committed fuzz corpus (tests/fuzz/corpus/*/
# seed-*) from the tool's own outputs: builds the seed writer in build/ and
# runs it. The regression inputs of findings (regress-*) are kept. Commit
# the result; the corpus replay test checks that the seeds are current.
set -euo pipefail
cd "$(dirname "$0")/.."
[ -d build ] || cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
nice -n 10 cmake --build build -j2 --target zud_fuzz_seeds
build/tests/fuzz/zud_fuzz_seeds tests/fuzz/corpus
du -sh tests/fuzz/corpus
