#!/usr/bin/env bash
# The dialog program under Wine on a virtual X display (run this script through xvfb-run):
#
#   gui_test.sh update WINE PROGRAM DRIVER CLI
#       an emulated ZR-MOX3 with firmware V01L00R05 is updated to V01L00R07 through the dialog
#       (Start, "Complete", OK, the program ends), and the drive then holds the new firmware;
#       a second Start is refused ("This drive does not require an update.") and leaves the
#       dialog open; a second copy started beside a first one only says "It has been started"
#   gui_test.sh screenshots WINE PROGRAM DRIVER CLI OUTDIR
#       the dialog in every language, as OUTDIR/<language id>.png
#
# PROGRAM is mox3-updater.exe, DRIVER the test driver, CLI mox3-updater-cli.exe; all are run
# with WINE. The waits of the program are sped up (MOX3_TIME_SCALE).
set -euo pipefail

if [ $# -lt 5 ]; then
    sed -n '2,13p' "$0" >&2
    exit 2
fi
mode=$1
wine=$2
program=$3
driver=$4
cli=$5
export WINEDEBUG=${WINEDEBUG:--all}
if [ -z "${DISPLAY:-}" ]; then
    echo "no X display: run this script through xvfb-run" >&2
    exit 2
fi
wineserver=$(dirname "$wine")/wineserver
[ -x "$wineserver" ] || wineserver=wineserver

work=$(mktemp -d "${TMPDIR:-/tmp}/mox3-gui.XXXXXX")
finish() {
    # Wine's server outlives the programs for a moment; it must not outlive the X display.
    # MOX3_WINESERVER_STAYS=1: the caller keeps a lasting server (wineserver -p) and the
    # display, and ends both itself.
    [ "${MOX3_WINESERVER_STAYS:-0}" = 1 ] || "$wineserver" -w || true
    rm -rf "$work"
}
trap finish EXIT

# The Windows name of a local file: Wine's drive Z: is the root folder.
win() {
    local path=$1
    printf 'Z:%s' "${path//\//\\}"
}

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

run_cli() {
    "$wine" "$cli" "$@"
}

# The factory: a drive with old firmware, and the program with the new image beside it.
mkdir -p "$work/app" "$work/bus"
cp "$program" "$work/app/mox3-updater.exe"
exe=$(win "$work/app/mox3-updater.exe")
run_cli image make --generation 2 --version 01000500 --size 120000 -o "$(win "$work/old.bin")" >/dev/null
run_cli image make --generation 2 --version 01000700 --size 120000 \
    -o "$(win "$work/app/firmware_C311.bin")" >/dev/null
run_cli emulator create "$(win "$work/bus/ZR-MOX3")" --generation 2 --pid 0x7C34 \
    --product ZR-MOX3 --serial 4A3F0012B7C4D9E1 --firmware "$(win "$work/old.bin")" >/dev/null

# Runs the driver against the emulated drives, in the locale given first.
drive() {
    local locale=$1
    shift
    LC_ALL=$locale MOX3_EMULATOR=$(win "$work/bus") MOX3_TIME_SCALE=1000 "$wine" "$driver" "$@"
}

firmware_versions() {
    run_cli emulator show "$(win "$work/bus/ZR-MOX3")" --json |
        grep -o -E '"(firmwareVersion|version)": "[^"]*"' | tr '\n' ' '
}

# Takes the screen's rectangle until two pictures in a row agree: what the program has painted
# reaches the X server a moment later.
capture() {
    local out=$1 area=$2 tries=0
    import -window root -crop "$area" +repage "$work/shot.png"
    while :; do
        import -window root -crop "$area" +repage "$work/again.png"
        cmp -s "$work/shot.png" "$work/again.png" && break
        mv "$work/again.png" "$work/shot.png"
        tries=$((tries + 1))
        [ $tries -lt 50 ] || fail "the picture of $out does not settle"
    done
    mv "$work/shot.png" "$out"
}

case $mode in
update)
    before=$(firmware_versions)
    [[ $before == *V01L00R05*V01L00R05* ]] || fail "the drive does not start at V01L00R05: $before"

    drive en_US.UTF-8 second "$exe" 0x0409 || fail "a second copy of the program"
    drive en_US.UTF-8 update "$exe" 0x0409 1.05 1.07 || fail "the update through the dialog"

    after=$(firmware_versions)
    # The version the bridge reports and the version of the image in its flash.
    [[ $after == *'"firmwareVersion": "V01L00R07"'*'"version": "V01L00R07"'* ]] ||
        fail "the drive does not hold V01L00R07 after the update: $after"
    echo "update through the dialog: $before-> $after"
    # The drive is as new as the image now: Start is refused and the dialog stays.
    drive en_US.UTF-8 refuse "$exe" 0x0409 || fail "a refused run"
    ;;
screenshots)
    [ $# -ge 6 ] || fail "screenshots needs an output folder"
    outdir=$6
    mkdir -p "$outdir"
    # With no window manager on the display, Wine draws the caption itself only for windows it
    # does not leave to one (for this program only).
    "$wine" reg add 'HKCU\Software\Wine\AppDefaults\mox3-updater.exe\X11 Driver' \
        /v Decorated /d N /f >/dev/null
    # Each language id with a locale in which Wine's resource loader picks its table. Wine never
    # picks the neutral table 0x0001 by itself (a locale without a table gets English (United
    # States)); its dialog texts are those of 0x0409, so a Polish locale shows them.
    shots="0x0001:pl_PL 0x0007:de_DE 0x000A:es_ES 0x000C:fr_FR 0x0010:it_IT 0x0013:nl_NL
           0x0014:nb_NO 0x0016:pt_PT 0x001D:sv_SE 0x0401:ar_SA 0x0404:zh_TW 0x0406:da_DK
           0x0409:en_US 0x040B:fi_FI 0x0411:ja_JP 0x0412:ko_KR 0x0419:ru_RU 0x041E:th_TH
           0x0804:zh_CN"
    for shot in $shots; do
        lang=${shot%%:*}
        locale=${shot#*:}.UTF-8
        coproc DRIVER { drive "$locale" show "$exe" "$lang"; }
        read -r line <&"${DRIVER[0]}" || line=none
        read -r x y w h <<<"${line%$'\r'}"
        if [ "$x" = none ]; then
            wait "$DRIVER_PID" || true
            fail "no dialog in the texts of $lang under $locale"
        fi
        capture "$outdir/$lang.png" "${w}x${h}+${x}+${y}"
        echo close >&"${DRIVER[1]}"
        wait "$DRIVER_PID" || fail "the dialog of $lang under $locale"
        echo "$lang ($locale): $outdir/$lang.png"
    done
    ;;
*)
    fail "unknown mode $mode"
    ;;
esac
