#!/usr/bin/env bash
# Checks the resources of built Windows programs, read back from the images
# with windres: the manifest (asInvoker, Common Controls 6, DPI awareness
# per-monitor v2 with the system-aware fallback, Windows 7 to 11), the version
# information (file and product version = VERSION, product name, description,
# copyright, original file name) and, with --icon, an icon group.
# usage: windows-resources.sh WINDRES VERSION [--icon] PROGRAM.exe [[--icon] PROGRAM.exe ...]
set -euo pipefail
windres="$1" version="$2"
shift 2
IFS=. read -r major minor patch _ <<<"$version.0.0.0"
bad=0 count=0 icon=0

expect() {  # exe, rc text, what, fixed string
    grep -qF -- "$4" <<<"$2" || { echo "windows-resources: $1: no $3 ($4)" >&2; bad=1; }
}

for arg in "$@"; do
    if [[ "$arg" == "--icon" ]]; then icon=1; continue; fi
    exe="$arg" name="$(basename "$arg")"
    count=$((count + 1))
    rc="$("$windres" -i "$exe" -O rc 2>/dev/null)" || { echo "windows-resources: $exe: no resources" >&2; bad=1; continue; }
    # The manifest's quotes come out doubled in rc syntax.
    expect "$exe" "$rc" "manifest" '1 24 /* RT_MANIFEST */'
    expect "$exe" "$rc" "asInvoker level" 'requestedExecutionLevel level=""asInvoker""'
    expect "$exe" "$rc" "Common Controls 6" 'name=""Microsoft.Windows.Common-Controls"" version=""6.0.0.0""'
    expect "$exe" "$rc" "system-aware fallback" 'WindowsSettings"">true</dpiAware>'
    expect "$exe" "$rc" "per-monitor v2 awareness" 'WindowsSettings"">PerMonitorV2, System</dpiAwareness>'
    for os in 35138b9a-5d96-4fbd-8e2d-a2440225f93a 4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38 \
              1f676c76-80e1-4239-95bb-83d0f6d0da78 8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a; do
        expect "$exe" "$rc" "supportedOS entry" "<supportedOS Id=\"\"{$os}\"\"/>"
    done
    expect "$exe" "$rc" "version information" '1 VERSIONINFO'
    if [[ "$major.$minor.$patch" != "0.0.0" ]]; then  # windres leaves out a zero version
        expect "$exe" "$rc" "file version" " FILEVERSION $major, $minor, $patch, 0"
        expect "$exe" "$rc" "product version" " PRODUCTVERSION $major, $minor, $patch, 0"
    fi
    expect "$exe" "$rc" "file version text" "VALUE \"FileVersion\", \"$major.$minor.$patch\""
    expect "$exe" "$rc" "product version text" "VALUE \"ProductVersion\", \"$major.$minor.$patch\""
    expect "$exe" "$rc" "original file name" "VALUE \"OriginalFilename\", \"$name\""
    for key in ProductName FileDescription LegalCopyright CompanyName; do
        grep -Eq "VALUE \"$key\", \"[^\"]+\"" <<<"$rc" || { echo "windows-resources: $exe: empty or no $key" >&2; bad=1; }
    done
    if [[ $icon -eq 1 ]]; then
        expect "$exe" "$rc" "icon group" '/* RT_GROUP_ICON */'
        icon=0
    fi
done
[[ $count -gt 0 ]] || { echo "windows-resources: no programs given" >&2; exit 2; }
[[ $bad -eq 0 ]] || { echo "windows-resources: FAILED" >&2; exit 1; }
echo "windows-resources: $count programs carry their manifest and version information $major.$minor.$patch"
