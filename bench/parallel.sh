#!/usr/bin/env bash
# One job against several: quern c, t, x and mksetup on an archive of 24 files
# of a few MB (text and binary), with -j 1 and -j N side by side in one run
# (hyperfine times each), after checking that every N gives the same archive,
# setup and extracted files.
#
#   bench/parallel.sh [BUILD_DIR] [WORK_DIR]
#
# BUILD_DIR holds tools/quern and tools/mksetup (default build/bench: configure
# it with
#   cmake --preset native -B build/bench -DCMAKE_BUILD_TYPE=Release
#   cmake --build build/bench -j2 --target quern mksetup).
# JOBS (default: the number of processors, at least 2) is N; RUNS (default 3)
# the rounds, each running every command once in turn; FILES (24) and SIZE
# (the largest file, 4000000 bytes; files range from a third of it up) shape
# the corpus. On a shared machine elapsed times depend on the load: the table
# also gives user time, the CPU the command itself used.
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$here/build/bench}" && pwd)
work=${2:-${TMPDIR:-/tmp}/quern-parallel}
runs=${RUNS:-3}
files=${FILES:-24}
size=${SIZE:-4000000}
jobs=${JOBS:-$(nproc)}
[ "$jobs" -ge 2 ] || jobs=2
quern=$build/tools/quern
mksetup=$build/tools/mksetup
for tool in "$quern" "$mksetup"; do
    [ -x "$tool" ] || { echo "parallel.sh: $tool not built" >&2; exit 1; }
done
command -v hyperfine >/dev/null || { echo "parallel.sh: needs hyperfine" >&2; exit 1; }
mkdir -p "$work"
cd "$work"

# The corpus: even files are text (C headers), odd ones binary (programs and
# libraries), each a slice of its kind at its own offset. Sorted inputs, so a
# machine with the same packages gets the same bytes.
if [ "$(cat corpus.stamp 2>/dev/null)" != "$files $size" ]; then
    rm -rf corpus && mkdir corpus
    mapfile -t texts < <(find /usr/include -type f -name '*.h' 2>/dev/null | LC_ALL=C sort)
    mapfile -t bins < <(find /usr/bin /usr/lib/x86_64-linux-gnu -maxdepth 1 -type f -size +64k 2>/dev/null | LC_ALL=C sort)
    { for f in "${texts[@]}"; do cat "$f"; done; } 2>/dev/null | head -c $((files * size / 2 + size)) > text.all || true
    { for f in "${bins[@]}"; do cat "$f"; done; } 2>/dev/null | head -c $((files * size / 2 + size)) > binary.all || true
    for ((i = 0; i < files; i++)); do
        n=$((size / 3 + (size * 2 / 3) * ((i * 7) % files) / files))
        src=text.all
        [ $((i % 2)) = 1 ] && src=binary.all
        { tail -c +$((i / 2 * size / 2 + 1)) "$src" | head -c "$n" > "corpus/f$(printf %02d "$i")"; } || true
        [ "$(stat -c %s "corpus/f$(printf %02d "$i")")" = "$n" ] || { echo "parallel.sh: not enough input" >&2; exit 1; }
    done
    rm -f text.all binary.all
    echo "$files $size" > corpus.stamp
fi
total=$(du -sb corpus | cut -f1)

# mksetup's inputs: any bytes serve as stub, a small archive as the embedded one.
head -c 4096 /dev/zero > stub
"$quern" c -j 1 embedded.zmar corpus/f00 >/dev/null

# Same output for every number of jobs, before anything is timed.
export SOURCE_DATE_EPOCH=1700000000
"$quern" c -j 1 one.zmar corpus >/dev/null
"$quern" c -j "$jobs" many.zmar corpus >/dev/null
cmp one.zmar many.zmar || { echo "parallel.sh: quern c -j $jobs wrote another archive" >&2; exit 1; }
"$mksetup" -j 1 --stub stub --archive embedded.zmar --payload corpus -o one.setup >/dev/null
"$mksetup" -j "$jobs" --stub stub --archive embedded.zmar --payload corpus -o many.setup >/dev/null
cmp one.setup many.setup || { echo "parallel.sh: mksetup -j $jobs wrote another setup" >&2; exit 1; }
rm -rf x1 xn && mkdir x1 xn
"$quern" x -j 1 -C x1 one.zmar && "$quern" x -j "$jobs" -C xn one.zmar
diff -r x1 xn >/dev/null && diff -r corpus x1/corpus >/dev/null ||
    { echo "parallel.sh: quern x -j $jobs extracted other files" >&2; exit 1; }
"$quern" t -j 1 one.zmar >/dev/null && "$quern" t -j "$jobs" one.zmar >/dev/null
packed=$(stat -c %s one.zmar)
echo "corpus: $files files, $total bytes; archive $packed bytes; -j 1 and -j $jobs give the same archive, setup and files"

# The commands take turns, one run each per round, so that -j 1 and -j N meet
# the same load on a shared machine; the table gives medians.
names=()
commands=()
add() {  # NAME COMMAND
    names+=("$1")
    commands+=("$2")
}
for j in 1 "$jobs"; do
    add "quern c -j $j" "$quern c -j $j out.zmar corpus"
    add "quern t -j $j" "$quern t -j $j one.zmar"
    add "quern x -j $j" "$quern x -j $j -C xo one.zmar"
    add "mksetup -j $j" "$mksetup -j $j --stub stub --archive embedded.zmar --payload corpus -o out.setup"
done
rm -f run-*.json
for ((round = 0; round < runs; round++)); do
    for k in "${!commands[@]}"; do
        hyperfine -N --style none --runs 1 --prepare "rm -rf xo" --export-json "run-$round-$k.json" \
            "${commands[$k]}" >/dev/null 2>&1
    done
done

python3 - "$jobs" "$runs" "${names[@]}" <<'EOF'
import json, statistics, sys
jobs, runs = sys.argv[1], int(sys.argv[2])
names = sys.argv[3:]
def median(k, field):
    return statistics.median(json.load(open(f"run-{r}-{k}.json"))["results"][0][field] for r in range(runs))
t = {n: {f: median(k, f) for f in ("mean", "user", "system")} for k, n in enumerate(names)}
print(f"| command | -j 1 elapsed / user s | -j {jobs} elapsed / user s | speed-up (elapsed) | CPU time -j {jobs} / -j 1 |")
print("|---|---|---|---|---|")
for what in ["quern c", "quern t", "quern x", "mksetup"]:
    a, b = t[f"{what} -j 1"], t[f"{what} -j {jobs}"]
    cpu = (b["user"] + b["system"]) / (a["user"] + a["system"])
    print(f"| {what} | {a['mean']:.2f} / {a['user']:.2f} | {b['mean']:.2f} / {b['user']:.2f} "
          f"| {a['mean'] / b['mean']:.2f}x | {cpu:.2f} |")
EOF
echo "(median of $runs rounds; load average $(cut -d' ' -f1-3 /proc/loadavg); $(nproc) processors)"
