#!/usr/bin/env bash
# Builds docscan and runs its test suite against the virtual scanner.
#   scripts/test.sh           normal build, every test
#   scripts/test.sh asan      AddressSanitizer + UndefinedBehaviorSanitizer
#   scripts/test.sh tsan      ThreadSanitizer, the threaded scan tests
set -euo pipefail
cd "$(dirname "$0")/.."
preset="${1:-default}"
bash scripts/build.sh "$preset"

dir=build
ctest_args=(--output-on-failure -j "$(nproc)")
case "$preset" in
  default) ;;
  asan)
    dir=build-asan
    # GLib and umockdev keep a few allocations for the life of the process.
    export ASAN_OPTIONS="verify_asan_link_order=0:detect_leaks=1:abort_on_error=0"
    export LSAN_OPTIONS="suppressions=$PWD/tests/lsan.supp:print_suppressions=0"
    export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
    ;;
  tsan)
    dir=build-tsan
    # GLib, umockdev and libudev race among themselves inside the preload.
    export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$PWD/tests/tsan.supp"
    ctest_args+=(-L threaded)
    ;;
  *) echo "unknown preset $preset" >&2; exit 2 ;;
esac
ctest --test-dir "$dir" "${ctest_args[@]}"
