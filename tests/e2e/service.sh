#!/bin/bash
# tolvard.exe as a real service under Wine's service control manager, in a service made with
# sc.exe whose image path is written by hand: tolvard.exe, the child program and its words,
# the service name, each followed by a blank. The child (probe.exe) must get exactly its words;
# the controls must report their states and log what they should and nothing else; a stop
# must end the child (probe.exe ends on the Ctrl+C it is sent, as a console program does) and
# report stopped once, after every line of the service thread; a second start must empty the log.
. "$(dirname "$0")/lib.sh"
work_dir service

svc=tvd_service
cp "$E2E_HELPERS/probe.exe" "$W/probe.exe"
probe=$(winpath "$W/probe.exe")
record=$W/probe.exe.args
ticks=$W/probe.exe.ticks
# Plain words, none of which needs quoting for the child: the command line is then exactly
# EXENAME and the words, each followed by a blank. "%" must come through untouched.
words=(alpha '%d' '100%' '%s' '50%off' 'C:\dir\' '*.txt')
child="$probe ${words[*]} "
image="$(winpath "$TOLVARD") $child$svc "

{
    printf 'cmdline=<%s>\n' "$child"
    printf 'argc=%d\n' $((${#words[@]} + 1))
    printf 'argv[0]=<%s>\n' "$probe"
    for i in "${!words[@]}"; do
        printf 'argv[%d]=<%s>\n' $((i + 1)) "${words[i]}"
    done
    printf 'end\n'
} >"$W/record.expected"
start_lines=(
    "main() start:$((${#words[@]} + 3))"
    "MyServiceStart start:1"
    "exec_proc() start"
    "cmdline="
    "$child"
    "success CreateProcess"
)

# After a stop: the handler's line, the service thread's lines of the stop (the child ended by
# its Ctrl+C), its end, and the main thread's end, in this order. Wine gives a console program
# hidden top-level windows of its own at times, which get WM_CLOSE too: that line is left out.
check_stop_lines() {
    local skip=$1
    check_eq "lines logged by the stop" \
        "$(printf '%s\n' 'Leaving MyService' 'asking the child to end, grace time 5000 ms' \
            'the child ended on its own after N ms' 'exec_proc() end' 'main() end')" \
        "$(log_messages | tail -n +$((skip + 1)) | sed -e 's/ after [0-9]* ms$/ after N ms/' \
            -e '/^WM_CLOSE sent to [0-9]* windows$/d')"
}

sc_create "$svc" "$image"
check_eq "stored image path" "[$image]" "$(field path)"

svcctl start "$svc"
check_svcctl "start" $?
wait_state "$svc" RUNNING 10 || die "$svc did not reach RUNNING within 10 s: $(svcctl_error)"
check_eq "controls accepted while running: stop, pause-continue, shutdown" 7 "$(field controls)"
wait_record "$record" 10 || die "the child left no record"
check_file_eq "the child's command line and words" "$W/record.expected" \
    <(grep -v '^acp=' "$record")
wait_log "success CreateProcess" 5
check_log "log after the start" "${start_lines[@]}"
check_true "the child works" ticking "$ticks"

# code | state the control reports | line it logs (none if empty)
controls=(
    "2|7|"
    "4|7|"
    "3|4|"
    "4|4|"
    "200|4|Unrecognized opcode 200"
    "128|4|Unrecognized opcode 128"
    "255|4|Unrecognized opcode 255"
)
lines=("${start_lines[@]}")
for row in "${controls[@]}"; do
    IFS='|' read -r code state message <<<"$row"
    # At most one unknown code is logged a second: each of these comes in a second of its own.
    if [ "$code" -ge 128 ]; then
        sleep 1.1
    fi
    svcctl control "$svc" "$code"
    check_svcctl "control $code succeeds" $?
    check_eq "control $code: state reported" "$state" "$(field state)"
    svcctl query "$svc"
    check_eq "control $code: state queried" "$state" "$(field state)"
    if [ -n "$message" ]; then
        lines+=("$message")
        wait_log "$message" 5
    fi
    check_log "control $code: log" "${lines[@]}"
    if [ "$code" = 2 ]; then
        check_true "the child keeps working while paused" ticking "$ticks"
    fi
done

svcctl control "$svc" 1
check_svcctl "stop succeeds" $?
check_eq "stop: state reported" 3 "$(field state)"
wait_state "$svc" STOPPED 10
check_svcctl "stopped" $?
check_eq "a stop asked for is no failure" "0 0" "$(field win32_exit) $(field service_exit)"
check_true "the child is gone after the stop" still "$ticks"
wait_log "main() end" 5
check_eq "log before the stop unchanged" "$(printf '%s\n' "${lines[@]}")" \
    "$(log_messages | head -n ${#lines[@]})"
check_stop_lines ${#lines[@]}

# Start arguments are counted but do not reach the child.
rm -f "$record"
svcctl start "$svc" extra "two words"
check_svcctl "second start" $?
wait_state "$svc" RUNNING 10 || die "$svc did not reach RUNNING again: $(svcctl_error)"
wait_record "$record" 10 || die "the second child left no record"
check_file_eq "second start: the child's words" "$W/record.expected" <(grep -v '^acp=' "$record")
wait_log "success CreateProcess" 5
start_lines[1]="MyServiceStart start:3"
check_log "second start: log emptied first" "${start_lines[@]}"

svcctl control "$svc" 1
wait_state "$svc" STOPPED 10
check_svcctl "second stop" $?
check_true "the second child is gone after the stop" still "$ticks"
wait_log "main() end" 5
check_stop_lines ${#start_lines[@]}

finish
