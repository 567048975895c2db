#!/usr/bin/env bash
# Builds everything with AddressSanitizer and UndefinedBehaviorSanitizer, compiler warnings as
# errors, and runs the tests.
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/deps.sh
ensure_packages test gui
build=${VELK_TEST_BUILD_DIR:-build-test}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Debug -DVELK_SANITIZE=ON -DVELK_BUILD_GUI=ON -DVELK_WERROR=ON >/dev/null
cmake --build "$build" -j"$(nproc)"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export LSAN_OPTIONS=suppressions=$PWD/tests/lsan.supp:print_suppressions=0
ctest --test-dir "$build" --output-on-failure -j"$(nproc)"
