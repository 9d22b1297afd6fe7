#!/usr/bin/env bash
# What the host costs: tolvard.exe (win32; win64 where this machine runs no 32-bit programs)
# against bench/bare_service.exe, a service written for
# the same child and nothing else, side by side under Wine, then the micro-benchmarks of the
# command-line rules and the log on the native build. Prints the table and rewrites
# docs/benchmarks.md. Not part of tools/test.sh: it takes several minutes and its numbers depend
# on the machine's load.
#
#   bash tools/bench.sh                 # N=20 runs of each service, 10 s idle window each
#   BENCH_N=5 BENCH_IDLE=2 bash tools/bench.sh   # a quick look (the doc says what was used)
#   BENCH_PARTS=output bash tools/bench.sh       # the child's output rows alone: rewrites only
#                                                # their section of the doc
#
# Each run of a service is one call of benchctl.exe: StartService, the child's time stamp,
# 10 s of idling, ControlService(STOP), STOPPED and the child gone. The two services take turns,
# in the order A B B A, so that both see the same load. Wine state lives in build/bench-prefix.
#
# The child's output: BENCH_LINES_N (5) runs each, taking turns, of bench_child.exe writing
# BENCH_LINES (200000) lines of 100 bytes in two styles (one WriteFile a line; fwrite through a
# 4096-byte runtime buffer) three ways: to its standard output, which tolvard writes to its log;
# into the pipe floor, a pipe that bench/pipe_drain.exe only drains; to a file itself.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD

N=${BENCH_N:-20}
IDLE=${BENCH_IDLE:-10}
DOC=${BENCH_DOC:-docs/benchmarks.md}
LINES=${BENCH_LINES:-200000}
LINES_N=${BENCH_LINES_N:-5}
PARTS=${BENCH_PARTS:-all}
case $PARTS in
all | output) ;;
*) echo "BENCH_PARTS is all or output" >&2; exit 2 ;;
esac

bash tools/deps.sh || exit 1
# The 32-bit build where this machine runs 32-bit programs, else the 64-bit one (tools/wine.sh).
arch=$(bash tools/wine.sh --preset) || exit 1
export TOLVARD_WINE32=$([ "$arch" = win32 ] && echo 1 || echo 0)

build() {
    cmake --preset "$1" >"/tmp/tolvard-bench-configure-$1.log" 2>&1 \
        || { cat "/tmp/tolvard-bench-configure-$1.log"; return 1; }
    cmake --build --preset "$1" -j 2 "${@:2}" >"/tmp/tolvard-bench-build-$1.log" 2>&1 \
        || { tail -n 30 "/tmp/tolvard-bench-build-$1.log"; return 1; }
}
echo "== building $arch and the optimised native micro-benchmarks"
build $arch || exit 1
if [ "$PARTS" = all ]; then
    build bench --target micro_bench || exit 1
fi

export WINEPREFIX=$root/build/bench-prefix
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
work=$root/build/bench-work
bin=$work/bin
rm -rf "$work"
mkdir -p "$bin"
# One directory for the hosts and the child: both find bench_child.exe in their own directory.
cp build/$arch/tolvard.exe build/$arch/bench/{bare_service,bench_child,benchctl,pipe_drain}.exe \
    "$bin/"

winpath() {
    local p
    p=$(realpath -m "$1")
    printf 'Z:%s' "${p//\//\\}"
}
# wine_call OUT PROGRAM ARGS...: no standard input, output to files only (Wine's daemons keep
# the standard handles of the call that started them), bounded in time.
wine_call() {
    local out=$1
    shift
    timeout -k 5 120 bash tools/wine.sh "$@" </dev/null >"$out.out" 2>"$out.err"
}
stop_wine() {
    timeout 30 bash tools/wine.sh wineserver -k >/dev/null 2>&1
    timeout 30 bash tools/wine.sh wineserver -w >/dev/null 2>&1
    return 0
}

stop_wine
if [ ! -f "$WINEPREFIX/.tolvard-bench-ready" ]; then
    echo "== making the Wine prefix $WINEPREFIX"
    rm -rf "$WINEPREFIX"
    timeout 300 bash tools/wine.sh wineboot -i </dev/null >"$work/wineboot.out" 2>&1 \
        || { cat "$work/wineboot.out"; exit 1; }
    timeout 60 bash tools/wine.sh wineserver -w
    touch "$WINEPREFIX/.tolvard-bench-ready"
fi
# Wine's service control manager lives between the calls, as on Windows (tools/wine.sh --keep).
trap stop_wine EXIT
timeout 30 bash tools/wine.sh --keep || exit 1

services=(tvd_bench bare_bench)
declare -A host_exe=([tvd_bench]=tolvard.exe [bare_bench]=bare_service.exe)
declare -A label=([tvd_bench]=tolvard [bare_bench]=bare)
lines_file=$work/lines.txt
for svc in "${services[@]}" tvd_lines_pipe tvd_lines_file tvd_blines_pipe tvd_blines_file; do
    wine_call "$work/sc" sc delete "$svc"
done
wine_call "$work/sc" sc create tvd_bench \
    binPath= "$(winpath "$bin/tolvard.exe") bench_child.exe tvd_bench " \
    || { cat "$work/sc.out"; exit 1; }
wine_call "$work/sc" sc create bare_bench binPath= "$(winpath "$bin/bare_service.exe")" \
    || { cat "$work/sc.out"; exit 1; }
for style in lines blines; do
    wine_call "$work/sc" sc create tvd_${style}_pipe \
        binPath= "$(winpath "$bin/tolvard.exe") bench_child.exe $style $LINES tvd_${style}_pipe " \
        || { cat "$work/sc.out"; exit 1; }
    wine_call "$work/sc" sc create tvd_${style}_file \
        binPath= "$(winpath "$bin/tolvard.exe") bench_child.exe $style $LINES $(winpath "$lines_file") tvd_${style}_file " \
        || { cat "$work/sc.out"; exit 1; }
done

commit=$(git rev-parse --short HEAD 2>/dev/null)$(git diff --quiet HEAD 2>/dev/null || echo "+changes")
ratio() {
    awk -v a="$1" -v b="$2" 'BEGIN {
        if (a == "n/a" || b == "n/a" || b == 0) print "n/a"; else printf "%.2f\n", a / b }'
}
# verdict VALUE LIMIT: "met" if VALUE is below LIMIT (or at it, for a ratio).
verdict() {
    awk -v v="$1" -v l="$2" 'BEGIN { if (v == "n/a") print "n/a"; else print (v <= l ? "met" : "missed") }'
}
row() { printf '| %s | %s | %s | %s | %s | %s |\n' "$@"; }

# --- The child's output: through tolvard's log, into the pipe floor, or to a file itself ---

lines_results=$work/lines.txt.results
: >"$lines_results"
lines_failures=()
lines_loads=()
# Each service's lines go to its own log, logs\NAME.log, kept as NAME.old.log at 16 MiB: a run
# of 200000 lines (about 24 MiB of log) rotates it once.
service_log_of() { printf '%s/logs/tvd_%s_pipe.log' "$bin" "$1"; }

# The kinds of run: one WriteFile a line (lines) or fwrite through the runtime's buffer (blines,
# "b" before the kind), each into tolvard's log (pipe), into the pipe floor (floor) or to a file.
lines_kinds=(pipe floor file bpipe bfloor bfile)

# lines_once KIND RUN: one run of the child writing its lines as KIND says; every line is checked
# to be where it was written (or, in the floor, every byte to have been read) before the run
# counts.
lines_once() {
    local kind=$1 run=$2 out=$work/lines style=lines where=$1
    if [ "${kind:0:1}" = b ]; then
        style=blines
        where=${kind:1}
    fi
    rm -f "$lines_file"
    local tvd_log tvd_old
    tvd_log=$(service_log_of "$style")
    tvd_old=${tvd_log%.log}.old.log
    rm -f "$tvd_log" "$tvd_old"
    if [ "$where" = floor ]; then
        wine_call "$out" "$bin/pipe_drain.exe" "$(winpath "$bin/bench_child.exe.stamp")" \
            "$(winpath "$bin/bench_child.exe") $style $LINES"
    else
        wine_call "$out" "$bin/benchctl.exe" lines "tvd_${style}_$where" \
            "$(winpath "$bin/bench_child.exe.stamp")"
    fi
    local rc=$? got last
    if [ "$where" = floor ]; then
        # Nothing is kept: the count of bytes read stands for the lines.
        got=$(tr -d '\r' <"$out.out" | sed -n 's/^bytes=//p')
        got=$((${got:-0} / 100))
        last=" $(printf '%08d' "$got")"
    elif [ "$where" = pipe ]; then
        got=$(cat "$tvd_old" "$tvd_log" 2>/dev/null |
            LC_ALL=C grep -c '^..../../.. ..:..:..:> line [0-9]\{8\} x*'$'\r''$')
        last=$(tail -n 4 "$tvd_log" | LC_ALL=C grep -o '> line [0-9]*' | tail -n 1)
    else
        got=$(LC_ALL=C grep -c '^line [0-9]\{8\} x*'$'\r''$' "$lines_file" 2>/dev/null)
        last=$(tail -n 1 "$lines_file" 2>/dev/null | LC_ALL=C grep -o 'line [0-9]*')
    fi
    if [ $rc -ne 0 ] || [ "$got" != "$LINES" ] || [ "${last##* }" != "$(printf '%08d' "$LINES")" ]
    then
        echo "lines run $run through the $kind failed (status $rc, $got lines, last <$last>):"
        tr -d '\r' <"$out.err"
        lines_failures+=("$kind run $run: status $rc, $got of $LINES lines")
        return 1
    fi
    tr -d '\r' <"$out.out" | grep = | sed "s/^/$kind $run /; s/=/ /" >>"$lines_results"
}

echo "== the child's output: $LINES_N runs of each of ${lines_kinds[*]}, $LINES lines of 100 bytes"
lines_started=$(date -u '+%Y-%m-%d %H:%M UTC')
lines_loads+=("$(uptime | sed 's/.*load average: //')")
# One untimed run of each first.
for kind in "${lines_kinds[@]}"; do
    lines_once "$kind" 0 || exit 1
done
: >"$lines_results"
for run in $(seq 1 "$LINES_N"); do
    # Forwards in odd runs, backwards in even ones, so that no kind always follows another.
    lines_order=()
    for kind in "${lines_kinds[@]}"; do
        if [ $((run % 2)) -eq 1 ]; then
            lines_order+=("$kind")
        else
            lines_order=("$kind" "${lines_order[@]}")
        fi
    done
    for kind in "${lines_order[@]}"; do
        lines_once "$kind" "$run"
    done
    if [ ${#lines_failures[@]} -gt $((LINES_N / 5)) ]; then
        echo "!! too many failed runs: ${#lines_failures[@]}"
        exit 1
    fi
done
lines_loads+=("$(uptime | sed 's/.*load average: //')")
rm -f "$lines_file"

# lines_median KIND METRIC
lines_median() {
    awk -v l="$1" -v m="$2" '$1 == l && $3 == m { print $4 }' "$lines_results" | sort -g |
        awk '{ v[NR] = $1 } END {
            if (NR == 0) { print "n/a"; exit }
            if (NR % 2) printf "%.6g\n", v[(NR + 1) / 2]
            else printf "%.6g\n", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}
per_second() {
    awk -v n="$LINES" -v ms="$1" 'BEGIN { if (ms == "n/a" || ms == 0) print "n/a"; else printf "%.0f\n", n * 1000 / ms }'
}

# lines_row: one row of the output table, nine columns.
lines_row() { printf '| %s | %s | %s | %s | %s | %s | %s | %s | %s |\n' "$@"; }

# lines_style TITLE PREFIX: the rows of one write style (PREFIX "" or "b").
lines_style() {
    local b=$2 pw pd lw ld fw fd r1 r2
    pw=$(lines_median "${b}pipe" write_ms)
    pd=$(lines_median "${b}pipe" done_ms)
    lw=$(lines_median "${b}floor" write_ms)
    ld=$(lines_median "${b}floor" done_ms)
    fw=$(lines_median "${b}file" write_ms)
    fd=$(lines_median "${b}file" done_ms)
    r1=$(ratio "$pw" "$lw")
    r2=$(ratio "$pd" "$ld")
    lines_row "**$1**" "" "" "" "" "" "" "" ""
    lines_row "the child's own time for its lines, ms" "$pw" "$lw" "$fw" "$r1" "<= 2 x" \
        "$(verdict "$r1" 2)" "$(ratio "$pw" "$fw")" "$(ratio "$lw" "$fw")"
    lines_row "  lines per second, as the child sees it" "$(per_second "$pw")" \
        "$(per_second "$lw")" "$(per_second "$fw")" "" "" "" "" ""
    lines_row "first line written to the last one read (tolvard: in the log, STOPPED; floor: the pipe's end), ms" \
        "$pd" "$ld" "" "$r2" "<= 2 x" "$(verdict "$r2" 2)" "" ""
    lines_row "first line written to STOPPED, the file child, ms" "" "" "$fd" "" "" "" "" ""
    if [ -z "$b" ]; then
        lines_row "the child's longest single write, greatest of the runs (tolvard: its log rotates at 16 MiB in each run), ms" \
            "$(lines_greatest pipe longest_write_ms)" "$(lines_greatest floor longest_write_ms)" \
            "$(lines_greatest file longest_write_ms)" "" "" "" "" ""
    fi
}

# lines_greatest KIND METRIC: the greatest value over the runs.
lines_greatest() {
    awk -v l="$1" -v m="$2" '$1 == l && $3 == m { print $4 }' "$lines_results" | sort -g |
        tail -n 1 | grep . || echo n/a
}

# lines_words TITLE PREFIX: what the figures of one write style say, in a sentence.
lines_words() {
    local b=$2 pw lw fw r1 under=""
    pw=$(lines_median "${b}pipe" write_ms)
    lw=$(lines_median "${b}floor" write_ms)
    fw=$(lines_median "${b}file" write_ms)
    r1=$(ratio "$pw" "$lw")
    if awk -v r="$r1" 'BEGIN { exit !(r != "n/a" && r < 1) }'; then
        under=" Under 1, the drained pipe held the child back more than tolvard's: under Wine a pipe write varies from run to run by more than the host adds, so the host's cost is not told apart from the pipe's here (see the spread above and the notes)."
    fi
    echo "- $1: through tolvard the child took $r1 x its time into the pipe floor, which is what the host itself costs it (goal <= 2 x: $(verdict "$r1" 2)).$under Against writing to a file it took $(ratio "$pw" "$fw") x: the pipe floor's $(ratio "$lw" "$fw") x a file, which is what a pipe with a reader costs under Wine, times the host's own $r1 x."
}

# bytes_per_read PREFIX: the floor's reader's median bytes per ReadFile.
bytes_per_read() {
    awk -v k="${1}floor" '$1 == k && $3 == "bytes" { b[$2] = $4 } $1 == k && $3 == "reads" { r[$2] = $4 }
        END { for (n in b) if (r[n] > 0) print b[n] / r[n] }' "$lines_results" | sort -g |
        awk '{ v[NR] = $1 } END {
            if (NR == 0) { print "n/a"; exit }
            if (NR % 2) printf "%.0f\n", v[(NR + 1) / 2]
            else printf "%.0f\n", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

# lines_spread KIND: the least and the greatest of the child's own time over the runs, ms.
lines_spread() {
    awk -v k="$1" '$1 == k && $3 == "write_ms" { print $4 }' "$lines_results" | sort -g |
        awk 'NR == 1 { lo = $1 } { hi = $1 } END { if (NR) printf "%.6g .. %.6g", lo, hi; else printf "n/a" }'
}

lines_section() {
    echo "## The child's output through the host, under Wine"
    echo
    echo "- run: $lines_started, commit $commit, $arch, $LINES_N runs of each (after one untimed run), $LINES lines of 100 bytes a run"
    echo "- load average (1, 5, 15 min) before and after: $(printf '%s; ' "${lines_loads[@]}" | sed 's/; $//')"
    if [ "$PARTS" = output ]; then
        echo "- run alone (BENCH_PARTS=output): the rest of this page is from the last whole run"
    fi
    if [ ${#lines_failures[@]} -eq 0 ]; then
        echo "- failed runs: none"
    else
        echo "- failed runs, left out of the medians: $(printf '%s; ' "${lines_failures[@]}" | sed 's/; $//')"
    fi
    echo "- the child's own time over the runs, least .. greatest, ms: one WriteFile a line, through tolvard $(lines_spread pipe), floor $(lines_spread floor), file $(lines_spread file); buffered, through tolvard $(lines_spread bpipe), floor $(lines_spread bfloor), file $(lines_spread bfile)"
    echo "- the pipe floor's reader got $(bytes_per_read "") bytes a read with one WriteFile a line, $(bytes_per_read b) buffered (medians)"
    echo
    lines_row "what (median of $LINES_N)" "through tolvard, into the service's log" \
        "into the pipe floor (drained, no log)" "to a file itself" \
        "tolvard / floor: the host's own cost" goal verdict "tolvard / file" \
        "floor / file: Wine's pipe"
    lines_row --- ---: ---: ---: ---: --- --- ---: ---:
    lines_style "one WriteFile a line" ""
    lines_style "fwrite, 4096-byte buffer, one fflush at the end" b
    echo
    lines_words "One WriteFile a line" ""
    lines_words "Through a 4096-byte buffer" b
    echo "- On Windows: not measured here. Under Wine every write to a pipe is a request to the wine server, which Windows' pipes do without, so the ratios against a file above do not carry over to Windows; the ratio against the pipe floor is the one that judges the host, and it too is yet to be measured on Windows."
}

# BENCH_PARTS=output: this section of the page is replaced (or added before the micro-benchmarks)
# and the notes taken from bench/notes.md, the rest kept as the last whole run wrote it.
if [ "$PARTS" = output ]; then
    stop_wine
    lines_section >"$work/lines.md"
    awk -v part="$work/lines.md" '
        function put() { while ((getline l < part) > 0) print l; print ""; done = 1 }
        /^## The child.s output through the host/ { put(); skip = 1; next }
        skip && /^## / { skip = 0 }
        !done && /^## The command-line rules/ { put() }
        /^## How it is measured/ { exit }
        !skip { print }' "$DOC" >"$work/benchmarks.md"
    # The notes are words, not figures: the page takes them as they now are.
    cat bench/notes.md >>"$work/benchmarks.md"
    cp "$work/benchmarks.md" "$DOC"
    echo
    cat "$work/lines.md"
    echo "written to $DOC (the child's output section and the notes only)"
    exit 0
fi

# The Unix process of a Windows process of our prefix whose image is EXE. Wine sets the first
# word of a process's Unix command line to its Windows image path.
unix_pid() {
    local p first
    for p in /proc/[0-9]*; do
        first=$({ tr '\0' '\n' <"$p/cmdline"; } 2>/dev/null | head -n 1)
        [[ "$first" == *"\\$1" ]] || continue
        { tr '\0' '\n' <"$p/environ"; } 2>/dev/null | grep -qxF "WINEPREFIX=$WINEPREFIX" ||
            continue
        echo "${p#/proc/}"
        return 0
    done
    return 1
}

# One line per thread of PID: tid, context switches (voluntary + involuntary), ns on a CPU.
threads_snapshot() {
    local t
    for t in /proc/"$1"/task/*; do
        local v n ns
        v=$(awk '/^voluntary_ctxt_switches/ { print $2 }' "$t/status" 2>/dev/null) || continue
        n=$(awk '/^nonvoluntary_ctxt_switches/ { print $2 }' "$t/status" 2>/dev/null)
        ns=$(awk '{ print $1 }' "$t/schedstat" 2>/dev/null)
        [ -n "$v" ] && echo "${t##*/} $((v + n)) ${ns:-0}"
    done
}

# What a thread that is new in the second snapshot did counts from zero.
threads_delta() {
    awk 'FNR == NR { sw[$1] = $2; ns[$1] = $3; next }
         { s += $2 - sw[$1]; t += $3 - ns[$1]; n++ }
         END { printf "wakeups=%d\nrun_us=%.1f\nthreads=%d\n", s, t / 1000, n }' "$1" "$2"
}

# unix_memory PID: the platform's own view of the host's memory.
unix_memory() {
    awk '/^VmHWM/ { print "unix_peak_rss_kib=" $2 } /^VmRSS/ { print "unix_rss_kib=" $2 }' \
        "/proc/$1/status"
    awk '/^Private_(Clean|Dirty)/ { p += $2 } END { print "unix_private_kib=" p }' \
        "/proc/$1/smaps_rollup"
}

results=$work/results.txt
: >"$results"
loads=()

# run_once SVC RUN: one cycle of benchctl, with the Unix-side counts over its idle window.
run_once() {
    local svc=$1 run=$2 out=$work/cycle
    local marks=$work/marks
    rm -f "$marks".begin "$marks".end "$marks".go "$out".*
    timeout -k 5 $((${IDLE%.*} + 121)) bash tools/wine.sh "$bin/benchctl.exe" cycle "$svc" \
        "$(winpath "$bin/bench_child.exe.stamp")" "$IDLE" "$(winpath "$marks")" \
        </dev/null >"$out.out" 2>"$out.err" &
    local client=$!
    local pid="" extra=""
    if [ "$IDLE" != 0 ]; then
        local tries=0
        while [ ! -f "$marks.begin" ] && kill -0 "$client" 2>/dev/null && [ $tries -lt 3000 ]; do
            sleep 0.02
            tries=$((tries + 1))
        done
        pid=$(unix_pid "${host_exe[$svc]}")
        if [ -n "$pid" ]; then
            threads_snapshot "$pid" >"$out.before"
            while [ ! -f "$marks.end" ] && kill -0 "$client" 2>/dev/null; do
                sleep 0.02
            done
            threads_snapshot "$pid" >"$out.after"
            extra=$(threads_delta "$out.before" "$out.after"; unix_memory "$pid")
        fi
        touch "$marks.go"
    fi
    wait "$client"
    local rc=$?
    if [ $rc -ne 0 ] || { [ -z "$pid" ] && [ "$IDLE" != 0 ]; }; then
        echo "run $run of $svc failed (status $rc, unix pid '${pid}'):"
        tr -d '\r' <"$out.err"
        # A host that did not end must not meet the next run.
        [ -n "$pid" ] && kill -9 "$pid" 2>/dev/null
        failures+=("${label[$svc]} run $run: $(tr -d '\r' <"$out.err" | head -n 1)")
        return 1
    fi
    { tr -d '\r' <"$out.out"; printf '%s\n' "$extra"; } | grep = |
        sed "s/^/${label[$svc]} $run /; s/=/ /" >>"$results"
}

echo "== warming up (one untimed run of each)"
for svc in "${services[@]}"; do
    run_once "$svc" 0 || exit 1
done
: >"$results"

failures=()
echo "== $N runs of each service, alternating, ${IDLE} s idle window each"
started=$(date -u '+%Y-%m-%d %H:%M UTC')
loads+=("$(uptime | sed 's/.*load average: //')")
for run in $(seq 1 "$N"); do
    if [ $((run % 2)) -eq 1 ]; then
        order=(tvd_bench bare_bench)
    else
        order=(bare_bench tvd_bench)
    fi
    # A failed run is left out of the medians and listed on the page; more than a few of them
    # make the numbers worthless.
    for svc in "${order[@]}"; do
        run_once "$svc" "$run"
    done
    if [ ${#failures[@]} -gt $((N / 5)) ]; then
        echo "!! too many failed runs: ${#failures[@]}"
        exit 1
    fi
    if [ $((run % 5)) -eq 0 ]; then
        loads+=("$(uptime | sed 's/.*load average: //')")
        printf '   %d of %d runs, load %s\n' "$run" "$N" "${loads[-1]}"
    fi
done
stop_wine

echo "== micro-benchmarks (native, optimised)"
micro=$work/micro.csv
build/bench-native/bench/micro_bench --benchmark_format=csv --benchmark_min_time=0.5 \
    --benchmark_repetitions=5 --benchmark_report_aggregates_only=true \
    >"$micro" 2>"$work/micro.err" || { cat "$work/micro.err"; exit 1; }
loads+=("$(uptime | sed 's/.*load average: //')")

# --- The tables ---

# median LABEL METRIC: the median over the runs (the mean of the middle two for an even count).
median() {
    awk -v l="$1" -v m="$2" '$1 == l && $3 == m { print $4 }' "$results" | sort -g |
        awk '{ v[NR] = $1 } END {
            if (NR == 0) { print "n/a"; exit }
            if (NR % 2) printf "%.6g\n", v[(NR + 1) / 2]
            else printf "%.6g\n", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

declare -A med
for m in start_ms start_return_ms stop_ms stop_return_ms host_exit_ms idle_cpu_ms run_us \
    wakeups threads peak_ws_kib ws_kib private_kib unix_peak_rss_kib unix_rss_kib \
    unix_private_kib; do
    for l in tolvard bare; do
        med[$l.$m]=$(median "$l" "$m")
    done
done

# The stop of tolvard (its child asked with Ctrl+C, which it takes at once) against the bare
# service's kill: each run's pair of stops, tolvard's less bare's, and the median of those.
stop_more=$(awk '$3 == "stop_ms" { v[$1 " " $2] = $4; runs[$2] = 1 }
    END { for (r in runs) if (("tolvard " r) in v && ("bare " r) in v)
              print v["tolvard " r] - v["bare " r] }' "$results" | sort -g |
    awk '{ v[NR] = $1 } END {
        if (NR == 0) { print "n/a"; exit }
        if (NR % 2) printf "%.3f\n", v[(NR + 1) / 2]
        else printf "%.3f\n", (v[NR / 2] + v[NR / 2 + 1]) / 2 }')

tvd_size=$(stat -c %s "$bin/tolvard.exe")
bare_size=$(stat -c %s "$bin/bare_service.exe")
objdump=$(cmake -LA -N build/$arch 2>/dev/null | sed -n 's/^CMAKE_OBJDUMP:FILEPATH=//p')
imports=$("$objdump" -p "$bin/tolvard.exe" | sed -n 's/^[[:space:]]*DLL Name: //p' |
    tr '[:upper:]' '[:lower:]' | sort | paste -sd' ')
# Stripped: no debug sections and no symbol table entries.
stripped=yes
if "$objdump" -h "$bin/tolvard.exe" | grep -q '\.debug' ||
    "$objdump" -t "$bin/tolvard.exe" 2>/dev/null | grep -q '^\['; then
    stripped=no
fi

# micro CSV NAME: the median CPU time in ns of that benchmark.
micro_ns() {
    awk -F, -v n="\"$1_median\"" '$1 == n { print $4 }' "$micro"
}
log_ns=$(micro_ns BM_log_msg)
plain_ns=$(micro_ns BM_plain_write_flush)
log_ratio=$(ratio "$log_ns" "$plain_ns")

# compare_row LABEL KEY [LIMIT]: both hosts' medians of KEY and their ratio, judged against
# LIMIT (a ratio) when there is one.
compare_row() {
    local t=${med[tolvard.$2]} b=${med[bare.$2]} r
    r=$(ratio "$t" "$b")
    if [ $# -ge 3 ]; then
        row "$1" "$t" "$b" "$r" "<= $3 x" "$(verdict "$r" "$3")"
    else
        row "$1" "$t" "$b" "$r" "" ""
    fi
}
service_table() {
    row "what (median of $N)" tolvard bare "tolvard / bare" goal verdict
    row --- ---: ---: ---: --- ---
    compare_row "start: StartService called to child running, ms" start_ms 1.05
    compare_row "  of which StartService's own return, ms" start_return_ms
    compare_row "stop: ControlService(STOP) to STOPPED and child gone, ms" stop_ms
    row "  tolvard's Ctrl+C less the bare kill, median of the $N pairs, ms" \
        "$stop_more" "" "" "<= 10 ms" \
        "$(awk -v v="$stop_more" 'BEGIN { if (v == "n/a") print "n/a"; else print (v <= 10 ? "met" : "missed") }')"
    compare_row "  of which ControlService's own return, ms" stop_return_ms
    row "  host process gone, ms after the stop" "${med[tolvard.host_exit_ms]}" \
        "${med[bare.host_exit_ms]}" "" "" ""
    row "idle CPU of the host over ${IDLE} s, GetProcessTimes, ms" \
        "${med[tolvard.idle_cpu_ms]}" "${med[bare.idle_cpu_ms]}" "" "< 1 ms" \
        "$(awk -v v="${med[tolvard.idle_cpu_ms]}" 'BEGIN { print (v < 1 ? "met" : "missed") }')"
    row "idle CPU of the host over ${IDLE} s, Linux schedstat, ms" \
        "$(awk -v v="${med[tolvard.run_us]}" 'BEGIN { printf "%.3f", v / 1000 }')" \
        "$(awk -v v="${med[bare.run_us]}" 'BEGIN { printf "%.3f", v / 1000 }')" "" "< 1 ms" \
        "$(awk -v v="${med[tolvard.run_us]}" 'BEGIN { print (v < 1000 ? "met" : "missed") }')"
    row "wakeups of the host over ${IDLE} s (context switches, all threads)" \
        "${med[tolvard.wakeups]}" "${med[bare.wakeups]}" "" "no polling" \
        "$(awk -v v="${med[tolvard.wakeups]}" -v b="${med[bare.wakeups]}" \
            'BEGIN { print (v <= b + 1 ? "met" : "missed") }')"
    row "threads of the host while idle" "${med[tolvard.threads]}" "${med[bare.threads]}" \
        "" "" ""
    compare_row "peak working set, K32GetProcessMemoryInfo, KiB" peak_ws_kib 1.2
    compare_row "private bytes, K32GetProcessMemoryInfo, KiB" private_kib 1.2
    compare_row "private memory, Linux smaps_rollup, KiB" unix_private_kib 1.2
    compare_row "peak resident set, Linux VmHWM, KiB" unix_peak_rss_kib
    row "executable size ($arch, stripped: $stripped), bytes" "$tvd_size" "$bare_size" \
        "$(ratio "$tvd_size" "$bare_size")" "< 131072" \
        "$(awk -v v="$tvd_size" 'BEGIN { print (v < 131072 ? "met" : "missed") }')"
    row "DLLs tolvard.exe imports" "$imports" "" "" "system DLLs only" \
        "$([ "$imports" = "advapi32.dll kernel32.dll msvcrt.dll" ] && echo met || echo missed)"
}

# spread LABEL METRIC: the least and the greatest value over the runs.
spread() {
    awk -v l="$1" -v m="$2" '$1 == l && $3 == m { print $4 }' "$results" | sort -g |
        awk 'NR == 1 { lo = $1 } { hi = $1 } END { if (NR) printf "%.6g .. %.6g", lo, hi }'
}
spread_table() {
    row "spread over the $N runs, ms" "tolvard" "bare" "" "" ""
    row --- ---: ---: "" "" ""
    local m
    for m in start_ms stop_ms; do
        row "$m" "$(spread tolvard "$m")" "$(spread bare "$m")" "" "" ""
    done
}

micro_table() {
    row "benchmark (median of 5)" "1 KiB" "8 KiB" "32 KiB" "ns per byte, 1 KiB / 32 KiB" \
        "linear"
    row --- ---: ---: ---: ---: ---
    local b
    for b in BM_split_command_line BM_quote_field BM_quote_crt_arg BM_join_args; do
        local a c d
        a=$(awk -F, -v n="\"$b/1024_median\"" '$1 == n { print $4 }' "$micro")
        c=$(awk -F, -v n="\"$b/8192_median\"" '$1 == n { print $4 }' "$micro")
        d=$(awk -F, -v n="\"$b/32768_median\"" '$1 == n { print $4 }' "$micro")
        # Linear: the cost per byte at 32 KiB is within half again of that at 1 KiB.
        row "${b#BM_}" "$(printf '%.0f ns' "$a")" "$(printf '%.0f ns' "$c")" \
            "$(printf '%.0f ns' "$d")" \
            "$(awk -v a="$a" -v d="$d" 'BEGIN { printf "%.2f / %.2f", a / 1024, d / 32768 }')" \
            "$(awk -v a="$a" -v d="$d" 'BEGIN {
                r = (d / 32768) / (a / 1024); print (r < 1.5 && r > 0.67 ? "met" : "missed") }')"
    done
    echo
    row "one line to the same file" "ns (median of 5)" "" "" "" ""
    row --- ---: "" "" "" ""
    row "log_msg (stamp, lock, format, flush)" "$(printf '%.0f' "$log_ns")" "" "" "" ""
    row "plain fprintf + fflush" "$(printf '%.0f' "$plain_ns")" "" "" "" ""
    row "ratio (goal <= 1.2 x)" "$log_ratio" "" "" "" "$(verdict "$log_ratio" 1.2)"
}

cpu=$(lscpu | sed -n 's/^Model name:[[:space:]]*//p' | head -n 1)
cores=$(nproc)
wine_version=$(bash tools/wine.sh --version 2>/dev/null)
compiler=$(sed -n 's/^set(CMAKE_CXX_COMPILER \(.*\))$/\1/p' \
    "cmake/mingw-$([ "$arch" = win32 ] && echo i686 || echo x86_64).cmake")

{
    echo "# What the host costs"
    echo
    echo "This page answers what tolvard costs in time, CPU, memory and size against a bare service,"
    echo "as the bench measured it last."
    echo
    echo "Written by \`bash tools/bench.sh\`; run it again to refresh this page. Numbers under Wine"
    echo "are Wine's: they compare tolvard with a bare service on the same platform, they do not"
    echo "predict Windows."
    echo
    echo "- machine: $cpu, $cores cores, $(free -g | awk '/^Mem:/ { print $2 }') GiB; $(uname -sr)"
    echo "- tolvard.exe and the bench's programs: $arch; Wine: $wine_version; toolchain: $("$compiler" --version 2>/dev/null | head -n 1)"
    echo "- run: $started, commit $commit, N = $N runs of each service, idle window $IDLE s"
    echo "- load average (1, 5, 15 min) at the start, every 5 runs and at the end: $(printf '%s; ' "${loads[@]}" | sed 's/; $//')"
    if [ ${#failures[@]} -eq 0 ]; then
        echo "- failed runs: none"
    else
        echo "- failed runs, left out of the medians: $(printf '%s; ' "${failures[@]}" | sed 's/; $//')"
    fi
    echo
    echo "## tolvard against the bare service, under Wine"
    echo
    service_table
    echo
    spread_table
    echo
    lines_section
    echo
    echo "## The command-line rules and the log, native build (Release, over the stand-in platform)"
    echo
    micro_table
    echo
    cat bench/notes.md
} >"$work/benchmarks.md"
mkdir -p "$(dirname "$DOC")"
cp "$work/benchmarks.md" "$DOC"

echo
sed -n '/^## tolvard against/,/^## How/p' "$DOC" | sed '$d'
echo "written to $DOC"
