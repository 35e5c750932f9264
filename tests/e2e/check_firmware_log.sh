#!/usr/bin/env bash
# Checks the log of printer_sim --firmware after a held-key burst: the session ended with no byte
# dropped, no mangled or unknown line, nothing left in the firmware's line buffer and the head
# still at FINAL; every line taken was a whole height command, each a step further in DIRECTION
# (-1 down, 1 up) than the one before (only the latest height ever goes out), the last one FINAL.
#
#   check_firmware_log.sh LOG FINAL DIRECTION
#
# Prints what is wrong and exits 1, or exits 0 silently.
set -uo pipefail
log=$1
final=$2
direction=$3

status=0
summary=$(grep ' summary ' "$log")
case "$summary" in
*" dropped=0 mangled=0 unknown=0 leftover=0 final_z=$final moving=0") ;;
*)
    echo "the firmware's session: ${summary:-no summary} (field: $final)"
    status=1
    ;;
esac
if grep -qE ' dropped [0-9]+$' "$log"; then
    echo "bytes dropped:"
    grep -m3 -E ' dropped [0-9]+$' "$log"
    status=1
fi
awk -v final="$final" -v direction="$direction" '
    / line / {
        if ($0 !~ /^t=[0-9.]+ line "G1 F600 Z-?[0-9]+\.[0-9][0-9][0-9]"$/) {
            print "not a whole line: " $0; bad = 1; next
        }
        text = substr($5, 2, length($5) - 2)
        z = text + 0
        if (n > 0 && (z - last) * direction <= 0) {
            print "not a step further: " $0 " after Z" last_text; bad = 1
        }
        last = z; last_text = text; n++
    }
    END {
        if (n == 0) { print "no line taken"; exit 1 }
        if (last_text != final) { print "the last line says Z" last_text ", not Z" final; bad = 1 }
        exit bad
    }' "$log" || status=1
exit $status
