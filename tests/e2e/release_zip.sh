#!/bin/bash
# The release zip as tools/zip_release.sh makes it from the built tolvard.exe: its name and
# entries, SHA256SUMS verifies, the texts have CR LF ends and otherwise the repository's
# content (README.txt: the front page and the administrator's pages, as plain text), the exe is stripped, of the build's machine type, with its resources and only system
# imports, tolvard-messages.dll is the build's (checked as message_file.sh checks it), the same
# inputs give the same bytes in any time zone, and the exe taken from the zip runs under Wine
# and prints the usage (where Wine runs this build; the rest needs no Wine).
E2E_WITHOUT_WINE=1
. "$(dirname "$0")/lib.sh"
work_dir release_zip
version=${TOLVARD_VERSION:?}
src=${TOLVARD_SOURCE:?}
bits=${TOLVARD_BITS:?}
arch=win$bits
zip_name=tolvard-$version-$arch.zip
make_zip() {
    bash "$src/tools/zip_release.sh" "$MINGW_STRIP" "$TOLVARD" "$version" "$arch" "$src" "$1" \
        >"$1.out" 2>&1 || die "zip_release.sh failed: $(cat "$1.out")"
}
# Odd on purpose: a zip keeps times in 2 s steps, and the script takes the step below.
epoch=1796725801
stamp=$(date -u -d "@$((epoch - 1))" +%Y%m%d.%H%M%S)

SOURCE_DATE_EPOCH=$epoch TZ=UTC make_zip "$W/a"
SOURCE_DATE_EPOCH=$epoch TZ=Asia/Tokyo make_zip "$W/b"
zip=$W/a/$zip_name
[ -f "$zip" ] || die "no $zip_name: $(ls "$W/a")"
check_true "same inputs, other time zone: the same zip" cmp -s "$zip" "$W/b/$zip_name"

check_eq "entries, sorted" \
    "CHANGELOG.txt LICENSE.txt README.txt SHA256SUMS tolvard-messages.dll tolvard.exe" \
    "$(unzip -Z1 "$zip" | paste -sd' ')"
check_eq "every entry's time is the given one" "$stamp" "$(unzip -Z -T "$zip" |
    awk '$1 ~ /^-/ { print $7 }' | sort -u | paste -sd' ')"
check_eq "no extra fields (owner, Unix times)" "0 bytes" \
    "$(unzip -Zv "$zip" | sed -n 's/^ *length of extra field: *//p' | sort -u | paste -sd' ')"
check_eq "every entry's mode" "-rw-r--r--" \
    "$(unzip -Z "$zip" | awk '$1 ~ /^-/ { print $1 }' | sort -u | paste -sd' ')"

x=$W/x
unzip -q "$zip" -d "$x" || die "unzip failed"
check_true "SHA256SUMS verifies" bash -c "cd '$x' && sha256sum --strict -c --quiet SHA256SUMS"
check_eq "SHA256SUMS covers every other entry" \
    "CHANGELOG.txt LICENSE.txt README.txt tolvard-messages.dll tolvard.exe" \
    "$(awk '{ print $2 }' "$x/SHA256SUMS" | paste -sd' ')"

bash "$src/tools/readme_txt.sh" "$src" >"$W/README.txt" || die "readme_txt.sh failed"
# entry | what it holds, with LF ends
texts=("README.txt|$W/README.txt" "LICENSE.txt|$src/LICENSE" "CHANGELOG.txt|$src/CHANGELOG.md")
for row in "${texts[@]}"; do
    IFS='|' read -r entry original <<<"$row"
    check_eq "$entry: every line ends in CR LF" 0 \
        "$(LC_ALL=C grep -c -v $'\r$' "$x/$entry")"
    check_true "$entry: $original with CR LF ends" cmp -s "$original" <(tr -d '\r' <"$x/$entry")
done
# The front page, then the pages an administrator needs, and none on building or the bench.
pages=(README.md docs/install.md docs/commands.md docs/log.md docs/stop.md docs/events.md
    docs/troubleshooting.md docs/security.md)
check_eq "README.txt: the pages' titles, in order" \
    "$(for p in "${pages[@]}"; do head -n 1 "$src/$p"; done | paste -sd'|')" \
    "$(tr -d '\r' <"$x/README.txt" | grep '^# ' | paste -sd'|')"
check_eq "README.txt: no Markdown link left" "" \
    "$(tr -d '\r' <"$x/README.txt" | grep -n '\]([^)]*)' | head -n 3)"

exe=$x/tolvard.exe
case $bits in
32) format=pei-i386 machine=i386 ;;
64) format=pei-x86-64 machine=i386:x86-64 ;;
esac
check_eq "exe: file format" "$format" "$("$MINGW_OBJDUMP" -f "$exe" | sed -n 's/.*file format //p')"
check_eq "exe: machine" "$machine" \
    "$("$MINGW_OBJDUMP" -f "$exe" | sed -n 's/^architecture: \([^,]*\),.*/\1/p')"
check_eq "exe: no symbol table" "no symbols" \
    "$("$MINGW_OBJDUMP" -t "$exe" | sed -n 's/^SYMBOL TABLE://;/no symbols/p')"
check_eq "exe: no debug sections" "" "$("$MINGW_OBJDUMP" -h "$exe" | grep -o '\.debug[^ ]*')"
check_eq "exe: no time stamp in the PE header" "Thu Jan  1 00:00:00 1970" \
    "$("$MINGW_OBJDUMP" -p "$exe" | sed -n 's/^Time\/Date[[:space:]]*//p')"
check_eq "exe: the version resource kept" "\"$version\"" \
    "$("$MINGW_WINDRES" -i "$exe" -O rc | sed -n 's/^ *VALUE "ProductVersion", //p')"
check_true "exe: imports only system DLLs" \
    bash "$(dirname "$0")/imports.sh" "$MINGW_OBJDUMP" "$exe" "$bits" >"$W/imports.out"
check_true "tolvard-messages.dll: the message table and its version, nothing to run" \
    bash "$(dirname "$0")/message_file.sh" "$MINGW_OBJDUMP" "$MINGW_WINDRES" \
    "$x/tolvard-messages.dll" "$exe" "${TOLVARD_MESSAGES_VERSION:?}" "$bits" >"$W/message_file.out"

# Without SOURCE_DATE_EPOCH the entries carry the time of the last commit.
if commit=$(git -C "$src" log -1 --format=%ct 2>/dev/null); then
    (unset SOURCE_DATE_EPOCH && TZ=UTC make_zip "$W/c")
    check_eq "default time: the last commit's, to the 2 s below" \
        "$(date -u -d "@$((commit - commit % 2))" +%Y%m%d.%H%M%S)" \
        "$(unzip -Z -T "$W/c/$zip_name" | awk '$1 ~ /^-/ { print $7 }' | sort -u | paste -sd' ')"
fi

# The unpacked exe runs: with no words it prints the usage, naming itself, and exits 1.
if ! wine_runs_build; then
    echo "not run: the unpacked exe under Wine (32-bit programs do not run here)"
    finish
fi
printf 'Usage:\r\nWhen register new service,\r\n%s reg SVCNAME EXENAME ARGV...\r\nWhen remove service,\r\n%s rem SVCNAME\r\n' \
    "$(winpath "$exe")" "$(winpath "$exe")" >"$W/usage.expected"
run_line unpacked "$(winpath "$exe")" "$x"
check_eq "unpacked exe: exit status" 1 "$?"
check_file_eq "unpacked exe: usage" "$W/usage.expected" "$W/unpacked.out"

finish
