#!/bin/bash
# A stop lets the child finish: tolvard asks it to end (Ctrl+C to its console, WM_CLOSE to its
# windows), waits up to the grace time (WaitToKillServiceTimeout), and only then kills it. The
# child is saver.exe, which saves for 300 ms when asked. A saving child, the same under
# cmd.exe /c, a child that ignores Ctrl+C (grace time 2000 ms, set in the prefix's registry for
# this test only) and a child that ends on WM_CLOSE alone: each is stopped with sc's
# ControlService, which must return within a second, and the service must reach STOPPED with
# 0 0 and nothing of the child left.
. "$(dirname "$0")/lib.sh"
work_dir graceful

svc=tvd_graceful
tolvard=$(winpath "$TOLVARD")
control_key='HKLM\SYSTEM\CurrentControlSet\Control'
for name in saver cmd_saver ignorer windowed; do
    cp "$E2E_HELPERS/saver.exe" "$W/$name.exe"
done

set_grace() {
    wine_call "$W/reg" reg add "$control_key" /v WaitToKillServiceTimeout /t REG_SZ /d "$1" /f ||
        die "reg add WaitToKillServiceTimeout failed: $(cat "$W/reg.out")"
}
clear_grace() {
    wine_call "$W/reg" reg delete "$control_key" /v WaitToKillServiceTimeout /f
}
trap 'clear_grace; e2e_on_exit' EXIT
clear_grace

# one_stop NAME CHILD_WORDS GRACE SAVES HOW [WINDOWS]: starts the service with the child, stops
# it once the child is ready, and checks what the child noted (SAVES, its lines joined by
# blanks), the stop's log lines (HOW says how the child ended; WINDOWS, if not empty, that
# WM_CLOSE was sent) and the end.
one_stop() {
    local name=$1 words=$2 grace=$3 saves=$4 how=$5 windows=${6:-}
    local record=$W/$name.exe.saves
    sc_create "$svc" "$tolvard $words $svc "
    svcctl start "$svc"
    check_svcctl "$name: start" $?
    wait_state "$svc" RUNNING 10 || die "$name: $svc did not reach RUNNING: $(svcctl_error)"
    local tries=100
    while [ "$tries" -gt 0 ] && ! grep -q '^start' "$record" 2>/dev/null; do
        sleep 0.1
        tries=$((tries - 1))
    done
    check_true "$name: the child is ready" grep -q '^start' "$record"
    svcctl control "$svc" 1
    check_svcctl "$name: stop" $?
    check_eq "$name: the stop is pending" 3 "$(field state)"
    echo "$name: ControlService(STOP) returned in $(field ms) ms"
    check_true "$name: ControlService(STOP) returned within a second ($(field ms) ms)" \
        test "$(field ms)" -le 1000
    if [ "$grace" != 5000 ]; then
        # The service control manager sees the stop pending, with a rising check point, until
        # the grace time is over: STOPPED no sooner than most of it after the stop returned.
        svcctl watch "$svc" 15
        check_svcctl "$name: watched until stopped" $?
        local pending stopped_at
        pending=$(sed -n 's/^ms=[0-9]* state=3 checkpoint=\([0-9]*\)$/\1/p' "$W/svcctl.txt" |
            paste -sd' ')
        stopped_at=$(sed -n 's/^ms=\([0-9]*\) state=1 .*/\1/p' "$W/svcctl.txt")
        check_true "$name: stop pending with rising check points ($pending)" \
            test "$(wc -w <<<"$pending")" -ge 2 -a "$pending" = "$(tr ' ' '\n' <<<"$pending" |
                sort -n -u | paste -sd' ')"
        echo "$name: stop pending with check points $pending, stopped $stopped_at ms after the stop"
        check_true "$name: stopped after the grace time ($stopped_at ms after the stop)" \
            test "${stopped_at:-0}" -ge $((grace - 500))
    fi
    wait_state "$svc" STOPPED 15
    check_svcctl "$name: stopped" $?
    check_eq "$name: stopped cleanly" "0 0" "$(field win32_exit) $(field service_exit)"
    check_true "$name: the child is gone" still "$W/$name.exe.ticks"
    check_eq "$name: what the child noted" "$saves" "$(tr -d '\r' <"$record" | paste -sd' ')"
    wait_log "main() end" 5
    # Wine gives a console program hidden top-level windows of its own at times, which get
    # WM_CLOSE too: the line is looked for only where the child has a window of its own.
    check_eq "$name: the stop's lines" \
        "$(printf '%s\n' 'Leaving MyService' "asking the child to end, grace time $grace ms" \
            "$how" 'exec_proc() end' 'main() end')" \
        "$(log_messages | sed -n '/^success CreateProcess$/,$p' | tail -n +2 |
            sed -e 's/ after [0-9]* ms$/ after N ms/' -e '/^WM_CLOSE sent to [0-9]* windows$/d')"
    if [ -n "$windows" ]; then
        check_true "$name: WM_CLOSE was sent" logged_match '^WM_CLOSE sent to [1-9][0-9]* windows$'
    fi
}

logged_match() {
    log_messages | LC_ALL=C grep -q -- "$1"
}

one_stop saver "$(winpath "$W/saver.exe") save" 5000 "start saving saved" \
    'the child ended on its own after N ms'
# Ctrl+C reaches every process on the child's console: cmd.exe and the program it waits for.
one_stop cmd_saver "cmd.exe /c $(winpath "$W/cmd_saver.exe") save" 5000 "start saving saved" \
    'the child ended on its own after N ms'
set_grace 2000
one_stop ignorer "$(winpath "$W/ignorer.exe") ignore" 2000 "start ignored" \
    'killing the child after the grace time of 2000 ms'
clear_grace
one_stop windowed "$(winpath "$W/windowed.exe") window" 5000 "start ignored saving saved" \
    'the child ended on its own after N ms' WM_CLOSE

finish
