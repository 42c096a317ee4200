#!/usr/bin/env bash
# Installs what is missing, builds the normal and the sanitizer configuration
# and runs the whole test suite under both, the threaded paths under the
# thread sanitizer, fuzzes the parsers (and replays the committed fuzz
# corpus in every test build)
# and checks the release files (manual pages, completion, Debian package) of
# the normal build. Exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh

zud_install_deps

zud_build build -DCMAKE_BUILD_TYPE=RelWithDebInfo
zud_build build-asan -DCMAKE_BUILD_TYPE=Debug -DZUD_SANITIZE=ON

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

echo "== tests (normal build)"
(cd build && ctest --output-on-failure -j "$(nproc)")
echo "== release files (manual pages, bash completion, Debian package)"
bash scripts/release_check.sh build
echo "== tests (address + undefined behaviour sanitizers)"
(cd build-asan && ctest --output-on-failure -j "$(nproc)")

# The commands that work on two threads (the writing pipeline, read-ahead,
# stages digested two at a time, a set checked two files at a time with each
# trailer digest taken beside its walk), and the tests that drive them, under
# ThreadSanitizer: any report fails the run.
echo "== tests of the threaded paths (thread sanitizer)"
zud_build build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZUD_TSAN=ON
(cd build-tsan && TSAN_OPTIONS=halt_on_error=1:exitcode=66 ctest --output-on-failure -j "$(nproc)" \
    -R 'PieceQueue|WriteBehind|ReadRange|CopyToEnd|Boot|Imgsig|Image|Upgsig|Sha|SdImage|Stage|Reproducible|VerifySet|KeytoolVerify')

# The parsers read untrusted files, keys and command lines: fuzz each area
# for a bounded time under the sanitizers (clang's libFuzzer, a build
# directory of its own), 12 s per target, five targets.
echo "== fuzzing the parsers (5 targets, 12 s each)"
zud_build build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
    -DZUD_FUZZ=ON -DZUD_BUILD_TESTS=OFF
bash scripts/fuzz.sh 12
echo "All tests passed (normal, address + undefined behaviour and thread sanitizers, fuzzing, release files)."
