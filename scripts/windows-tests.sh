#!/usr/bin/env bash
# Builds the Windows programs and runs the Windows tests.
#
#   1. preset mingw-x86_64 (tests on), its ctest run under 64-bit Wine on a
#      virtual X display (the 32-bit Wine that would run the shipped target
#      is not installable here);
#      then the form's window tests again at 96 and at 144 dpi, in a Wine
#      prefix of their own;
#   2. preset mingw-i686, the shipped 32-bit target, built and checked;
#   3. every built program must be a PE32 (i686) / PE32+ (x86_64) image that
#      needs nothing but system DLLs; the four shipped programs carry their
#      manifest and version information, setup.exe its icon and, i686, it
#      stays below 200000 bytes.
#
# With CI=true a missing cross compiler, Wine or Xvfb is a failure; otherwise
# the script says what it skipped. QUERN_WINDOWS_TARGETS="a b" builds only
# those targets (default: everything).
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
jobs="${QUERN_JOBS:-2}"
install_hint="apt-get install -y mingw-w64 g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine64 xvfb xauth xdotool osslsigncode openssl"

missing() {
    if [[ "${CI:-}" == "true" ]]; then
        echo "windows-tests: FAILED: $1 is not installed (install with: $install_hint)" >&2
        exit 1
    fi
    echo "windows-tests: SKIPPED $2: $1 is not installed (install with: $install_hint)"
}

have_i686=1 have_x86_64=1 have_wine=1
command -v i686-w64-mingw32-g++-posix >/dev/null || { missing "i686-w64-mingw32-g++-posix" "the 32-bit build"; have_i686=0; }
command -v x86_64-w64-mingw32-g++-posix >/dev/null || { missing "x86_64-w64-mingw32-g++-posix" "the 64-bit build and the Wine run"; have_x86_64=0; }
wine=""
for candidate in /usr/lib/wine/wine64 "$(command -v wine64 || true)"; do
    [[ -n "$candidate" && -x "$candidate" ]] && { wine="$candidate"; break; }
done
[[ -n "$wine" ]] || { missing "wine64" "the Windows test run"; have_wine=0; }
command -v xvfb-run >/dev/null && command -v xauth >/dev/null || { missing "xvfb-run/xauth" "the Windows test run"; have_wine=0; }
command -v x86_64-w64-mingw32-objdump >/dev/null || { missing "x86_64-w64-mingw32-objdump" "the 64-bit build"; have_x86_64=0; }
have_signing=1
command -v osslsigncode >/dev/null && command -v openssl >/dev/null || { missing "osslsigncode/openssl" "the signed-setup checks"; have_signing=0; }
command -v x86_64-w64-mingw32-windres >/dev/null || { missing "x86_64-w64-mingw32-windres" "the 64-bit build"; have_x86_64=0; }

build() {  # preset
    local preset="$1"
    cmake --preset "$preset" -DQUERN_BUILD_TESTS=ON >"build/$preset.configure.log" 2>&1 ||
        { cat "build/$preset.configure.log"; echo "windows-tests: FAILED: configure $preset" >&2; exit 1; }
    if [[ -n "${QUERN_WINDOWS_TARGETS:-}" ]]; then
        # shellcheck disable=SC2086
        cmake --build "build/$preset" -j"$jobs" --target $QUERN_WINDOWS_TARGETS
    else
        cmake --build "build/$preset" -j"$jobs"
    fi
}

# Every program of a build: the expected image kind, and system DLLs only.
check_images() {  # build dir, `file` pattern, objdump, kind
    local dir="$1" pattern="$2" objdump="$3" kind="$4" bad=0 count=0
    local system_dlls='^(kernel32|user32|gdi32|shell32|comctl32|advapi32|msvcrt|ole32|ws2_32|comdlg32)\.dll$'
    while IFS= read -r -d '' exe; do
        count=$((count + 1))
        if ! file -b "$exe" | grep -Eq "$pattern"; then
            echo "windows-tests: $exe is not a $kind image: $(file -b "$exe")" >&2
            bad=1
        fi
        while read -r dll; do
            if ! tr '[:upper:]' '[:lower:]' <<<"$dll" | grep -Eq "$system_dlls"; then
                echo "windows-tests: $exe needs the non-system DLL $dll" >&2
                bad=1
            fi
        done < <("$objdump" -p "$exe" | sed -n 's/^\s*DLL Name: //p')
    done < <(find "$dir" -name '*.exe' -not -path '*/CMakeFiles/*' -not -path '*/wineprefix*/*' -print0)
    [[ $count -gt 0 ]] || { echo "windows-tests: no programs were built in $dir" >&2; bad=1; }
    [[ $bad -eq 0 ]] || { echo "windows-tests: FAILED: image check of $dir" >&2; exit 1; }
    echo "windows-tests: $count programs in $dir are $kind images needing system DLLs only"
}

# The four shipped programs carry their manifest and version information
# (the project's version), setup.exe also its icon.
check_resources() {  # build dir, windres
    local dir="$1" windres="$2" version programs=()
    version="$(cat "$dir/res/project-version")"
    for exe in setup/setup.exe wizard/inst32.exe tools/quern.exe tools/mksetup.exe; do
        [[ -f "$dir/$exe" ]] || continue
        [[ "$exe" == setup/setup.exe ]] && programs+=(--icon)
        programs+=("$dir/$exe")
    done
    [[ ${#programs[@]} -eq 0 ]] || bash scripts/windows-resources.sh "$windres" "$version" "${programs[@]}" ||
        { echo "windows-tests: FAILED: resource check of $dir" >&2; exit 1; }
}

mkdir -p build
if [[ $have_x86_64 -eq 1 ]]; then
    build mingw-x86_64
    check_images build/mingw-x86_64 'PE32\+ executable.*x86-64' x86_64-w64-mingw32-objdump "PE32+ x86-64"
    check_resources build/mingw-x86_64 x86_64-w64-mingw32-windres
    if [[ $have_wine -eq 1 ]]; then
        export WINEDEBUG=-all
        export WINEPREFIX="${WINEPREFIX:-$root/build/mingw-x86_64/wineprefix}"
        # No Mono or Gecko installer prompts while the prefix is made.
        export WINEDLLOVERRIDES="mscoree,mshtml="
        wineserver="$(dirname "$wine")/wineserver"
        [[ -x "$wineserver" ]] || wineserver="$(command -v wineserver || echo true)"
        # One X display for the prefix set-up and all tests. Xvfb runs no window
        # manager: unmanaged windows keep Wine from waiting for one on every hide.
        only=".*"
        [[ -z "${QUERN_WINDOWS_TARGETS:-}" ]] || only="^($(tr ' ' '|' <<<"$QUERN_WINDOWS_TARGETS"))\\."
        # The end-to-end run makes its setups with the native mksetup and quern.
        native_tools=""
        if [[ -z "${QUERN_WINDOWS_TARGETS:-}" ]]; then
            native_tools="$root/build/sanitize/tools"
            if [[ ! -x "$native_tools/mksetup" || ! -x "$native_tools/quern" ]]; then
                native_tools="$root/build/native/tools"
                cmake --preset native >/dev/null && cmake --build --preset native -j"$jobs" --target mksetup quern >/dev/null
            fi
        fi
        xvfb-run -a bash -c '
            set -e
            "$1" wineboot -i >/dev/null 2>&1
            "$1" reg add "HKCU\\Software\\Wine\\X11 Driver" /v Managed /d N /f >/dev/null 2>&1
            status=0
            ctest --test-dir build/mingw-x86_64 --output-on-failure --timeout 600 -R "$3" || status=$?
            if [[ -n "$4" ]]; then
                bash scripts/windows-e2e.sh "$1" build/mingw-x86_64 "$4/mksetup" || status=1
            fi
            "$2" -k 2>/dev/null || true
            exit $status
        ' windows-tests "$wine" "$wineserver" "$only" "$native_tools"

        # The form at 96 and at 144 dpi. Wine's dpi is its LogPixels setting,
        # which belongs to the prefix: the form gets a copy of its own, so the
        # shared prefix keeps the dpi the other tests rely on.
        platform_tests="build/mingw-x86_64/tests/platform_tests.exe"
        if [[ -f "$platform_tests" ]]; then
            dpi_prefix="$root/build/mingw-x86_64/wineprefix-dpi"
            rm -rf "$dpi_prefix"
            # Hard links for the large, read-only system files; the registry,
            # which this run changes, as real copies.
            cp -al "$WINEPREFIX" "$dpi_prefix"
            for reg in "$WINEPREFIX"/*.reg; do cp --remove-destination "$reg" "$dpi_prefix/"; done
            WINEPREFIX="$dpi_prefix" xvfb-run -a bash -c '
                status=0
                for dpi in 96 144; do
                    "$1" reg add "HKCU\Control Panel\Desktop" /v LogPixels /t REG_DWORD /d $dpi /f >/dev/null 2>&1
                    if QUERN_EXPECT_DPI=$dpi "$1" "$3" --gtest_filter="Win32Window.*" >"$4/dpi-$dpi.log" 2>&1; then
                        echo "windows-tests: the form at $dpi dpi: scaled from its design, caption not clipped"
                    else
                        cat "$4/dpi-$dpi.log"
                        echo "windows-tests: FAILED: the form at $dpi dpi" >&2
                        status=1
                    fi
                done
                "$2" -k 2>/dev/null || true
                exit $status
            ' windows-dpi "$wine" "$wineserver" "$platform_tests" "$dpi_prefix"
        fi
    fi
fi

if [[ $have_i686 -eq 1 ]]; then
    build mingw-i686
    objdump=i686-w64-mingw32-objdump
    command -v "$objdump" >/dev/null || objdump=x86_64-w64-mingw32-objdump
    check_images build/mingw-i686 'PE32 executable.*Intel 80386' "$objdump" "PE32 Intel 80386"
    windres=i686-w64-mingw32-windres
    command -v "$windres" >/dev/null || windres=x86_64-w64-mingw32-windres
    check_resources build/mingw-i686 "$windres"
    # The shipped stub must end below the payload scan start (210000), with
    # room to spare, so that mksetup pads it instead of appending at its end.
    stub=build/mingw-i686/setup/setup.exe
    if [[ -f "$stub" ]]; then
        size=$(stat -c %s "$stub")
        [[ $size -lt 200000 ]] || { echo "windows-tests: FAILED: $stub is $size bytes, not below 200000" >&2; exit 1; }
        echo "windows-tests: the shipped setup.exe is $size bytes"
    fi
    # A setup from the shipped stub, signed: it cannot run here (no 32-bit
    # Wine), but its signature, its layout and its integrity record are checked.
    if [[ -f "$stub" && -f build/mingw-i686/wizard/inst32.exe && -n "${native_tools:-}" && $have_signing -eq 1 ]]; then
        signing=build/mingw-i686/signing
        rm -rf "$signing"
        mkdir -p "$signing/wizard"
        cp demo/wizard/* build/mingw-i686/wizard/inst32.exe "$signing/wizard/"
        # mksetup refuses the demo's unreplaced install directory placeholder.
        sed -i 's|@INSTALL_DIR@|C:\\Program Files\\Demo|' "$signing/wizard/install.ini"
        "$native_tools/mksetup" -o "$signing/setup.exe" --stub "$stub" --wizard "$signing/wizard" --payload demo/payload
        # The stub padded with zeros up to the scan start, the trailer there.
        cmp -s -i "$size:0" -n $((210000 - size)) "$signing/setup.exe" /dev/zero &&
            [[ "$(head -c 210005 "$signing/setup.exe" | tail -c 5)" == "Qnt_!" ]] ||
            { echo "windows-tests: FAILED: mksetup did not pad the stub to offset 210000" >&2; exit 1; }
        echo "windows-tests: mksetup padded the $size-byte stub to the trailer at offset 210000"
        bash scripts/windows-signing.sh "$signing/setup.exe" "$signing/signed/setup.exe" "$signing/signed"
    fi
    echo "windows-tests: the 32-bit programs are built but not run (no 32-bit Wine here)"
fi
