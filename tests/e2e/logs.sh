#!/bin/bash
# Each service's own log, under Wine's service control manager, with two services of one
# tolvard.exe (printer.exe as their children):
# - each finds all its lines, the host's and its child's, in logs/NAME.log and none of the
#   other's, after the other's start, stop and restart;
# - a service's own restart keeps its earlier runs in its log;
# - tolvard.log holds the host's lines and no child's line;
# - names with ":", "*", "?", a device's name and one of 256 characters each get a log of their
#   own under the name rule, and nothing is written anywhere else;
# - a child that writes 40 MiB leaves its log and its old log, each of at most 16 MiB, holding
#   a gapless tail of whole lines up to its last;
# - a 3 GB tolvard.log left from before is renamed to tolvard.old.log at the start, in no time;
# - a process that holds tolvard.old.log, or a service's old log, open without sharing makes no
#   run lose a line: what could not be kept stays, and a line says so;
# - while another process holds the log's turn, a stop's ControlService returns at once (the
#   handler never waits for the log), and the run's lines are all there, in order.
. "$(dirname "$0")/lib.sh"
work_dir logs

tolvard=$(winpath "$TOLVARD")
bin=$(dirname "$TOLVARD")
for name in gate_a gate_b mixed bulk; do
    cp "$E2E_HELPERS/printer.exe" "$W/$name.exe"
done

# start_run SVC: starts it and waits until it runs.
start_run() {
    svcctl start "$1"
    check_svcctl "$1: start" $?
    wait_state "$1" RUNNING 10 || fail "$1 did not reach RUNNING: $(svcctl_error)"
}

# stop_run SVC: stops it and waits until its host has logged its end.
stop_run() {
    svcctl control "$1" 1
    wait_state "$1" STOPPED 10
    check_svcctl "$1: stopped" $?
}

# --- two services: one runs on while the other starts, stops and starts again ---
lines=500
for name in a b; do
    rm -f "$W/gate_$name.open" "$W/gate_$name.open.done"
    sc_create "tvd_logs_$name" \
        "$tolvard $(winpath "$W/gate_$name.exe") gate $(winpath "$W/gate_$name.open") $lines $name tvd_logs_$name "
done
a_log=$(service_log tvd_logs_a)
b_log=$(service_log tvd_logs_b)
start_run tvd_logs_a
wait_service_log tvd_logs_a "> a ready" 10 || fail "a did not say it was ready"
start_run tvd_logs_b
wait_service_log tvd_logs_b "> b ready" 10 || fail "b did not say it was ready"
touch "$W/gate_b.open"
wait_service_log tvd_logs_b "> b done" 20 || fail "b's last line not in its log"
stop_run tvd_logs_b
wait_service_log tvd_logs_b "main() end" 10 || fail "b's end not in its log"
# b's second run: its first one stays in its log.
rm -f "$W/gate_b.open.done"
start_run tvd_logs_b
check_true "b's second run is under way" wait_file "$W/gate_b.open.done" 10
wait_service_log tvd_logs_b "> b done" 20
stop_run tvd_logs_b
# a goes on writing after all that.
touch "$W/gate_a.open"
wait_service_log tvd_logs_a "> a done" 20 || fail "a's last line not in its log"
stop_run tvd_logs_a
wait_service_log tvd_logs_a "main() end" 10 || fail "a's end not in its log"

# run_lines_of NAME: the lines of one whole run of the gate child NAME, stopped.
run_lines_of() {
    printf '%s\n' "main() start:7" "MyServiceStart start:1" "exec_proc() start" "cmdline=" \
        "$(winpath "$W/gate_$1.exe") gate $(winpath "$W/gate_$1.open") $lines $1 " \
        "success CreateProcess" "> $1 ready"
    seq "$lines" | sed "s/^/> $1 /"
    printf '%s\n' "> $1 done" "Leaving MyService" "asking the child to end, grace time 5000 ms" \
        "the child ended on its own after N ms" "exec_proc() end" "main() end"
}
# Without the stop's timing and the windows Wine may give a console program.
normal() {
    log_messages "$1" | sed -e 's/ after [0-9]* ms$/ after N ms/' \
        -e '/^WM_CLOSE sent to [0-9]* windows$/d'
}
check_eq "a's log: its run whole, and nothing of b's" "$(run_lines_of a)" "$(normal "$a_log")"
check_eq "b's log: both of its runs whole, and nothing of a's" \
    "$(run_lines_of b; run_lines_of b)" "$(normal "$b_log")"
check_eq "tolvard.log: no child's line" "" "$(log_messages | LC_ALL=C grep '^> ')"
check_eq "tolvard.log: no malformed line" "" "$(log_messages | LC_ALL=C grep '^!!')"
# b's second start emptied tolvard.log (kept as tolvard.old.log): it holds the host's lines of
# b's second run and a's after it.
check_eq "tolvard.log: the ends of b's second run and of a" 2 \
    "$(log_messages | LC_ALL=C grep -c -x 'main() end')"
check_eq "tolvard.log: b's second run's command line, once" 1 \
    "$(log_messages | LC_ALL=C grep -c -x -F "$(run_lines_of b | sed -n 5p)")"

# --- names that need the name rule ---
long=$(printf 'n%.0s' $(seq 256))
names=("tvd:colon" "tvd*star" "tvd?query" "CON" "$long")
files=("tvd%3Acolon.log" "tvd%2Astar.log" "tvd%3Fquery.log" "%43ON.log"
    "$(printf 'n%.0s' $(seq 240))#/$(printf 'n%.0s' $(seq 16)).log")
touch "$W/before"
sleep 1
for i in "${!names[@]}"; do
    svc=${names[i]}
    rm -f "$bin/logs/${files[i]}"
    sc_create "$svc" "$tolvard $(winpath "$W/mixed.exe") mixed 2 $svc "
    svcctl start "$svc"
    check_svcctl "${svc:0:20}: start" $?
    wait_state "$svc" STOPPED 10 || fail "${svc:0:20}: did not stop after its child ended"
    check_true "${svc:0:20}: its log, with its child's lines" \
        wait_log "main() end" 10 "$bin/logs/${files[i]}"
    check_eq "${svc:0:20}: its log holds its lines" \
        "$(printf '%s\n' "main() start:5" "MyServiceStart start:1" "exec_proc() start" \
            "cmdline=" "$(winpath "$W/mixed.exe") mixed 2 " "success CreateProcess" \
            "> out 1" "> err 2" "exec_proc() end" "main() end")" \
        "$(log_messages "$bin/logs/${files[i]}")"
    sc_delete "$svc"
done
# Nothing else written: beside tolvard.exe, only the logs and the work of the tests.
expected=$(printf '%s\n' "$(tolvard_log)" "$bin/tolvard.old.log"; for f in "${files[@]}"; do
    printf '%s\n' "$bin/logs/$f"
done)
check_eq "names: nothing written anywhere else" "$(sort <<<"$expected")" \
    "$(find "$bin" \( -path "$bin/tests" -o -path "$bin/wineprefix" \) -prune -o -type f \
        -newer "$W/before" -print | sort)"

# bulk_tail LOG...: checks that the child's "bulk K" lines of the logs given, in that order, are
# whole and run without a gap up to K = $2's count; prints the first K, or an error.
bulk_tail() {
    cat "$@" | LC_ALL=C awk -v last="$bulk_lines" '
        /^[0-9][0-9][0-9][0-9]\/[0-9][0-9]\/[0-9][0-9] [0-9][0-9]:[0-9][0-9]:[0-9][0-9]:> bulk [0-9]+ \.+\r$/ {
            if (length($0) != 122) { print "cut line: " $0; bad = 1; exit }
            k = $4 + 0
            if (first == 0) first = k
            else if (k != previous + 1) { print "gap after " previous ": " k; bad = 1; exit }
            previous = k
            next
        }
        /^[0-9][0-9][0-9][0-9]\/[0-9][0-9]\/[0-9][0-9] [0-9][0-9]:[0-9][0-9]:[0-9][0-9]:[^>]/ { next }
        { print "malformed: " substr($0, 1, 80); bad = 1; exit }
        END { if (!bad) print (previous == last ? "up to the last from " first : "ends at " previous) }'
}
limit=$((16 * 1024 * 1024))

# --- a child that writes 40 MiB: two files of at most 16 MiB, a gapless tail ---
bulk_lines=420000
svc=tvd_logs_bulk
sc_create "$svc" "$tolvard $(winpath "$W/bulk.exe") bulk $bulk_lines $svc "
rm -f "$bin/logs/$svc.old.log"
svcctl start "$svc"
check_svcctl "bulk: start" $?
wait_state "$svc" STOPPED 120 || fail "bulk: did not stop after its child ended"
wait_service_log "$svc" "main() end" 10 || fail "bulk: no end in its log"
for f in "$bin/logs/$svc.old.log" "$(service_log "$svc")"; do
    size=$(stat -c %s "$f" 2>/dev/null || echo missing)
    echo "bulk: $(basename "$f"): $size bytes"
    check_true "bulk: $(basename "$f") of at most 16 MiB ($size)" test "${size/missing/0}" -gt 0 -a \
        "${size/missing/0}" -le "$limit"
done
check_eq "bulk: whole lines without a gap up to the last" "up to the last from" \
    "$(bulk_tail "$bin/logs/$svc.old.log" "$(service_log "$svc")" | sed 's/ [0-9]*$//')"
check_eq "bulk: the run ends in its log" "exec_proc() end|main() end" \
    "$(service_messages "$svc" | tail -n 2 | paste -sd'|')"

# --- a service's old log held without sharing: its log grows on, nothing lost ---
bulk_lines=160000
rm -f "$W/held_old.copy" "$W/held_old.copy.stop"
sc_create "$svc" "$tolvard $(winpath "$W/bulk.exe") bulk $bulk_lines $svc "
(wine_call "$W/holder_old" "$E2E_HELPERS/holder.exe" "$(winpath "$bin/logs/$svc.old.log")" \
    "$(winpath "$W/held_old.copy")" 60 r) &
holder=$!
check_true "held old: the old log is held" wait_file "$W/held_old.copy" 10
svcctl start "$svc"
check_svcctl "held old: start" $?
wait_state "$svc" STOPPED 120 || fail "held old: did not stop after its child ended"
wait_service_log "$svc" "main() end" 10 || fail "held old: no end in its log"
touch "$W/held_old.copy.stop"
wait "$holder"
check_eq "held old: every line in the log itself" "up to the last from 1" \
    "$(bulk_tail "$(service_log "$svc")")"
check_true "held old: a line says the old log could not be kept" \
    env LC_ALL=C grep -q "fail to keep logs\\\\$svc.old.log error=32" "$(service_log "$svc")"
sc_delete "$svc"

# --- tolvard.old.log held without sharing: tolvard.log keeps the run before ---
svc=tvd_logs_small
sc_create "$svc" "$tolvard $(winpath "$W/mixed.exe") mixed 2 $svc "
svcctl start "$svc"
wait_state "$svc" STOPPED 10 || fail "held: the first run did not stop"
wait_log "main() end" 10
before=$(log_messages)
rm -f "$W/held.copy" "$W/held.copy.stop"
(wine_call "$W/holder" "$E2E_HELPERS/holder.exe" "$(winpath "$bin/tolvard.old.log")" \
    "$(winpath "$W/held.copy")" 60 r) &
holder=$!
check_true "held: tolvard.old.log is held" wait_file "$W/held.copy" 10
svcctl start "$svc"
check_svcctl "held: start" $?
wait_state "$svc" STOPPED 10 || fail "held: the second run did not stop"
wait_log "main() end" 10
touch "$W/held.copy.stop"
wait "$holder"
check_eq "held: tolvard.log holds the run before whole, and then says why" \
    "$(printf '%s\n' "$before" "fail to keep tolvard.old.log error=32" \
        "what tolvard.log held stays in it")" \
    "$(log_messages | head -n $(($(wc -l <<<"$before") + 2)))"

# --- a 3 GB tolvard.log from before: renamed, the start in no time ---
printf '2026/12/08 10:15:02:a run of an older tolvard\r\n' >"$(tolvard_log)"
truncate -s 3000000000 "$(tolvard_log)"
rm -f "$bin/tolvard.old.log"
svcctl start "$svc"
check_svcctl "3 GB: start" $?
wait_state "$svc" STOPPED 10 || fail "3 GB: the run did not stop"
wait_log "main() end" 10
check_eq "3 GB: kept whole as tolvard.old.log" \
    "3000000000 2026/12/08 10:15:02:a run of an older tolvard" \
    "$(stat -c %s "$bin/tolvard.old.log") $(head -n 1 "$bin/tolvard.old.log" | tr -d '\r')"
check_eq "3 GB: tolvard.log begins anew" "main() start:5" "$(log_messages | head -n 1)"
rm -f "$bin/tolvard.old.log"

# --- the log's turn held by another process: the stop returns at once ---
svc=tvd_logs_turn
rm -f "$W/gate_a.open" "$W/gate_a.open.done" "$W/turn.held" "$W/turn.held.stop"
sc_create "$svc" "$tolvard $(winpath "$W/gate_a.exe") gate $(winpath "$W/gate_a.open") 3 t $svc "
start_run "$svc"
wait_service_log "$svc" "> t ready" 10 || fail "turn: the child did not say it was ready"
(E2E_WINE_TIMEOUT=60 wine_call "$W/holder_turn" "$E2E_HELPERS/holder.exe" -lock \
    "$(winpath "$(tolvard_log)")" "$(winpath "$W/turn.held")" 30) &
holder=$!
check_true "turn: tolvard.log's turn is held" wait_file "$W/turn.held" 10
svcctl control "$svc" 1
check_svcctl "turn: stop" $?
stop_ms=$(field ms)
echo "turn: ControlService(STOP) took ${stop_ms:-?} ms with the log's turn held"
check_true "turn: ControlService(STOP) returned in under 100 ms (${stop_ms:-?})" \
    test "${stop_ms:-999}" -lt 100
touch "$W/turn.held.stop"
wait "$holder"
wait_state "$svc" STOPPED 30
check_svcctl "turn: stopped" $?
wait_service_log "$svc" "main() end" 10
check_eq "turn: the run's lines, in order" \
    "$(printf '%s\n' "> t ready" "Leaving MyService" "asking the child to end, grace time 5000 ms" \
        "the child ended on its own after N ms" "exec_proc() end" "main() end")" \
    "$(normal "$(service_log "$svc")" | sed -n '/^> t ready$/,$p')"
check_eq "turn: tolvard.log's, likewise" \
    "$(printf '%s\n' "Leaving MyService" "asking the child to end, grace time 5000 ms" \
        "the child ended on its own after N ms" "exec_proc() end" "main() end")" \
    "$(normal "$(tolvard_log)" | sed -n '/^success CreateProcess$/,$p' | sed 1d)"
finish
