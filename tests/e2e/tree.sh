#!/bin/bash
# A stop ends the child's whole process tree: a program started by the child (through
# cmd.exe /c, or by a launcher that ends on its own) is gone once the service reports stopped,
# and only a program started with CREATE_BREAKAWAY_FROM_JOB (and a console of its own, or the
# stop's Ctrl+C reaches it) outlives the service. If tolvard
# itself is killed, its child goes with it.
. "$(dirname "$0")/lib.sh"
work_dir tree

svc=tvd_tree
tolvard=$(winpath "$TOLVARD")
cp "$E2E_HELPERS/launcher.exe" "$W/launcher.exe"
launcher=$(winpath "$W/launcher.exe")
for name in cmd_child left_behind breakaway orphan; do
    cp "$E2E_HELPERS/probe.exe" "$W/$name.exe"
done

# No line about a missing job: Wine's services run in no job of their own.
check_no_fallback() {
    check_eq "$1: no fallback to the child alone" "" \
        "$(log_messages | LC_ALL=C grep -e 'JobObject' -e 'ResumeThread')"
}

# launcher_pid NAME: the process id that a launcher copy recorded, waiting up to 10 s for it.
launcher_pid() {
    local tries=100
    while [ "$tries" -gt 0 ] && ! grep -q '^pid=' "$W/launcher.exe.pid" 2>/dev/null; do
        sleep 0.1
        tries=$((tries - 1))
    done
    sed -n 's/^pid=\([0-9]*\)\r\{0,1\}$/\1/p' "$W/launcher.exe.pid"
}

# 1. cmd.exe /c PROGRAM: a stop ends cmd.exe and the program it waits for.
sc_create "$svc" "$tolvard cmd.exe /c $(winpath "$W/cmd_child.exe") $svc "
svcctl start "$svc"
check_svcctl "cmd.exe /c: start" $?
wait_state "$svc" RUNNING 10 || die "$svc did not reach RUNNING: $(svcctl_error)"
wait_record "$W/cmd_child.exe.args" 10 || die "the program under cmd.exe left no record"
check_true "cmd.exe /c: the program runs" ticking "$W/cmd_child.exe.ticks"
svcctl control "$svc" 1
check_svcctl "cmd.exe /c: stop" $?
check_eq "cmd.exe /c: stop reports stop pending" 3 "$(field state)"
# At once: about two seconds after a service's process has ended, Wine's service control
# manager shows exit code 1077 whatever was reported.
wait_state "$svc" STOPPED 10
check_svcctl "cmd.exe /c: stopped" $?
check_eq "cmd.exe /c: a stop is no failure" "0 0" "$(field win32_exit) $(field service_exit)"
check_true "cmd.exe /c: the program under cmd.exe is gone at the stop" \
    still "$W/cmd_child.exe.ticks"
wait_log "main() end" 5
check_no_fallback "cmd.exe /c"

# 2. A child that starts a program and ends on its own: the service stops, and the program it
# left behind goes with the service.
rm -f "$W/launcher.exe.pid"
sc_create "$svc" "$tolvard $launcher start exit $(winpath "$W/left_behind.exe") $svc "
svcctl start "$svc"
check_svcctl "left behind: start" $?
wait_state "$svc" STOPPED 15 || die "$svc did not stop after its child ended: $(svcctl_error)"
check_eq "left behind: the child's clean end" "0 0" "$(field win32_exit) $(field service_exit)"
pid=$(launcher_pid)
check_true "left behind: the launcher started the program" test -n "$pid"
check_true "left behind: the program ran" test -f "$W/left_behind.exe.args"
check_true "left behind: the program is gone once stopped is reported" \
    still "$W/left_behind.exe.ticks"
wait_log "main() end" 5
check_no_fallback "left behind"

# 3. A program started with CREATE_BREAKAWAY_FROM_JOB leaves the job: the stop ends the
# launcher but not that program, which the test then ends itself.
rm -f "$W/launcher.exe.pid"
sc_create "$svc" "$tolvard $launcher breakaway wait $(winpath "$W/breakaway.exe") $svc "
svcctl start "$svc"
check_svcctl "breakaway: start" $?
wait_state "$svc" RUNNING 10 || die "$svc did not reach RUNNING: $(svcctl_error)"
pid=$(launcher_pid)
check_eq "breakaway: the launcher could leave the job" "" \
    "$(grep '^error=' "$W/launcher.exe.pid" 2>/dev/null)"
wait_record "$W/breakaway.exe.args" 10 || die "the breakaway program left no record"
svcctl control "$svc" 1
check_svcctl "breakaway: stop" $?
wait_state "$svc" STOPPED 10
check_svcctl "breakaway: stopped" $?
check_true "breakaway: the program outlives the service" ticking "$W/breakaway.exe.ticks"
if [ -n "$pid" ]; then
    wine_call "$W/kill" "$W/launcher.exe" kill "$pid"
    check_eq "breakaway: the test ends the program itself" 0 $?
fi
check_true "breakaway: then it is gone" still "$W/breakaway.exe.ticks"
wait_log "main() end" 5
check_no_fallback "breakaway"

# 4. tolvard killed from outside: the job's last handle closes with it, and the child ends.
sc_create "$svc" "$tolvard $(winpath "$W/orphan.exe") $svc "
svcctl start "$svc"
check_svcctl "host killed: start" $?
wait_state "$svc" RUNNING 10 || die "$svc did not reach RUNNING: $(svcctl_error)"
host_pid=$(field pid)
wait_record "$W/orphan.exe.args" 10 || die "the child left no record"
# (Wine's service control manager may then show the service RUNNING for a while, or STOPPED
# with 1077: that is not tolvard's to report.)
wine_call "$W/kill" "$W/launcher.exe" kill "$host_pid"
check_eq "host killed: tolvard ended" 0 $?
check_true "host killed: the child went with it" still "$W/orphan.exe.ticks"

finish
