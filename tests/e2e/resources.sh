#!/bin/bash
# resources.sh WINDRES EXE MANIFEST VERSION: EXE holds exactly three resources, all in US
# English: the message table 1 of the Event Log's texts (checked with tolvard-messages.dll by
# message_file.sh), the version resource 1, whose numbers and texts carry VERSION (the project's
# version in CMakeLists.txt), and the manifest 1 of type 24, byte for byte the file MANIFEST,
# which asks for no elevation, names the systems from Vista to 11 and says nothing about DPI or
# UI. No Wine: windres reads the resources back from the PE file.
E2E_WITHOUT_WINE=1
. "$(dirname "$0")/lib.sh"
windres=$1
exe=$2
manifest=$3
version=$4
W=$(mktemp -d)
trap 'rm -rf "$W"; e2e_on_exit' EXIT

"$windres" -i "$exe" -O rc >"$W/res.rc" || die "$windres could not read the resources of $exe"

# windres heads each resource with a comment "Type: T" and "Name: N."; LANGUAGE follows.
check_eq "resources (type:name)" "messagetable:1 version:1 24:1" \
    "$(awk '/^\/\* Type: / { t = $3 } /^   Name: / { sub(/\.$/, "", $2); printf "%s%s:%s", sep, t, $2; sep = " " }' "$W/res.rc")"
check_eq "languages: US English only" "LANGUAGE 9, 1" "$(grep "^LANGUAGE" "$W/res.rc" | sort -u)"

IFS=. read -r major minor patch <<<"$version"
[ -n "$patch" ] || die "version must be MAJOR.MINOR.PATCH, not $version"

# name | expected value, read from the rc text of the version resource
fields=(
    "FILEVERSION|$major, $minor, $patch, 0"
    "PRODUCTVERSION|$major, $minor, $patch, 0"
    "FILEOS|0x40004"
    "FILETYPE|0x1"
    "string table|BLOCK \"040904b0\""
    "Translation|0x409, 1200"
    "CompanyName|\"the tolvard developers\""
    "FileDescription|\"tolvard: runs a program as a Windows service\""
    "FileVersion|\"$version.0\""
    "InternalName|\"tolvard\""
    "LegalCopyright|\"Copyright (c) 2026 the tolvard developers. MIT License.\""
    "OriginalFilename|\"tolvard.exe\""
    "ProductName|\"tolvard\""
    "ProductVersion|\"$version\""
)
for row in "${fields[@]}"; do
    IFS='|' read -r name expected <<<"$row"
    case $name in
    "string table") actual=$(grep -m1 -o 'BLOCK "[0-9a-fA-F]\{8\}"' "$W/res.rc") ;;
    [A-Z]*[A-Z]) actual=$(sed -n "s/^ $name //p" "$W/res.rc") ;;
    *) actual=$(sed -n "s/^ *VALUE \"$name\", //p" "$W/res.rc") ;;
    esac
    check_eq "version resource: $name" "$expected" "$actual"
done
check_eq "version resource: no file flags (debug, prerelease...)" "" \
    "$(sed -n 's/^ FILEFLAGS //p' "$W/res.rc")"

# The manifest as windres writes it: C strings, one per line, with "" for a quote.
sed -n '/^1 24 /,/^END/p' "$W/res.rc" | sed '1,2d;$d' |
    sed 's/^ *"//;s/"$//;s/""/"/g' | while IFS= read -r line; do printf '%b' "$line"; done \
    >"$W/manifest.xml"
check_file_eq "manifest resource is the built manifest" "$manifest" "$W/manifest.xml"

xml() {
    xmllint --xpath "$1" "$W/manifest.xml" 2>/dev/null
}
check_true "manifest is well-formed XML" xmllint --noout "$W/manifest.xml"
# query | expected
queries=(
    "string(/*[local-name()='assembly']/@manifestVersion)|1.0"
    "count(//*[local-name()='requestedExecutionLevel'])|1"
    "string(//*[local-name()='requestedExecutionLevel']/@level)|asInvoker"
    "string(//*[local-name()='requestedExecutionLevel']/@uiAccess)|false"
    "string(namespace-uri(//*[local-name()='trustInfo']))|urn:schemas-microsoft-com:asm.v3"
    "string(namespace-uri(//*[local-name()='supportedOS']))|urn:schemas-microsoft-com:compatibility.v1"
    "count(//*[local-name()='dpiAware' or local-name()='dpiAwareness' or local-name()='windowsSettings'])|0"
    "count(//*[local-name()='dependency'])|0"
)
for row in "${queries[@]}"; do
    IFS='|' read -r query expected <<<"$row"
    check_eq "manifest: $query" "$expected" "$(xml "$query")"
done
# Vista, 7, 8, 8.1, 10 and 11 (one GUID for both), in that order.
check_eq "manifest: supportedOS" \
    "{e2011457-1546-43c5-a5fe-008deee3d3f0} {35138b9a-5d96-4fbd-8e2d-a2440225f93a} {4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38} {1f676c76-80e1-4239-95bb-83d0f6d0da78} {8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}" \
    "$(xmllint --xpath "//*[local-name()='supportedOS']/@Id" "$W/manifest.xml" 2>/dev/null |
        sed 's/ *Id="\([^"]*\)"/\1\n/g' | sed '/^$/d' | paste -sd' ')"

finish
