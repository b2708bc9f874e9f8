#!/usr/bin/env bash
# The main job, end to end: build the tools, build the demo product's setup
# program from demo/, run it, and show what it installed and what it left.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

mkdir -p out
echo "Building the tools (log: out/build.log) ..."
if ! { cmake --preset native && cmake --build --preset native -j"$(nproc 2>/dev/null || echo 2)" \
        --target setup mksetup wizard quern; } >out/build.log 2>&1; then
    tail -40 out/build.log
    exit 1
fi
bin=$root/build/native

stage=$root/out/demo
rm -rf "$stage"
mkdir -p "$stage/wizard" "$stage/tmp"
cp demo/wizard/* "$stage/wizard/"
cp "$bin/wizard/inst32" "$stage/wizard/inst32.exe"
sed -i "s|@INSTALL_DIR@|$stage/installed|" "$stage/wizard/install.ini"

"$bin/tools/mksetup" -o "$stage/setup" --stub "$bin/setup/setup" --wizard "$stage/wizard" --payload demo/payload
echo "Built $stage/setup ($(stat -c %s "$stage/setup") bytes)"
echo

# A private temporary directory, so that what the run leaves there is plain to see.
TMPDIR=$stage/tmp "$stage/setup"
echo
echo "Installed into $stage/installed:"
(cd "$stage/installed" && find . -type f | sort | sed 's|^\./|  |')
echo "Left in the temporary directory $stage/tmp: $(ls -A "$stage/tmp" | wc -l) entries"
