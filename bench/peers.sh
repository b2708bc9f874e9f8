#!/usr/bin/env bash
# Side by side: our LH5 and LZH (-lh1-) codecs against LHA tools and gzip, in
# one run, on corpora built here. Our coded streams are wrapped as LHA members
# so that every decoder reads the very same stream.
#
#   bench/peers.sh [BUILD_DIR] [WORK_DIR]
#
# BUILD_DIR holds bench/quern_codec (default build/bench: configure it with
#   cmake --preset native -B build/bench -DCMAKE_BUILD_TYPE=Release -DQUERN_BUILD_BENCH=ON
#   cmake --build build/bench -j2 --target quern_codec).
# Needs hyperfine, bsdtar (libarchive-tools), 7zz (7zip), lhasa, gzip and
# libdeflate-gzip (libdeflate-tools); a missing peer leaves its cell empty.
# RUNS (default 3) sets hyperfine's runs per command. Times are whole
# processes (read the file, code it, write the result to /dev/null).
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$here/build/bench}" && pwd)
work=${2:-${TMPDIR:-/tmp}/quern-peers}
runs=${RUNS:-3}
codec=$build/bench/quern_codec
[ -x "$codec" ] || { echo "peers.sh: $codec not built" >&2; exit 1; }
command -v hyperfine >/dev/null || { echo "peers.sh: needs hyperfine" >&2; exit 1; }
mkdir -p "$work"
cd "$work"

big=${BIG:-$((25 * 1024 * 1024))}  # BIG and SMALL override the sizes, for a quick try
small=${SMALL:-8000000}

# Text: C headers; binary: programs and libraries. Sorted, so a machine with
# the same packages gets the same bytes.
build_corpus() {  # NAME SIZE FILES...
    local name=$1 size=$2
    shift 2
    [ "$(stat -c %s "$name" 2>/dev/null || echo 0)" = "$size" ] && return
    { for f in "$@"; do cat "$f"; done; } 2>/dev/null | head -c "$size" > "$name" || true
    [ "$(stat -c %s "$name")" = "$size" ] || { echo "peers.sh: not enough input for $name" >&2; exit 1; }
}
mapfile -t texts < <(find /usr/include /usr/share/doc -type f \( -name '*.h' -o -name '*.txt' \) 2>/dev/null | LC_ALL=C sort)
mapfile -t bins < <(find /usr/bin /usr/lib/x86_64-linux-gnu /usr/lib -maxdepth 1 -type f -size +64k 2>/dev/null | LC_ALL=C sort)
build_corpus text.bin $big "${texts[@]}"
build_corpus binary.bin $big "${bins[@]}"
head -c $small text.bin > text8.bin
head -c $small binary.bin > binary8.bin

have() { command -v "$1" >/dev/null; }

# Mean seconds of one command over $runs runs.
seconds() {
    hyperfine -N --style none --runs "$runs" --export-json t.json "$1" >/dev/null 2>&1 || { echo ""; return; }
    python3 -c 'import json; print(json.load(open("t.json"))["results"][0]["mean"])'
}
mbps() { python3 -c "import sys; print(f'{$1 / $2 / 1e6:.1f}')"; }
ratio() { [ -n "$2" ] && python3 -c "print(f'{$2 / $1:.2f}x')" || echo ""; }

# Every peer must give back the original bytes before it is timed.
check() {  # NAME ORIGINAL COMMAND...
    local name=$1 original=$2
    shift 2
    "$@" 2>/dev/null | cmp -s - "$original" && return 0
    echo "peers.sh: $name did not reproduce $original (bsdtar and 7zz have no -lh1-)" >&2
    return 1
}

row() { printf '| %s | %s | %s | %s | %s | %s |\n' "$@"; }

echo "Machine: $(nproc) cores, $(uname -m); load average $(cut -d' ' -f1-3 /proc/loadavg); $runs runs each"
echo
echo "| operation | quern MB/s | bsdtar | 7zz | lhasa | gzip -6 / libdeflate-gzip -6 |"
echo "|---|---|---|---|---|---|"

for method in lh5 lzh; do
    for kind in text binary; do
        if [ $method = lh5 ]; then plain=$kind.bin; tag=-lh5-; else plain=${kind}8.bin; tag=-lh1-; fi
        size=$(stat -c %s "$plain")
        "$codec" enc $method "$plain" "$plain.$method"
        "$codec" lha $method "$plain" "$plain.$method" "$plain.$method.lzh"
        stored=$(stat -c %s "$plain.$method")
        label="$tag $kind $((size / 1000000)) MB (stored $((100 * stored / size))%)"

        # Decode: our stream, then the same stream in an LHA member for each peer.
        "$codec" dec $method "$plain.$method" out.bin "$size"
        cmp -s out.bin "$plain" || { echo "peers.sh: quern_codec dec did not reproduce $plain" >&2; exit 1; }
        ours=$(seconds "$codec dec $method $plain.$method /dev/null $size")
        declare -A peer=()
        # hyperfine -N cannot redirect: peers that print to stdout run under --output=null.
        for p in bsdtar 7zz lhasa; do
            have $p || continue
            case $p in
                bsdtar) args="-xOf $plain.$method.lzh" ;;
                7zz) args="e -so $plain.$method.lzh" ;;
                lhasa) args="pq $plain.$method.lzh" ;;
            esac
            check $p "$plain" $p $args || continue
            hyperfine -N --style none --runs "$runs" --output=null --export-json t.json "$p $args" >/dev/null 2>&1 &&
                peer[$p]=$(python3 -c 'import json; print(json.load(open("t.json"))["results"][0]["mean"])')
        done
        cells=()
        for p in bsdtar 7zz lhasa; do
            if [ -n "${peer[$p]:-}" ]; then
                cells+=("$(mbps "$size" "${peer[$p]}") (quern $(ratio "$ours" "${peer[$p]}"))")
            else
                cells+=("")
            fi
        done
        row "decode, $label" "$(mbps "$size" "$ours")" "${cells[@]}" ""

        # Encode: ours against gzip's usual level on the same bytes.
        enc=$(seconds "$codec enc $method $plain /dev/null")
        gz=""
        for p in gzip libdeflate-gzip; do
            have $p || continue
            hyperfine -N --style none --runs "$runs" --output=null --export-json t.json "$p -6 -c $plain" >/dev/null 2>&1 || continue
            t=$(python3 -c 'import json; print(json.load(open("t.json"))["results"][0]["mean"])')
            gz="$gz${gz:+ / }$(mbps "$size" "$t") (quern $(ratio "$enc" "$t"))"
        done
        row "encode, $label" "$(mbps "$size" "$enc")" "" "" "" "$gz"
        unset peer
    done
done
echo
echo "\"quern Nx\" in a peer's cell: how many times faster quern is than that peer (below 1: slower)."
