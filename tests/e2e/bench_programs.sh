#!/bin/bash
# The bench's Windows programs keep working: benchctl.exe runs one full cycle of tolvard and of
# the bare service with bench_child.exe, and what it prints has every figure tools/bench.sh
# reads, each a plausible number. BENCH_PROGRAMS is the directory of bare_service.exe,
# bench_child.exe and benchctl.exe.
. "$(dirname "$0")/lib.sh"
work_dir bench_programs

for exe in bare_service bench_child benchctl; do
    cp "$BENCH_PROGRAMS/$exe.exe" "$W/" || die "$exe.exe is missing: build the project first"
done
# Its own copy of tolvard.exe, so that both hosts find the child in their own directory and
# this test's log stays apart.
cp "$TOLVARD" "$W/tolvard.exe"
# The idle window's reader is told done before it is asked.
touch "$W/marks.go"

# service | image path
services=(
    "tvd_benchsmoke|$(winpath "$W/tolvard.exe") bench_child.exe tvd_benchsmoke "
    "bare_benchsmoke|$(winpath "$W/bare_service.exe")"
)
# key | least | greatest (ms or KiB)
figures=(
    "start_ms|0.01|30000"
    "start_return_ms|0.01|30000"
    "stop_ms|0.01|30000"
    "stop_return_ms|0.01|30000"
    "host_exit_ms|0.01|30000"
    "idle_cpu_ms|0|1000"
    "peak_ws_kib|100|1000000"
    "ws_kib|100|1000000"
)
within() {
    awk -v v="$1" -v lo="$2" -v hi="$3" 'BEGIN { exit !(v != "" && v + 0 == v && v >= lo && v <= hi) }'
}

for row in "${services[@]}"; do
    IFS='|' read -r svc image <<<"$row"
    sc_create "$svc" "$image"
    for run in 1 2; do
        rm -f "$W/marks.begin" "$W/marks.end"
        wine_call "$W/cycle" "$W/benchctl.exe" cycle "$svc" "$(winpath "$W/bench_child.exe.stamp")" \
            0.2 "$(winpath "$W/marks")"
        check_eq "$svc run $run: benchctl succeeds" 0 $? || tr -d '\r' <"$W/cycle.err"
        tr -d '\r' <"$W/cycle.out" >"$W/cycle.txt"
        for f in "${figures[@]}"; do
            IFS='|' read -r key lo hi <<<"$f"
            value=$(sed -n "s/^$key=//p" "$W/cycle.txt")
            check_true "$svc run $run: $key=$value within $lo .. $hi" within "$value" "$lo" "$hi"
        done
        check_true "$svc run $run: the idle window was marked" \
            test -f "$W/marks.begin" -a -f "$W/marks.end"
        check_eq "$svc run $run: the child that stamped is the one timed" \
            "$(sed -n 's/^child_pid=//p' "$W/cycle.txt")" \
            "$(awk '{ print $2 }' "$W/bench_child.exe.stamp")"
        # As the STOPPED report had them: the host may end up to 2 s after it (its last Event Log
        # entry), and Wine's service control manager shows 1077 a while after that.
        check_eq "$svc run $run: stopped, no failure" "0 0" \
            "$(sed -n 's/^stopped_exit=//p' "$W/cycle.txt")"
    done
done
check_true "tolvard's copy logged beside itself" grep -q "success CreateProcess" "$W/tolvard.log"

finish
