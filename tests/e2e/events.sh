#!/bin/bash
# tolvard's entries in the Event Log, as Wine lets them be seen. Wine keeps no Event Log: its
# ReportEventA and ReportEventW are stubs that write each call (type, ID, number of strings) to
# the advapi debug channel and each insertion string to the eventlog channel, at the level of
# the entry's type (err, warn, trace). So the services here run in a Wine session whose first
# process had WINEDEBUG=+timestamp,+pid,+eventlog,+advapi: services.exe inherits it with that
# process's standard error, and so does every service it starts. That trace is this test's
# Event Log. (Local to this test: lib.sh stops the session at the end, and the next test starts
# a new one without the trace.)
#
# "tolvard reg" registers the event source when it is missing or its message file is gone
# (tolvard-messages.dll beside tolvard.exe; tolvard.exe itself when a copy of it lies alone),
# leaves one whose file exists, and gives each service its description ("reg query" shows both).
# Then: a start and a stop asked for, a child that cannot start, a child that ends with code 3
# and a child that ignores Ctrl+C and is killed each show their entry, of the right level,
# whose first string is the service's name; a service started again and again writes at most
# one entry a second, and every run's entry is written or counted by a later one. Every entry
# seen is rendered with the registered message file, loaded as data (evrender.exe), and with
# tolvard.exe as its message file: the same text, naming its service.
. "$(dirname "$0")/lib.sh"
work_dir events
version=${TOLVARD_VERSION:?}

source_key='HKLM\System\CurrentControlSet\Services\EventLog\Application\tolvard'
services_key='HKLM\System\CurrentControlSet\Services'
control_key='HKLM\SYSTEM\CurrentControlSet\Control'
tolvard=$(winpath "$TOLVARD")
dll=$(winpath "$(dirname "$TOLVARD")/tolvard-messages.dll")
[ -f "$(dirname "$TOLVARD")/tolvard-messages.dll" ] || die "no tolvard-messages.dll beside $TOLVARD"
mkdir -p "$W/bin" "$W/lone"
for name in ev_stop ev_killed; do
    cp "$E2E_HELPERS/saver.exe" "$W/bin/$name.exe"
done
for name in ev_exit3 ev_loop; do
    cp "$E2E_HELPERS/probe.exe" "$W/bin/$name.exe"
done
cp "$TOLVARD" "$W/lone/tolvard.exe"

# --- The session whose services are traced ---
# Its first process starts services.exe, which keeps that process's standard error for the
# session: that first process is a probe.exe that ticks on in the background (for 120 s at
# most) until the test ends, the same whether or not the session's server is kept.
E2E_WINE_ENV=(WINEDEBUG=+timestamp,+pid,+eventlog,+advapi)
restart_wine
trace=$W/session.err
cp "$E2E_HELPERS/probe.exe" "$W/bin/keeper.exe"
env "${E2E_WINE_ENV[@]}" bash "$E2E_WINE" "$W/bin/keeper.exe" </dev/null >"$W/session.out" \
    2>"$trace" &
keeper=$!
wait_record "$W/bin/keeper.exe.args" 30 || die "the session did not start"

# The value NAME of a key, as reg.exe shows it ("TYPE VALUE"); "<none>" without one.
reg_value() {
    wine_call "$W/regq" reg query "$1" /v "$2" || {
        echo "<none>"
        return
    }
    tr -d '\r' <"$W/regq.out" | sed -n "s/^    $2    \(REG_[A-Z_]*\)    /\1 /p"
}

clear_grace() {
    wine_call "$W/reg" reg delete "$control_key" /v WaitToKillServiceTimeout /f
}
events_on_exit() {
    clear_grace
    e2e_on_exit
    kill "$keeper" 2>/dev/null
    wait "$keeper" 2>/dev/null
}
trap events_on_exit EXIT
clear_grace

# reg_one NAME TOLVARD WORDS: "TOLVARD reg NAME WORDS" typed, which must print nothing.
reg_one() {
    E2E_SERVICES+=("$1")
    sc_delete "$1"
    run_line "reg_$1" "$2 reg $1 $3"
    check_eq "reg $1: exit status" 1 "$?"
    check_eq "reg $1: silent" "" "$(cat "$W/reg_$1.out")"
}

# --- reg: the source and the description ---
# found (type and value, "<none>": no key) | reg from | what the key then holds
other=$(winpath "$E2E_HELPERS/probe.exe")
source_cases=(
    "<none>|$tolvard|REG_EXPAND_SZ $dll"
    "REG_EXPAND_SZ Z:\\no\\such\\tolvard-messages.dll|$tolvard|REG_EXPAND_SZ $dll"
    "REG_EXPAND_SZ $other|$tolvard|REG_EXPAND_SZ $other"
    "<none>|$(winpath "$W/lone/tolvard.exe")|REG_EXPAND_SZ $(winpath "$W/lone/tolvard.exe")"
    "REG_EXPAND_SZ $(winpath "$W/lone/tolvard.exe")|$tolvard|REG_EXPAND_SZ $(winpath "$W/lone/tolvard.exe")"
    "<none>|$tolvard|REG_EXPAND_SZ $dll"
)
n=0
for row in "${source_cases[@]}"; do
    IFS='|' read -r found from expected <<<"$row"
    n=$((n + 1))
    wine_call "$W/regdel" reg delete "$source_key" /f
    if [ "$found" != "<none>" ]; then
        wine_call "$W/regadd" reg add "$source_key" /v EventMessageFile /t "${found%% *}" \
            /d "${found#* }" /f || die "reg add failed: $(cat "$W/regadd.out")"
    fi
    reg_one "tvd_ev_src$n" "$from" "$(winpath "$W/bin/ev_exit3.exe") exit:3"
    check_eq "source, found $found, reg from $from: EventMessageFile" "$expected" \
        "$(reg_value "$source_key" EventMessageFile)"
    if [ "$found" = "<none>" ]; then
        check_eq "source made by reg: TypesSupported" "REG_DWORD 0x7" \
            "$(reg_value "$source_key" TypesSupported)"
    fi
done
message_file=$(reg_value "$source_key" EventMessageFile)
message_file=${message_file#* }
check_eq "the message file registered at last" "$dll" "$message_file"

reg_one tvd_ev_stop "$tolvard" "$(winpath "$W/bin/ev_stop.exe") save"
check_eq "description" "REG_SZ Runs $(winpath "$W/bin/ev_stop.exe") save (tolvard $version)" \
    "$(reg_value "$services_key\\tvd_ev_stop" Description)"
reg_one tvd_ev_missing "$tolvard" "$(winpath "$W/bin/missing.exe") a b"
reg_one tvd_ev_exit3 "$tolvard" "$(winpath "$W/bin/ev_exit3.exe") exit:3"
reg_one tvd_ev_killed "$tolvard" "$(winpath "$W/bin/ev_killed.exe") ignore"
reg_one tvd_ev_loop "$tolvard" "$(winpath "$W/bin/ev_loop.exe") exit:3"

# --- The trace as entries ---
# One line per entry that a service reported: its time in ms, process, type, ID, the classes
# of its string lines, then each insertion string, tab-separated. Wine writes a string that is
# empty as no line at all: the count that ReportEventA was given fills them in at the end.
entries() {
    LC_ALL=C perl -e '
        my %open;
        my @done;
        sub unescape {
            my ($s) = @_;
            $s =~ s/\\(?:(n)|(r)|(t)|([0-9a-f]{4})|(.))/
                defined $1 ? "\n" : defined $2 ? "\r" : defined $3 ? "\t" :
                defined $4 ? chr(hex $4) : $5/ge;
            return $s;
        }
        sub close_entry {
            my ($tid) = @_;
            my $e = delete $open{$tid} or return;
            push @{$e->{strings}}, "" while @{$e->{strings}} < $e->{count};
            push @done, join("\t", $e->{ms}, $e->{pid}, $e->{type}, $e->{id},
                             join(",", sort keys %{$e->{classes}}), @{$e->{strings}});
        }
        while (<>) {
            s/\r?\n\z//;
            next unless /^(\d+)\.(\d+):([0-9a-f]+):([0-9a-f]+):(\w+):(\w+):(\w+) (.*)\z/;
            my ($ms, $pid, $tid, $class, $channel, $function, $rest) =
                ($1 * 1000 + $2, $3, $4, $5, $6, $7, $8);
            if ($channel eq "advapi" && $function eq "ReportEventA" && $rest =~ /^\(([^)]*)\)/) {
                close_entry($tid);
                my @f = split /,/, $1;
                $open{$tid} = {ms => $ms, pid => $pid, type => hex($f[1]), id => hex($f[3]),
                               count => hex($f[5]), strings => [], classes => {}};
            } elsif ($channel eq "eventlog" && $function eq "ReportEventW" && $open{$tid} &&
                     $rest =~ /^L"(.*)"\z/) {
                push @{$open{$tid}{strings}}, unescape($1);
                $open{$tid}{classes}{$class} = 1;
            }
        }
        close_entry($_) for keys %open;
        print "$_\n" for sort { (split /\t/, $a)[0] <=> (split /\t/, $b)[0] } @done;
    ' "$trace"
}

# The entries of one service: "TYPE ID CLASSES|STRING2|STRING3..." (the first string, the name,
# left out once checked).
service_entries() {
    entries | awk -F '\t' -v svc="$1" '$6 == svc {
        line = $3 " " $4 " " $5
        for (i = 7; i <= NF; ++i)
            line = line "|" $i
        print line
    }'
}

# wait_entries SERVICE COUNT SECONDS: waits until the service has reported COUNT entries.
wait_entries() {
    local tries=$(($3 * 10))
    while [ "$(service_entries "$1" | wc -l)" -lt "$2" ] && [ "$tries" -gt 0 ]; do
        sleep 0.1
        tries=$((tries - 1))
    done
}

# wait_saver FILE: waits until saver.exe has noted that it is ready.
wait_saver() {
    local tries=100
    while [ "$tries" -gt 0 ] && ! grep -q '^start' "$1" 2>/dev/null; do
        sleep 0.1
        tries=$((tries - 1))
    done
}

# The child of a run: its process id, from the entry of its start.
pid_of_start() {
    service_entries "$1" | awk -F '|' '$1 ~ /^4 101 / { print $2 }' | head -n 1
}

# --- A start and a stop asked for ---
# The start's entry waits for the child's first second: stopped after more than that, the run
# shows both.
svcctl start tvd_ev_stop
check_svcctl "tvd_ev_stop: start" $?
wait_saver "$W/bin/ev_stop.exe.saves"
sleep 1.5
svcctl control tvd_ev_stop 1
wait_state tvd_ev_stop STOPPED 15
check_svcctl "tvd_ev_stop: stopped" $?
wait_entries tvd_ev_stop 2 10
pid=$(pid_of_start tvd_ev_stop)
check_true "tvd_ev_stop: the start names the child's process id ($pid)" grep -qE '^[1-9][0-9]*$' \
    <<<"$pid"
check_eq "tvd_ev_stop: its entries" \
    "4 101 trace|$pid|$(winpath "$W/bin/ev_stop.exe") save|
4 102 trace|N|" \
    "$(service_entries tvd_ev_stop | sed 's/^\(4 102 trace|\)[0-9]*|/\1N|/')"

# --- A child that cannot start ---
svcctl start tvd_ev_missing
started=$?
# A run that ends at once may get 1053 from Wine's StartService (see child_end.sh).
if [ "$started" -ne 0 ] && [ "$(svcctl_error)" = "svcctl: StartService error=1053" ]; then
    started=0
fi
check_svcctl "tvd_ev_missing: start" $started
wait_state tvd_ev_missing STOPPED 10
wait_entries tvd_ev_missing 1 10
missing=$(service_entries tvd_ev_missing)
check_eq "tvd_ev_missing: one error 301, error 2, the command" \
    "1 301 err|2|TEXT|$(winpath "$W/bin/missing.exe") a b|" \
    "$(sed 's/^\(1 301 err|2|\)[^|]*|/\1TEXT|/' <<<"$missing")"
system_text=$(cut -d'|' -f3 <<<"$missing")
echo "the system's text of error 2 under Wine: $system_text"
check_true "tvd_ev_missing: the system's text of the error" \
    test -n "$system_text" -a "$system_text" != "no text for this error"

# --- A child that ends with code 3, within its first second: its end alone ---
svcctl start tvd_ev_exit3
check_svcctl "tvd_ev_exit3: start" $?
wait_state tvd_ev_exit3 STOPPED 10
wait_entries tvd_ev_exit3 1 10
check_eq "tvd_ev_exit3: one error 302 with the code" "1 302 err|3|" \
    "$(service_entries tvd_ev_exit3)"

# --- A child that ignores Ctrl+C and is killed after the grace time ---
wine_call "$W/reg" reg add "$control_key" /v WaitToKillServiceTimeout /t REG_SZ /d 2000 /f ||
    die "reg add WaitToKillServiceTimeout failed: $(cat "$W/reg.out")"
svcctl start tvd_ev_killed
check_svcctl "tvd_ev_killed: start" $?
wait_saver "$W/bin/ev_killed.exe.saves"
sleep 1.5
svcctl control tvd_ev_killed 1
wait_state tvd_ev_killed STOPPED 20
check_svcctl "tvd_ev_killed: stopped" $?
clear_grace
wait_entries tvd_ev_killed 2 10
pid=$(pid_of_start tvd_ev_killed)
check_eq "tvd_ev_killed: its start, then a warning 201 with the grace time" \
    "4 101 trace|$pid|$(winpath "$W/bin/ev_killed.exe") ignore|
2 201 warn|2000|" "$(service_entries tvd_ev_killed)"

# --- Started again and again: at most one entry a second, none lost unsaid ---
# Each run's child ends at once, so each run has one entry to give, its end; runs come closer
# than a second apart, as a restart policy with no delay starts them.
runs=6
svcctl restarts tvd_ev_loop "$runs" 10
check_svcctl "tvd_ev_loop: $runs runs" $?
# The last run's own entry may come up to a second after its stop; the host then ends.
sleep 3
loop=$(entries | awk -F '\t' '$6 == "tvd_ev_loop"')
written=$(grep -c . <<<"$loop")
told=$(awk -F '\t' '{ n = $NF; if (n ~ /^1 earlier event /) s += 1; else if (n ~ /^[0-9]+ earlier events /) s += n + 0 } END { print s + 0 }' <<<"$loop")
kept=$(reg_value "$services_key\\tvd_ev_loop\\Parameters" EventsLeftOut)
case $kept in
"REG_DWORD "*) kept=$((${kept#REG_DWORD })) ;;
*) kept=0 ;;
esac
echo "tvd_ev_loop: $runs runs, $written entries written, $told told as left out, $kept kept"
check_eq "tvd_ev_loop: each run's entry written, told of, or kept to be told" "$runs" \
    "$((written + told + kept))"
check_true "tvd_ev_loop: fewer entries than runs ($written)" test "$written" -lt "$runs"
check_eq "tvd_ev_loop: every entry an error 302" "" \
    "$(awk -F '\t' '$3 != 1 || $4 != 302' <<<"$loop")"

# --- At most one entry a second for each service, in every run above ---
close=$(entries | awk -F '\t' '{ if ($6 in last && $1 - last[$6] < 1000) print $6 " " $1 - last[$6] " ms"; last[$6] = $1 }')
check_eq "no two entries of a service within a second" "" "$close"

# --- Every entry rendered with the registered message file, and with tolvard.exe ---
entries | awk -F '\t' '$6 ~ /^tvd_ev_/' >"$W/seen.tsv"
check_true "entries seen" test -s "$W/seen.tsv"
for file in "$message_file" "$tolvard"; do
    # The path through the environment: awk -v would take its backslashes for escapes.
    FILE=$file awk -F '\t' '{
        line = ENVIRON["FILE"] "\t" $4
        for (i = 6; i <= NF; ++i)
            line = line "\t" $i
        print line
    }' "$W/seen.tsv" >"$W/render.tsv"
    name=$(basename "${file//\\//}")
    wine_call "$W/render-$name" "$E2E_HELPERS/evrender.exe" "$(winpath "$W/render.tsv")"
    check_eq "rendered with $name: exit status" 0 "$?" || cat "$W/render-$name.err"
    tr -d '\r' <"$W/render-$name.out" >"$W/rendered-$name.txt"
    check_eq "rendered with $name: every entry" "$(wc -l <"$W/seen.tsv")" \
        "$(wc -l <"$W/rendered-$name.txt")"
done
check_file_eq "the same texts from tolvard.exe" "$W/rendered-tolvard-messages.dll.txt" \
    "$W/rendered-tolvard.exe.txt"
paste <(cut -f6 "$W/seen.tsv") "$W/rendered-tolvard-messages.dll.txt" >"$W/named.txt"
check_eq "each text names its service" "" \
    "$(awk -F '\t' 'index($3, "service " $1 " ") == 0' "$W/named.txt")"
echo "the texts:"
cut -f2- "$W/rendered-tolvard-messages.dll.txt" | sort -u | sed 's/^/  /'
check_eq "the text of a child that ended with code 3" \
    "302	The program of the service tvd_ev_exit3 ended with exit code 3, so the service stopped with error 1066 (service-specific error 3). |  | " \
    "$(grep -m1 'service tvd_ev_exit3 ' "$W/rendered-tolvard-messages.dll.txt")"

finish
