#!/bin/bash
# Service host mode started from a console, by a first word with a dot. The connection to the
# service control manager fails (Wine answers after about 10 s): nothing reaches the console,
# the exit status is 0, and the log beside tolvard.exe, emptied first, holds just that run.
. "$(dirname "$0")/lib.sh"
work_dir console_host

log=$(tolvard_log)
printf '2001/02/03 04:05:06:left from an earlier run\r\n' >"$log"
mkdir -p "$W/cwd"
rel=$(realpath --relative-to="$W/cwd" "$TOLVARD")

before=$(date +%s)
run_line host "${rel//\//\\} reg.bat" "$W/cwd"
check_eq "exit status" 0 "$?"
after=$(date +%s)
printf 'console host run took %d s\n' $((after - before))

check_eq "console output" "" "$(cat "$W/host.out")"
check_eq "error output" "" "$(cat "$W/host.err")"
check_log "log" \
    "main() start:2" \
    "StartServiceCtrlDispatcher error=1063" \
    "main() end"
check_true "no log in the working directory" test ! -e "$W/cwd/tolvard.log"

# The stamps are local time of this run: a wrong month or year base shows here.
while read -r stamp; do
    t=$(date -d "${stamp//\//-}" +%s 2>/dev/null || echo 0)
    check_true "time stamp $stamp lies within the run" test "$t" -ge "$before" -a "$t" -le "$after"
done < <(cut -c1-19 "$log")

finish
