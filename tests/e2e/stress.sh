#!/bin/bash
# Stress under Wine's service control manager, bounded in count and time: start/stop cycles of
# one service, stops that race the start, stops of a child that saves on Ctrl+C (none of its
# saves may be cut off), a long run of pause/continue/interrogate controls, and two services of
# one copy of tolvard that share its log. svcctl.exe does each series in
# one process and prints a line of facts per step: whether the service reached RUNNING and
# STOPPED, whether the child (found by name in the process list) was there while it ran and
# gone once it stopped, and a copy of the log once the host process had ended. Orphans are
# children found alive after STOPPED; lost lines are expected log lines missing or broken; lost
# saves are saves begun and never finished. Every ControlService(STOP) must return within 1 s.
#
# E2E_STRESS_CYCLES (50), E2E_STRESS_RACES (20), E2E_STRESS_SAVES (50) and E2E_STRESS_CONTROLS
# (200) set the counts; with E2E_SMOKE set the defaults are 20, 10, 20 and 100. E2E_STRESS_BURST (100) sets how many
# controls each of the two services sharing the log gets.
. "$(dirname "$0")/lib.sh"
work_dir stress
counts_begin stress
smoke() {
    if [ -n "${E2E_SMOKE:-}" ]; then echo "$1"; else echo "$2"; fi
}
cycles=${E2E_STRESS_CYCLES:-$(smoke 20 50)}
races=${E2E_STRESS_RACES:-$(smoke 10 20)}
controls=${E2E_STRESS_CONTROLS:-$(smoke 100 200)}
saves=${E2E_STRESS_SAVES:-$(smoke 20 50)}
E2E_WINE_TIMEOUT=300

exe=$(winpath "$TOLVARD")
log=$(winpath "$(tolvard_log)")
orphans=0
lost=0
sent=0

# start_lines CHILD_EXE [WORD]: the log lines of a start up to the child's launch; the child's
# one word is "run" unless given.
start_lines() {
    printf '%s\n' "main() start:4" "MyServiceStart start:1" "exec_proc() start" "cmdline=" \
        "$1 ${2:-run} " "success CreateProcess"
}

# check_run_log WHAT FILE CHILD_EXE [WORD]: one run's whole log, in order. It starts as
# start_lines says; "Leaving MyService" follows; then the stop asks the child to end, which
# ends on its own (a stop racing the launch may find the child too young to take its Ctrl+C,
# and kill it after the grace time); "exec_proc() end" and "main() end" close it. When the stop
# came before the child could be launched, only the first three lines of the start are there,
# or five when it came while the command line was logged (the host looks at the stop once more
# just before the launch), "Leaving MyService" may come anywhere after the second, and nothing
# is asked of a child. Adds the expected lines missing and the broken ones to lost.
check_run_log() {
    local what=$1 file=$2 child=$3 word=${4:-run}
    local messages expected got
    # Wine gives a console program hidden top-level windows of its own at times, which get
    # WM_CLOSE too: that line is left out.
    messages=$(log_messages "$file" | sed -e 's/ after [0-9]* ms$/ after N ms/' \
        -e '/^WM_CLOSE sent to [0-9]* windows$/d')
    if printf '%s\n' "$messages" | LC_ALL=C grep -qx 'success CreateProcess'; then
        expected=$({
            start_lines "$child" "$word"
            printf '%s\n' 'Leaving MyService' 'asking the child to end, grace time 5000 ms'
            if printf '%s\n' "$messages" | LC_ALL=C grep -qx 'killing the child .*' &&
                [ "$kind" = race ]; then
                echo 'killing the child after the grace time of 5000 ms'
            else
                echo 'the child ended on its own after N ms'
            fi
            printf '%s\n' 'exec_proc() end' 'main() end'
        })
        got=$messages
    else
        raced_out=$((raced_out + 1))
        local logged=3
        if printf '%s\n' "$messages" | LC_ALL=C grep -qx 'cmdline='; then
            logged=5
        fi
        expected=$({
            start_lines "$child" "$word" | head -n "$logged"
            printf '%s\n' 'exec_proc() end' 'main() end'
        })
        got=$(printf '%s\n' "$messages" | LC_ALL=C grep -v -x 'Leaving MyService')
        check_eq "$what: one Leaving MyService after the start" "1 yes" \
            "$(printf '%s\n' "$messages" | LC_ALL=C grep -c -x 'Leaving MyService') $(
                printf '%s\n' "$messages" | sed -n '3,$p' | LC_ALL=C grep -qx 'Leaving MyService' &&
                    echo yes)"
    fi
    if ! check_eq "$what: the run's lines" "$expected" "$got"; then
        lost=$((lost + $(LC_ALL=C grep -v -x -F -f <(printf '%s\n' "$messages") \
            <(printf '%s\n' "$expected") | wc -l)))
        lost=$((lost + $(printf '%s\n' "$messages" | LC_ALL=C grep -c '^!! ')))
    fi
}

# stop_ms_ok FACTS: ControlService(STOP) returned within a second.
stop_ms_ok() {
    local ms
    ms=$(sed -n 's/.* stop_ms=\([0-9]*\).*/\1/p' <<<"$1")
    [ -n "$ms" ] && [ "$ms" -le 1000 ]
}

# series KIND SVC CHILD COUNT: runs svcctl cycles or race and judges every run.
series() {
    local kind=$1 svc=$2 child=$3 n=$4
    mkdir -p "$W/$kind"
    cp "$E2E_HELPERS/probe.exe" "$W/$child"
    sc_create "$svc" "$exe $(winpath "$W/$child") run $svc "
    svcctl "$kind" "$svc" "$n" "$child" "$log" "$(winpath "$W/$kind")" 20
    check_svcctl "$kind: svcctl" $?
    check_eq "$kind: runs made" "$n" "$(grep -c '^run=' "$W/svcctl.txt")"
    cp "$W/svcctl.txt" "$W/$kind.txt"
    cp "$W/svcctl.err" "$W/$kind.err"
    raced_out=0
    early=0
    local run
    for run in $(seq 1 "$n"); do
        local facts
        facts=$(sed -n "s/^run=$run //p" "$W/$kind.txt")
        if [ "$kind" = cycles ]; then
            check_true "cycle $run: the stop returned within a second" stop_ms_ok "$facts"
        fi
        facts=$(sed 's/ stop_ms=[0-9]*$//' <<<"$facts")
        local found
        found=$(sed -n 's/.*orphans=\(-\?[0-9]*\).*/\1/p' <<<"$facts")
        if [ "$kind" = cycles ]; then
            check_eq "cycle $run" \
                "running=1 child_seen=1 attempts=1 stop_state=3 stopped=1 exited=1 orphans=0 log=1" \
                "$facts"
        elif [[ "$facts" == *" attempts=0 "* ]]; then
            # Wine delivers a stop that comes before the service has registered its handler to
            # the dispatcher, which then ends at once: the service control manager's pipe
            # breaks (109) and the host ends mid-start, with no child (found by the orphan
            # count below, which stays strict). A host that takes the stop and ends before
            # its answer is read breaks the pipe the same way.
            early=$((early + 1))
            check_eq "race $run: the stop refused as the host ended early" \
                "running=0 child_seen=0 attempts=0 stop_state=1 stopped=1 exited=1 orphans=0 log=1" \
                "$facts"
        else
            # The state the stop returns is the latest report: stop pending, or, when the stop
            # came before the launch, already the service thread's stopped.
            check_eq "race $run (attempts made and the state returned taken aside)" \
                "running=0 child_seen=0 stopped=1 exited=1 orphans=0 log=1" \
                "$(sed -E 's/attempts=[1-9][0-9]* //; s/stop_state=[13] //' <<<"$facts")"
        fi
        # A run whose process list could not be read counts as an orphan: nothing was shown gone.
        if [ -z "$found" ] || [ "$found" -ne 0 ]; then
            orphans=$((orphans + 1))
        fi
        # A broken pipe also comes when the host takes the stop and ends before the service
        # control manager has read the answer: then the log is a whole run's.
        if [ -f "$W/$kind/$(printf '%03d' "$run").log" ] && [[ "$facts" == *" attempts=0 "* ]] &&
            ! LC_ALL=C grep -q ':Leaving MyService' "$W/$kind/$(printf '%03d' "$run").log"; then
            check_early_log "$kind $run: log" "$W/$kind/$(printf '%03d' "$run").log" \
                "$(winpath "$W/$child")"
        elif [ -f "$W/$kind/$(printf '%03d' "$run").log" ]; then
            check_run_log "$kind $run: log" "$W/$kind/$(printf '%03d' "$run").log" \
                "$(winpath "$W/$child")"
        else
            fail "$kind $run: no copy of the log"
            lost=$((lost + 8))
        fi
    done
    check_eq "$kind: each stop refused was a broken pipe" "$early" \
        "$(grep -c '^svcctl: ControlService stop error=109 ' "$W/$kind.err")"
    check_true "$kind: no child of the series still works" still "$W/$child.ticks"
}

# check_early_log WHAT FILE CHILD_EXE: the log of a host whose dispatcher ended before the
# service could take the stop: whole lines, the first ones of a start, then "main() end".
check_early_log() {
    local what=$1 file=$2 child=$3
    local messages n
    messages=$(log_messages "$file")
    n=$(($(printf '%s\n' "$messages" | wc -l) - 1))
    check_true "$what: some lines of a start, then main() end" \
        test "$n" -ge 2 -a "$(printf '%s\n' "$messages" | tail -n 1)" = "main() end" || {
        lost=$((lost + $(printf '%s\n' "$messages" | LC_ALL=C grep -c '^!! ')))
        return
    }
    check_eq "$what: the start's first lines" "$(start_lines "$child" | head -n "$n")" \
        "$(printf '%s\n' "$messages" | head -n "$n")" ||
        lost=$((lost + $(printf '%s\n' "$messages" | LC_ALL=C grep -c '^!! ')))
}

# --- start/stop cycles ---
series cycles tvd_cycles cyc.exe "$cycles"
check_eq "cycles: every stop came after the launch" 0 "$raced_out"

# --- stops racing the start ---
series race tvd_race race.exe "$races"
echo "races: $raced_out of $races stops came before the child's launch," \
    "$early refused with a broken pipe (the host ended before answering)"

# --- stops of a child that saves on Ctrl+C ---
# saver.exe saves for 300 ms when Ctrl+C comes, then exits: each stop must let it finish. Each
# run's stop waits until the child has written "start" (its handler is in place); a save counts
# as tried for each "start", and as lost unless "saved" follows it.
kind=saves
mkdir -p "$W/saves"
cp "$E2E_HELPERS/saver.exe" "$W/sav.exe"
sc_create tvd_saves "$exe $(winpath "$W/sav.exe") save tvd_saves "
svcctl saves tvd_saves "$saves" sav.exe "$log" "$(winpath "$W/saves")" 20 \
    "$(winpath "$W/sav.exe.saves")"
check_svcctl "saves: svcctl" $?
cp "$W/svcctl.txt" "$W/saves.txt"
check_eq "saves: runs made" "$saves" "$(grep -c '^run=' "$W/saves.txt")"
for run in $(seq 1 "$saves"); do
    facts=$(sed -n "s/^run=$run //p" "$W/saves.txt")
    check_true "save $run: the stop returned within a second" stop_ms_ok "$facts"
    check_eq "save $run" \
        "running=1 child_seen=1 attempts=1 stop_state=3 stopped=1 exited=1 orphans=0 log=1" \
        "$(sed 's/ stop_ms=[0-9]*$//' <<<"$facts")"
    found=$(sed -n 's/.*orphans=\(-\?[0-9]*\).*/\1/p' <<<"$facts")
    if [ -z "$found" ] || [ "$found" -ne 0 ]; then
        orphans=$((orphans + 1))
    fi
    if [ -f "$W/saves/$(printf '%03d' "$run").log" ]; then
        check_run_log "save $run: log" "$W/saves/$(printf '%03d' "$run").log" \
            "$(winpath "$W/sav.exe")" save
    else
        fail "save $run: no copy of the log"
        lost=$((lost + 10))
    fi
done
tried=$(LC_ALL=C grep -c -x 'start' "$W/sav.exe.saves")
saved=$(LC_ALL=C grep -c -x 'saved' "$W/sav.exe.saves")
check_eq "saves: one child per run" "$saves" "$tried"
check_eq "saves: every save complete, none cut off" "$tried $tried" \
    "$(LC_ALL=C grep -c -x 'saving' "$W/sav.exe.saves") $saved"
saves_lost=$((tried - saved))
echo "saves: $tried tried, $saves_lost lost; the slowest stop call took" \
    "$(sed -n 's/.* stop_ms=\([0-9]*\)$/\1/p' "$W/saves.txt" | sort -n | tail -n 1) ms"

# --- controls while the child runs ---
cp "$E2E_HELPERS/probe.exe" "$W/ctl.exe"
svc=tvd_controls
sc_create "$svc" "$exe $(winpath "$W/ctl.exe") run $svc "
svcctl start "$svc"
check_svcctl "controls: start" $?
wait_state "$svc" RUNNING 10 || die "$svc did not reach RUNNING: $(svcctl_error)"
wait_log "success CreateProcess" 10
svcctl controls "$svc" "$controls" ctl.exe
check_svcctl "controls: svcctl" $?
check_eq "controls: every one answered, reported and queried state right, child there" \
    "sent=$controls answered=$controls right=$controls" "$(tail -n 1 "$W/svcctl.txt")"
sent=$((sent + $(sed -n 's/^sent=\([0-9]*\) .*/\1/p' "$W/svcctl.txt")))
check_true "controls: the child works on" ticking "$W/ctl.exe.ticks"
check_log "controls: pause, continue and interrogate log nothing" \
    "$(start_lines "$(winpath "$W/ctl.exe")")"
svcctl control "$svc" 1
wait_state "$svc" STOPPED 10
check_svcctl "controls: stopped" $?
check_true "controls: the child is gone" still "$W/ctl.exe.ticks" || orphans=$((orphans + 1))

# --- two services of one copy, one log ---
# Each start empties the log, so only what comes after the second start must all be there:
# both services' control lines, written by two processes at once, and their stops.
burst=${E2E_STRESS_BURST:-100}
for name in a b; do
    cp "$E2E_HELPERS/probe.exe" "$W/two_$name.exe"
    sc_create "tvd_two_$name" "$exe $(winpath "$W/two_$name.exe") run tvd_two_$name "
done
svcctl startall tvd_two_a tvd_two_b
check_svcctl "two: both started" $?
for name in a b; do
    wait_state "tvd_two_$name" RUNNING 10 || fail "tvd_two_$name did not reach RUNNING"
    wait_record "$W/two_$name.exe.args" 10 || fail "the child of tvd_two_$name left no record"
done
wine_call "$W/burst_a" "$E2E_HELPERS/svcctl.exe" burst 200 "$burst" tvd_two_a &
wine_call "$W/burst_b" "$E2E_HELPERS/svcctl.exe" burst 200 "$burst" tvd_two_b
wait
for name in a b; do
    check_eq "two: controls to tvd_two_$name answered" "sent=$burst answered=$burst" \
        "$(tr -d '\r' <"$W/burst_$name.out")"
    sent=$((sent + burst))
done
for name in a b; do
    svcctl control "tvd_two_$name" 1
    wait_state "tvd_two_$name" STOPPED 10
    check_svcctl "two: tvd_two_$name stopped" $?
    check_eq "two: tvd_two_$name stopped cleanly" "0 0" "$(field win32_exit) $(field service_exit)"
done
for name in a b; do
    check_true "two: the child of tvd_two_$name is gone" still "$W/two_$name.exe.ticks" ||
        orphans=$((orphans + 1))
done
tries=100
while [ "$(log_messages | LC_ALL=C grep -c -x 'main() end')" -lt 2 ] && [ $tries -gt 0 ]; do
    sleep 0.1
    tries=$((tries - 1))
done
messages=$(log_messages)
# At most one unknown code a second is logged, and a line tells how many were not: between
# them they must account for every control sent.
logged=$(printf '%s\n' "$messages" | LC_ALL=C grep -c -x 'Unrecognized opcode 200')
unlogged=$(printf '%s\n' "$messages" |
    sed -n 's/^Unrecognized opcodes not logged \([0-9]*\)$/\1/p' | awk '{n += $1} END {print n + 0}')
check_eq "two: every control logged or counted in the shared log" "$((2 * burst))" \
    "$((logged + unlogged))"
if [ $((logged + unlogged)) -lt $((2 * burst)) ]; then
    lost=$((lost + 2 * burst - logged - unlogged))
fi
# expected line | how many times
rows=(
    "Leaving MyService|2"
    "main() end|2"
    "!! malformed line: .*|0"
)
for row in "${rows[@]}"; do
    IFS='|' read -r line times <<<"$row"
    got=$(printf '%s\n' "$messages" | LC_ALL=C grep -c -x -- "$line")
    check_eq "two: lines \"$line\" in the shared log" "$times" "$got"
    if [ "$times" -gt "$got" ]; then
        lost=$((lost + times - got))
    elif [ "$times" -eq 0 ]; then
        lost=$((lost + got))
    fi
done

count cycles $((cycles + races))
count controls "$sent"
count orphans "$orphans"
count lost "$lost"
count saves "$tried"
count saves_lost "$saves_lost"
finish
