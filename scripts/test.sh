#!/usr/bin/env bash
# The whole test suite: the native build under AddressSanitizer and
# UndefinedBehaviorSanitizer, a short fuzz run of every target, then the
# Windows builds (x86_64 run under Wine, i686 built and checked), then the
# install and package check (plain Release builds with g++ and clang, the
# installed tree, a find_package consumer, cpack). Ends with one summary line.
set -uo pipefail
cd "$(dirname "$0")/.."

passed=0
failed=0
record() {  # record NAME STATUS
    if [ "$2" -eq 0 ]; then passed=$((passed + 1)); else failed=$((failed + 1)); echo "*** $1 FAILED"; fi
}

jobs=$(nproc 2>/dev/null || echo 2)

echo "=== native build with sanitizers"
if cmake --preset sanitize && cmake --build --preset sanitize -j"$jobs"; then
    ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
        ctest --preset sanitize -j"$jobs"
    record "native tests" $?
else
    record "native build" 1
fi

echo "=== short fuzz run of every target"
bash scripts/fuzz-smoke.sh
record "fuzz run" $?

echo "=== Windows builds"
bash scripts/windows-tests.sh
record "Windows tests" $?

echo "=== install, packages, plain Release builds with g++ and clang"
bash scripts/install-check.sh
record "install check" $?

echo "tests: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
