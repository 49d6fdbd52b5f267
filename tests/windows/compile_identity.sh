#!/bin/sh
# The Windows command line compiles every shipped configuration file into the same bytes as the
# Linux one: same images, same serial numbers, byte-for-byte equal blocks.
# usage: compile_identity.sh LINUX_CLI WINDOWS_CLI WINE
set -eu
linux_cli=$1
windows_cli=$2
wine=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export WINEDEBUG=-all

"$linux_cli" image make --generation 1 --version 01000300 --size 50000 -o "$work/gen1.bin"
"$linux_cli" image make --generation 2 --version 01000700 --size 120000 -o "$work/gen2.bin"

compared=0
for id in $("$linux_cli" resource list | awk '{print $1}'); do
    generation=$("$linux_cli" resource list | awk -v id="$id" '$1 == id {print $2}')
    image=$work/gen2.bin
    [ "$generation" = first ] && image=$work/gen1.bin
    for serial in 0123456789ABCDEF "S/N 0042"; do
        "$linux_cli" compile --resource "$id" --image "$image" --serial "$serial" \
            -o "$work/linux-$id.bin" >/dev/null
        # The Windows program is given Windows paths to the same files.
        "$wine" "$windows_cli" compile --resource "$id" --image "Z:$image" \
            --serial "$serial" -o "Z:$work/windows-$id.bin" >/dev/null
        if ! cmp "$work/linux-$id.bin" "$work/windows-$id.bin"; then
            echo "resource $id, serial '$serial': the Windows program wrote other bytes" >&2
            exit 1
        fi
        compared=$((compared + 1))
    done
done
[ "$compared" -eq 18 ] || { echo "compared $compared blocks, expected 18" >&2; exit 1; }
echo "the same bytes for all $compared blocks"
