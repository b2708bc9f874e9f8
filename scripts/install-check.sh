#!/usr/bin/env bash
# What a packager or a user of the library meets, checked end to end:
#   1. plain Release builds with g++ and with clang, without QUERN_WERROR;
#   2. cmake --install into a prefix: tools, stub, manual pages, headers,
#      static libraries and the CMake package; the stub stripped and needing
#      no shared library of the system, not even glibc;
#   3. from another directory, the installed mksetup makes a setup without
#      --stub, and that setup installs the demo payload;
#   4. tests/consumer builds against the prefix with find_package(quern) and
#      lists and extracts an archive made by the installed quern;
#   5. cpack makes the .deb and the .tar.gz (and, when a Windows cross build
#      is there, the .zip of its programs and stub).
# Build directories are kept between runs (build/release-*), so a second run
# rebuilds only what changed. Ends with one summary line.
set -uo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
jobs="${QUERN_JOBS:-2}"
export CMAKE_CXX_COMPILER_LAUNCHER="${CMAKE_CXX_COMPILER_LAUNCHER:-$(command -v ccache || true)}"

passed=0
failed=0
check() {  # check NAME COMMAND...: runs COMMAND, output kept in the log
    local name=$1
    shift
    if "$@" >>"$log" 2>&1; then
        passed=$((passed + 1))
        echo "install-check: $name"
    else
        failed=$((failed + 1))
        echo "*** install-check: $name FAILED (log: $log)"
        tail -20 "$log"
    fi
}

mkdir -p build
log="$root/build/install-check.log"
: >"$log"
work=$(mktemp -d "${TMPDIR:-/tmp}/quern-install.XXXXXX")
trap 'rm -rf "$work"' EXIT
prefix="$work/prefix"

plain_build() {  # plain_build DIR COMPILER
    cmake -S . -B "$1" -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_COMPILER="$2" -DQUERN_BUILD_TESTS=OFF &&
        cmake --build "$1" -j"$jobs"
}
check "Release build with g++" plain_build build/release-gcc g++
if command -v clang++ >/dev/null; then
    check "Release build with clang" plain_build build/release-clang clang++
elif [[ "${CI:-}" == true ]]; then
    check "clang is installed" false
else
    echo "install-check: skipped the clang build, clang is not installed (apt-get install -y clang)"
fi

installed() {
    cmake --install build/release-gcc --prefix "$prefix" || return 1
    local f
    for f in bin/quern bin/mksetup bin/inst32 share/quern/stubs/setup share/man/man1/quern.1 \
             share/man/man1/mksetup.1 include/quern/Quern.h include/quern/CodecEngine.h \
             include/quern/IniFiles.h include/quern/Myini.h lib/libquern_archive.a \
             lib/cmake/quern/quernConfig.cmake lib/cmake/quern/quernConfigVersion.cmake; do
        [[ -e "$prefix/$f" ]] || { echo "not installed: $f"; return 1; }
    done
    # No internal header is installed.
    [[ ! -e "$prefix/include/quern/Window.h" && ! -e "$prefix/include/quern/EntryNames.h" ]]
}
check "cmake --install gives the tools, stub, manual pages, headers, libraries and package" installed

stub_portable() {
    local stub="$prefix/share/quern/stubs/setup"
    file -b "$stub" | grep -q ', stripped' || { echo "not stripped: $(file -b "$stub")"; return 1; }
    if objdump -p "$stub" | grep -E 'NEEDED|INTERP'; then
        echo "the stub needs shared libraries of the system"
        return 1
    fi
}
check "the installed stub is stripped and needs no shared library" stub_portable

setup_without_stub() {
    mkdir -p "$work/elsewhere/wizard" && cd "$work/elsewhere" || return 1
    cp "$root"/demo/wizard/* wizard/
    sed -i "s|@INSTALL_DIR@|$work/elsewhere/installed|" wizard/install.ini
    "$prefix/bin/mksetup" -o setup --wizard wizard --payload "$root/demo/payload" &&
        mkdir -p tmp && TMPDIR="$work/elsewhere/tmp" ./setup </dev/null &&
        diff -r "$root/demo/payload" installed
    local status=$?
    cd "$root"
    return $status
}
check "the installed mksetup makes a working setup without --stub" setup_without_stub

consumer() {
    cmake -S tests/consumer -B "$work/consumer" -DCMAKE_BUILD_TYPE=Release -DCMAKE_PREFIX_PATH="$prefix" &&
        cmake --build "$work/consumer" -j"$jobs" || return 1
    (cd "$root/demo" && "$prefix/bin/quern" c -f "$work/demo.zmar" payload) || return 1
    "$work/consumer/quern_consumer" "$work/demo.zmar" "$work/consumed" >"$work/consumer.txt" || return 1
    cat "$work/consumer.txt"
    grep -q '^payload' "$work/consumer.txt" && diff -r "$root/demo/payload" "$work/consumed/payload"
}
check "a find_package(quern) consumer lists and extracts an archive" consumer

packages() {
    rm -rf build/release-gcc/packages
    (cd build/release-gcc && cpack) || return 1
    local deb tgz
    deb=$(ls build/release-gcc/packages/quern_*.deb) && tgz=$(ls build/release-gcc/packages/quern-*.tar.gz) || return 1
    local contents
    contents=$(dpkg-deb -c "$deb") || return 1
    grep -q '/usr/bin/mksetup$' <<<"$contents" && grep -q 'share/quern/stubs/setup$' <<<"$contents" || return 1
    contents=$(tar -tzf "$tgz") || return 1
    grep -q 'include/quern/Quern.h$' <<<"$contents" || return 1
    ls -l "$deb" "$tgz"
}
check "cpack makes the .deb and the .tar.gz" packages

windows_zip() {
    local dir=$1
    rm -rf "$dir/packages"
    (cd "$dir" && cpack) || return 1
    local zip
    zip=$(ls "$dir"/packages/quern-*.zip) || return 1
    local contents
    contents=$(unzip -l "$zip") || return 1
    grep -q 'bin/mksetup.exe$' <<<"$contents" && grep -q 'stubs/setup.exe$' <<<"$contents" || return 1
    # Programs and stub only: no libraries or headers.
    ! grep -q 'include/quern' <<<"$contents" || return 1
    ls -l "$zip"
}
for dir in build/mingw-i686 build/mingw-x86_64; do
    if [[ -f "$dir/setup/setup.exe" && -f "$dir/tools/mksetup.exe" ]]; then
        check "cpack makes the .zip of $dir" windows_zip "$dir"
    fi
done

echo "install-check: $passed passed, $failed failed"
[[ $failed -eq 0 ]]
