#!/bin/sh
# Runs a program under Wine on a virtual X display of its own (dialogs need a display), and
# lets Wine's server end before the display goes away.
# usage: with_display.sh WINE PROGRAM [ARGS...]
exec xvfb-run -a -s "-screen 0 1024x768x24" sh -c '
    "$@"
    rc=$?
    server="$(dirname "$1")/wineserver"
    [ -x "$server" ] || server=wineserver
    "$server" -w 2>/dev/null
    exit $rc' sh "$@"
