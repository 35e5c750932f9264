#!/usr/bin/env bash
# Runs the terminal tool against printer_sim with one fault at a time, in a private tmux server,
# and checks that the tool survives each: after the settle, a burst of key presses gives lines on
# the wire that are heights the presses passed through, in order, the last of them the height the
# field shows (or, once a vanishing printer has gone, the error line on the screen); the tool
# never spins the CPU, and the space bar ends it with exit code 0 and the terminal as it was. One
# scenario runs the tool under valgrind.
#
#   fault_scenarios.sh --tool PATH --printer-sim PATH [SCENARIO...]
#
# Scenarios: steady (no fault), vanish, garbage, long_reply, flood, valgrind; all by default.
set -uo pipefail

tool=
printer_sim=
scenarios=()
while [[ $# -gt 0 ]]; do
    case $1 in
    --tool) tool=$2; shift 2 ;;
    --printer-sim) printer_sim=$2; shift 2 ;;
    *) scenarios+=("$1"); shift ;;
    esac
done
if [[ ! -x $tool || ! -x $printer_sim ]]; then
    echo "usage: $0 --tool PATH --printer-sim PATH [SCENARIO...]" >&2
    exit 2
fi
[[ ${#scenarios[@]} -eq 0 ]] && scenarios=(steady vanish garbage long_reply flood valgrind)

presses=1000
valgrind_presses=100
vanish_after=500
cpu_bound_percent=20 # of one core, over each window
idle_window_s=3
clock_ticks=$(getconf CLK_TCK)

# The keys of the burst: every step key, the height wandering up and down.
key_pattern=aetyrzetyaeyrtz

# --- helpers ------------------------------------------------------------------------------------

scenario_dir=
socket=
sim_pid=
failures=()

fail() {
    failures+=("$*")
    echo "    FAIL: $*"
}

# Polls the command until it succeeds or the seconds pass.
wait_for() {
    local seconds=$1
    shift
    local end=$((SECONDS + seconds))
    until "$@"; do
        ((SECONDS >= end)) && return 1
        sleep 0.1
    done
}

screen_text() {
    tmux -L "$socket" capture-pane -p -t sigma 2>/dev/null
}

screen_has() {
    screen_text | grep -qF -- "$1"
}

# The text of the height field, after "Point de calibrage:" (the frame's glyphs before it may be
# several bytes each, so the text is found by its label rather than by its column).
height_field() {
    screen_text | sed -n 's/.*Point de calibrage: *\([-0-9.]*\).*/\1/p' | head -n 1
}

field_shows() {
    [[ $(height_field) == "$1" ]]
}

# CPU time of the process in clock ticks, user and system.
cpu_ticks() {
    local stat
    stat=$(cat "/proc/$1/stat" 2>/dev/null) || return 1
    stat=${stat##*) }
    read -r -a fields <<<"$stat"
    echo $((fields[11] + fields[12]))
}

# Percent of one core the process used while the command ran.
cpu_percent_during() {
    local pid=$1
    shift
    local before after start end
    before=$(cpu_ticks "$pid") || return 1
    start=$(date +%s%N)
    "$@"
    local status=$?
    after=$(cpu_ticks "$pid") || return 1
    end=$(date +%s%N)
    local wall_ticks=$(((end - start) * clock_ticks / 1000000000))
    ((wall_ticks < 1)) && wall_ticks=1
    echo $(((after - before) * 100 / wall_ticks))
    return $status
}

wire_lines() {
    sed -n 's/^[0-9.]* \(G1 .*\)$/\1/p' "$scenario_dir/wire.log"
}

last_wire_line_is() {
    [[ $(wire_lines | tail -n 1) == "$1" ]]
}

# Whether every line of the first input stands in the second, in the same order: the tool writes
# a height the keys passed through, and while a line waits for its answer only the latest one.
in_order_within() {
    awk 'NR == FNR { wanted[++n] = $0; next }
         found < n && $0 == wanted[found + 1] { ++found }
         END { exit found == n ? 0 : 1 }' "$1" "$2"
}

# The lines the keys must give, from the height in whole hundredths.
expected_lines() {
    awk -v keys="$1" 'BEGIN {
        step["a"] = 100; step["z"] = -100; step["e"] = 10
        step["r"] = -10; step["t"] = 1; step["y"] = -1
        h = 20000
        for (i = 1; i <= length(keys); ++i) {
            h += step[substr(keys, i, 1)]
            m = h < 0 ? -h : h
            printf "G1 F600 Z%s%d.%02d0\n", (h < 0 ? "-" : ""), int(m / 100), m % 100
        }
    }'
}

burst_keys() {
    local keys=
    while ((${#keys} < $1)); do
        keys+=$key_pattern
    done
    echo "${keys:0:$1}"
}

cleanup_scenario() {
    tmux -L "$socket" kill-server 2>/dev/null
    if [[ -n $sim_pid ]]; then
        kill "$sim_pid" 2>/dev/null
        wait "$sim_pid" 2>/dev/null
    fi
    sim_pid=
    [[ -n $scenario_dir ]] && rm -rf "$scenario_dir"
    scenario_dir=
}
trap cleanup_scenario EXIT

# --- one scenario -------------------------------------------------------------------------------

run_scenario() {
    local name=$1
    local sim_options=() prefix=() count=$presses vanishes=0 settle_s=30
    case $name in
    steady) ;;
    vanish) sim_options=(--vanish-after "$vanish_after"); vanishes=1 ;;
    garbage) sim_options=(--garbage) ;;
    long_reply) sim_options=(--long-reply) ;;
    flood) sim_options=(--flood) ;;
    valgrind)
        count=$valgrind_presses
        settle_s=120
        prefix=(valgrind --quiet --error-exitcode=99 --leak-check=full
            --errors-for-leak-kinds=definite --log-file=VALGRIND_LOG)
        ;;
    *) fail "$name: no such scenario"; return 1 ;;
    esac
    local failures_before=${#failures[@]}
    echo "== $name: ${sim_options[*]:-no fault}${prefix:+ under valgrind}, $count presses"

    scenario_dir=$(mktemp -d "${TMPDIR:-/tmp}/sigma-faults.XXXXXX")
    socket=sigma-faults-$name-$$
    mkdir "$scenario_dir/ports"
    prefix=("${prefix[@]/VALGRIND_LOG/$scenario_dir/valgrind.log}")

    "$printer_sim" --ports "$scenario_dir/ports" --com 3 --log "$scenario_dir/wire.log" \
        "${sim_options[@]}" >"$scenario_dir/sim.out" 2>&1 &
    sim_pid=$!
    if ! wait_for 10 grep -q '^ready ' "$scenario_dir/sim.out"; then
        fail "$name: printer_sim did not get ready"
        return 1
    fi

    # The tool runs in a shell that keeps the terminal's settings from before and after, and its
    # exit code, then stays so that the pane's modes can be read.
    cat >"$scenario_dir/run.sh" <<SCRIPT
stty -g > "$scenario_dir/stty.before"
SIGMA_PORTS="$scenario_dir/ports" ${prefix[*]} "$tool"
echo \$? > "$scenario_dir/rc.part"
stty -g > "$scenario_dir/stty.after"
mv "$scenario_dir/rc.part" "$scenario_dir/rc"
exec sleep 600
SCRIPT
    tmux -L "$socket" -f /dev/null new-session -d -s sigma -x 120 -y 30 "sh $scenario_dir/run.sh"

    if ! wait_for "$settle_s" screen_has "plateau lit"; then
        fail "$name: the screen never showed the bed line"
        screen_text | head -12
        return 1
    fi
    local shell_pid tool_pid
    shell_pid=$(tmux -L "$socket" display -p -t sigma '#{pane_pid}')
    tool_pid=$(pgrep -P "$shell_pid" | head -n 1)
    if [[ -z $tool_pid ]]; then
        fail "$name: the tool's process is gone after the settle"
        return 1
    fi

    local check_cpu=1
    [[ $name == valgrind ]] && check_cpu=0 # valgrind's own work is no measure of the tool's
    local idle_before burst idle_after
    idle_before=$(cpu_percent_during "$tool_pid" sleep "$idle_window_s")

    local keys expected final
    keys=$(burst_keys "$count")
    expected=$(expected_lines "$keys")
    final=$(tail -n 1 <<<"$expected" | sed 's/^G1 F600 Z//')
    tmux -L "$socket" send-keys -t sigma -l "$keys"
    # The field shows the last height; the wire ends with it too, unless the printer vanished,
    # when the screen says so instead. Generous: each step takes its 20 ms pause and more on a
    # busy machine.
    local done_when="last_wire_line_is 'G1 F600 Z$final' && field_shows '$final'"
    ((vanishes)) && done_when="screen_has 'imprimante deconnectee' && field_shows '$final'"
    # A flooding printer's answers drown in its text: a line that is never answered keeps the
    # latest height pending, since the printer is not silent. The field still follows the keys.
    [[ $name == flood ]] && done_when="field_shows '$final'"
    burst=$(cpu_percent_during "$tool_pid" wait_for $((count / 5 + 120)) eval "$done_when")
    if [[ $? -ne 0 ]]; then
        fail "$name: after the burst the wire ends with '$(wire_lines | tail -n 1)' and the" \
            "field shows '$(height_field)' (expected $final)"
        screen_text | tail -n 10
    fi
    idle_after=$(cpu_percent_during "$tool_pid" sleep "$idle_window_s")

    wire_lines >"$scenario_dir/wire.lines"
    if ! in_order_within "$scenario_dir/wire.lines" <(echo "$expected"); then
        fail "$name: a line on the wire is not a height the keys passed through, in order"
        head -n 5 "$scenario_dir/wire.lines"
    fi
    if ((vanishes)); then
        # The printer notes its vanishing just after logging its last line.
        wait_for 10 grep -q ' vanished$' "$scenario_dir/wire.log" ||
            fail "$name: the printer did not vanish"
        (($(wc -l <"$scenario_dir/wire.lines") <= vanish_after)) ||
            fail "$name: lines were taken after the printer vanished"
    fi
    if ((check_cpu)); then
        local window
        for window in "idle before:$idle_before" "burst:$burst" "idle after:$idle_after"; do
            if [[ -z ${window#*:} ]] || ((${window#*:} > cpu_bound_percent)); then
                fail "$name: the tool used ${window#*:}% of a core (${window%%:*})"
            fi
        done
    fi

    tmux -L "$socket" send-keys -t sigma ' '
    if ! wait_for 60 test -e "$scenario_dir/rc"; then
        fail "$name: the space bar did not end the tool"
        return 1
    fi
    local rc
    rc=$(cat "$scenario_dir/rc")
    [[ $rc == 0 ]] || fail "$name: the tool ended with exit code $rc"
    if ! cmp -s "$scenario_dir/stty.before" "$scenario_dir/stty.after"; then
        fail "$name: the terminal's settings were not restored"
    fi
    # tmux takes in the tool's last output in its own time, maybe after the shell has gone on.
    pane_modes() { tmux -L "$socket" display -p -t sigma '#{cursor_flag} #{alternate_on}'; }
    if ! wait_for 10 eval '[[ $(pane_modes) == "1 0" ]]'; then
        fail "$name: cursor shown, alternate screen: '$(pane_modes)' (expected '1 0')"
    fi
    # valgrind notes the terminal ioctls it has no wrapper for; anything else it says is an error.
    if [[ $name == valgrind ]] && grep -vE 'unhandled ioctl|spurious value errors|README_MISSING' \
        "$scenario_dir/valgrind.log" | grep -q .; then
        fail "$name: valgrind reported errors"
        head -n 30 "$scenario_dir/valgrind.log"
    fi

    echo "   $(wire_lines | wc -l) lines on the wire; CPU ${idle_before}% idle," \
        "${burst}% in the burst, ${idle_after}% idle after; exit code $rc"
    cleanup_scenario
    ((${#failures[@]} == failures_before))
}

# --- all of them --------------------------------------------------------------------------------

run=0
passed=0
faults_run=0
faults_survived=0
for name in "${scenarios[@]}"; do
    ((++run))
    is_fault=0
    [[ $name == vanish || $name == garbage || $name == long_reply || $name == flood ]] && is_fault=1
    ((faults_run += is_fault))
    if run_scenario "$name"; then
        ((++passed))
        ((faults_survived += is_fault))
        echo "   PASS $name"
    fi
    cleanup_scenario
done

echo
echo "fault scenarios: $run run, $passed passed; faults survived: $faults_survived of $faults_run"
((passed == run))
