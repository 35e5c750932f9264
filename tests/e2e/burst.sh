#!/usr/bin/env bash
# A held key against the firmware model: the native tool in tmux (a private server, a 120x30
# window) against printer_sim --firmware, keys sent at 30 per second as a keyboard's auto-repeat
# sends them. The firmware must take every line whole and stop where the screen says; a printer
# pulled mid-burst must leave the tool usable and the terminal as it was.
#
#   burst.sh CASE TOOL PRINTER_SIM        CASE: held_z, held_a or printer_pulled
#
# Every wait polls with a deadline; the tmux server, the printer and the temporary directory are
# removed at the end (copied first to $SIGMA_BURST_KEEP, if set, to read the printer's log).
# Exit 77 (skipped) when tmux is missing.
set -uo pipefail

case_name=$1
tool=$2
printer_sim=$3

command -v tmux >/dev/null || { echo "tmux is not installed"; exit 77; }

export LC_ALL=C.UTF-8 # bash counts characters, not bytes, in the screen's rows
work=$(mktemp -d "${TMPDIR:-/tmp}/sigma-burst-XXXXXX")
socket="sigma-burst-$$"
sim_pid=""

cleanup() {
    tmux -L "$socket" kill-server 2>/dev/null
    if [ -n "$sim_pid" ]; then
        kill "$sim_pid" 2>/dev/null
        wait "$sim_pid" 2>/dev/null
    fi
    [ -n "${SIGMA_BURST_KEEP:-}" ] && cp -r "$work" "$SIGMA_BURST_KEEP"
    rm -rf "$work"
}
trap cleanup EXIT
trap "exit 1" INT TERM HUP PIPE

failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

# wait_for SECONDS DESCRIPTION COMMAND...: polls the command until it succeeds or time is up.
wait_for() {
    local deadline=$((SECONDS + $1)) what=$2
    shift 2
    until "$@"; do
        if [ $SECONDS -ge $deadline ]; then
            fail "timed out waiting for $what"
            echo "--- screen:"
            screen
            echo "--- end of the printer's log:"
            grep -v ' z [0-9.-]*$' "$work/printer.log" 2>/dev/null | tail -n 8
            return 1
        fi
        sleep 0.1
    done
}

screen() {
    tmux -L "$socket" capture-pane -p -t tool 2>/dev/null
}

# text_at COLUMN ROW LENGTH
text_at() {
    local line
    line=$(screen | sed -n "$(($2 + 1))p")
    line=$(printf '%-120s' "$line")
    printf '%s' "${line:$1:$3}"
}

text_is() {
    [ "$(text_at "$1" "$2" "${#3}")" = "$3" ]
}

height_field() {
    local text
    text=$(text_at 31 6 44)
    printf '%s' "${text%"${text##*[! ]}"}"
}

field_is() {
    [ "$(height_field)" = "$1" ]
}

file_exists() {
    [ -s "$1" ]
}

log_has() {
    grep -qE -- "$1" "$work/printer.log" 2>/dev/null
}

# start_printer [options]: the firmware model as COM3.
start_printer() {
    mkdir -p "$work/ports"
    "$printer_sim" --ports "$work/ports" --com 3 --log "$work/printer.log" --firmware "$@" \
        >"$work/sim.ready" 2>"$work/sim.err" &
    sim_pid=$!
    wait_for 20 "the printer's ready line" grep -q '^ready ' "$work/sim.ready"
}

# start_tool: the tool in its own tmux session, with the terminal's settings (stty -g) kept from
# before and after it, and its exit status.
start_tool() {
    cat >"$work/run.sh" <<SCRIPT
stty -g >"$work/stty.before"
SIGMA_PORTS="$work/ports" "$tool"
echo \$? >"$work/status.part"
stty -g >"$work/stty.after"
mv "$work/status.part" "$work/status"
exec sleep 600
SCRIPT
    tmux -L "$socket" -u -f /dev/null new-session -d -s tool -x 120 -y 30 \
        -e LANG=C.UTF-8 -e LC_ALL=C.UTF-8 "bash $work/run.sh"
    wait_for 30 "the bed line after the settle" \
        text_is 63 20 "_    (plateau lit ou support d'impression sigma)"
}

# hold KEY COUNT [LAST]: COUNT presses of KEY at 30 per second, as a held key's auto-repeat gives
# them, each due on a fixed schedule from the first (on a busy machine a late one goes at once,
# which only makes the burst harder); LAST, if given, goes with the last press.
hold() {
    local key=$1 count=$2 last=${3:-} i start now left
    start=${EPOCHREALTIME/./}
    for ((i = 1; i < count; i++)); do
        tmux -L "$socket" send-keys -t tool "$key"
        now=${EPOCHREALTIME/./}
        left=$((start + i * 33333 - now))
        [ $left -gt 0 ] && sleep "$(printf '0.%06d' "$left")"
    done
    tmux -L "$socket" send-keys -t tool "$key" ${last:+"$last"}
}

# check_ended SECONDS: the tool ended with exit code 0 within the time, and left the terminal's
# settings as it found them.
check_ended() {
    wait_for "$1" "the tool to end" file_exists "$work/status" || return
    [ "$(cat "$work/status")" = 0 ] || fail "the tool ended with $(cat "$work/status"), not 0"
    cmp -s "$work/stty.before" "$work/stty.after" ||
        fail "the terminal's settings changed: $(cat "$work/stty.before") -> $(cat "$work/stty.after")"
}

# held KEY COUNT FINAL DIRECTION: COUNT presses of KEY from 200.000 must leave the field at FINAL,
# and the firmware must take only whole lines, lose no byte and stop at FINAL
# (check_firmware_log.sh; DIRECTION is -1 down, 1 up).
held() {
    local key=$1 count=$2 final=$3 direction=$4
    start_printer
    start_tool || return
    # The space bar with the last press, while a line most likely still waits for its answer:
    # the end must wait for it and send the pending height.
    hold "$key" "$count" Space
    check_ended 30
    field_is "$final" || fail "the field shows '$(height_field)', not $final"
    # The head runs at 5 mm/s whatever the host does: 200 mm take 40 s.
    wait_for 120 "the firmware's summary" log_has ' summary ' || return
    "$(dirname "$0")/check_firmware_log.sh" "$work/printer.log" "$final" "$direction" ||
        fail "the firmware's log (above)"
}

case "$case_name" in
held_z) held z 200 0.000 -1 ;;
held_a) held a 60 260.000 1 ;;
printer_pulled)
    # The cable goes after the firmware's 20th line, a third of the way through the burst.
    start_printer --vanish-after 20
    start_tool || exit 1
    hold z 60
    wait_for 30 "the firmware to vanish" log_has ' vanished$'
    wait_for 30 "the error line" text_is 3 22 "Erreur:    imprimante deconnectee."
    # Steps after the loss still change the screen.
    wait_for 30 "the field to show 140.000" field_is 140.000
    # The end does not wait for an answer that cannot come: well inside the 10 s it would give a
    # silent printer.
    tmux -L "$socket" send-keys -t tool Space
    check_ended 8
    ;;
*)
    echo "unknown case $case_name"
    exit 2
    ;;
esac

if [ "$failures" -gt 0 ]; then
    echo "$case_name: $failures failure(s)"
    exit 1
fi
echo "$case_name: passed"
