#!/bin/sh
# Rebuilds the seed corpus in fuzz/corpus/ from MakeCorpus.cpp. Reproducers
# of findings (files named repro-*) are kept: they are not generated.
# Usage: fuzz/make_corpus.sh [BUILD_DIR]   (default build/native)
set -eu
here=$(cd "$(dirname "$0")" && pwd)
build=${1:-"$here/../build/native"}
cmake --build "$build" --target quern_fuzz_corpus -j2
"$build/fuzz/quern_fuzz_corpus" "$here/corpus"
