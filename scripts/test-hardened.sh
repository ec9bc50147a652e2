#!/usr/bin/env bash
# The hardening checks that CI runs after the test suite: the whole suite again under
# AddressSanitizer and UndefinedBehaviorSanitizer (preset "sanitize", build-sanitize/), valgrind
# memcheck over the end-to-end tests, and every fuzz target for FUZZ_SECONDS (default 60) each.
set -euo pipefail
cd "$(dirname "$0")/.."

cmake --preset sanitize >/dev/null
cmake --build --preset sanitize -j"$(nproc)"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --preset sanitize

valgrind --quiet --error-exitcode=99 --leak-check=full --errors-for-leak-kinds=definite,indirect \
  build/src/component/component_e2e_tests

FUZZ_SECONDS="${FUZZ_SECONDS:-60}" scripts/fuzz.sh
