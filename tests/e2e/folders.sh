#!/bin/bash
# The folder rule of reg under Wine: every folder above tolvard.exe is judged up to the root,
# and a bare EXENAME is judged where the service will find it, with the folders of the machine's
# PATH searched before it.
#
# Wine makes up the security of each file and folder from its Unix mode: the owner is the user
# running Wine, and the write bit of other Unix users (o+w) shows as Everyone's right to write
# and delete. So a folder that anyone may write is one that others may change, as on Windows;
# every other folder here passes. The layouts of Windows itself (Program Files, System32, a
# drive's root) are judged in the native tests, with their real security.
. "$(dirname "$0")/lib.sh"
work_dir folders

probe_src=$E2E_HELPERS/probe.exe
bin=$W/bin
mkdir -p "$bin"
cp "$TOLVARD" "$bin/tolvard.exe"
exe=$(winpath "$bin/tolvard.exe")
for name in tvd_open tvd_bare tvd_path; do
    wine_call "$W/sc" sc delete $name
    E2E_SERVICES+=("$name")
done

# The console text of a run_line call, CR LF made LF.
said() {
    tr -d '\r' <"$W/$1.out"
}

# --- a folder above tolvard.exe that everyone may write ---
open=$W/open
mkdir -p "$open/locked"
cp "$TOLVARD" "$open/locked/tolvard.exe"
chmod 777 "$open"
run_line reg_open "$(winpath "$open/locked/tolvard.exe") reg tvd_open $(winpath "$probe_src") run"
rc=$?
check_eq "a folder above tolvard.exe that everyone may write: refused" \
    "1 fail to reg, others may change $(winpath "$open")" "$rc $(said reg_open | head -n 1)"
check_true "refused: because Everyone may" grep -q '^why: an ACE allows S-1-1-0 the rights 0x' \
    "$W/reg_open.out"
svcctl query tvd_open
check_eq "refused: no service made" "1060" "$(svcctl_error | sed -n 's/.*error=\([0-9]*\).*/\1/p')"
chmod 755 "$open"
run_line reg_open2 "$(winpath "$open/locked/tolvard.exe") reg tvd_open $(winpath "$probe_src") run"
check_eq "the same folder once only its owner may write: silent" "1 " "$? $(said reg_open2)"
sc_delete tvd_open

# --- a bare name found in the system folder ---
# A 32-bit program in a 64-bit prefix sees SysWOW64 as its system folder, and so does its
# service when it searches.
system=$WINEPREFIX/drive_c/windows/system32
if [ "$E2E_BITS" = 32 ] && [ -d "$WINEPREFIX/drive_c/windows/syswow64" ]; then
    system=$WINEPREFIX/drive_c/windows/syswow64
fi
cp "$probe_src" "$system/tvd_sysprobe.exe"
rm -f "$system/tvd_sysprobe.exe.args"
run_line reg_bare "$exe reg tvd_bare tvd_sysprobe.exe run"
check_eq "a bare name found in the system folder: silent, exit status 1" "1 " "$? $(said reg_bare)"
svcctl start tvd_bare
check_svcctl "bare: start" $?
wait_record "$system/tvd_sysprobe.exe.args" 15 || fail "bare: the service did not run the program found there"
svcctl control tvd_bare 1
wait_state tvd_bare STOPPED 15
check_svcctl "bare: stopped" $?
sc_delete tvd_bare
rm -f "$system/tvd_sysprobe.exe" "$system/tvd_sysprobe.exe.args" "$system/tvd_sysprobe.exe.ticks"

# --- the machine's PATH: a folder that everyone may write, searched before the one that has it ---
key='HKLM\System\CurrentControlSet\Control\Session Manager\Environment'
wine_call "$W/path_query" reg query "$key" /v Path
machine_path=$(tr -d '\r' <"$W/path_query.out" | sed -n 's/^ *Path *REG_EXPAND_SZ *//p')
[ -n "$machine_path" ] || die "the machine's PATH cannot be read: $(tr -d '\r' <"$W/path_query.out")"
# The prefix's PATH goes back as it was, whatever happens from here on.
restore_path() {
    wine_call "$W/path_restore" reg add "$key" /v Path /t REG_EXPAND_SZ /d "$machine_path" /f
}
trap 'restore_path; e2e_on_exit' EXIT
planted=$W/planted
tight=$W/tight
mkdir -p "$planted" "$tight"
chmod 777 "$planted"
cp "$probe_src" "$tight/tvd_pathprobe.exe"
wine_call "$W/path_set" reg add "$key" /v Path /t REG_EXPAND_SZ \
    /d "$machine_path;$(winpath "$planted");$(winpath "$tight")" /f
check_eq "the PATH is set" 0 $?
run_line reg_path "$exe reg tvd_path tvd_pathprobe.exe run"
rc=$?
check_eq "a PATH folder that everyone may write before the hit: refused" \
    "1 fail to reg, others may change $(winpath "$planted")" "$rc $(said reg_path | head -n 1)"
check_true "PATH: because Everyone may" grep -q '^why: an ACE allows S-1-1-0 the rights 0x' \
    "$W/reg_path.out"
chmod 755 "$planted"
run_line reg_path2 "$exe reg tvd_path tvd_pathprobe.exe run"
check_eq "the same PATH once that folder is tight: silent" "1 " "$? $(said reg_path2)"
sc_delete tvd_path
restore_path
wine_call "$W/path_query2" reg query "$key" /v Path
check_eq "the PATH is as it was" "$machine_path" \
    "$(tr -d '\r' <"$W/path_query2.out" | sed -n 's/^ *Path *REG_EXPAND_SZ *//p')"
finish
