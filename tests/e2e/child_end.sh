#!/bin/bash
# The child's end stops the service. A child that exits by itself, a program that does not
# exist and an empty child command each leave the service STOPPED with an exit code that tells
# what happened, and the log tells the whole run in a fixed order: the service thread logs the
# child's end before it reports the stop that lets the main thread log "main() end".
. "$(dirname "$0")/lib.sh"
work_dir child_end

exe=$(winpath "$TOLVARD")
cp "$E2E_HELPERS/probe.exe" "$W/exit0.exe"
cp "$E2E_HELPERS/probe.exe" "$W/exit3.exe"

# service | child command (empty: none) | line after "cmdline=" and the command |
# Win32 exit code | service-specific exit code
# A child's own failure is 1066 (ERROR_SERVICE_SPECIFIC_ERROR) with the child's code; a
# failed launch is CreateProcessA's error, which under Wine is 2 for both the missing program
# and the empty command.
cases=(
    "tvd_exit0|$(winpath "$W/exit0.exe") exit:0 |success CreateProcess|0|0"
    "tvd_exit3|$(winpath "$W/exit3.exe") exit:3 two |success CreateProcess|1066|3"
    "tvd_missing|$(winpath "$W/missing.exe") a b |fail to CreateProcess|2|0"
    "tvd.empty||fail to CreateProcess|2|0"
)

for row in "${cases[@]}"; do
    IFS='|' read -r svc child outcome win32_exit service_exit <<<"$row"
    read -r -a words <<<"$child"
    if [ -z "$child" ]; then
        # Only the dotted service name: it is both EXENAME and the service name.
        image="$exe $svc "
        argc=2
    else
        image="$exe $child$svc "
        argc=$((${#words[@]} + 2))
    fi
    sc_create "$svc" "$image"
    svcctl start "$svc"
    started=$?
    # A service whose child cannot start reports RUNNING and STOPPED within a few milliseconds,
    # and its host is gone at once. Wine's StartService then now and again answers 1053 (it
    # found the process ended before it saw the status change); the run is judged by what
    # follows, as a real start of it would be.
    if [ "$started" -ne 0 ] && [ "$outcome" = "fail to CreateProcess" ] &&
        [ "$(svcctl_error)" = "svcctl: StartService error=1053" ]; then
        echo "note: $svc: StartService answered 1053 for a run that ended at once"
        started=0
    fi
    check_svcctl "$svc: start" $started
    wait_state "$svc" STOPPED 10
    check_svcctl "$svc: stopped by itself" $?
    check_eq "$svc: Win32 exit code" "$win32_exit" "$(field win32_exit)"
    check_eq "$svc: service-specific exit code" "$service_exit" "$(field service_exit)"
    wait_log "main() end" 5
    check_log "$svc: log" \
        "main() start:$argc" \
        "MyServiceStart start:1" \
        "exec_proc() start" \
        "cmdline=" \
        "$child" \
        "$outcome" \
        "exec_proc() end" \
        "main() end"
    if [ "$outcome" = "success CreateProcess" ]; then
        record=$W/$(basename "${words[0]//\\//}").args
        check_eq "$svc: the child ran" "argv[1]=<${words[1]}>" "$(grep '^argv\[1\]' "$record")"
    fi
done

finish
