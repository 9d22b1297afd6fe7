#!/bin/bash
# The child's output and errors reach the service's log (logs/SVCNAME.log) as "> " lines, under
# Wine's service control manager, with printer.exe as the child:
# - 10,000 numbered lines written alternately to standard output (LF) and standard error
#   (CR LF): each is in the log once, in the order written (both are one pipe), all of them
#   between the child's start and "exec_proc() end";
# - lines longer than one log line takes (996 bytes) go on in the next log lines, nothing lost,
#   and a line of exactly 996 whose CR comes in a write of its own gives no empty line after it;
# - a child that reads its input waits while the service runs (the input is a pipe that nobody
#   writes to), and the stop ends its input after Ctrl+C;
# - a lone CR and a terminal's escape sequences in the child's lines are written escaped: the
#   log holds no CR but those of its line ends, and no ESC (nor does tolvard.log);
# - a batch file under cmd.exe /c, stopped: its echoed line is logged and the stop completes,
#   with no prompt of cmd.exe waiting for an answer (its input ends with the stop); its
#   console has no window;
# - two services of one tolvard.exe printing at once: the second start keeps tolvard.log as
#   tolvard.old.log and empties it, and each service's lines land whole in its own log alone;
# - another process holds the service log's lock while a child writes twice what the pipe
#   holds: the child writes all of it before any line can be in the log, and every line comes
#   after;
# - a child that fails after printing, started again: its log holds the failed run, its last
#   line without a line end too, and the run after it; tolvard.old.log the failed run's host
#   lines.
# Every line expected of the first and fourth case counts as a reliability case; each one
# missing, or there more than once, counts as lost.
. "$(dirname "$0")/lib.sh"
work_dir output
counts_begin output

tolvard=$(winpath "$TOLVARD")
old_log=$(dirname "$TOLVARD")/tolvard.old.log
for name in mixed long reader forger batch_sleep gate_a gate_b gate_held failing; do
    cp "$E2E_HELPERS/printer.exe" "$W/$name.exe"
done
cases=0
lost=0

# captured [LOG]: the child's lines in the log (that of the service $svc, or the log file
# given), without the "> ".
captured() {
    log_messages "${1:-$(service_log "$svc")}" | sed -n 's/^> //p'
}

# not_captured [LOG]: the host's own lines of the log.
not_captured() {
    log_messages "${1:-$(service_log "$svc")}" | LC_ALL=C grep -v '^> '
}

# host_lines_only WHAT: tolvard.log holds the host's lines of the service $svc's last run, the
# same as its own log's last run, and no line of the child.
host_lines_only() {
    check_eq "$1: tolvard.log holds the host's lines, the same as the service's log" \
        "$(not_captured | tac | sed '/^main() start:/q' | tac)" "$(log_messages)"
}

# tally WHAT EXPECTED_FILE GOT_FILE: adds the expected lines to cases, and to lost each one
# missing from GOT_FILE or there more than once, and each line there that was not expected.
tally() {
    local n
    n=$(awk 'FNR == NR { want[$0]++; next } { seen[$0]++ }
        END {
            for (l in want) { d = seen[l] - want[l]; n += d < 0 ? -d : d }
            for (l in seen) if (!(l in want)) n += seen[l]
            print n + 0
        }' "$2" "$3")
    check_eq "$1: no line missing or repeated" 0 "$n"
    cases=$((cases + $(wc -l <"$2")))
    lost=$((lost + n))
}

# start_lines CHILD_COMMAND ARGC: the host's lines of a start up to the child's launch.
start_lines() {
    printf '%s\n' "main() start:$2" "MyServiceStart start:1" "exec_proc() start" "cmdline=" \
        "$1" "success CreateProcess"
}

# --- 10,000 lines, output and errors mixed ---
svc=tvd_output
lines=10000
child="$(winpath "$W/mixed.exe") mixed $lines "
sc_create "$svc" "$tolvard $child$svc "
svcctl start "$svc"
check_svcctl "mixed: start" $?
wait_state "$svc" STOPPED 60 || die "mixed: $svc did not stop after its child ended"
check_eq "mixed: the child's clean end" "0 0" "$(field win32_exit) $(field service_exit)"
wait_service_log "$svc" "main() end" 10
seq "$lines" | awk '{ print ($1 % 2 ? "out " : "err ") $1 }' >"$W/mixed.expected"
captured >"$W/mixed.got"
tally "mixed" "$W/mixed.expected" "$W/mixed.got"
for stream in out err; do
    check_true "mixed: the $stream lines in the order written" \
        cmp -s <(grep "^$stream " "$W/mixed.expected") <(grep "^$stream " "$W/mixed.got")
done
check_true "mixed: both streams' lines in the order written" \
    cmp -s "$W/mixed.expected" "$W/mixed.got"
check_eq "mixed: the host's own lines around the output" \
    "$(start_lines "$child" 5; printf '%s\n' 'exec_proc() end' 'main() end')" \
    "$(not_captured)"
# Every line of the child before the host's end of the child.
check_eq "mixed: the output between the start and exec_proc() end" \
    "success CreateProcess|> out 1|> err $lines|exec_proc() end" \
    "$(log_messages "$(service_log "$svc")" |
        sed -n "/^success CreateProcess$/{p;n;p}; /^> err $lines$/{p;n;p}" | paste -sd'|')"
host_lines_only mixed

# --- lines longer than a log line ---
child="$(winpath "$W/long.exe") long "
sc_create "$svc" "$tolvard $child$svc "
svcctl start "$svc"
check_svcctl "long: start" $?
wait_state "$svc" STOPPED 10 || die "long: $svc did not stop after its child ended"
wait_service_log "$svc" "main() end" 5
i=0
for length in 995 996 997 1992 2500; do
    letter=$(printf "\\$(printf '%03o' $((97 + i)))")
    head -c "$length" /dev/zero | tr '\0' "$letter" | fold -w 996
    echo
    i=$((i + 1))
done >"$W/long.expected"
captured >"$W/long.got"
check_true "long: each line in pieces of 996 bytes, in order, nothing more" \
    cmp -s "$W/long.expected" "$W/long.got"
check_eq "long: pieces of each length" "995 996 996 1 996 996 996 996 508" \
    "$(awk '{ print length($0) }' "$W/long.got" | paste -sd' ')"

# --- a child reading its input waits until the stop, which ends its input after Ctrl+C ---
child="$(winpath "$W/reader.exe") stdin "
sc_create "$svc" "$tolvard $child$svc "
svcctl start "$svc"
check_svcctl "stdin: start" $?
wait_state "$svc" RUNNING 10 || die "stdin: $svc did not reach RUNNING: $(svcctl_error)"
wait_service_log "$svc" "> reading stdin" 10
# A child given the end of its input would say so at once; 2 s shows that it waits.
sleep 2
check_eq "stdin: the child waits on its input while the service runs" "reading stdin" \
    "$(captured)"
svcctl control "$svc" 1
check_svcctl "stdin: stop" $?
wait_state "$svc" STOPPED 10
check_svcctl "stdin: stopped" $?
check_eq "stdin: stopped cleanly" "0 0" "$(field win32_exit) $(field service_exit)"
wait_service_log "$svc" "main() end" 5
check_eq "stdin: Ctrl+C first, then the end of its input" \
    "$(printf '%s\n' 'reading stdin' 'Ctrl+C, reading on' 'stdin eof after 0 bytes')" \
    "$(captured)"
check_eq "stdin: the child ended on the stop, on its own" \
    "$(printf '%s\n' 'Leaving MyService' 'asking the child to end, grace time 5000 ms' \
        'the child ended on its own after N ms' 'exec_proc() end' 'main() end')" \
    "$(not_captured | sed -n '/^success CreateProcess$/,$p' | sed 1d |
        sed -e 's/ after [0-9]* ms$/ after N ms/' -e '/^WM_CLOSE sent to [0-9]* windows$/d')"

# --- a lone CR and escape sequences are written escaped ---
child="$(winpath "$W/forger.exe") forge "
sc_create "$svc" "$tolvard $child$svc "
svcctl start "$svc"
check_svcctl "forge: start" $?
wait_state "$svc" STOPPED 10 || die "forge: $svc did not stop after its child ended"
wait_service_log "$svc" "main() end" 5
check_eq "forge: the child's lines, escaped" \
    "$(printf '%s\n' 'GET /x\r2026/12/08 10:17:40:Leaving MyService' \
        '\x1B[31mred\x1B[0m plain\x07')" \
    "$(captured)"
check_eq "forge: no line of the host's made by the child" "" \
    "$(not_captured | LC_ALL=C grep -x 'Leaving MyService')"
for log in "$(service_log "$svc")" "$(tolvard_log)"; do
    check_eq "forge: every CR of $(basename "$log") ends a line, and no ESC is in it" \
        "$(LC_ALL=C tr -cd '\n' <"$log" | wc -c) 0" \
        "$(LC_ALL=C tr -cd '\r' <"$log" | wc -c) $(LC_ALL=C tr -cd '\033' <"$log" | wc -c)"
done
host_lines_only forge

# --- a batch file, stopped ---
{
    printf '@echo off\r\n'
    printf 'echo batch running\r\n'
    printf ':loop\r\n'
    printf '%s sleep 200\r\n' "$(winpath "$W/batch_sleep.exe")"
    printf 'goto loop\r\n'
} >"$W/loop.bat"
child="cmd.exe /c $(winpath "$W/loop.bat") "
sc_create "$svc" "$tolvard $child$svc "
svcctl start "$svc"
check_svcctl "batch: start" $?
wait_state "$svc" RUNNING 10 || die "batch: $svc did not reach RUNNING: $(svcctl_error)"
wait_service_log "$svc" "> batch running" 10
check_eq "batch: the echoed line" "batch running" "$(captured)"
# The batch's console has no window. Under Wine it is a conhost.exe in the child's job, and one
# with a window starts the desktop's explorer.exe in the job when none runs, which never ends
# and holds the stop to the grace time.
check_eq "batch: its console, a conhost.exe without a window" "1 1" \
    "$(wine_command_lines conhost.exe | awk '{ n++; if (/ --headless( |$)/) h++ }
        END { print n + 0, h + 0 }')"
svcctl control "$svc" 1
check_svcctl "batch: stop" $?
# The grace time (5 s) and the kill's wait for the tree (5 s) bound the stop, whatever cmd.exe
# does on Ctrl+C; a prompt waiting for an answer would hold it there.
svcctl watch "$svc" 15
check_svcctl "batch: watched until stopped" $?
stopped_at=$(sed -n 's/^ms=\([0-9]*\) state=1 .*/\1/p' "$W/svcctl.txt")
echo "batch: stopped ${stopped_at:-never} ms after the stop"
check_true "batch: stopped within the grace time and the kill (${stopped_at:-never} ms)" \
    test "${stopped_at:-99999}" -le 10000
wait_state "$svc" STOPPED 5
check_eq "batch: stopped cleanly" "0 0" "$(field win32_exit) $(field service_exit)"
wait_service_log "$svc" "main() end" 5
check_eq "batch: the child's lines and the stop's" \
    "$(printf '%s\n' '> batch running' 'Leaving MyService' \
        'asking the child to end, grace time 5000 ms' 'the child ended on its own after N ms' \
        'exec_proc() end' 'main() end')" \
    "$(log_messages "$(service_log "$svc")" | sed -n '/^success CreateProcess$/,$p' | sed 1d |
        sed -e 's/ after [0-9]* ms$/ after N ms/' -e '/^WM_CLOSE sent to [0-9]* windows$/d')"
host_lines_only batch

# --- two services of one tolvard.exe, printing at once ---
gate_lines=2000
for name in a b; do
    rm -f "$W/gate_$name.open"
    sc_create "tvd_output_$name" \
        "$tolvard $(winpath "$W/gate_$name.exe") gate $(winpath "$W/gate_$name.open") $gate_lines $name tvd_output_$name "
done
svcctl start tvd_output_a
check_svcctl "two: start a" $?
wait_service_log tvd_output_a "> a ready" 10 || fail "two: a did not say it was ready"
svcctl start tvd_output_b
check_svcctl "two: start b" $?
wait_service_log tvd_output_b "> b ready" 10 || fail "two: b did not say it was ready"
check_eq "two: the second start kept the first's host lines in tolvard.old.log" \
    "main() start:7" "$(log_messages "$old_log" | head -n 1)"
check_eq "two: and tolvard.log holds no child's line" "" "$(log_messages | grep '^> ')"
touch "$W/gate_a.open" "$W/gate_b.open"
wait_service_log tvd_output_a "> a done" 30 || fail "two: a's last line not in its log"
wait_service_log tvd_output_b "> b done" 30 || fail "two: b's last line not in its log"
for name in a b; do
    {
        echo "$name ready"
        seq "$gate_lines" | sed "s/^/$name /"
        echo "$name done"
    } >"$W/two_$name.expected"
    captured "$(service_log "tvd_output_$name")" >"$W/two_$name.got"
    tally "two: $name" "$W/two_$name.expected" "$W/two_$name.got"
    check_true "two: $name's lines in order, and no other's" \
        cmp -s "$W/two_$name.expected" "$W/two_$name.got"
    check_eq "two: no malformed line in $name's log" "" \
        "$(log_messages "$(service_log "tvd_output_$name")" | grep '^!!')"
done
check_eq "two: no malformed line in tolvard.log" "" "$(log_messages | grep '^!!')"
check_eq "two: and no child's line" "" "$(log_messages | grep '^> ')"
for name in a b; do
    svcctl control "tvd_output_$name" 1
    wait_state "tvd_output_$name" STOPPED 10
    check_svcctl "two: $name stopped" $?
    check_eq "two: $name stopped cleanly" "0 0" "$(field win32_exit) $(field service_exit)"
done

# --- the log held by another process while the child writes twice what the pipe holds ---
# The reader goes on draining the pipe while it waits for the log: the child writes all of
# its lines while the log is held, before any of them can be in it. (A reader that waited
# for the log instead would hold the child at the pipe's 64 KB until its first write, 2 s
# after the log was found held.) The lines come once the holder lets go, or after 2 s.
held_lines=4000
held_tag=held-by-another-process-while-the-child-writes
rm -f "$W/gate_held.open" "$W/gate_held.open.done" "$W/lock.held" "$W/lock.held.stop"
sc_create tvd_output_held \
    "$tolvard $(winpath "$W/gate_held.exe") gate $(winpath "$W/gate_held.open") $held_lines $held_tag tvd_output_held "
svcctl start tvd_output_held
check_svcctl "held: start" $?
svc=tvd_output_held
wait_service_log "$svc" "> $held_tag ready" 10 || fail "held: the child did not say it was ready"
(E2E_WINE_TIMEOUT=60 wine_call "$W/holder_lock" "$E2E_HELPERS/holder.exe" -lock \
    "$(winpath "$(service_log "$svc")")" "$(winpath "$W/lock.held")" 30) &
holder=$!
check_true "held: the log's lock is held" wait_file "$W/lock.held" 10
touch "$W/gate_held.open"
wait_file "$W/gate_held.open.done" 20
check_eq "held: the child wrote all its lines before the first of them was in the log" "" \
    "$(captured | grep -x "$held_tag 1")"
touch "$W/lock.held.stop"
wait "$holder"
check_eq "held: the holder held the lock" 0 "$?"
wait_service_log "$svc" "> $held_tag done" 30 || fail "held: the child's last line not in its log"
{
    seq "$held_lines" | sed "s/^/$held_tag /"
    echo "$held_tag done"
} >"$W/held.expected"
captured | grep "^$held_tag [0-9d]" >"$W/held.got"
tally "held" "$W/held.expected" "$W/held.got"
check_true "held: the lines in order" cmp -s "$W/held.expected" "$W/held.got"
svcctl control tvd_output_held 1
wait_state tvd_output_held STOPPED 10
check_svcctl "held: stopped" $?

# --- a failing child, started again: the failed run kept in its log ---
svc=tvd_output
child="$(winpath "$W/failing.exe") fail 7 "
sc_create "$svc" "$tolvard $child$svc "
for run in 1 2; do
    svcctl start "$svc"
    check_svcctl "fail: start $run" $?
    wait_state "$svc" STOPPED 10
    check_svcctl "fail: run $run stopped by itself" $?
    check_eq "fail: run $run's exit codes" "1066 7" "$(field win32_exit) $(field service_exit)"
    wait_service_log "$svc" "main() end" 5
done
run_lines=$(start_lines "$child" 5
    printf '%s\n' '> failing run 1' '> failing run 2' '> failing run 3' 'exec_proc() end' \
        'main() end')
check_eq "fail: the service's log holds the failed run and the run after it" \
    "$(printf '%s\n%s' "$run_lines" "$run_lines")" "$(log_messages "$(service_log "$svc")")"
check_eq "fail: tolvard.old.log the failed run's host lines" \
    "$(grep -v '^> ' <<<"$run_lines")" "$(log_messages "$old_log")"
check_eq "fail: tolvard.log those of the run after it" "$(log_messages "$old_log")" \
    "$(log_messages)"

count cases "$cases"
count lost "$lost"
finish
