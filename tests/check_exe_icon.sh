#!/bin/bash
# check_exe_icon.sh <exe>
#
# Checks that a Windows executable carries the application icon: an icon group resource named
# MAINICON whose images are the 16x16 and 32x32 16-colour ones. Needs wrestool and icotool
# (icoutils).
set -eu

if [ $# -ne 1 ]; then
    echo "usage: $0 <exe>" >&2
    exit 2
fi
exe=$1
for tool in wrestool icotool; do
    if ! command -v "$tool" >/dev/null; then
        echo "FAIL: $tool is not installed (package icoutils)" >&2
        exit 1
    fi
done
if [ ! -f "$exe" ]; then
    echo "FAIL: $exe does not exist" >&2
    exit 1
fi

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# wrestool exits 0 even when nothing matches, so judge by what it wrote.
wrestool -x --type=group_icon --name=MAINICON -o "$tmp/group.ico" "$exe" 2>/dev/null || true
if [ ! -s "$tmp/group.ico" ]; then
    echo "FAIL: $exe holds no icon group named MAINICON; its resources:" >&2
    wrestool -l "$exe" >&2 || true
    exit 1
fi

expected='--icon --index=1 --width=16 --height=16 --bit-depth=4 --palette-size=16
--icon --index=2 --width=32 --height=32 --bit-depth=4 --palette-size=16'
actual=$(icotool -l "$tmp/group.ico")
if [ "$actual" != "$expected" ]; then
    echo "FAIL: the MAINICON group of $exe lists:"$'\n'"$actual"$'\n'"expected:"$'\n'"$expected" >&2
    exit 1
fi
echo "check_exe_icon: ok"
