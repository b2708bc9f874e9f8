#!/usr/bin/env bash
# A short libFuzzer run of every fuzz target (FUZZ_SECONDS each, default 30),
# two at a time, under AddressSanitizer and UndefinedBehaviorSanitizer. Needs
# clang; without it the run is skipped (a failure under CI=true). The corpus
# grows in a scratch directory, never in fuzz/corpus/; a finding fails the run
# and its input is kept in build/fuzz/findings/.
set -uo pipefail
cd "$(dirname "$0")/.."

if ! command -v clang++ >/dev/null; then
    echo "fuzz: skipped, clang is not installed (apt-get install -y clang libclang-rt-14-dev)"
    [ "${CI:-}" = true ] && exit 1
    exit 0
fi

seconds=${FUZZ_SECONDS:-30}
build=build/fuzz
CC=clang CXX=clang++ cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DQUERN_FUZZ=ON -DQUERN_SANITIZE=ON -DQUERN_BUILD_TESTS=OFF >/dev/null || exit 1
# Every file that defines a fuzz entry point is a target.
targets=$(grep -l '^extern "C" int LLVMFuzzerTestOneInput.*{$' fuzz/*.cpp | xargs -n1 basename | sed 's/\.cpp$//')
cmake --build "$build" -j"$(nproc)" $(printf -- '--target fuzz_%s ' $targets) >/dev/null || exit 1

# The targets that go through files are many times faster on a memory file system.
scratch=$(mktemp -d "$( [ -d /dev/shm ] && echo /dev/shm || echo "${TMPDIR:-/tmp}" )/quern-fuzz.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
mkdir -p "$build/findings"

run() {  # run TARGET: prints one line, returns the fuzzer's status
    local t=$1
    mkdir -p "$scratch/$t/corpus" "$scratch/$t/tmp"
    TMPDIR="$scratch/$t/tmp" ASAN_OPTIONS=detect_leaks=1 "$build/fuzz/fuzz_$t" -dict=fuzz/quern.dict \
        -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
        -artifact_prefix="$build/findings/$t-" "$scratch/$t/corpus" "fuzz/corpus/$t" >"$scratch/$t.log" 2>&1
    local status=$?
    local runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$scratch/$t.log")
    if [ $status -eq 0 ]; then
        echo "fuzz: $t, ${runs:-?} executions, no finding"
    else
        echo "*** fuzz: $t FAILED (status $status); the log ends:"
        tail -n 30 "$scratch/$t.log"
    fi
    return $status
}

failed=0
set -- $targets
while [ $# -gt 0 ]; do
    run "$1" & first=$!
    second=
    if [ $# -gt 1 ]; then run "$2" & second=$!; fi
    wait "$first" || failed=1
    [ -z "$second" ] || wait "$second" || failed=1
    shift; [ $# -gt 0 ] && shift
done
exit $failed
