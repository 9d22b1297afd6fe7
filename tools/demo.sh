#!/usr/bin/env bash
# The whole job, as an administrator would do it, on Wine's own service control manager:
# register a demo service that runs a small sample program, start it, pause and continue it,
# stop it, read the service's own log and tolvard.log, and remove the service. Exits non-zero
# if any step fails. tools/test.sh runs it too.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD

bash tools/deps.sh || exit 1

# The 32-bit build where this machine runs 32-bit programs, else the 64-bit one (tools/wine.sh).
preset=$(bash tools/wine.sh --preset) || exit 1
export TOLVARD_WINE32=$([ "$preset" = win32 ] && echo 1 || echo 0)

echo "== Build tolvard.exe and the sample program ($preset)"
cmake --preset $preset > /tmp/tolvard-demo-configure.log 2>&1 || { cat /tmp/tolvard-demo-configure.log; exit 1; }
cmake --build --preset $preset --target tolvard ticker svcctl > /tmp/tolvard-demo-build.log 2>&1 \
    || { cat /tmp/tolvard-demo-build.log; exit 1; }

export WINEPREFIX=$root/build/demo-prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
out=$root/build/demo-out
mkdir -p "$out"
# Wine's daemons outlive the first wine call: end them whatever happens.
trap 'bash "$root/tools/wine.sh" wineserver -k > /dev/null 2>&1' EXIT

fail() {
    echo "!! $*"
    exit 1
}

# Runs a wine command with its output in files (Wine's daemons inherit a pipe and keep it open)
# and shows what it printed.
run() {
    echo "> $*"
    timeout 60 bash "$root/tools/wine.sh" "$@" > "$out/stdout" 2> "$out/stderr"
    status=$?
    tr -d '\r' < "$out/stdout" | sed 's/^/  /'
    return $status
}

# Whether the last command printed a line matching the pattern.
shows() {
    tr -d '\r' < "$out/stdout" | grep -Eq "$1"
}

ticks() {
    wc -l < "$WINEPREFIX/drive_c/tolvard-demo/ticker.log" 2> /dev/null || echo 0
}

echo "== Make a private Wine prefix"
if [ ! -f "$WINEPREFIX/.tolvard-demo-ready" ]; then
    rm -rf "$WINEPREFIX"
    timeout 300 bash tools/wine.sh wineboot -i < /dev/null > "$out/wineboot.log" 2>&1 || fail "wineboot"
    # A new prefix's registry reaches the disk only when its first session ends; services
    # started before that find an incomplete service database.
    timeout 60 bash tools/wine.sh wineserver -w
    touch "$WINEPREFIX/.tolvard-demo-ready"
fi
# Wine's service control manager lives between the calls, as on Windows (tools/wine.sh --keep).
timeout 30 bash tools/wine.sh --keep || fail "wineserver"
dir=$WINEPREFIX/drive_c/tolvard-demo
rm -rf "$dir"
mkdir -p "$dir"
cp build/$preset/tolvard.exe build/$preset/tolvard-messages.dll build/$preset/tests/ticker.exe "$dir/"
cp build/$preset/tests/svcctl.exe "$WINEPREFIX/drive_c/windows/"
run sc delete TolvardDemo > /dev/null 2>&1

echo
echo "== 1. Register the service: tolvard reg TolvardDemo C:\\tolvard-demo\\ticker.exe"
run 'C:\tolvard-demo\tolvard.exe' reg TolvardDemo 'C:\tolvard-demo\ticker.exe'
[ $status -eq 1 ] && [ ! -s "$out/stdout" ] || fail "reg: status $status, expected a silent 1"
echo "  (silent, exit status $status)"

echo
echo "== 2. Its image path"
run reg query 'HKLM\System\CurrentControlSet\Services\TolvardDemo' /v ImagePath || fail "no service entry"

echo
echo "== 3. Start it with the service control manager"
run sc start TolvardDemo || fail "sc start"
run svcctl wait TolvardDemo RUNNING 20 > /dev/null || fail "not RUNNING"
run sc query TolvardDemo
shows 'STATE +: 4 +RUNNING' || fail "not RUNNING"
sleep 3
before=$(ticks)
[ "$before" -gt 0 ] || fail "the sample is not working"
echo "  the sample works: ticker.log has $before lines:"
tail -n 2 "$dir/ticker.log" | tr -d '\r' | sed 's/^/    /'

echo
echo "== 4. Pause (only the reported state changes; the sample runs on)"
run svcctl control TolvardDemo 2 || fail "pause"
shows '^state=7$' || fail "not PAUSED"
sleep 2
[ "$(ticks)" -gt "$before" ] || fail "the sample stopped working while paused"
echo "  ticker.log: $(ticks) lines"

echo
echo "== 5. Continue"
run svcctl control TolvardDemo 3 || fail "continue"
shows '^state=4$' || fail "not RUNNING"

echo
echo "== 6. Stop (the sample is ended)"
run sc stop TolvardDemo || fail "sc stop"
run svcctl wait TolvardDemo STOPPED 20 > /dev/null || fail "not STOPPED"
run sc query TolvardDemo
shows 'STATE +: 1 +STOPPED' || fail "not STOPPED"
sleep 1
stopped=$(ticks)
sleep 2
[ "$(ticks)" -eq "$stopped" ] || fail "the sample still works after the stop"
if pgrep -f 'ticker\.exe' > /dev/null; then fail "ticker.exe is still running"; fi
echo "  the sample is gone: ticker.log stays at $stopped lines, no ticker.exe process"

echo
echo "== 7. The service's own log, logs\\TolvardDemo.log beside tolvard.exe"
own=$dir/logs/TolvardDemo.log
tr -d '\r' < "$own" | sed 's/^/  /'
grep -q 'Leaving MyService' "$own" || fail "the service's log has no stop"
grep -q ':> ticker: line 1.$' "$own" || fail "the service's log has no line of the sample's output"
echo "  (the \"> \" lines are what the sample printed)"

echo
echo "== 8. tolvard.log, beside tolvard.exe: the host's lines of every service of this copy"
tr -d '\r' < "$dir/tolvard.log" | sed 's/^/  /'
grep -q 'Leaving MyService' "$dir/tolvard.log" || fail "tolvard.log has no stop"
if grep -q ':> ' "$dir/tolvard.log"; then fail "tolvard.log holds a line of the sample's output"; fi

echo
echo "== 9. Remove the service: tolvard rem TolvardDemo"
run 'C:\tolvard-demo\tolvard.exe' rem TolvardDemo
[ $status -eq 1 ] && [ ! -s "$out/stdout" ] || fail "rem: status $status, expected a silent 1"
echo "  (silent, exit status $status)"
if run sc query TolvardDemo > /dev/null; then fail "the service is still there"; fi
echo "  sc query TolvardDemo: the service no longer exists"

echo
echo "Demo complete: every step passed."
