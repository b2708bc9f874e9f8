#!/usr/bin/env bash
# The Windows setup end to end under Wine, on an X display (run it inside
# xvfb-run with WINEPREFIX set up):
#   1. the bare stub shows the error box captioned "Error"; answered, the
#      program ends with a non-zero status and leaves nothing in %TEMP%;
#   2. a setup made by mksetup from the Windows stub and the Windows wizard
#      shows its "Setup" window, runs the wizard, installs the payload byte
#      for byte and leaves nothing in %TEMP%;
#   3. the same from archives made by quern;
#   4. that setup signed with osslsigncode (a throwaway certificate) verifies,
#      keeps its integrity record and installs its payload byte for byte;
#   5. the signed setup with one payload byte changed is refused (corrupt-file
#      box, status 81), installs nothing and leaves nothing.
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

echo "windows-e2e: the bare stub"
work="$build/e2e"
rm -rf "$work"
mkdir -p "$work"
watch_window Error "$work/error.id"
watcher=$!
"$wine" "$build/setup/setup.exe" &
setup=$!
wait "$watcher" || true
box="$(cat "$work/error.id")"
[[ -n "$box" ]] || { kill "$setup" 2>/dev/null; fail "no error box appeared"; }
sleep 0.3
xdotool key --window "$box" Return 2>/dev/null || true
status=0
wait "$setup" || status=$?
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

watch_window Setup "$work/setup.id"
watcher=$!
status=0
"$wine" "$work/setup.exe" >"$work/setup.log" 2>&1 || status=$?
wait "$watcher" || true
[[ $status -eq 0 ]] || { cat "$work/setup.log"; fail "the setup exited with status $status"; }
[[ -n "$(cat "$work/setup.id")" ]] || fail "no window titled Setup appeared"
diff -r "$work/payload" "$work/installed" >/dev/null || fail "the installed files differ from the payload"
grep -q "^Source=" "$work/report.txt" || fail "the wizard wrote no report"
[[ "$(ls -A "$temp" | sort)" == "$before" ]] || fail "the setup left files in $temp: $(ls -A "$temp")"
echo "windows-e2e: Setup window seen, payload installed byte for byte, nothing left"

echo "windows-e2e: a setup from archives made by quern"
quern="$(dirname "$mksetup")/quern"
# quern stores names relative to the directory given: "<temp>\NAME".
mkdir -p "$work/quern/<temp>"
cp "$work/wizard/inst32.exe" "$work/wizard/english.lng" "$work/quern/<temp>/"
sed -e "s|^Install Directory=.*|Install Directory=$(sed_escape "$(windows_path "$work/quern/installed")")\r|" \
    "$work/wizard/install.ini" >"$work/quern/<temp>/install.ini"
"$quern" c -m lh5 "$work/quern/wizard.zmar" "$work/quern/<temp>" >/dev/null
(cd "$work/payload" && "$quern" c -m lh5 "$work/quern/payload.zmar" * >/dev/null)
"$mksetup" -o "$work/quern/setup.exe" --stub "$build/setup/setup.exe" \
    --archive "$work/quern/wizard.zmar" --payload "$work/quern/payload.zmar"
status=0
"$wine" "$work/quern/setup.exe" >"$work/quern/setup.log" 2>&1 || status=$?
[[ $status -eq 0 ]] || { cat "$work/quern/setup.log"; fail "the quern-made setup exited with status $status"; }
diff -r "$work/payload" "$work/quern/installed" >/dev/null || fail "the quern-made setup installed other files"
[[ "$(ls -A "$temp" | sort)" == "$before" ]] || fail "the quern-made setup left files in $temp"
echo "windows-e2e: payload from quern's archives installed byte for byte, nothing left"
if ! command -v osslsigncode >/dev/null || ! command -v openssl >/dev/null; then
    echo "windows-e2e: SKIPPED the signed setup: osslsigncode or openssl is not installed"
    echo "windows-e2e: 3 passed, 0 failed"
    exit 0
fi
echo "windows-e2e: the demo setup, signed"
# As a product's maker ships it: signed after mksetup (scripts/windows-signing.sh
# also verifies the signature and the integrity record), then run.
bash "$root/scripts/windows-signing.sh" "$work/setup.exe" "$work/signed/setup.exe" "$work/signed"
rm -rf "$work/installed" "$work/report.txt"
status=0
"$wine" "$work/signed/setup.exe" >"$work/signed/setup.log" 2>&1 || status=$?
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
watch_window Error "$work/signed/error.id"
watcher=$!
"$wine" "$work/signed/damaged.exe" >"$work/signed/damaged.log" 2>&1 &
setup=$!
wait "$watcher" || true
box="$(cat "$work/signed/error.id")"
[[ -n "$box" ]] || { kill "$setup" 2>/dev/null; fail "the damaged signed setup showed no error box"; }
sleep 0.3
xdotool key --window "$box" Return 2>/dev/null || true
status=0
wait "$setup" || status=$?
[[ $status -eq 81 ]] || fail "the damaged signed setup exited with status $status, not 81"
[[ ! -e "$work/installed" ]] || fail "the damaged signed setup installed files"
[[ "$(ls -A "$temp" | sort)" == "$before" ]] || fail "the damaged signed setup left files in $temp"
echo "windows-e2e: refused with the corrupt-file box, status 81, nothing installed, nothing left"
echo "windows-e2e: 5 passed, 0 failed"
