#!/bin/bash
# check_exe_imports.sh <exe>
#
# The Windows executable is linked statically: it may import only the system's own DLLs, so it
# runs from a plain copy on any Windows machine.
set -eu
if [ $# -ne 1 ]; then
    echo "usage: $0 <exe>" >&2
    exit 2
fi
exe=$1
objdump=$(command -v x86_64-w64-mingw32-objdump || command -v objdump)
if [ ! -f "$exe" ]; then
    echo "FAIL: $exe does not exist (build it with: cmake --preset windows && cmake --build --preset windows)"
    exit 1
fi
"$objdump" -f "$exe" | grep -q 'file format pei-x86-64' || { echo "FAIL: $exe is not a 64-bit Windows executable"; exit 1; }
"$objdump" -p "$exe" | grep -q 'Subsystem.*(Windows CUI)' || { echo "FAIL: $exe is not a console program"; exit 1; }
imports=$("$objdump" -p "$exe" | awk '/DLL Name:/ {print toupper($3)}' | sort -u)
status=0
for dll in $imports; do
    case "$dll" in
        KERNEL32.DLL | USER32.DLL | ADVAPI32.DLL | MSVCRT.DLL | UCRTBASE.DLL | API-MS-WIN-CRT-*.DLL) ;;
        *) echo "FAIL: $exe imports $dll, which a plain Windows machine may lack"; status=1 ;;
    esac
done
echo "$imports" | grep -qx KERNEL32.DLL || { echo "FAIL: no KERNEL32.DLL import"; status=1; }
[ $status -eq 0 ] && echo "imports: $(echo $imports)"
exit $status
