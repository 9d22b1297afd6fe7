#!/bin/bash
# Fixture for the end-to-end tests: a private, initialised Wine prefix with no process left
# from an earlier run, and a ja_JP.UTF-8 locale for the code page 932 test.
E2E_FIXTURE=1
. "$(dirname "$0")/lib.sh"
mkdir -p "$E2E_WORK" || die "cannot make $E2E_WORK"
W=$E2E_WORK

for exe in "$TOLVARD" "$E2E_HELPERS"/{runcmd,svcctl,probe}.exe; do
    [ -f "$exe" ] || die "$exe is missing: build the project first"
done

# A wineserver left by a run that was cut short would keep that run's services and processes.
stop_wine

ready=$WINEPREFIX/.tolvard-e2e-ready
if [ ! -f "$ready" ]; then
    rm -rf "$WINEPREFIX"
    start=$(date +%s)
    timeout 300 bash "$E2E_WINE" wineboot -i </dev/null >"$W/wineboot.out" 2>&1 || {
        cat "$W/wineboot.out"
        die "wineboot -i failed"
    }
    # The registry reaches the disk only when the session ends.
    timeout 60 bash "$E2E_WINE" wineserver -w
    printf 'made the Wine prefix %s in %d s\n' "$WINEPREFIX" $(($(date +%s) - start))
    touch "$ready"
fi
check_eq "drive Z: is the Unix root" / "$(readlink "$WINEPREFIX/dosdevices/z:")"

if locale -a 2>/dev/null | grep -qix 'ja_JP.utf-\?8'; then
    echo "using the system's ja_JP.UTF-8 locale"
elif [ ! -d "$E2E_LOCALES/ja_JP.UTF-8" ]; then
    mkdir -p "$E2E_LOCALES"
    localedef -i ja_JP -f UTF-8 "$E2E_LOCALES/ja_JP.UTF-8" >"$W/localedef.out" 2>&1 || {
        cat "$W/localedef.out"
        rm -rf "$E2E_LOCALES/ja_JP.UTF-8"
        die "localedef could not make ja_JP.UTF-8 (Debian package locales)"
    }
    echo "compiled ja_JP.UTF-8 into $E2E_LOCALES"
fi

finish
