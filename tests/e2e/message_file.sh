#!/bin/bash
# message_file.sh OBJDUMP WINDRES DLL EXE MESSAGES_VERSION BITS: DLL, tolvard-messages.dll, is a
# DLL of the build's width that carries the Event Log's message table and nothing to run: no
# entry point, no import, no exported name, its one code section only the linker's two empty
# constructor lists; exactly two resources, in US English: the message table 1, byte for byte
# the one in EXE (tolvard.exe), and the version resource 1 of a DLL, whose numbers and texts
# carry MESSAGES_VERSION (the table's own version, TOLVARD_MESSAGES_VERSION in CMakeLists.txt).
# No Wine: objdump and windres read the PE files.
E2E_WITHOUT_WINE=1
. "$(dirname "$0")/lib.sh"
objdump=$1
windres=$2
dll=$3
exe=$4
version=$5
W=$(mktemp -d)
trap 'rm -rf "$W"; e2e_on_exit' EXIT
case $6 in
32) format=pei-i386 ;;
64) format=pei-x86-64 ;;
*) die "bits must be 32 or 64, not $6" ;;
esac

headers=$("$objdump" -p "$dll") || die "$objdump -p $dll failed"
check_eq "file format" "$format" "$(sed -n 's/.*file format //p' <<<"$headers")"
check_eq "a DLL" "DLL" "$(sed -n '/^Characteristics/,/^$/p' <<<"$headers" | grep -o -x $'\tDLL' | tr -d '\t')"
check_eq "no entry point" "0" \
    "$(awk '$1 == "AddressOfEntryPoint" { print $2 + 0 }' <<<"$headers")"
check_eq "no imported DLL" "" "$(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$headers")"
check_eq "no exported name" "" \
    "$(sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/p' <<<"$headers" | sed '1d;/^$/d')"
check_eq "sections" ".text .edata .idata .rsrc" \
    "$("$objdump" -h "$dll" | awk '$1 ~ /^[0-9]+$/ { print $2 }' | paste -sd' ')"
# ld's default script puts the constructor and destructor lists, each an all-ones word and a
# zero one, in .text; no instruction of a program is there.
check_eq "the code section: the two empty constructor lists only" "00000000 ffffffff" \
    "$("$objdump" -s -j .text "$dll" | awk 'NR > 4 { print $2; print $3; print $4; print $5 }' |
        sed '/^$/d' | sort -u | paste -sd' ')"

"$windres" -i "$dll" -O rc >"$W/dll.rc" || die "$windres could not read the resources of $dll"
"$windres" -i "$exe" -O rc >"$W/exe.rc" || die "$windres could not read the resources of $exe"
check_eq "resources (type:name)" "messagetable:1 version:1" \
    "$(awk '/^\/\* Type: / { t = $3 } /^   Name: / { sub(/\.$/, "", $2); printf "%s%s:%s", sep, t, $2; sep = " " }' "$W/dll.rc")"
check_eq "languages: US English only" "LANGUAGE 9, 1" "$(grep "^LANGUAGE" "$W/dll.rc" | sort -u)"
table() {
    sed -n '/^1 11 /,/^END/p' "$1"
}
check_true "the message table is there" test "$(table "$W/dll.rc" | wc -l)" -gt 10
check_eq "the message table is tolvard.exe's" "$(table "$W/exe.rc")" "$(table "$W/dll.rc")"

IFS=. read -r major minor patch <<<"$version"
[ -n "$patch" ] || die "version must be MAJOR.MINOR.PATCH, not $version"
# name | expected value, read from the rc text of the version resource
fields=(
    "FILEVERSION|$major, $minor, $patch, 0"
    "PRODUCTVERSION|$major, $minor, $patch, 0"
    "FILEOS|0x40004"
    "FILETYPE|0x2"
    "FileDescription|\"tolvard: the texts of its Event Log entries\""
    "FileVersion|\"$version.0\""
    "ProductVersion|\"$version\""
    "OriginalFilename|\"tolvard-messages.dll\""
    "ProductName|\"tolvard\""
    "Translation|0x409, 1200"
)
for row in "${fields[@]}"; do
    IFS='|' read -r name expected <<<"$row"
    case $name in
    [A-Z]*[A-Z]) actual=$(sed -n "s/^ $name //p" "$W/dll.rc") ;;
    *) actual=$(sed -n "s/^ *VALUE \"$name\", //p" "$W/dll.rc") ;;
    esac
    check_eq "version resource: $name" "$expected" "$actual"
done

finish
