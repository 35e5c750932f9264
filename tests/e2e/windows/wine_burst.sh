#!/bin/bash
# The real Windows executable under Wine against the firmware model (printer_sim --firmware): the
# z key held from 200.000, 200 key-down records at 30 per second injected into the console by
# console_driver.exe. The firmware must take every line whole, lose no byte and stop where the
# field says (0.000).
#
# Usage: wine_burst.sh held_z
# It runs in the prefix and on the wineserver that wine_e2e.sh's "setup" prepared (the wine_setup
# test), with the same environment variables.
set -u -o pipefail

: "${SIGMA_WINE_DIR:?}" "${SIGMA_TOOL_EXE:?}" "${SIGMA_DRIVER_EXE:?}" "${SIGMA_PRINTER_SIM:?}"
: "${SIGMA_PTY_RUN:?}"

# shellcheck source=tests/e2e/windows/wine_common.sh
. "$(dirname "$0")/wine_common.sh"
CHECK_LOG="$(dirname "$0")/../check_firmware_log.sh"

CASE=""
SIM_PID=""

# The port goes back to the directory that stands for "nothing here", as wine_e2e.sh leaves it.
end_case() {
    if [ -n "$SIM_PID" ]; then
        kill -TERM "$SIM_PID" 2>/dev/null
        wait "$SIM_PID" 2>/dev/null
    fi
    if [ ! -d "$PORTS/COM3" ] || [ -L "$PORTS/COM3" ]; then
        rm -f "$PORTS/COM3"
        mkdir -p "$PORTS/COM3"
    fi
}

# wait_for SECONDS COMMAND...: polls the command until it succeeds or the time is up.
wait_for() {
    local deadline=$((SECONDS + $1))
    shift
    until "$@"; do
        [ $SECONDS -lt $deadline ] || return 1
        sleep 0.1
    done
}

scenario_held_z() {
    CASE="$SIGMA_WINE_DIR/cases/burst_held_z"
    rm -rf "$CASE"
    mkdir -p "$CASE"
    [ -f "$WINEPREFIX/.sigma-booted" ] || fail "the prefix is not set up (the wine_setup test)"
    trap end_case EXIT

    rmdir "$PORTS/COM3" || fail "COM3 is not free: $(ls -ld "$PORTS/COM3")"
    "$SIGMA_PRINTER_SIM" --link "$PORTS/COM3" --log "$CASE/COM3.log" --firmware \
        >"$CASE/COM3.out" 2>&1 &
    SIM_PID=$!
    wait_for 10 grep -q '^ready ' "$CASE/COM3.out" || fail "printer_sim on COM3 is not ready"

    # 200 key-downs of z (VK 5A) 33 ms apart, as auto-repeat gives them; the space bar comes with
    # the last, while a line most likely still waits for its answer, so that the end must wait
    # for it and send the pending height.
    {
        echo "start Z:$SIGMA_TOOL_EXE"
        echo "wait_text 63 20 _"
        for ((i = 1; i < 200; i++)); do
            echo "down 5A"
            echo "sleep 33"
        done
        echo "down 5A"
        echo "up 5A"
        echo "key 20"
        echo "wait_exit 30000"
        echo "dump Z:$CASE/end.txt"
    } >"$CASE/script.txt"
    without_admin "$SIGMA_PTY_RUN" 120 30 "$CASE/terminal.txt" \
        wine "Z:$SIGMA_DRIVER_EXE" "Z:$CASE/script.txt" "Z:$CASE/driver.log" ||
        {
            grep -v '^ok ' "$CASE/driver.log" >&2
            fail "the driver failed"
        }
    local code
    code=$(sed -n 's/^exit //p' "$CASE/driver.log")
    [ "$code" = 0 ] || fail "exit code ${code:-none}, expected 0"
    local field
    field=$(sed -n 's/^t 06 |.\{31\}\([^ ]*\).*/\1/p' "$CASE/end.txt")
    [ "$field" = 0.000 ] || fail "the field shows '$field', not 0.000"

    # The head runs at 5 mm/s whatever the host does: 200 mm take 40 s.
    wait_for 120 grep -q ' summary ' "$CASE/COM3.log" ||
        fail "no summary from the firmware: $(grep -v ' z ' "$CASE/COM3.log" | tail -n 5)"
    "$CHECK_LOG" "$CASE/COM3.log" 0.000 -1 >&2 || fail "the firmware's log (above)"
}

case "${1:-}" in
held_z)
    "scenario_$1"
    echo "pass: $1"
    ;;
*) fail "usage: wine_burst.sh held_z" ;;
esac
