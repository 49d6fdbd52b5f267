#!/bin/sh
# The Windows command line run from program folders whose names are not plain ASCII, with the
# image files beside it and non-ASCII arguments: the image is found and read, the arguments
# arrive whole, and an emulated drive is updated.
# usage: unicode_folders.sh LINUX_CLI WINDOWS_CLI WINE
set -eu
linux_cli=$1
windows_cli=$2
wine=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export WINEDEBUG=-all

"$linux_cli" image make --generation 2 --version 01000500 --size 120000 -o "$work/old.bin" >/dev/null
for folder in "app ü" "アプリ"; do
    program="$work/$folder"
    bus="$work/bus$(printf %s "$folder" | wc -c)"
    mkdir -p "$program" "$bus"
    cp "$windows_cli" "$program/mox3-updater-cli.exe"
    "$linux_cli" image make --generation 2 --version 01000700 --size 120000 \
        -o "$program/firmware_C311.bin" >/dev/null
    "$linux_cli" emulator create "$bus/drive" --generation 2 --pid 0x7C34 \
        --product ZR-MOX3 --serial 4A3F0012B7C4D9E1 --firmware "$work/old.bin" >/dev/null
    # A non-ASCII argument arrives whole.
    "$wine" "$program/mox3-updater-cli.exe" image info "Z:$program/firmware_C311.bin" \
        | grep -q "loader version:  V01L00R07" || {
        echo "from '$folder': image info could not read its argument's file" >&2
        exit 1
    }
    out=$("$wine" "$program/mox3-updater-cli.exe" --emulator "Z:$bus" update --yes 2>&1) || {
        echo "from '$folder': the update failed:" >&2
        echo "$out" >&2
        exit 1
    }
    case $out in
        *"New firmware:     1.07"*) ;;
        *) echo "from '$folder': the image beside the program was not read:" >&2
           echo "$out" >&2
           exit 1 ;;
    esac
    "$linux_cli" emulator show "$bus/drive" | grep -q "firmware version: V01L00R07" || {
        echo "from '$folder': the drive was not updated" >&2
        exit 1
    }
done
echo "updated from both folders"
