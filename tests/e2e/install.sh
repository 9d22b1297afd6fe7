#!/bin/bash
# "reg" and "rem" typed as an administrator would, through a verbatim command line: what "reg"
# stores in the service entry, that the registered service starts and its child gets exactly
# the words typed, whatever blanks, quotes and backslashes they hold, that a copy of tolvard in
# a directory with blanks is the program that runs (never C:\Program.exe), and how "rem"
# removes stopped, running and missing services; a failure says why, in a second line with the
# error and the system's text for it (Wine's own texts: only a recognisable part is checked).
. "$(dirname "$0")/lib.sh"
work_dir install

services_key='HKLM\System\CurrentControlSet\Services'
mkdir -p "$W/bin" "$W/elsewhere"
cp "$TOLVARD" "$W/bin/tolvard.exe"
cp "$E2E_HELPERS/probe.exe" "$W/bin/probe.exe"
exe=$(winpath "$W/bin/tolvard.exe")
probe=$(winpath "$W/bin/probe.exe")
record=$W/bin/probe.exe.args
log=$W/bin/tolvard.log

# The value of NAME in the service's registry key, as reg.exe shows it; "<no key>" without one.
reg_value() {
    wine_call "$W/regq" reg query "$services_key\\$1" || {
        echo "<no key>"
        return
    }
    tr -d '\r' <"$W/regq.out" | sed -n "s/^    $2    REG_[A-Z_]*    //p"
}

# run_tolvard NAME ARGS: tolvard typed by a relative path from another directory.
run_tolvard() {
    run_line "$1" "..\\bin\\tolvard.exe $2" "$W/elsewhere"
}

# check_silent_one WHAT NAME STATUS: a command that worked prints nothing and exits 1.
check_silent_one() {
    check_eq "$1: exit status" 1 "$3"
    check_eq "$1: console output" "" "$(cat "$W/$2.out")"
}

# check_why WHAT NAME PREFIX WORDS: the second and last line of NAME's output, the one that says
# why, begins with PREFIX and holds WORDS (Wine's texts are shorter than Windows' own).
check_why() {
    local second
    second=$(tr -d '\r' <"$W/$2.out" | sed -n 2p)
    check_eq "$1: two lines" 2 "$(wc -l <"$W/$2.out")"
    check_true "$1: then \"$3...$4...\", got \"$second\"" \
        test "${second#"$3"}" != "$second" -a "${second#*"$4"}" != "$second"
}

# start_and_record SVC: starts the service and waits for the child's record of its words.
start_and_record() {
    rm -f "$record"
    svcctl start "$1"
    check_svcctl "$1: start" $?
    wait_state "$1" RUNNING 10 || fail "$1 did not reach RUNNING: $(svcctl_error)"
    wait_record "$record" 10 || fail "$1: the child left no record"
}

stop_service() {
    svcctl control "$1" 1 >/dev/null
    wait_state "$1" STOPPED 10 || fail "$1 did not stop: $(svcctl_error)"
}

# The child's argv[1..] as probe.exe recorded it, one word per line between < and >.
child_words() {
    sed -n 's/^argv\[[1-9][0-9]*\]=//p' "$record"
}

for svc in tvd_plain tvd_quoted "tvd blank" tvd_pf tvd_running; do
    wine_call "$W/sc" sc delete "$svc"
done

# --- reg: what is stored ---
run_tolvard reg_plain "reg tvd_plain probe.exe -p 80 c:\\web\\ 100%"
check_silent_one "reg by a relative path" reg_plain $?
check_eq "ImagePath: full program path, EXENAME, ARGV..., SVCNAME, each followed by a blank" \
    "$exe probe.exe -p 80 c:\\web\\ \"100%\" tvd_plain " "$(reg_value tvd_plain ImagePath)"
check_eq "Type" 0x10 "$(reg_value tvd_plain Type)"
check_eq "Start" 0x3 "$(reg_value tvd_plain Start)"
check_eq "ErrorControl" 0x1 "$(reg_value tvd_plain ErrorControl)"
check_eq "ObjectName" LocalSystem "$(reg_value tvd_plain ObjectName)"
check_eq "DisplayName" tvd_plain "$(reg_value tvd_plain DisplayName)"

run_tolvard reg_again "reg tvd_plain other.exe x"
check_eq "second reg of a name: exit status" 1 $?
check_eq "second reg of a name: message" $'fail to CreateService\r' "$(sed -n 1p "$W/reg_again.out")"
check_why "second reg of a name" reg_again "error 1073: " "exists"
check_eq "second reg of a name changes nothing" \
    "$exe probe.exe -p 80 c:\\web\\ \"100%\" tvd_plain " "$(reg_value tvd_plain ImagePath)"

# --- the registered service runs its child with exactly its words ---
# EXENAME by full path: the service's current directory is not ours.
run_tolvard reg_run "reg tvd_quoted $probe plain \"a b\" \"say \\\"hi\\\"\" \"\" \"C:\\My Files\"\\ 50%"
check_silent_one "reg with quoted words" reg_run $?
start_and_record tvd_quoted
check_eq "words with blanks, inner quotes, an empty word and a trailing backslash" \
    "$(printf '%s\n' '<plain>' '<a b>' '<say "hi">' '<>' '<C:\My Files\>' '<50%>')" "$(child_words)"
check_eq "the host's log lies beside the registered copy" \
    "MyServiceStart start:1" "$(tr -d '\r' <"$log" | sed -n '2s/^[^:]*:[^:]*:[^:]*://p')"
stop_service tvd_quoted

run_tolvard reg_blank "reg \"tvd blank\" $probe one two"
check_silent_one "reg of a name with a blank" reg_blank $?
check_eq "the name with a blank is written whole" "$exe $probe one two \"tvd blank\" " \
    "$(reg_value "tvd blank" ImagePath)"
start_and_record "tvd blank"
check_eq "no piece of the service name reaches the child" "$(printf '%s\n' '<one>' '<two>')" "$(child_words)"
stop_service "tvd blank"
run_tolvard rem_blank "rem \"tvd blank\""
check_silent_one "rem of a name with a blank" rem_blank $?
check_eq "its registry key is gone" "<no key>" "$(reg_value "tvd blank" ImagePath)"

# --- a copy in a directory with blanks, C:\Program.exe planted ---
drive_c=$WINEPREFIX/drive_c
pf="$drive_c/Program Files/tolvard e2e"
mkdir -p "$pf"
cp "$TOLVARD" "$pf/tolvard.exe"
rm -f "$pf/tolvard.log" "$drive_c/Program.exe.args"
cp "$E2E_HELPERS/probe.exe" "$drive_c/Program.exe"
run_line reg_pf "\"C:\\Program Files\\tolvard e2e\\tolvard.exe\" reg tvd_pf $probe pf" "$W/elsewhere"
check_silent_one "reg from C:\\Program Files\\..." reg_pf $?
check_eq "the program path is quoted in the image path" \
    "\"C:\\Program Files\\tolvard e2e\\tolvard.exe\" $probe pf tvd_pf " "$(reg_value tvd_pf ImagePath)"
start_and_record tvd_pf
check_eq "the copy in C:\\Program Files runs the child" "<pf>" "$(child_words)"
check_true "its log lies beside that copy" test -s "$pf/tolvard.log"
check_true "C:\\Program.exe never ran" test ! -e "$drive_c/Program.exe.args"
stop_service tvd_pf
run_line rem_pf "\"C:\\Program Files\\tolvard e2e\\tolvard.exe\" rem tvd_pf" "$W/elsewhere"
check_silent_one "rem from C:\\Program Files\\..." rem_pf $?
rm -f "$drive_c/Program.exe"

# --- rem ---
run_tolvard rem_stopped "rem tvd_plain and more words"
check_silent_one "rem of a stopped service, words after the name ignored" rem_stopped $?
check_eq "its registry key is gone" "<no key>" "$(reg_value tvd_plain ImagePath)"

run_tolvard rem_missing "rem tvd_plain"
check_eq "rem of a missing name: exit status" 1 $?
check_eq "rem of a missing name: message" $'fail to OpenService\r' "$(sed -n 1p "$W/rem_missing.out")"
check_why "rem of a missing name" rem_missing "error 1060: " "not exist"

run_tolvard reg_running "reg tvd_running $probe run"
start_and_record tvd_running
run_tolvard rem_running "rem tvd_running"
check_silent_one "rem of a running service" rem_running $?
# The platform's rule: a running service is only marked for deletion; it runs on, and its entry
# goes once it stops.
check_true "the removed service runs on until stopped" ticking "$W/bin/probe.exe.ticks"
svcctl control tvd_running 1 >/dev/null
check_svcctl "stop of the removed service" $?
gone=0
for _ in 1 2 3 4 5 6 7 8 9 10; do
    [ "$(reg_value tvd_running ImagePath)" = "<no key>" ] && gone=1 && break
    sleep 0.5
done
check_eq "its entry goes once it has stopped" 1 "$gone"
check_true "and its child is gone" still "$W/bin/probe.exe.ticks"

run_tolvard rem_quoted "rem tvd_quoted"
check_silent_one "rem tvd_quoted" rem_quoted $?
finish
