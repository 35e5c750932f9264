#!/bin/bash
# check_windows_build.sh <cmake> <windows build dir> <target>...
#
# The tests that run or inspect the cross-built Windows executables must never meet a stale one:
# fails, saying what to run, unless the windows preset's build holds the targets and has nothing
# left to do for them (a build-tool dry run: any source, header, icon or CMake file changed since
# counts, just as the next build would see it).
set -u
if [ $# -lt 3 ]; then
    echo "usage: $0 <cmake> <windows build dir> <target>..." >&2
    exit 2
fi
cmake=$1
dir=$2
shift 2
rebuild="cmake --preset windows && cmake --build --preset windows"
if [ ! -f "$dir/CMakeCache.txt" ]; then
    echo "FAIL: no Windows build in $dir; make it with: $rebuild"
    exit 1
fi
if ! plan=$("$cmake" --build "$dir" --target "$@" -- -n 2>&1); then
    echo "$plan"
    echo "FAIL: cannot ask the build in $dir what it would do; rebuild it: $rebuild"
    exit 1
fi
if ! grep -q 'no work to do' <<<"$plan"; then
    echo "$plan" | head -n 20
    echo "FAIL: the Windows build in $dir is out of date for $*; rebuild it: $rebuild"
    exit 1
fi
echo "the Windows build in $dir is current for $*"
