#!/bin/bash
# What Windows reads from tolvard.exe's resources (version.dll and the resource loader under
# Wine, through verinfo.exe): the version numbers and texts, in US English with Unicode
# strings, carry the project's version TOLVARD_VERSION, and manifest resource 1 is a manifest
# that runs tolvard as the invoker.
. "$(dirname "$0")/lib.sh"
work_dir verinfo
version=${TOLVARD_VERSION:?}

wine_call "$W/info" "$E2E_HELPERS/verinfo.exe" "$(winpath "$TOLVARD")"
check_eq "verinfo exit status" 0 "$?" || cat "$W/info.err"
tr -d '\r' <"$W/info.out" >"$W/info.txt"

# field | expected
fields=(
    "signature|feef04bd"
    "file_version|$version.0"
    "product_version|$version.0"
    "file_flags|0"
    "file_os|40004"
    "file_type|1"
    "translation|0409 04b0"
    "CompanyName|the tolvard developers"
    "FileDescription|tolvard: runs a program as a Windows service"
    "FileVersion|$version.0"
    "InternalName|tolvard"
    "LegalCopyright|Copyright (c) 2026 the tolvard developers. MIT License."
    "OriginalFilename|tolvard.exe"
    "ProductName|tolvard"
    "ProductVersion|$version"
)
for row in "${fields[@]}"; do
    IFS='|' read -r name expected <<<"$row"
    check_eq "$name" "$expected" "$(sed -n "s/^$name=//p" "$W/info.txt")"
done

wine_call "$W/manifest" "$E2E_HELPERS/verinfo.exe" "$(winpath "$TOLVARD")" manifest
check_eq "manifest resource found" 0 "$?" || cat "$W/manifest.err"
check_true "manifest resource asks for asInvoker" \
    grep -q 'requestedExecutionLevel level="asInvoker"' "$W/manifest.out"

finish
