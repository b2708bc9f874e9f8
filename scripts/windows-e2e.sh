#!/usr/bin/env bash
# The Windows setup end to end under Wine, on an X display (run it inside
# xvfb-run with WINEPREFIX set up):
#   1. the bare stub shows the error box captioned "Error"; answered, the
#      program ends with a non-zero status and leaves nothing in %TEMP%;
#   2. a setup made by mksetup from the Windows stub and the Windows wizard
#      shows its "Setup" window, runs the wizard, which ends with its box
#      (captioned with the product's name), installs the payload byte for
#      byte and leaves nothing in %TEMP%;
#   3. the same from archives made by quern, with "Message Boxes=0": no box;
#   4. that setup signed with osslsigncode (a throwaway certificate) verifies,
#      keeps its integrity record and installs its payload byte for byte;
#   5. the signed setup with one payload byte changed is refused (corrupt-file
#      box, status 81), installs nothing and leaves nothing;
#   6. a wizard whose installation fails shows its failure in its box, and
#      its exit code is the setup's exit status;
#   7. a setup whose archive holds no wizard: the shell's box, status 82.
# usage: windows-e2e.sh WINE WINDOWS_BUILD_DIR MKSETUP
set -euo pipefail
wine="$1" build="$(cd "$2" && pwd)" mksetup="$(realpath "$3")"
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
fail() { echo "windows-e2e: FAILED: $*" >&2; exit 1; }

unix_path() { "$wine" winepath -u "$1" 2>/dev/null | tr -d '\r'; }
windows_path() { "$wine" winepath -w "$1" 2>/dev/null | tr -d '\r'; }
temp="$(unix_path "$("$wine" cmd /c echo %TEMP% 2>/dev/null | tr -d '\r')")"
[[ -d "$temp" ]] || fail "cannot find Wine's temporary directory"
before="$(ls -A "$temp" | sort)"

# Waits (in the background) for a top-level window with this exact title;
# its X window id lands in the file.
watch_window() {  # title file
    (timeout 60 xdotool search --sync --name "^$1\$" 2>/dev/null | head -1 >"$2") &
}

# Runs a program under Wine in the background, answers the boxes titled as
# given, one after the other, and waits for it to end: its exit status lands
# in $status, the boxes' texts in ${boxes[@]}. The boxes are answered by a
# Windows program of the test build: keys sent through X leave key state in
# Wine that answers the next box by itself. A box that does not come within
# a minute, or a program that outlives five minutes, fails the run.
answerer="$build/tests/quern_box_answerer.exe"
run_answering() {  # program log [box title...]
    local program="$1" log="$2" title seen
    shift 2
    boxes=()
    timeout 300 "$wine" "$program" >"$log" 2>&1 &
    local pid=$!
    for title in "$@"; do
        seen="$(timeout 90 "$wine" "$answerer" 2>/dev/null | tr -d '\r' || true)"
        if [[ "$seen" != "$title: "* ]]; then
            kill "$pid" 2>/dev/null || true
            cat "$log"
            fail "$program: no box titled \"$title\" came (seen: ${seen:-none})"
        fi
        boxes+=("${seen#"$title: "}")
    done
    status=0
    wait "$pid" || status=$?
    [[ $status -ne 124 ]] || { cat "$log"; fail "$program did not end within five minutes"; }
}

echo "windows-e2e: the bare stub"
work="$build/e2e"
rm -rf "$work"
mkdir -p "$work"
run_answering "$build/setup/setup.exe" "$work/bare.log" Error
[[ "${boxes[0]}" == "Error reading data. Possible corrupt file." ]] || fail "the bare stub's box said: ${boxes[0]}"
[[ $status -ne 0 ]] || fail "the bare stub exited with status 0"
[[ "$(ls -A "$temp" | sort)" == "$before" ]] || fail "the bare stub left files in $temp"
echo "windows-e2e: error box shown and answered, exit status $status, nothing left"

echo "windows-e2e: a demo setup"
mkdir -p "$work/wizard" "$work/payload"
cp -r "$root/demo/payload/." "$work/payload/"
head -c 3000000 /dev/urandom >"$work/payload/random.bin"
cp "$root/demo/wizard/english.lng" "$work/wizard/"
cp "$build/wizard/inst32.exe" "$work/wizard/inst32.exe"
# A large read-me keeps the window up long enough to be seen by title.
{ cat "$root/demo/wizard/readme.txt"; head -c 8000000 /dev/urandom | base64; } >"$work/wizard/readme.txt"
sed_escape() { sed 's/[\\&|]/\\&/g' <<<"$1"; }
sed -e "s|@INSTALL_DIR@|$(sed_escape "$(windows_path "$work/installed")")|" \
    -e "s|^Show ReadMe=1|Show ReadMe=0\r\nReport File=$(sed_escape "$(windows_path "$work/report.txt")")|" \
    "$root/demo/wizard/install.ini" >"$work/wizard/install.ini"
"$mksetup" -o "$work/setup.exe" --stub "$build/setup/setup.exe" --wizard "$work/wizard" --payload "$work/payload"

# The wizard, in the console the setup's launch gives it, ends with a box
# captioned with the product's name.
product="$(sed -n 's/^Product Name=\([^\r]*\).*/\1/p' "$work/wizard/install.ini")"
[[ -n "$product" ]] || fail "the demo's install.ini names no product"
watch_window Setup "$work/setup.id"
watcher=$!
run_answering "$work/setup.exe" "$work/setup.log" "$product"
wait "$watcher" || true
[[ $status -eq 0 ]] || { cat "$work/setup.log"; fail "the setup exited with status $status"; }
[[ "${boxes[0]}" == "$product is installed ($(find "$work/payload" -type f | wc -l) files)." ]] || fail "the wizard's box said: ${boxes[0]}"
[[ -n "$(cat "$work/setup.id")" ]] || fail "no window titled Setup appeared"
diff -r "$work/payload" "$work/installed" >/dev/null || fail "the installed files differ from the payload"
grep -q "^Source=" "$work/report.txt" || fail "the wizard wrote no report"
[[ "$(ls -A "$temp" | sort)" == "$before" ]] || fail "the setup left files in $temp: $(ls -A "$temp")"
echo "windows-e2e: Setup window and the wizard's box seen, payload installed byte for byte, nothing left"

echo "windows-e2e: a setup from archives made by quern"
quern="$(dirname "$mksetup")/quern"
# quern stores names relative to the directory given: "<temp>\NAME".
mkdir -p "$work/quern/<temp>"
cp "$work/wizard/inst32.exe" "$work/wizard/english.lng" "$work/quern/<temp>/"
# Unattended: no box at the end (one would hold the run until answered).
sed -e "s|^Install Directory=.*|Install Directory=$(sed_escape "$(windows_path "$work/quern/installed")")\r\nMessage Boxes=0\r|" \
    "$work/wizard/install.ini" >"$work/quern/<temp>/install.ini"
"$quern" c -m lh5 "$work/quern/wizard.zmar" "$work/quern/<temp>" >/dev/null
(cd "$work/payload" && "$quern" c -m lh5 "$work/quern/payload.zmar" * >/dev/null)
"$mksetup" -o "$work/quern/setup.exe" --stub "$build/setup/setup.exe" \
    --archive "$work/quern/wizard.zmar" --payload "$work/quern/payload.zmar"
run_answering "$work/quern/setup.exe" "$work/quern/setup.log"
[[ $status -eq 0 ]] || { cat "$work/quern/setup.log"; fail "the quern-made setup exited with status $status"; }
diff -r "$work/payload" "$work/quern/installed" >/dev/null || fail "the quern-made setup installed other files"
[[ "$(ls -A "$temp" | sort)" == "$before" ]] || fail "the quern-made setup left files in $temp"
echo "windows-e2e: payload from quern's archives installed byte for byte without a box, nothing left"

echo "windows-e2e: a wizard whose installation fails"
# The install directory is a file: the wizard cannot create it and exits 6.
mkdir -p "$work/failing/wizard"
cp "$work/wizard/inst32.exe" "$work/wizard/english.lng" "$work/failing/wizard/"
echo "in the way" >"$work/failing/blocked"
sed -e "s|@INSTALL_DIR@|$(sed_escape "$(windows_path "$work/failing/blocked")")|" \
    -e "s|^Show ReadMe=1|Show ReadMe=0\r\nReport File=$(sed_escape "$(windows_path "$work/failing/report.txt")")|" \
    "$root/demo/wizard/install.ini" >"$work/failing/wizard/install.ini"
"$mksetup" -o "$work/failing/setup.exe" --stub "$build/setup/setup.exe" --wizard "$work/failing/wizard" \
    --payload "$root/demo/payload" >/dev/null
run_answering "$work/failing/setup.exe" "$work/failing/setup.log" "$product"
[[ "${boxes[0]}" == "Installation failed: "* ]] || fail "the failing wizard's box said: ${boxes[0]}"
grep -q "^Exit Code=6\$" "$work/failing/report.txt" || fail "the wizard did not fail with 6: $(cat "$work/failing/report.txt")"
[[ $status -eq 6 ]] || { cat "$work/failing/setup.log"; fail "the setup exited with status $status, not the wizard's 6"; }
[[ "$(cat "$work/failing/blocked")" == "in the way" ]] || fail "the file in the way was changed"
[[ "$(ls -A "$temp" | sort)" == "$before" ]] || fail "the failing setup left files in $temp"
echo "windows-e2e: the wizard's box said \"${boxes[0]}\", status 6 passed through, nothing left"

echo "windows-e2e: no wizard in the archive"
# The shell answers the failed launch with its own box, captioned "Error".
mkdir -p "$work/nowizard/<temp>"
cp "$work/wizard/english.lng" "$work/nowizard/<temp>/"
cp "$work/quern/<temp>/install.ini" "$work/nowizard/<temp>/install.ini"
"$quern" c -m lh5 "$work/nowizard/wizard.zmar" "$work/nowizard/<temp>" >/dev/null
"$mksetup" -o "$work/nowizard/setup.exe" --stub "$build/setup/setup.exe" \
    --archive "$work/nowizard/wizard.zmar" --payload "$work/quern/payload.zmar" >/dev/null
run_answering "$work/nowizard/setup.exe" "$work/nowizard/setup.log" Error
[[ $status -eq 82 ]] || { cat "$work/nowizard/setup.log"; fail "the setup without a wizard exited with $status, not 82"; }
[[ "$(ls -A "$temp" | sort)" == "$before" ]] || fail "the setup without a wizard left files in $temp"
echo "windows-e2e: the shell's box said \"${boxes[0]}\", status 82, nothing left"
if ! command -v osslsigncode >/dev/null || ! command -v openssl >/dev/null; then
    echo "windows-e2e: SKIPPED the signed setup: osslsigncode or openssl is not installed"
    echo "windows-e2e: 7 passed, 0 failed"
    exit 0
fi
echo "windows-e2e: the demo setup, signed"
# As a product's maker ships it: signed after mksetup (scripts/windows-signing.sh
# also verifies the signature and the integrity record), then run.
bash "$root/scripts/windows-signing.sh" "$work/setup.exe" "$work/signed/setup.exe" "$work/signed"
rm -rf "$work/installed" "$work/report.txt"
run_answering "$work/signed/setup.exe" "$work/signed/setup.log" "$product"
[[ $status -eq 0 ]] || { cat "$work/signed/setup.log"; fail "the signed setup exited with status $status"; }
diff -r "$work/payload" "$work/installed" >/dev/null || fail "the signed setup installed other files"
[[ "$(ls -A "$temp" | sort)" == "$before" ]] || fail "the signed setup left files in $temp"
echo "windows-e2e: the signed setup installed its payload byte for byte, nothing left"

echo "windows-e2e: the signed setup with one payload byte damaged"
# The integrity record is found and checked behind the signature too: the
# setup refuses with its corrupt-file box and status 81, installs nothing.
u32() { od -An -t u4 -j "$2" -N 4 "$1" | tr -d ' '; }
magic=$(LC_ALL=C grep -obUa 'Qnt_!' "$work/signed/setup.exe" | cut -d: -f1 | awk '$1 >= 210000 {print; exit}')
damaged=$((magic + 13 + $(u32 "$work/signed/setup.exe" $((magic + 5))) + $(u32 "$work/signed/setup.exe" $((magic + 9))) / 2))
cp "$work/signed/setup.exe" "$work/signed/damaged.exe"
byte=$(od -An -t u1 -j "$damaged" -N 1 "$work/signed/damaged.exe" | tr -d ' ')
printf "\\$(printf %03o $(((byte + 1) % 256)))" | dd of="$work/signed/damaged.exe" bs=1 seek="$damaged" conv=notrunc 2>/dev/null
rm -rf "$work/installed" "$work/report.txt"
run_answering "$work/signed/damaged.exe" "$work/signed/damaged.log" Error
[[ "${boxes[0]}" == "Error reading data. Possible corrupt file." ]] || fail "the damaged setup's box said: ${boxes[0]}"
[[ $status -eq 81 ]] || fail "the damaged signed setup exited with status $status, not 81"
[[ ! -e "$work/installed" ]] || fail "the damaged signed setup installed files"
[[ "$(ls -A "$temp" | sort)" == "$before" ]] || fail "the damaged signed setup left files in $temp"
echo "windows-e2e: refused with the corrupt-file box, status 81, nothing installed, nothing left"
echo "windows-e2e: 7 passed, 0 failed"
