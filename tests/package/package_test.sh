#!/usr/bin/env bash
# The Debian package as a user gets it: made by cpack from this build (or given with --deb),
# unpacked into an empty root with dpkg -x (no chroot: the program finds everything relative to
# itself), and run from there. Exit code 77 (skipped) where the dpkg tools are missing.
#
#   package_test.sh --version VERSION (--deb FILE | --cpack CPACK --config CPackConfig.cmake)
set -uo pipefail

version='' deb='' cpack='' config=''
while [ $# -gt 0 ]; do
    case $1 in
        --version) version=$2; shift 2 ;;
        --deb) deb=$2; shift 2 ;;
        --cpack) cpack=$2; shift 2 ;;
        --config) config=$2; shift 2 ;;
        *) echo "unknown argument $1" >&2; exit 2 ;;
    esac
done

skip() { echo "skipped: $*"; exit 77; }
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
check() {  # check DESCRIPTION COMMAND...: a failing COMMAND is a failure
    local what=$1; shift
    "$@" || fail "$what"
}

command -v dpkg >/dev/null && command -v dpkg-deb >/dev/null || skip "dpkg or dpkg-deb missing"
if [ -z "$deb" ]; then
    command -v dpkg-shlibdeps >/dev/null || skip "dpkg-shlibdeps missing (package dpkg-dev)"
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/mox3-package-test.XXXXXX")
trap 'rm -rf "$work"' EXIT

if [ -z "$deb" ]; then
    if ! "$cpack" -G DEB --config "$config" -B "$work/cpack" >"$work/cpack.log" 2>&1; then
        cat "$work/cpack.log"
        echo "FAIL: cpack could not make the package"
        exit 1
    fi
    deb=$(ls "$work"/cpack/*.deb)
fi
arch=$(dpkg --print-architecture)
check "package file name $(basename "$deb")" \
    test "$(basename "$deb")" = "mox3-updater_${version}_${arch}.deb"
depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
check "Depends computed from the program names libc6 and libcrypto's package" \
    grep -Eq 'libc6.*libssl|libssl.*libc6' <<<"$depends"

root=$work/root
dpkg -x "$deb" "$root" || { echo "FAIL: dpkg -x"; exit 1; }
program=$root/usr/bin/mox3-updater
data=$root/usr/share/mox3-updater
check "program" test -x "$program"
check "data folder" test -d "$data"
check "manual page" test -s "$root/usr/share/man/man1/mox3-updater.1"
check "bash completion" test -s "$root/usr/share/bash-completion/completions/mox3-updater"
check "README" test -s "$root/usr/share/doc/mox3-updater/README.md"
check "licence" test -s "$root/usr/share/doc/mox3-updater/LICENSE"
[ -x "$program" ] || exit 1

out=$("$program" --version)
check "--version starts with the version: $out" test "${out%%$'\n'*}" = "mox3-updater $version"
man=$root/usr/share/man/man1/mox3-updater.1
check "the manual page is this version's" \
    grep -q "^\.TH MOX3-UPDATER 1 .*\"mox3-updater $version\"" "$man"

out=$(LANG=C "$program" demo --dir "$work/demo" 2>&1)
rc=$?
check "demo exits with 0 (got $rc): $out" test $rc -eq 0
check "demo ends with the new firmware" grep -q "firmware version: V01L00R07" <<<"$out"

# The image only in the installed data folder: `update` must find it there, relative to the
# program, although the root is not the prefix the program was built for.
bus=$work/bus
"$program" image make --generation 2 --version 01000500 --size 120000 -o "$work/old.bin" >/dev/null
"$program" image make --generation 2 --version 01000700 --size 120000 \
    -o "$data/firmware_C311.bin" >/dev/null
"$program" emulator create "$bus/ZR-MOX3" --generation 2 --serial 4A3F0012B7C4D9E1 \
    --firmware "$work/old.bin" >/dev/null
out=$(LANG=C MOX3_TIME_SCALE=100 "$program" --emulator "$bus" update --yes \
      --state-dir "$work/state" 2>&1)
rc=$?
check "update with the data folder's image exits with 0 (got $rc): $out" test $rc -eq 0
check "the drive has the data folder's firmware" \
    grep -q "firmware version: V01L00R07" <<<"$("$program" emulator show "$bus/ZR-MOX3")"

# The completion asks the installed program for its subcommands.
words=$(PATH=$root/usr/bin:$PATH bash -c '
    source "$1"
    COMP_WORDS=(mox3-updater image ""); COMP_CWORD=2; _mox3_updater; echo "${COMPREPLY[*]}"' \
    - "$root/usr/share/bash-completion/completions/mox3-updater")
check "completion of 'mox3-updater image ' (got: $words)" test "$words" = "info make"

if [ $failures -gt 0 ]; then
    echo "$failures check(s) failed"
    exit 1
fi
echo "package $(basename "$deb") checked"
