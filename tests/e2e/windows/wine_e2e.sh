#!/bin/bash
# Runs the real Windows executable under Wine against simulated printers on pseudo-terminals, and
# checks what it shows (read back from the console by console_driver.exe) and what it sends (the
# printers' logs).
#
# Usage: wine_e2e.sh setup | cleanup | SCENARIO
# The build passes the places of everything in the environment:
#   SIGMA_WINE_DIR     where the prefix, the port links and each scenario's files live
#   SIGMA_TOOL_EXE     sigma-calibrage.exe          SIGMA_DRIVER_EXE  console_driver.exe
#   SIGMA_PRINTER_SIM  printer_sim                  SIGMA_PTY_RUN     pty_run
#   SIGMA_HOLD_TTY     hold_tty                     SIGMA_EXPECTED    directory of expected screens
#
# The prefix is booted once and kept (booting takes ~15 s); "setup" refreshes its port mapping and
# starts one wineserver that every scenario shares, "cleanup" shuts it down.
set -u -o pipefail

: "${SIGMA_WINE_DIR:?}" "${SIGMA_TOOL_EXE:?}" "${SIGMA_DRIVER_EXE:?}" "${SIGMA_PRINTER_SIM:?}"
: "${SIGMA_PTY_RUN:?}" "${SIGMA_HOLD_TTY:?}" "${SIGMA_EXPECTED:?}"

# shellcheck source=tests/e2e/windows/wine_common.sh
. "$(dirname "$0")/wine_common.sh"
PORT_COUNT=22 # COM0..COM21: every number the tool tries, and the first one it must not

need() {
    [ -e "$1" ] || fail "$2 is missing: $1"
}

# Each port is a directory until a scenario puts a printer there: a COM mapped to a directory
# fails to open (access denied), whereas one mapped to a missing path would fall back to another
# device.
reset_ports() {
    mkdir -p "$PORTS"
    local n
    for ((n = 0; n < PORT_COUNT; n++)); do
        if [ ! -d "$PORTS/COM$n" ] || [ -L "$PORTS/COM$n" ]; then
            rm -f "$PORTS/COM$n"
            mkdir "$PORTS/COM$n"
        fi
    done
}

setup() {
    command -v wine >/dev/null || fail "wine is not installed (Debian package wine64)"
    need "$SIGMA_TOOL_EXE" "the Windows executable (cmake --preset windows && cmake --build --preset windows)"
    need "$SIGMA_DRIVER_EXE" "the console driver (built by the windows preset)"
    mkdir -p "$SIGMA_WINE_DIR"
    wineserver -k 2>/dev/null
    wineserver -w 2>/dev/null
    if [ ! -f "$WINEPREFIX/.sigma-booted" ]; then
        rm -rf "$WINEPREFIX"
        without_admin wineboot -i >"$SIGMA_WINE_DIR/wineboot.log" 2>&1 ||
            fail "wineboot failed; see $SIGMA_WINE_DIR/wineboot.log"
        wineserver -w
        touch "$WINEPREFIX/.sigma-booted"
    fi
    reset_ports
    # Detached from our output, or the test would not end while the server lives.
    without_admin wineserver -p </dev/null >/dev/null 2>&1 || fail "wineserver does not start"
    # Wine gives the devices it finds itself (/dev/ttyS0 and so on) the lowest free COM numbers,
    # so every number the tool tries, and the one after, is mapped here.
    # The output goes to a file: a pipe would be held open by the Wine processes it starts.
    local n
    for ((n = 1; n < PORT_COUNT; n++)); do
        without_admin wine reg add 'HKLM\Software\Wine\Ports' /v "COM$n" /t REG_SZ \
            /d "$PORTS/COM$n" /f >"$SIGMA_WINE_DIR/reg.log" 2>&1 ||
            fail "cannot map COM$n in the registry: $(cat "$SIGMA_WINE_DIR/reg.log")"
    done
    # Wine reads the mapping when its device manager starts: restart the wineserver, and start
    # one program so that the device manager runs and makes the dosdevices links.
    wineserver -k 2>/dev/null
    wineserver -w 2>/dev/null
    # Detached from our output, or the test would not end while the server lives.
    without_admin wineserver -p </dev/null >/dev/null 2>&1 || fail "wineserver does not start"
    without_admin wine cmd /c exit >/dev/null 2>&1
    # Wine never makes COM0 itself, but a link of our own works.
    ln -sfn "$PORTS/COM0" "$WINEPREFIX/dosdevices/com0"
    for ((n = 1; n < PORT_COUNT; n++)); do
        local link="$WINEPREFIX/dosdevices/com$n"
        local deadline=$((SECONDS + 20))
        until [ "$(readlink "$link")" = "$PORTS/COM$n" ]; do
            [ $SECONDS -lt $deadline ] || fail "Wine did not map COM$n to $PORTS/COM$n"
            sleep 0.1
        done
    done
    echo "prefix ready: $WINEPREFIX"
}

cleanup() {
    wineserver -k 2>/dev/null
    wineserver -w 2>/dev/null
    reset_ports
    echo "wineserver shut down"
}

# ---- one scenario's machinery ----

CASE=""
BACKGROUND_PIDS=()

end_case() {
    local pid
    for pid in "${BACKGROUND_PIDS[@]}"; do
        kill -TERM "$pid" 2>/dev/null
    done
    for pid in "${BACKGROUND_PIDS[@]}"; do
        wait "$pid" 2>/dev/null
    done
    reset_ports
}

begin_case() {
    CASE="$SIGMA_WINE_DIR/cases/$1"
    rm -rf "$CASE"
    mkdir -p "$CASE"
    [ -f "$WINEPREFIX/.sigma-booted" ] || fail "the prefix is not set up (the wine_setup test)"
    need "$SIGMA_PRINTER_SIM" "printer_sim"
    trap end_case EXIT
}

wait_for_line() { # FILE PATTERN: the first line of FILE that matches, within 10 s
    local deadline=$((SECONDS + 10)) line
    while [ $SECONDS -lt $deadline ]; do
        line=$(grep -m1 -- "$2" "$1" 2>/dev/null) && {
            echo "$line"
            return 0
        }
        sleep 0.05
    done
    return 1
}

# printer N [OPTIONS]: a simulated printer on COMn, logging to $CASE/COMn.log. Sets SLAVE.
printer() {
    local n=$1
    shift
    rmdir "$PORTS/COM$n"
    "$SIGMA_PRINTER_SIM" --link "$PORTS/COM$n" --log "$CASE/COM$n.log" "$@" \
        >"$CASE/COM$n.out" 2>&1 &
    BACKGROUND_PIDS+=($!)
    local ready
    ready=$(wait_for_line "$CASE/COM$n.out" '^ready ') || fail "printer_sim on COM$n is not ready"
    SLAVE=${ready#ready }
}

# hold PATH: another program holds the terminal exclusively.
hold() {
    "$SIGMA_HOLD_TTY" "$1" >"$CASE/hold.out" 2>&1 &
    BACKGROUND_PIDS+=($!)
    wait_for_line "$CASE/hold.out" '^held ' >/dev/null || fail "cannot hold $1"
}

# drive: runs the driver script read from stdin (Z: is the Linux root for Wine) on a 120 x 30
# terminal, then sets EXIT_CODE from the driver's log.
drive() {
    sed "s|@|Z:$CASE/|g; s|^start\$|start Z:$SIGMA_TOOL_EXE|" >"$CASE/script.txt"
    without_admin "$SIGMA_PTY_RUN" 120 30 "$CASE/terminal.txt" \
        wine "Z:$SIGMA_DRIVER_EXE" "Z:$CASE/script.txt" "Z:$CASE/driver.log"
    local status=$?
    if [ $status -ne 0 ]; then
        cat "$CASE/driver.log" >&2
        [ -f "$CASE/driver.log.screen" ] && grep '^t ' "$CASE/driver.log.screen" | head -26 >&2
        fail "the driver failed (status $status)"
    fi
    EXIT_CODE=$(sed -n 's/^exit //p' "$CASE/driver.log")
}

expect_exit() {
    [ "$EXIT_CODE" = "$1" ] || fail "exit code ${EXIT_CODE:-none}, expected $1"
}

# row DUMP ROW: the row's characters, between the bars.
row() {
    sed -n "s/^t $(printf %02d "$2") |\\(.*\\)|\$/\\1/p" "$1"
}

# expect_text DUMP COL ROW TEXT
expect_text() {
    local line
    line=$(row "$1" "$3")
    [ "${line:$2:${#4}}" = "$4" ] || fail "$(basename "$1"): at ($2, $3) expected '$4', row reads '$line'"
}

# expect_sent LOG LINE...: the printer received exactly these lines, in this order. The printer
# logs a line a little after the tool has written it, maybe after the tool has ended: so the log
# is read once it holds as many lines as expected, or once 10 s have passed. (That nothing more
# comes later cannot be waited for; a check that a printer received nothing reads at once.)
expect_sent() {
    local log=$1
    shift
    local expected actual count=0 deadline=$((SECONDS + 10))
    expected=$(printf '%s\n' "$@")
    [ $# -eq 0 ] && expected=""
    [ -n "$expected" ] && count=$(wc -l <<<"$expected")
    while [ "$(cat "$log" 2>/dev/null | wc -l)" -lt "$count" ] && [ $SECONDS -lt $deadline ]; do
        sleep 0.05
    done
    actual=$(cut -d' ' -f2- "$log" 2>/dev/null)
    [ "$actual" = "$expected" ] || fail "$(basename "$log") received:
$actual
expected:
$expected"
}

# The height lines for the hundredths N1..N2 step by STEP, computed in whole hundredths.
height_lines() {
    local h
    for h in $(seq "$1" "$3" "$2"); do
        if [ "$h" -lt 0 ]; then
            printf 'G1 F600 Z-%d.%02d0\n' $((-h / 100)) $((-h % 100))
        else
            printf 'G1 F600 Z%d.%02d0\n' $((h / 100)) $((h % 100))
        fi
    done
}

# ---- scenarios ----

# The fixed screen once the printer has settled, cell by cell against the expected screen and
# attribute by attribute against the frame's rules; the title; the line settings the tool gave
# the port; nothing sent; space ends the tool.
scenario_settled_screen() {
    begin_case settled_screen
    printer 3
    # The line settings the tool must change, set the other way first, so that what is seen later
    # is the tool's doing: two stop bits, parity checking, line editing, 9600 baud.
    stty -F "$SLAVE" 9600 cstopb inpck icanon || fail "cannot prepare the line settings"
    {
        drive <<EOF
start
wait_text 63 20 _    (plateau
touch @settled
wait_file @checked
dump @settled.txt
key 20
wait_exit 10000
EOF
    } &
    local driver_pid=$!
    local deadline=$((SECONDS + 30))
    until [ -e "$CASE/settled" ]; do
        if [ $SECONDS -ge $deadline ] || ! kill -0 $driver_pid 2>/dev/null; then
            wait $driver_pid
            fail "the settled screen never came"
        fi
        sleep 0.05
    done
    # The tool has the port open now. On a pty Wine turns 250000 baud into 38400, and a pty
    # always reports 8 data bits and no parity bit, so those say nothing about the tool; what
    # does show is the speed being set at all, one stop bit (no cstopb), Wine's no-parity marker
    # (no inpck) and the raw line Wine makes of a serial port (no icanon).
    stty -F "$SLAVE" -a >"$CASE/stty.txt" 2>&1
    touch "$CASE/checked"
    wait $driver_pid || exit 1
    EXIT_CODE=$(sed -n 's/^exit //p' "$CASE/driver.log")
    local flag
    grep -q 'speed 38400 baud' "$CASE/stty.txt" || fail "port speed: $(head -1 "$CASE/stty.txt")"
    for flag in -cstopb -inpck -icanon; do
        grep -qw -- "$flag" "$CASE/stty.txt" || fail "port setting $flag missing: $(cat "$CASE/stty.txt")"
    done

    expect_exit 0
    expect_sent "$CASE/COM3.log"
    local dump="$CASE/settled.txt"
    grep -qx 'title Brunelvastoque | Sigma' "$dump" || fail "title: $(head -1 "$dump")"
    grep -qx 'size 120 30' "$dump" || fail "buffer: $(sed -n 2p "$dump")"
    diff -u "$SIGMA_EXPECTED/settled_text.txt" <(grep '^t ' "$dump") ||
        fail "the screen's characters differ from the expected screen"
    # Attributes: the frame's grid lines on rows 5..24, the heading in dark yellow, light grey
    # everywhere else.
    awk '
        $1 != "a" { next }
        {
            row = $2 + 0
            for (column = 0; column < 120; column++) {
                want = "0007"
                if (row == 3 && column >= 37 && column < 75) want = "0006"
                if (row == 5 && column == 1) want = "0C07"
                if (row == 5 && column >= 2 && column <= 117) want = "0407"
                if (row == 5 && column == 118) want = "1407"
                if (row >= 6 && row <= 23 && column == 118) want = "1007"
                if (row >= 6 && row <= 23 && column == 1) want = "0807"
                if (row == 24 && column >= 1 && column <= 118) want = "0407"
                got = $(column + 3)
                if (got != want) {
                    printf "attribute at (%d, %d) is %s, expected %s\n", column, row, got, want
                    bad++
                }
            }
        }
        END { exit bad > 0 }' "$dump" >&2 || fail "the screen's attributes differ"
}

# One press, one step, one line, for every mapped key, whatever Shift, Caps Lock, Ctrl or Alt.
# The screen after the first three steps is kept for the picture.
scenario_step_keys() {
    begin_case step_keys
    printer 3
    drive <<'EOF'
start
wait_text 63 20 _
key 41
wait_text 31 6 201.000
key 45 shift
wait_text 31 6 201.100
key 54 caps
wait_text 31 6 201.110
dump @three_steps.txt
key 5A ctrl
wait_text 31 6 200.110
key 52 alt
wait_text 31 6 200.010
key 59 shift+caps
wait_text 31 6 200.000
dump @six_steps.txt
key 59
wait_text 31 6 199.990
dump @seven_steps.txt
key 20
wait_exit 10000
EOF
    expect_exit 0
    expect_sent "$CASE/COM3.log" "G1 F600 Z201.000" "G1 F600 Z201.100" "G1 F600 Z201.110" \
        "G1 F600 Z200.110" "G1 F600 Z200.010" "G1 F600 Z200.000" "G1 F600 Z199.990"
    grep -q $'\r' "$CASE/COM3.log" && fail "a carriage return was sent"
    local dump="$CASE/three_steps.txt"
    expect_text "$dump" 31 6 "201.110   "
    grep "^a 06" "$dump" | awk '{ for (c = 31; c < 38; c++) if ($(c + 3) != "000F") exit 1 }' ||
        fail "the height is not bright white"
    local r
    for r in 8 10 12; do expect_text "$dump" 63 $r "|"; done
    for r in 9 11 13; do expect_text "$dump" 63 $r "V"; done
    expect_text "$dump" 63 14 " "
    # From the sixth step on column 63 stays "|" and "V" by turns; the seventh changes nothing.
    for dump in "$CASE/six_steps.txt" "$CASE/seven_steps.txt"; do
        for r in 8 10 12 14 16 18; do expect_text "$dump" 63 $r "|"; done
        for r in 9 11 13 15 17 19; do expect_text "$dump" 63 $r "V"; done
    done
    diff <(grep -v '^t 06' "$CASE/six_steps.txt") <(grep -v '^t 06' "$CASE/seven_steps.txt") ||
        fail "the seventh step changed more than the height"
}

# A long run queued at once: 92 T steps land on 200.920 exactly, then 201 Z steps go below zero;
# a held key's auto-repeat steps on every key-down.
scenario_long_run() {
    begin_case long_run
    printer 3
    drive <<'EOF'
start
wait_text 63 20 _
keys 92 54
wait_text 31 6 200.920
keys 201 5A
wait_text 31 6 -0.080
down 45
down 45
down 45
up 45
wait_text 31 6 0.220
dump @after.txt
key 20
wait_exit 10000
EOF
    expect_exit 0
    # shellcheck disable=SC2046
    expect_sent "$CASE/COM3.log" "$(height_lines 20001 20092 1)" "$(height_lines 19992 -8 -100)" \
        "$(height_lines 2 22 10)"
    expect_text "$CASE/after.txt" 31 6 "0.220     "
}

# Keys the tool does not map, and records that are not keys, change nothing and send nothing.
scenario_unmapped_keys() {
    begin_case unmapped_keys
    printer 3
    drive <<'EOF'
start
wait_text 63 20 _
dump @before.txt
key 42
key 51
key 31
key 30
key 0D
key 1B
key 25
key 28
key 70
key 10
key 5B
key 40
record mouse
record focus
record menu
record size
sleep 500
dump @after.txt
key 41
wait_text 31 6 201.000
key 20
wait_exit 10000
EOF
    expect_exit 0
    expect_sent "$CASE/COM3.log" "G1 F600 Z201.000"
    diff "$CASE/before.txt" "$CASE/after.txt" || fail "an unmapped key changed the screen"
}

# Keys pressed while the printer settles wait in the queue and step once the loop runs, after the
# settle: nothing is sent before the 2222 ms wait from the open is over.
scenario_keys_during_settle() {
    begin_case keys_during_settle
    printer 3
    drive <<'EOF'
start
wait_text 3 13 Pressez 'y'
absent 63 20 _
key 41
key 54
absent 63 20 _
wait_text 31 6 201.010
key 20
wait_exit 10000
EOF
    expect_exit 0
    expect_sent "$CASE/COM3.log" "G1 F600 Z201.000" "G1 F600 Z201.010"
    # The printer's clock starts when it notices the open, which can be a little after the tool's
    # own start of the wait, and Wine's Sleep may end up to a tick early: allow 100 ms. The keys
    # went in long before that, so a line at 2122 ms or later still shows that they waited.
    awk '$1 < 2122 { print "sent at " $1 " ms, inside the settle"; bad = 1 } END { exit bad }' \
        "$CASE/COM3.log" >&2 || fail "a line went out during the settle"
}

# No port opens (every COM is a directory, and a printer on COM21 is never tried): the error line
# replaces the help line of e, no bed line, the tool waits for a key and ends with exit code 1.
scenario_no_port() {
    begin_case no_port
    rmdir "$PORTS/COM21"
    "$SIGMA_PRINTER_SIM" --link "$PORTS/COM21" --log "$CASE/COM21.log" >"$CASE/COM21.out" 2>&1 &
    BACKGROUND_PIDS+=($!)
    wait_for_line "$CASE/COM21.out" '^ready ' >/dev/null || fail "printer_sim on COM21 is not ready"
    drive <<'EOF'
start
wait_text 3 10 Erreur:    port comm serial introuvable.
sleep 1000
alive
dump @error.txt
key 41
wait_exit 10000
EOF
    expect_exit 1
    expect_sent "$CASE/COM21.log"
    local dump="$CASE/error.txt"
    expect_text "$dump" 0 10 "   Erreur:    port comm serial introuvable.   "
    expect_text "$dump" 3 9 "Pressez 'z' pour descendre cran (-1.000)"
    expect_text "$dump" 3 11 "Pressez 'r' pour descendre cran (-0.100)"
    [ -z "$(row "$dump" 20 | tr -d ' ')" ] || fail "row 20 is not empty: $(row "$dump" 20)"
}

# Once settled, one e step (200.100), then the space bar: exit code 0.
one_step_then_quit() {
    drive <<'EOF'
start
wait_text 63 20 _
key 45
wait_text 31 6 200.100
key 20
wait_exit 10000
EOF
    expect_exit 0
}

# Printers on COM3 and COM7: the lower number is taken, the other never hears a thing.
scenario_port_choice() {
    begin_case port_choice
    printer 7
    printer 3
    one_step_then_quit
    expect_sent "$CASE/COM3.log" "G1 F600 Z200.100"
    expect_sent "$CASE/COM7.log"
}

# Printers on COM3 and COM7, and the system's list of serial devices naming COM7 a USB serial
# device while COM3 stays a motherboard port (Wine lists every port it maps as \Device\Serial<n>):
# COM7 is taken, and COM3 never hears a thing. The list is put back as Wine made it afterwards.
SERIALCOMM='HKLM\HARDWARE\DEVICEMAP\SERIALCOMM'
COM7_VALUE=""
restore_serialcomm() {
    without_admin wine reg delete "$SERIALCOMM" /v '\Device\USBSER000' /f >/dev/null 2>&1
    if [ -n "$COM7_VALUE" ]; then
        without_admin wine reg add "$SERIALCOMM" /v "$COM7_VALUE" /t REG_SZ /d COM7 /f \
            >/dev/null 2>&1
    fi
}

scenario_usb_port_first() {
    begin_case usb_port_first
    trap 'restore_serialcomm; end_case' EXIT
    without_admin wine reg query "$SERIALCOMM" >"$CASE/serialcomm.txt" 2>&1 ||
        fail "cannot read $SERIALCOMM: $(cat "$CASE/serialcomm.txt")"
    local listed
    listed=$(tr -d '\r' <"$CASE/serialcomm.txt")
    COM7_VALUE=$(awk '$2 == "REG_SZ" && $3 == "COM7" { print $1 }' <<<"$listed")
    [ -n "$COM7_VALUE" ] || fail "Wine lists no COM7 in $SERIALCOMM: $listed"
    awk '$2 == "REG_SZ" && $3 == "COM3" { print $1 }' <<<"$listed" | grep -q '^\\Device\\Serial' ||
        fail "Wine does not list COM3 as a motherboard port: $listed"
    { without_admin wine reg delete "$SERIALCOMM" /v "$COM7_VALUE" /f &&
        without_admin wine reg add "$SERIALCOMM" /v '\Device\USBSER000' /t REG_SZ /d COM7 /f; } \
        >"$CASE/reg.txt" 2>&1 || fail "cannot list COM7 as a USB device: $(cat "$CASE/reg.txt")"
    printer 7
    printer 3
    one_step_then_quit
    expect_sent "$CASE/COM7.log" "G1 F600 Z200.100"
    expect_sent "$CASE/COM3.log"
}

# A printer on COM2 held by another program is skipped; the one on COM5 is taken.
scenario_held_port() {
    begin_case held_port
    printer 2
    hold "$SLAVE"
    printer 5
    drive <<'EOF'
start
wait_text 63 20 _
key 52
wait_text 31 6 199.900
key 20
wait_exit 10000
EOF
    expect_exit 0
    expect_sent "$CASE/COM5.log" "G1 F600 Z199.900"
    expect_sent "$CASE/COM2.log"
}

# The space bar ends the tool with exit code 0; keys queued behind it are never acted on.
scenario_space_quits() {
    begin_case space_quits
    printer 3
    drive <<'EOF'
start
wait_text 63 20 _
key 41
wait_text 31 6 201.000
key 20
key 41
key 5A
wait_exit 10000
EOF
    expect_exit 0
    expect_sent "$CASE/COM3.log" "G1 F600 Z201.000"
}

# --version and --help print their text and end with exit code 0 at once, before the console
# or any port is touched: the printer on COM3 hears nothing.
scenario_command_line() {
    begin_case command_line
    : "${SIGMA_VERSION:?}"
    printer 3
    local flag status
    for flag in --version --help -h; do
        without_admin wine "Z:$SIGMA_TOOL_EXE" $flag >"$CASE/out$flag.txt" 2>"$CASE/err$flag.txt"
        status=$?
        [ $status -eq 0 ] || fail "$flag: exit code $status"
        # The C runtime writes text mode: CR LF line ends.
        tr -d '\r' <"$CASE/out$flag.txt" >"$CASE/text$flag.txt"
        [ "$(head -n 1 "$CASE/text$flag.txt")" = "sigma-calibrage $SIGMA_VERSION" ] ||
            fail "$flag printed: $(cat "$CASE/text$flag.txt")"
        grep -q $'\x1b' "$CASE/out$flag.txt" && fail "$flag wrote a terminal sequence"
    done
    for flag in --help -h; do
        grep -q '^Usage: sigma-calibrage' "$CASE/text$flag.txt" || fail "$flag printed no usage"
    done
    [ "$(wc -l <"$CASE/text--version.txt")" -eq 1 ] || fail "--version printed more than its line"
    expect_sent "$CASE/COM3.log"
}

case "${1:-}" in
setup) setup ;;
cleanup) cleanup ;;
settled_screen | step_keys | long_run | unmapped_keys | keys_during_settle | no_port | \
    port_choice | usb_port_first | held_port | space_quits | command_line)
    "scenario_$1"
    echo "pass: $1"
    ;;
*) fail "usage: wine_e2e.sh setup | cleanup | SCENARIO" ;;
esac
