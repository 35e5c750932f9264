#!/usr/bin/env bash
# End-to-end checks of the native tool in a real terminal emulator: tmux, on a private socket, in
# a 120x30 window, against the simulated printer on a pseudo-terminal.
#
#   e2e.sh CASE TOOL PRINTER_SIM
#
# Every wait polls with a generous time-out; whatever happens, the tmux server, the printer and
# the temporary directory are removed at the end. Exit 77 (skipped) when tmux is missing.
set -uo pipefail

case_name=$1
tool=$2
printer_sim=$3
timeout_s=${SIGMA_E2E_TIMEOUT:-20}

command -v tmux >/dev/null || { echo "tmux is not installed"; exit 77; }

export LC_ALL=C.UTF-8 # bash counts characters, not bytes, in the screen's rows
work=$(mktemp -d "${TMPDIR:-/tmp}/sigma-e2e-XXXXXX")
socket="sigma-e2e-$$"
sim_pids=()

cleanup() {
    tmux -L "$socket" kill-server 2>/dev/null
    for pid in "${sim_pids[@]}"; do
        kill "$pid" 2>/dev/null
        wait "$pid" 2>/dev/null
    done
    rm -rf "$work"
}
trap cleanup EXIT
trap "exit 1" INT TERM HUP PIPE

failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

# wait_for DESCRIPTION COMMAND...: polls the command until it succeeds or the time-out passes.
wait_for() {
    local what=$1
    shift
    local deadline=$((SECONDS + timeout_s))
    until "$@"; do
        if [ $SECONDS -ge $deadline ]; then
            fail "timed out waiting for $what"
            echo "--- screen:"
            screen "${pane:-tool}"
            return 1
        fi
        sleep 0.1
    done
}

screen() {
    tmux -L "$socket" capture-pane -p -t "$1" 2>/dev/null
}

# row PANE N: row N of the pane (0 at the top).
row() {
    screen "$1" | sed -n "$(($2 + 1))p"
}

# text_at PANE COLUMN ROW LENGTH
text_at() {
    local line
    line=$(row "$1" "$3")
    line=$(printf '%-120s' "$line")
    printf '%s' "${line:$2:$4}"
}

screen_has() {
    screen "$1" | grep -qF -- "$2"
}

file_exists() {
    [ -s "$1" ]
}

# start_printer COM [options]: a simulated printer as COMn of $work/ports.
start_printer() {
    local com=$1
    shift
    mkdir -p "$work/ports"
    "$printer_sim" --ports "$work/ports" --com "$com" --log "$work/received.log" "$@" \
        >"$work/sim.ready" 2>"$work/sim.err" &
    sim_pids+=($!)
    wait_for "the printer's ready line" grep -q '^ready ' "$work/sim.ready"
}

# The tool is run through this, when set (e.g. setpriv, to drop a capability).
tool_wrapper=""

# start_tool NAME [PORTS_DIR]: the tool in its own tmux window, with the terminal's settings
# written before and after it, and its exit status. A tool that stops (status 148) is brought
# back with fg once $work/NAME/resume exists; its final status and the settings after it are
# then written to status.resumed and stty.resumed.
start_tool() {
    local name=$1
    local ports=${2:-$work/ports}
    mkdir -p "$ports" "$work/$name"
    local script="$work/$name/run.sh"
    # Job control on, as in an interactive shell: the tool runs as a job of its own, in the
    # terminal's foreground, and Ctrl+C or Ctrl+Z reaches that job alone. The trap keeps this
    # shell going after a job that Ctrl+C ended, to write down how it ended.
    cat >"$script" <<SCRIPT
set -m
trap : INT
stty -a >"$work/$name/stty.before"
sh -c 'echo \$\$ >"$work/$name/pid"; exec env SIGMA_PORTS="$ports" $tool_wrapper "$tool"'
status=\$?
echo \$status >"$work/$name/status"
stty -a >"$work/$name/stty.after"
if [ \$status = 148 ]; then
    while [ ! -e "$work/$name/resume" ]; do sleep 0.1; done
    fg
    echo \$? >"$work/$name/status.resumed"
    stty -a >"$work/$name/stty.resumed"
fi
exec sleep 600
SCRIPT
    # One session per tool, on the one private server.
    tmux -L "$socket" -u -f /dev/null new-session -d -s "$name" -x 120 -y 30 \
        -e LANG=C.UTF-8 -e LC_ALL=C.UTF-8 "bash $script"
    pane="$name"
    wait_for "the tool to start" file_exists "$work/$name/pid"
}

press() {
    tmux -L "$socket" send-keys -t "$1" "${@:2}"
}

received_count() {
    [ -f "$work/received.log" ] && wc -l <"$work/received.log" || echo 0
}

last_received() {
    tail -n 1 "$work/received.log" | cut -d' ' -f2-
}

count_above() {
    [ "$(received_count)" -gt "$1" ]
}

settled() {
    screen_has "$1" "(plateau lit ou support d'impression sigma)"
}

# check_ended NAME STATUS: the tool ended with the status and left the terminal as it found it.
check_ended() {
    local name=$1 expected=$2
    wait_for "$name to end" file_exists "$work/$name/stty.after" || return
    local status
    status=$(cat "$work/$name/status")
    [ "$status" = "$expected" ] || fail "$name ended with $status, not $expected"
    if ! diff -u "$work/$name/stty.before" "$work/$name/stty.after"; then
        fail "$name left the terminal settings changed"
    fi
}

# text_is PANE COLUMN ROW TEXT
text_is() {
    [ "$(text_at "$1" "$2" "$3" "${#4}")" = "$4" ]
}

# expect_text_soon PANE COLUMN ROW TEXT: for a text drawn by what was just waited for, which the
# terminal may not have shown yet.
expect_text_soon() {
    wait_for "($2, $3) to show '$4'" text_is "$@"
}

is_stopped() {
    [ "$(awk '{print $3}' "/proc/$1/stat" 2>/dev/null)" = T ]
}

# terminal_raw TTY: the terminal's line editing is off, as the tool sets it.
terminal_raw() {
    stty -F "$1" -a | grep -qw -- -icanon
}

expect_text() {
    local pane_name=$1 column=$2 row_number=$3 text=$4
    local got
    got=$(text_at "$pane_name" "$column" "$row_number" "${#text}")
    [ "$got" = "$text" ] || fail "($column, $row_number) shows '$got', not '$text'"
}

height_field() {
    local text
    text=$(text_at "$1" 31 6 44)
    printf '%s' "${text%"${text##*[! ]}"}"
}

field_is() {
    [ "$(height_field "$1")" = "$2" ]
}

case "$case_name" in
fixed_screen)
    start_printer 3
    start_tool a
    wait_for "the bed line after the settle" settled "$pane" || exit 1
    expect_text "$pane" 37 3 "Brunelvastoque - Darizuvu Zizir Dagoma"
    expect_text "$pane" 3 6 "Point de calibrage:"
    expect_text "$pane" 3 8 "Pressez 'a' pour monter cran (+1.000)"
    expect_text "$pane" 3 9 "Pressez 'z' pour descendre cran (-1.000)"
    expect_text "$pane" 3 10 "Pressez 'e' pour monter cran (+0.100)"
    expect_text "$pane" 3 11 "Pressez 'r' pour descendre cran (-0.100)"
    expect_text "$pane" 3 12 "Pressez 't' pour monter cran (+0.010)"
    expect_text "$pane" 3 13 "Pressez 'y' pour descendre cran (-0.010)"
    expect_text "$pane" 60 7 "_______"
    expect_text "$pane" 63 20 "_    (plateau lit ou support d'impression sigma)"
    # The frame: lines along the top of rows 5 and 24, the left edge of column 1 and the right
    # edge of column 118.
    expect_text "$pane" 1 5 "▔▔▔▔"
    expect_text "$pane" 115 24 "▔▔▔▔"
    expect_text "$pane" 1 6 "▏"
    expect_text "$pane" 118 23 "▕"
    [ "$(height_field "$pane")" = "" ] || fail "the height field is not empty before a step"
    [ "$(received_count)" = 0 ] || fail "something was sent before the first step"
    press "$pane" Space
    check_ended a 0
    ;;
step_keys)
    start_printer 3
    start_tool a
    wait_for "the bed line after the settle" settled "$pane" || exit 1
    # Keys that make no step first: an arrow (whose sequence ends in a letter), F1, a digit,
    # Enter and a letter outside the table.
    press "$pane" Up F1 5 Enter q
    sent=0
    for step in "a 201.000" "z 200.000" "e 200.100" "r 200.000" "t 200.010" "y 200.000" \
        "A 201.000"; do
        set -- $step
        press "$pane" "$1"
        wait_for "the line of key $1" count_above "$sent" || break
        sent=$((sent + 1))
        [ "$(last_received)" = "G1 F600 Z$2" ] || fail "key $1 sent '$(last_received)'"
        wait_for "the field to show $2 after key $1" field_is "$pane" "$2"
    done
    sleep 0.3
    [ "$(received_count)" = 7 ] || fail "$(received_count) lines sent for 7 steps"
    expect_text_soon "$pane" 63 8 "|"
    expect_text_soon "$pane" 63 19 "V"
    press "$pane" Space
    check_ended a 0
    ;;
no_port)
    start_tool a "$work/empty"
    wait_for "the error line" screen_has "$pane" "Erreur:    port comm serial introuvable." || exit 1
    expect_text "$pane" 3 10 "Erreur:    port comm serial introuvable."
    screen_has "$pane" "(plateau lit" && fail "the bed line is drawn without a port"
    sleep 0.5
    [ -e "$work/a/status" ] && fail "the tool did not wait for a key"
    press "$pane" x
    check_ended a 1
    ;;
ctrl_c)
    start_printer 3
    start_tool a
    wait_for "the bed line after the settle" settled "$pane" || exit 1
    press "$pane" C-c
    check_ended a 130
    ;;
ctrl_c_during_settle)
    start_printer 3
    start_tool a
    wait_for "the fixed screen" screen_has "$pane" "Point de calibrage:" || exit 1
    press "$pane" C-c
    check_ended a 130
    ;;
sigterm)
    start_printer 3
    start_tool a
    wait_for "the bed line after the settle" settled "$pane" || exit 1
    kill -TERM "$(cat "$work/a/pid")"
    check_ended a 143
    ;;
printer_vanishes)
    start_printer 3
    start_tool a
    wait_for "the bed line after the settle" settled "$pane" || exit 1
    press "$pane" a
    wait_for "the first step's line" count_above 0
    kill "${sim_pids[0]}"
    wait "${sim_pids[0]}" 2>/dev/null
    sim_pids=()
    press "$pane" e
    wait_for "the field to follow the steps" field_is "$pane" "201.100"
    # Idle with the device gone, the tool must not spin: well under half a core over 2 s.
    pid=$(cat "$work/a/pid")
    ticks() { awk '{print $14 + $15}' "/proc/$pid/stat"; }
    before=$(ticks)
    sleep 2
    used=$(($(ticks) - before))
    hz=$(getconf CLK_TCK)
    [ "$used" -lt "$hz" ] || fail "the tool used $used ticks of CPU in 2 s with the device gone"
    press "$pane" Space
    check_ended a 0
    ;;
second_instance)
    start_printer 3
    start_tool first
    wait_for "the first tool to settle" settled first || exit 1
    start_tool second
    wait_for "the second tool to find no port" \
        screen_has second "Erreur:    port comm serial introuvable." || exit 1
    press second x
    check_ended second 1
    press first a
    wait_for "the first tool to keep its port" count_above 0
    [ "$(last_received)" = "G1 F600 Z201.000" ] || fail "the first tool sent '$(last_received)'"
    press first Space
    check_ended first 0
    ;;
small_terminal)
    start_printer 3
    start_tool a
    tmux -L "$socket" resize-window -t a -x 90 -y 26
    wait_for "the size warning" screen_has "$pane" "Terminal trop petit (90x26)" || exit 1
    wait_for "the bed line after the settle" screen_has "$pane" "_    (plateau" || exit 1
    press "$pane" a
    wait_for "a step in a small terminal" field_is "$pane" "201.000"
    # Back to full size: the warning goes and the whole screen is drawn again.
    tmux -L "$socket" resize-window -t a -x 120 -y 30
    wait_for "the warning to go" eval '! screen_has "$pane" "Terminal trop petit"'
    wait_for "the repaint" screen_has "$pane" "(plateau lit ou support d'impression sigma)"
    expect_text_soon "$pane" 118 23 "▕"
    expect_text_soon "$pane" 31 6 "201.000"
    press "$pane" Space
    check_ended a 0
    ;;
ctrl_z)
    start_printer 3
    start_tool a
    wait_for "the bed line after the settle" settled "$pane" || exit 1
    tty=$(tmux -L "$socket" display -p -t "$pane" '#{pane_tty}')
    press "$pane" C-z
    # The shell sees the job stop (128 + SIGTSTP) with the terminal as it found it.
    check_ended a 148
    wait_for "the tool to be stopped" is_stopped "$(cat "$work/a/pid")"
    touch "$work/a/resume"
    wait_for "the terminal raw again after fg" terminal_raw "$tty"
    wait_for "the shell's lines to be drawn over" eval '! screen_has "$pane" Stopped'
    wait_for "the screen redrawn" settled "$pane"
    expect_text_soon "$pane" 3 6 "Point de calibrage:"
    press "$pane" a
    wait_for "a step after fg" count_above 0
    wait_for "the field after fg" field_is "$pane" "201.000"
    press "$pane" Space
    wait_for "the tool to end after fg" file_exists "$work/a/stty.resumed"
    [ "$(cat "$work/a/status.resumed")" = 0 ] || fail "ended with $(cat "$work/a/status.resumed")"
    diff -u "$work/a/stty.before" "$work/a/stty.resumed" || fail "the terminal settings changed"
    ;;
held_port)
    start_printer 3
    slave=$(sed -n 's/^ready //p' "$work/sim.ready")
    # Another program has the printer's port open, without a lock or TIOCEXCL, as most do.
    sleep 600 <>"$slave" &
    holder=$!
    sim_pids+=("$holder")
    # As a user without CAP_SYS_ADMIN, whom TIOCEXCL would stop too.
    if [ "$(id -u)" = 0 ]; then
        tool_wrapper="setpriv --bounding-set=-sys_admin --inh-caps=-sys_admin --"
    fi
    start_tool a
    wait_for "the tool to pass the held port by" \
        screen_has "$pane" "Erreur:    port comm serial introuvable." || exit 1
    press "$pane" x
    check_ended a 1
    kill "$holder"
    wait "$holder" 2>/dev/null
    start_tool b
    wait_for "the port to be taken once let go" settled b || exit 1
    press b a
    wait_for "the step's line" count_above 0
    press b Space
    check_ended b 0
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
