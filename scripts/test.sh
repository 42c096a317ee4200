#!/usr/bin/env bash
# Installs what is missing, builds the normal and the sanitizer configuration
# and runs the whole test suite under both. Exits non-zero on any failure.
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
echo "== tests (address + undefined behaviour sanitizers)"
(cd build-asan && ctest --output-on-failure -j "$(nproc)")
echo "All tests passed in both configurations."
