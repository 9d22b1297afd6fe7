#!/bin/bash
# imports.sh OBJDUMP EXE BITS: EXE is a console PE of that width (32: PE32 i386, 64: PE32+
# x86-64) whose only imports are KERNEL32.dll, ADVAPI32.dll and msvcrt.dll, so that it runs with
# nothing but system DLLs beside it. USER32 is not among them: a stop loads it when it has
# windows to close, and a start never needs it.
E2E_WITHOUT_WINE=1
. "$(dirname "$0")/lib.sh"
objdump=$1
exe=$2
case $3 in
32) format=pei-i386 magic=010b ;;
64) format=pei-x86-64 magic=020b ;;
*) die "bits must be 32 or 64, not $3" ;;
esac

headers=$("$objdump" -p "$exe") || die "$objdump -p $exe failed"
check_eq "file format" "$format" "$(sed -n 's/.*file format //p' <<<"$headers")"
check_eq "optional header magic" "$magic" "$(awk '$1 == "Magic" { print $2 }' <<<"$headers")"
check_eq "subsystem" "00000003 (Windows CUI)" \
    "$(sed -n 's/^Subsystem[[:space:]]*//p' <<<"$headers" | tr '\t' ' ')"
dlls=$(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$headers" | tr '[:upper:]' '[:lower:]' | sort)
check_eq "imported DLLs" "advapi32.dll kernel32.dll msvcrt.dll" "$(paste -sd' ' <<<"$dlls")"

finish
