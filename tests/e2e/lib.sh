# shellcheck shell=bash
# Shared helpers for the end-to-end tests of tolvard.exe under Wine.
#
# The tests drive the real tolvard.exe as an administrator would: a verbatim command line
# through runcmd.exe, services made with Wine's sc.exe and controlled with svcctl.exe, and the
# log read back from tolvard.log beside tolvard.exe. They are registered with ctest by
# tests/CMakeLists.txt in the Windows cross builds, label e2e:
#
#   cmake --preset win32 && cmake --build --preset win32
#   ctest --test-dir build/win32 -L e2e --output-on-failure
#
# (win64 likewise.) ctest first runs e2e_setup, which makes the private Wine prefix
# build/<preset>/wineprefix (once; it is reused while it stays complete) and, if the system
# has no ja_JP.UTF-8 locale, compiles one into build/<preset>/locale; e2e_cleanup stops that
# prefix's wineserver at the end. One test alone: ctest --test-dir build/win32 -R e2e_usage
# (the fixture tests come along). The tests share the prefix and tolvard.log, so they run
# one at a time.
#
# The tests: usage.sh (the usage text and the keyword cases), console_host.sh (a dotted first
# word typed at a console), dbcs.sh (splitting under code page 932), service.sh (a service's
# life: start, controls, stop, second start), logs.sh (each service's own log beside the
# shared tolvard.log, and the name rule), child_words.sh (words that need quoting reach
# the child intact), child_end.sh (a child that ends or cannot start stops the service),
# tree.sh (a stop ends what the child started, but not what broke away from its job),
# graceful.sh (a stop asks the child to end and kills it only after the grace time),
# verinfo.sh (the version resource and manifest as Windows reads them), release_zip.sh (the
# release zip, and its exe run), msi_tables.sh (the MSI package's tables; no Wine), msi.sh (the
# MSI package installed, upgraded and removed by msiexec), bench_programs.sh (the bench's
# Windows programs still run a cycle), security.sh (a held mutex of an older tolvard's log, a
# planted hard link, a reader denying writers and a flood of controls do no harm; reg from
# Wine's folders; "%" quoted), real_programs.sh (esbuild, Node.js with http-server and Wine's
# notepad as services, from the npm registry and Wine; skipped only when the registry cannot be
# reached and they are not in the cache), events.sh (the Event Log's entries as Wine traces them,
# the event source and the description that reg sets, the entries rendered with the message
# file), imports.sh (tolvard.exe's PE headers and imports; no Wine), resources.sh (the resources
# read back by windres; no Wine) and message_file.sh (tolvard-messages.dll; no Wine). localedef needs the Debian package
# locales for its sources, xmllint the package libxml2-utils, the MSI tests the packages wixl and
# msitools.
#
# The reliability tests: roundtrip.sh (generated word lists registered with "reg" reach the
# child unchanged), stress.sh (start/stop cycles, stops racing the start, a long run of
# controls, two services sharing one log), hostile.sh (extreme and hostile input) and output.sh
# (the child's output and errors in the service's log, escaped control characters,
# tolvard.old.log, the child's input). Each
# writes its tallies to RELIABILITY_COUNTS_DIR (see counts_begin).
#
# Environment, set by tests/CMakeLists.txt: WINEPREFIX, TOLVARD (tolvard.exe), E2E_HELPERS
# (directory of runcmd.exe, svcctl.exe, probe.exe, ticker.exe, launcher.exe, verinfo.exe,
# holder.exe, saver.exe, printer.exe, evrender.exe),
# BENCH_PROGRAMS (directory of the bench's bare_service.exe, bench_child.exe,
# benchctl.exe), E2E_WORK (scratch root), E2E_LOCALES (private locale directory), E2E_BITS (32
# or 64), E2E_COUNTS_DEFAULT (where the tallies go unless RELIABILITY_COUNTS_DIR is set),
# TOLVARD_VERSION, TOLVARD_SOURCE, TOLVARD_BITS and the mingw tools MINGW_STRIP, MINGW_OBJDUMP,
# MINGW_WINDRES. With these set, after e2e_setup, a script also runs by hand:
# bash tests/e2e/service.sh. E2E_WINE_TIMEOUT (seconds, default 30) bounds every single wine
# call.

set -u

export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
E2E_WINE_TIMEOUT=${E2E_WINE_TIMEOUT:-30}
# Every Wine call goes through the project's one entry point for Wine.
E2E_WINE=${TOLVARD_SOURCE:-$(dirname "${BASH_SOURCE[0]}")/../..}/tools/wine.sh

# Whether this machine runs 32-bit programs: decided once for a whole run where the test command
# exports TOLVARD_WINE32, else once by each test that asks.
wine32_here() {
    if [ "${TOLVARD_WINE32:-}" != 0 ] && [ "${TOLVARD_WINE32:-}" != 1 ]; then
        TOLVARD_WINE32=$(bash "$E2E_WINE" --wine32) || {
            echo "FATAL: cannot tell whether Wine runs 32-bit programs here"
            exit 1
        }
        export TOLVARD_WINE32
    fi
    [ "$TOLVARD_WINE32" = 1 ]
}

# Whether this build's programs run under Wine here.
wine_runs_build() {
    [ "${E2E_BITS:-32}" != 32 ] || wine32_here
}

# Where they do not, the win32 build's tests that need Wine are skipped (ctest reports exit
# status 77 as skipped); a test that needs no Wine sets E2E_WITHOUT_WINE=1 before it sources
# this file.
if [ -z "${E2E_WITHOUT_WINE:-}" ] && ! wine_runs_build; then
    echo "skipped: win32 under Wine: 32-bit programs do not run here (TOLVARD_WINE32=0)"
    exit 77
fi
# The 64-bit build runs a smaller set of the reliability tests beside the full set of the 32-bit
# build; where that cannot run, the 64-bit build is the only proof and runs the full set.
if [ -z "${E2E_WITHOUT_WINE:-}" ] && [ -z "${E2E_SMOKE+set}" ] && [ "${E2E_BITS:-32}" = 64 ] &&
    wine32_here; then
    E2E_SMOKE=1
fi
# Extra environment for every wine call, e.g. a locale (see use_japanese_locale).
E2E_WINE_ENV=()

e2e_failures=0
e2e_checks=0
E2E_SERVICES=()

# Leaves nothing behind for the next test: no service of this one, and the default locale.
e2e_on_exit() {
    local svc
    for svc in "${E2E_SERVICES[@]}"; do
        if svcctl query "$svc" && [ "$(field state)" != 1 ]; then
            svcctl control "$svc" 1
            svcctl wait "$svc" STOPPED 10
        fi
        sc_delete "$svc"
    done
    if [ ${#E2E_WINE_ENV[@]} -ne 0 ]; then
        stop_wine
    fi
}
trap e2e_on_exit EXIT

fail() {
    printf 'FAIL: %s\n' "$*"
    e2e_failures=$((e2e_failures + 1))
}

# A failed precondition: the remaining checks would only repeat it.
die() {
    printf 'FATAL: %s\n' "$*"
    e2e_failures=$((e2e_failures + 1))
    finish
}

finish() {
    if [ "$e2e_failures" -ne 0 ]; then
        printf '%d of %d checks failed\n' "$e2e_failures" "$e2e_checks"
        exit 1
    fi
    printf 'all %d checks passed\n' "$e2e_checks"
    exit 0
}

# Shows bytes readably: ^M for CR, M-x for high bytes, $ at each line end.
show() {
    printf '%s' "$1" | cat -A | sed 's/^/    /'
    printf '\n'
}

# check_eq WHAT EXPECTED ACTUAL
check_eq() {
    e2e_checks=$((e2e_checks + 1))
    if [ "$2" != "$3" ]; then
        fail "$1"
        printf '  expected:\n'
        show "$2"
        printf '  actual:\n'
        show "$3"
        return 1
    fi
}

# check_file_eq WHAT EXPECTED_FILE ACTUAL_FILE: byte for byte. ACTUAL_FILE may be a pipe.
check_file_eq() {
    e2e_checks=$((e2e_checks + 1))
    cat "$3" >"$W/.actual"
    if ! cmp -s "$2" "$W/.actual"; then
        fail "$1 (- expected, + actual)"
        diff <(cat -A "$2") <(cat -A "$W/.actual") | sed -n '/^[<>]/{s/^</  -/;s/^>/  +/;p}'
        return 1
    fi
}

# check_true WHAT COMMAND...
check_true() {
    local what=$1
    shift
    e2e_checks=$((e2e_checks + 1))
    if ! "$@"; then
        fail "$what"
        return 1
    fi
}

# Fresh scratch directory for one test, in $W.
work_dir() {
    W=$E2E_WORK/$1
    rm -rf "$W"
    mkdir -p "$W" || die "cannot make $W"
    if [[ "$W$TOLVARD" == *" "* ]]; then
        die "the build tree path must hold no blank: the image paths here are written plain"
    fi
}

# Windows form of a Unix path: Wine's drive Z: is the Unix root (checked by e2e_setup).
winpath() {
    local p
    p=$(realpath -m "$1")
    printf 'Z:%s' "${p//\//\\}"
}

# Runs a Windows program under Wine with output to OUT.out and OUT.err, no standard input and
# a time limit, so that a call that hangs fails its test instead of blocking the run. Wine's
# daemons keep the standard handles of the call that started them: a pipe read to its end
# would never end, so output goes to files only. Returns the program's exit status.
wine_call() {
    local out=$1
    shift
    env "${E2E_WINE_ENV[@]}" timeout -k 5 "$E2E_WINE_TIMEOUT" bash "$E2E_WINE" "$@" \
        </dev/null >"$out.out" 2>"$out.err"
    local rc=$?
    if [ "$rc" -eq 124 ] || [ "$rc" -eq 137 ]; then
        fail "timed out after ${E2E_WINE_TIMEOUT}s: wine $*"
    fi
    return "$rc"
}

# Stops the prefix's wineserver and with it every Windows process of the prefix.
stop_wine() {
    timeout 30 bash "$E2E_WINE" wineserver -k >/dev/null 2>&1
    timeout 30 bash "$E2E_WINE" wineserver -w >/dev/null 2>&1
    return 0
}

# Keeps the prefix's wineserver, and with it Wine's service control manager, running between
# the wine calls until stop_wine, as Windows keeps its own (see tools/wine.sh --keep).
keep_wine() {
    timeout 30 bash "$E2E_WINE" --keep || die "cannot start the prefix's wineserver"
}

# A new session: the processes of the old one end, and the next wine call starts Wine's
# daemons with its environment.
restart_wine() {
    stop_wine
    keep_wine
}

# Wine gives each process the ANSI code page of its Unix locale, and a service that of
# services.exe, which takes the locale of whichever wine call started the prefix's session.
# So the session is restarted under the new locale.
use_japanese_locale() {
    E2E_WINE_ENV=(LC_ALL=ja_JP.UTF-8)
    if [ -d "$E2E_LOCALES/ja_JP.UTF-8" ]; then
        E2E_WINE_ENV+=(LOCPATH="$E2E_LOCALES")
    fi
    restart_wine
}

to_cp932() {
    printf '%s' "$1" | iconv -f UTF-8 -t CP932
}

# run_line NAME LINE [WORKDIR]: runs the command line LINE byte for byte through runcmd.exe,
# optionally from WORKDIR. Output in $W/NAME.out and $W/NAME.err; returns the exit status.
run_line() {
    printf '%s' "$2" >"$W/$1.cmd"
    if [ $# -ge 3 ]; then
        wine_call "$W/$1" "$E2E_HELPERS/runcmd.exe" "$(winpath "$W/$1.cmd")" "$(winpath "$3")"
    else
        wine_call "$W/$1" "$E2E_HELPERS/runcmd.exe" "$(winpath "$W/$1.cmd")"
    fi
}

# svcctl ARGS...: runs svcctl.exe; its output, CR LF made LF, in $W/svcctl.txt.
svcctl() {
    wine_call "$W/svcctl" "$E2E_HELPERS/svcctl.exe" "$@"
    local rc=$?
    tr -d '\r' <"$W/svcctl.out" >"$W/svcctl.txt"
    return "$rc"
}

# The value of KEY in the last svcctl output.
field() {
    sed -n "s/^$1=//p" "$W/svcctl.txt"
}

svcctl_error() {
    tr -d '\r' <"$W/svcctl.err"
}

# check_svcctl WHAT STATUS: the last svcctl call succeeded; if not, shows what it said.
check_svcctl() {
    check_eq "$1" 0 "$2" || printf '  %s\n' "$(svcctl_error)"
}

# sc_create NAME IMAGE_PATH: (re)creates a demand-start service with that image path, as an
# administrator would with sc.exe, and reads its configuration back (field path). The service
# is stopped and deleted when the test ends, however it ends. A host that has reported STOPPED
# may take up to 2 s more to end (its last Event Log entry): a service deleted meanwhile goes
# only once its process has ended, and until then its name cannot be used again, so the create
# is tried again for up to 5 s.
sc_create() {
    E2E_SERVICES+=("$1")
    wine_call "$W/sc" sc delete "$1"
    # A service's log goes on across its runs: a service made anew begins a log anew.
    rm -f "$(service_log "$1")" 2>/dev/null
    local tries=10
    until wine_call "$W/sc" sc create "$1" binPath= "$2"; do
        tries=$((tries - 1))
        [ "$tries" -gt 0 ] || die "sc create $1 failed: $(cat "$W/sc.out")"
        sleep 0.5
    done
    svcctl config "$1" || die "svcctl config $1: $(svcctl_error)"
}

sc_delete() {
    wine_call "$W/sc" sc delete "$1"
}

# wait_state NAME STATE SECONDS
wait_state() {
    svcctl wait "$1" "$2" "$3"
}

tolvard_log() {
    printf '%s/tolvard.log' "$(dirname "$TOLVARD")"
}

# service_log SVCNAME [FILE]: the log that holds the service's own lines and its child's:
# logs/SVCNAME.log beside tolvard.exe, for a name that the name rule keeps as it is (letters,
# digits, "_", "-"); FILE names the file under logs for one that it does not.
service_log() {
    printf '%s/logs/%s' "$(dirname "$TOLVARD")" "${2:-$1.log}"
}

# service_messages SVCNAME: log_messages of the service's log.
service_messages() {
    log_messages "$(service_log "$1")"
}

# wait_service_log SVCNAME MESSAGE SECONDS: wait_log on the service's log.
wait_service_log() {
    wait_log "$2" "$3" "$(service_log "$1")"
}

# wine_command_lines NAME: the command lines of this prefix's processes that run the Windows
# program NAME (a file name, e.g. node.exe), one a line, as seen from Linux: Wine makes a
# process's first Unix argument the program word of its Windows command line (a bare name or a
# path, as the command line had it), and each process carries the prefix in its environment.
wine_command_lines() {
    local file first line name=${1,,}
    for file in $(LC_ALL=C grep -lais -F -- "$1" /proc/[0-9]*/cmdline); do
        first=$({ tr '\0' '\n' <"$file"; } 2>/dev/null | head -n 1)
        first=${first,,}
        first=${first//\"/}
        [[ "$first" == "$name" || "$first" == *"\\$name" || "$first" == *"/$name" ]] || continue
        { tr '\0' '\n' <"${file%/cmdline}/environ"; } 2>/dev/null |
            grep -qxF "WINEPREFIX=$WINEPREFIX" || continue
        line=$({ tr '\0' ' ' <"$file"; } 2>/dev/null)
        [ -n "$line" ] && printf '%s\n' "${line% }"
    done
}

# wine_processes NAME: how many processes of this prefix run the Windows program NAME.
wine_processes() {
    wine_command_lines "$1" | wc -l
}

# The messages of tolvard.log (or of the log file given), one per line without the time stamp.
# A line not of the form "YYYY/MM/DD HH:MM:SS:" message CR LF comes out marked, so that any
# comparison fails on it.
log_messages() {
    local log=${1:-$(tolvard_log)}
    [ -f "$log" ] || return 0
    local d='[0-9]'
    LC_ALL=C awk -v stamp="^$d$d$d$d/[01]$d/[0-3]$d [0-2]$d:[0-5]$d:[0-5]$d:" '{
        if ($0 ~ stamp && $0 ~ /\r$/)
            print substr($0, 21, length($0) - 21)
        else
            print "!! malformed line: " $0
    }' "$log"
    if [ -s "$log" ] && [ "$(tail -c 2 "$log" | od -An -tx1 | tr -d ' \n')" != "0d0a" ]; then
        echo "!! last line does not end in CR LF"
    fi
}

# wait_log MESSAGE SECONDS [LOG]: waits until the log (tolvard.log beside TOLVARD, or the log
# file given) holds that message line.
wait_log() {
    local tries=$(($2 * 10))
    while [ "$tries" -gt 0 ]; do
        if log_messages "${3:-}" | LC_ALL=C grep -Fxq -- "$1"; then
            return 0
        fi
        sleep 0.1
        tries=$((tries - 1))
    done
    return 1
}

# check_log WHAT EXPECTED_LINES...: the whole log, message by message.
check_log() {
    local what=$1
    shift
    local expected=""
    if [ $# -gt 0 ]; then
        expected=$(printf '%s\n' "$@")
    fi
    check_eq "$what" "$expected" "$(log_messages)"
}

# Lines in a file, 0 if it does not exist.
count_lines() {
    if [ -f "$1" ]; then
        wc -l <"$1"
    else
        echo 0
    fi
}

# wait_record FILE SECONDS: waits until FILE exists and its last line is "end", the end of a
# record that probe.exe writes.
wait_record() {
    local tries=$(($2 * 10))
    while [ "$tries" -gt 0 ]; do
        if [ -f "$1" ] && [ "$(tail -n 1 "$1")" = "end" ]; then
            return 0
        fi
        sleep 0.1
        tries=$((tries - 1))
    done
    return 1
}

# wait_file FILE SECONDS: waits until FILE exists.
wait_file() {
    local tries=$(($2 * 10))
    while [ ! -e "$1" ] && [ "$tries" -gt 0 ]; do
        sleep 0.1
        tries=$((tries - 1))
    done
    [ -e "$1" ]
}

# ticking FILE: true if FILE gains lines within a second (probe ticks every 200 ms).
ticking() {
    local before
    before=$(count_lines "$1")
    sleep 1
    [ "$(count_lines "$1")" -gt "$before" ]
}

# still FILE: true if FILE gains no line over 1.5 s; one tick already on its way is allowed
# for before the check starts.
still() {
    sleep 0.3
    local before
    before=$(count_lines "$1")
    sleep 1.5
    [ "$(count_lines "$1")" -eq "$before" ]
}

# counts_begin NAME: the tallies of this test go to RELIABILITY_COUNTS_DIR/win<bits>-NAME.counts,
# one "KEY N" line per count (keys cases, cycles, controls, orphans, lost, saves, saves_lost);
# the file is emptied first, so a rerun replaces the last run's tallies instead of adding to them.
counts_begin() {
    local dir=${RELIABILITY_COUNTS_DIR:-${E2E_COUNTS_DEFAULT:-$E2E_WORK/reliability}}
    mkdir -p "$dir" || die "cannot make $dir"
    E2E_COUNTS_FILE=$dir/win${E2E_BITS:-32}-$1.counts
    : >"$E2E_COUNTS_FILE"
}

# count KEY N: adds N to the tally KEY of this test.
count() {
    printf '%s %d\n' "$1" "$2" >>"$E2E_COUNTS_FILE"
}

# Wine gives a service the code page of the locale services.exe was started under: this pins
# the one that gives code page 1252, whatever the caller's environment.
use_western_locale() {
    E2E_WINE_ENV=(LC_ALL=C.UTF-8)
    restart_wine
}

# run_lines NAME LINES_FILE: runs each line of LINES_FILE as a command line of its own, in one
# wine call; in $W/NAME.out each command's output is followed by a line "rc=N".
run_lines() {
    wine_call "$W/$1" "$E2E_HELPERS/runcmd.exe" -each "$(winpath "$2")"
}

# The server each test's wine calls share. ctest's e2e_cleanup ends it; after a test run by
# hand, tools/wine.sh wineserver -k does. The fixtures (E2E_FIXTURE=1) make and end sessions
# of their own.
if [ -z "${E2E_WITHOUT_WINE:-}" ] && [ -z "${E2E_FIXTURE:-}" ]; then
    keep_wine
fi
