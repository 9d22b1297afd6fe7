#!/bin/bash
# The MSI package under Wine's msiexec, as an administrator uses it: msiexec /i puts the exe and
# tolvard-messages.dll (the bytes the release zip holds) and the texts into the folder under
# Program Files, that folder on the system PATH, so that a new process finds tolvard by name,
# and makes the event source's key with the DLL as its message file; "tolvard reg" typed that
# way registers a service that starts and stops, and leaves that key as it is; a newer package
# replaces an older one (one copy, one entry in Programs and Features, PATH holding the folder
# once, the DLL of the same version not touched at all, the service still working) and an older
# one is refused over it; msiexec /x removes the files, the PATH entry and the event source's
# key and leaves the registered service and the service's log alone.
. "$(dirname "$0")/lib.sh"
work_dir msi
version=${TOLVARD_VERSION:?}
src=${TOLVARD_SOURCE:?}
for tool in wixl msibuild msiinfo; do
    command -v "$tool" >/dev/null || die "$tool is missing: bash tools/deps.sh"
done

drive_c=$WINEPREFIX/drive_c
case ${TOLVARD_BITS:?} in
32)
    arch=x86
    # A 64-bit Windows keeps 32-bit programs apart, in Program Files (x86).
    if [ -d "$drive_c/Program Files (x86)" ]; then
        folder="Program Files (x86)"
    else
        folder="Program Files"
    fi
    ;;
64) arch=x64 folder="Program Files" ;;
esac
dir=$drive_c/$folder/tolvard
dir_win="C:\\$folder\\tolvard"
env_key='HKLM\System\CurrentControlSet\Control\Session Manager\Environment'
uninstall_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall'
source_key='HKLM\System\CurrentControlSet\Services\EventLog\Application\tolvard'
services_key='HKLM\System\CurrentControlSet\Services'

# The package of this build as this version and as 1.0.0.
for v in "$version" 1.0.0; do
    bash "$src/tools/msi_release.sh" "$MINGW_STRIP" "$TOLVARD" "$v" "$arch" "$src" "$W/$v" \
        >"$W/make-$v.out" 2>&1 || die "msi_release.sh $v failed: $(cat "$W/make-$v.out")"
done
new_msi=$W/$version/tolvard-$version-$arch.msi
old_msi=$W/1.0.0/tolvard-1.0.0-$arch.msi
bash "$src/tools/stage_release.sh" "$MINGW_STRIP" "$TOLVARD" "$src" "$W/stage" ||
    die "stage_release.sh failed"

# msiexec NAME ARGS...: msiexec without any user interface, its log in $W/NAME.log.
msiexec() {
    local name=$1
    shift
    wine_call "$W/$name" msiexec "$@" /qn /l*v "$(winpath "$W/$name.log")"
}

# The system PATH as the registry holds it.
system_path() {
    wine_call "$W/envq" reg query "$env_key" /v PATH
    tr -d '\r' <"$W/envq.out" | sed -n 's/^    PATH    REG_[A-Z_]*    //p'
}

# The value NAME of a key as reg.exe shows it, "TYPE VALUE"; "<no key>" without the key.
key_value() {
    wine_call "$W/keyq" reg query "$1" || {
        echo "<no key>"
        return
    }
    tr -d '\r' <"$W/keyq.out" | sed -n "s/^    $2    \(REG_[A-Z_]*\)    /\1 /p"
}

# The entries of the PATH that a new process gets, one per line, empty ones left out.
new_process_path() {
    run_line path "cmd /c echo %PATH%" "$W/elsewhere"
    tr -d '\r' <"$W/path.out" | tr ';' '\n' | sed '/^$/d'
}

# The entries of Programs and Features named tolvard, in both registry views, one line each:
# DisplayVersion|NoModify|Publisher.
arp_entries() {
    local view
    for view in 64 32; do
        wine_call "$W/arp" reg query "$uninstall_key" /s /reg:$view
        # reg.exe writes "    NAME    TYPE    VALUE" under each "HKEY_..." line.
        tr -d '\r' <"$W/arp.out" | awk -F '    ' '
            /^HKEY_/ { key = $0; sub(/.*\\/, "", key); next }
            { value[key, $2] = $4 }
            $2 == "DisplayName" && $4 == "tolvard" { named[key] = 1 }
            END {
                for (k in named)
                    print k "|" value[k, "DisplayVersion"] "|" value[k, "NoModify"] "|" \
                        value[k, "Publisher"]
            }'
    done | sort -u | cut -d'|' -f2-
}

# The files that an install leaves in the folder, and where else under drive C: a tolvard
# folder holds tolvard.exe.
installed_files() {
    (cd "$dir" 2>/dev/null && LC_ALL=C ls | paste -sd' ')
}
copies() {
    find "$drive_c" -ipath '*/tolvard/tolvard.exe' | wc -l
}

check_installed() {
    local what=$1 f
    check_eq "$what: the files in C:\\$folder\\tolvard" \
        "CHANGELOG.txt LICENSE.txt README.txt tolvard-messages.dll tolvard.exe" \
        "$(installed_files | sed -e 's/ tolvard.log//' -e 's/ logs / /')"
    for f in tolvard.exe tolvard-messages.dll README.txt LICENSE.txt CHANGELOG.txt; do
        check_true "$what: $f as the release holds it" cmp -s "$W/stage/$f" "$dir/$f"
    done
    check_eq "$what: one tolvard.exe under drive C:" 1 "$(copies)"
    check_eq "$what: the folder on the system PATH, once" 1 \
        "$(system_path | tr ';' '\n' | grep -cixF "$dir_win\\")"
    check_eq "$what: a new process has it on its PATH" 1 \
        "$(new_process_path | grep -cixF "$dir_win\\")"
    check_eq "$what: the event source's message file" \
        "REG_EXPAND_SZ $dir_win\\tolvard-messages.dll" "$(key_value "$source_key" EventMessageFile)"
    check_eq "$what: the event source's types" "REG_DWORD 0x7" \
        "$(key_value "$source_key" TypesSupported)"
}

# tolvard typed by name from a folder without it: the usage names the copy that ran.
check_found_by_name() {
    printf 'Usage:\r\nWhen register new service,\r\n%s reg SVCNAME EXENAME ARGV...\r\nWhen remove service,\r\n%s rem SVCNAME\r\n' \
        "$dir_win\\tolvard.exe" "$dir_win\\tolvard.exe" >"$W/usage.expected"
    run_line by_name "tolvard" "$W/elsewhere"
    check_eq "$1: tolvard by name: exit status" 1 "$?"
    check_file_eq "$1: tolvard by name is the installed one" "$W/usage.expected" "$W/by_name.out"
}

# start_stop WHAT: the service starts, runs its child, and stops.
start_stop() {
    rm -f "$W/bin/probe.exe.args"
    svcctl start tvd_msi
    check_svcctl "$1: start" $?
    wait_state tvd_msi RUNNING 10 || fail "$1: no RUNNING: $(svcctl_error)"
    wait_record "$W/bin/probe.exe.args" 10 || fail "$1: the child left no record"
    check_eq "$1: the child's words" "<msi>" "$(sed -n 's/^argv\[1\]=//p' "$W/bin/probe.exe.args")"
    svcctl control tvd_msi 1 >/dev/null
    wait_state tvd_msi STOPPED 10 || fail "$1: not STOPPED: $(svcctl_error)"
}

# Leaves the prefix as it was for the other tests: nothing installed, the PATH as before (Wine
# leaves a ; behind for every entry it takes out).
saved_path=$(system_path)
[ -n "$saved_path" ] || die "no system PATH in the registry: $(cat "$W/envq.err")"
msi_on_exit() {
    msiexec cleanup-new /x "$(winpath "$new_msi")"
    msiexec cleanup-old /x "$(winpath "$old_msi")"
    wine_call "$W/envset" reg add "$env_key" /v PATH /t REG_EXPAND_SZ /d "$saved_path" /f
    e2e_on_exit
}
trap msi_on_exit EXIT
E2E_SERVICES+=(tvd_msi)
sc_delete tvd_msi
msiexec pre-new /x "$(winpath "$new_msi")"
msiexec pre-old /x "$(winpath "$old_msi")"
rm -rf "$dir"
wine_call "$W/regdel" reg delete "$source_key" /f
mkdir -p "$W/elsewhere" "$W/bin"
cp "$E2E_HELPERS/probe.exe" "$W/bin/probe.exe"
probe=$(winpath "$W/bin/probe.exe")
other_entries=$(system_path | tr ';' '\n' | sed '/^$/d' | grep -vixF "$dir_win\\")

# --- install 1.0.0 ---
msiexec install-old /i "$(winpath "$old_msi")"
check_eq "msiexec /i 1.0.0: exit status" 0 "$?" || die "no install: see $W/install-old.log"
check_installed "1.0.0"
check_eq "1.0.0: one entry in Programs and Features, no modify" \
    "1.0.0|0x1|the tolvard developers" "$(arp_entries)"
check_found_by_name "1.0.0"

# --- a service registered by tolvard found on the PATH ---
run_line reg "tolvard reg tvd_msi $probe msi" "$W/elsewhere"
check_eq "reg by name: exit status" 1 "$?"
check_eq "reg by name: silent" "" "$(cat "$W/reg.out")"
svcctl config tvd_msi
check_eq "reg by name: the image path names the installed exe, quoted" \
    "[\"$dir_win\\tolvard.exe\" $probe msi tvd_msi ]" "$(field path)"
check_eq "reg by name: the service's description" \
    "REG_SZ Runs $probe msi (tolvard ${TOLVARD_VERSION:?})" \
    "$(key_value "$services_key\\tvd_msi" Description)"
check_eq "reg by name: the package's event source left as it was" \
    "REG_EXPAND_SZ $dir_win\\tolvard-messages.dll" "$(key_value "$source_key" EventMessageFile)"
start_stop "1.0.0"
check_true "the service's log lies in the installed folder" test -s "$dir/tolvard.log"

# --- upgrade to this version ---
# Both packages hold the DLL of the same version: the upgrade must not touch it (a write, a
# rename or a new file would change its inode or its change time), as Event Viewer may hold it.
dll_before=$(stat -c '%i %Z' "$dir/tolvard-messages.dll")
sleep 1.1
msiexec upgrade /i "$(winpath "$new_msi")"
check_eq "msiexec /i $version over 1.0.0: exit status" 0 "$?"
check_installed "$version over 1.0.0"
check_eq "$version over 1.0.0: tolvard-messages.dll of the same version not touched" \
    "$dll_before" "$(stat -c '%i %Z' "$dir/tolvard-messages.dll")"
check_eq "$version over 1.0.0: one entry in Programs and Features, no modify" \
    "$version|0x1|the tolvard developers" "$(arp_entries)"
check_found_by_name "$version over 1.0.0"
start_stop "$version over 1.0.0, the service registered before"

# --- uninstall ---
msiexec uninstall /x "$(winpath "$new_msi")"
check_eq "msiexec /x: exit status" 0 "$?"
# The service started there more than once, so the last run but one is kept beside the log;
# its own log, with all its runs, in the folder logs.
check_eq "msiexec /x: of the folder only the service's logs stay" \
    "logs tolvard.log tolvard.old.log" "$(installed_files)"
check_eq "msiexec /x: the service's own log stays" "tvd_msi.log" \
    "$(cd "$dir/logs" 2>/dev/null && LC_ALL=C ls | paste -sd' ')"
check_eq "msiexec /x: no entry in Programs and Features" "" "$(arp_entries)"
check_eq "msiexec /x: the folder is off the system PATH" 0 \
    "$(system_path | tr ';' '\n' | grep -cixF "$dir_win\\")"
check_eq "msiexec /x: the rest of the system PATH as before" "$other_entries" \
    "$(system_path | tr ';' '\n' | sed '/^$/d')"
check_eq "msiexec /x: a new process no longer has it on its PATH" 0 \
    "$(new_process_path | grep -cixF "$dir_win\\")"
check_eq "msiexec /x: the event source's key is gone" "<no key>" \
    "$(key_value "$source_key" EventMessageFile)"
# The service is the administrator's to remove (tolvard rem before the uninstall, or sc delete
# after): it stays registered, and can no longer start.
svcctl config tvd_msi
check_svcctl "msiexec /x: the service is still registered" $?
svcctl start tvd_msi
check_eq "msiexec /x: the service cannot start: exit status" 1 "$?"
check_eq "msiexec /x: the service cannot start: file not found" \
    "svcctl: StartService error=2" "$(svcctl_error)"

# --- an older version over a newer one ---
# Over a fresh install of the newer version. Wine's msi, removing the older product after the
# newer one is in (as the package asks), deletes the whole registration of their upgrade code,
# where Windows deletes the older product's alone: under Wine a version that came by an upgrade
# is no longer found by the next package, and would not refuse it.
msiexec reinstall /i "$(winpath "$new_msi")"
check_eq "msiexec /i $version again: exit status" 0 "$?"
msiexec downgrade /i "$(winpath "$old_msi")"
# 1603, the failed install, of which a Unix exit status keeps the low byte.
check_eq "msiexec /i 1.0.0 over $version: refused (1603)" $((1603 % 256)) "$?"
check_eq "1.0.0 over $version: $version stays" "$version|0x1|the tolvard developers" \
    "$(arp_entries)"
check_true "1.0.0 over $version: the exe stays" cmp -s "$W/stage/tolvard.exe" "$dir/tolvard.exe"
msiexec uninstall-again /x "$(winpath "$new_msi")"
check_eq "msiexec /x $version again: exit status" 0 "$?"

finish
