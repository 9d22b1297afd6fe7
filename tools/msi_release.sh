#!/usr/bin/env bash
# msi_release.sh STRIP EXE VERSION ARCH SOURCE_DIR OUT_DIR: makes OUT_DIR/tolvard-VERSION-ARCH.msi,
# the Windows Installer package of a built tolvard.exe (ARCH x86 for the win32 build, x64 for
# win64) from packaging/tolvard.wxs: the files of tools/stage_release.sh in
# [ProgramFilesFolder]tolvard (x86) or [ProgramFiles64Folder]tolvard (x64), that folder on the
# system PATH, the event source tolvard with tolvard-messages.dll as its message file, installed
# per machine, a newer version replacing an older one. VERSION is the package's version; the exe
# and the DLL keep their own. Called by the build's release target (see tools/release.sh); needs
# wixl and msitools (tools/deps.sh).
#
# The same inputs give the same package: the files and the package carry the time of the last
# commit (or SOURCE_DATE_EPOCH), the product code follows from the version and architecture, and
# the package code from the package's own bytes.
set -euo pipefail
[ $# -eq 6 ] || { echo "usage: $0 STRIP EXE VERSION ARCH SOURCE_DIR OUT_DIR" >&2; exit 2; }
strip=$1 exe=$2 version=$3 arch=$4 src=$5 out=$6
case $arch in
x86 | x64) ;;
*) echo "$0: ARCH must be x86 or x64, not $arch" >&2; exit 2 ;;
esac
[[ "$version" =~ ^[0-9]+\.[0-9]+\.[0-9]+$ ]] || { echo "$0: VERSION must be MAJOR.MINOR.PATCH" >&2; exit 2; }
for tool in wixl msibuild msiinfo; do
    command -v "$tool" >/dev/null || { echo "$0: $tool is missing: bash tools/deps.sh" >&2; exit 1; }
done

msi_name=tolvard-$version-$arch.msi
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
stage=$tmp/stage
msi=$tmp/$msi_name
bash "$(dirname "$0")/stage_release.sh" "$strip" "$exe" "$src" "$stage"

epoch=${SOURCE_DATE_EPOCH:-$(git -C "$src" log -1 --format=%ct 2>/dev/null || true)}
[ -n "$epoch" ] || { echo "$0: no commit time: set SOURCE_DATE_EPOCH" >&2; exit 1; }
# The cabinet inside keeps the files' times in 2 s steps, as a zip does.
epoch=$((epoch - epoch % 2))
chmod 644 "$stage"/*
touch -d "@$epoch" "$stage"/*

# uuid5 NAME: a name-based GUID (RFC 4122 version 5, SHA-1) in tolvard's own namespace, so that
# the same name always gives the same GUID.
namespace=ED28CBAE-75BE-46C2-939D-CEDE783B9FBB
uuid5() {
    local ns=${namespace//-/} hex
    hex=$({
        printf "$(sed 's/../\\x&/g' <<<"$ns")"
        printf '%s' "$1"
    } | sha1sum)
    printf '%s-%s-5%s-%x%s-%s\n' "${hex:0:8}" "${hex:8:4}" "${hex:13:3}" \
        $(((0x${hex:16:1} & 3) | 8)) "${hex:17:3}" "${hex:20:12}" | tr a-f A-F
}

# file_version FILE: a PE file's own version, from the fixed part of its version resource
# (signature 0xFEEF04BD, then the structure version, then the version's high and low double
# words).
file_version() {
    local at minor major fourth third
    at=$(LC_ALL=C grep -obUaP '\xBD\x04\xEF\xFE' "$1" | head -n 1 | cut -d: -f1)
    [ -n "$at" ] || { echo "$0: $1 has no version resource" >&2; exit 1; }
    read -r minor major fourth third < <(od -An -tu2 -j $((at + 8)) -N 8 "$1")
    echo "$major.$minor.$third.$fourth"
}
exe_version=$(file_version "$stage/tolvard.exe")
dll_version=$(file_version "$stage/tolvard-messages.dll")

# wixl looks for the files only in the current folder, and writes their times into the cabinet
# as local times.
wxs=$(realpath "$src/packaging/tolvard.wxs")
(cd "$stage" && TZ=UTC wixl -a "$arch" -D Arch="$arch" -D Version="$version" \
    -D ProductCode="$(uuid5 "product $version $arch")" -o "$msi" "$wxs")

# What wixl cannot write. It knows no <Environment>: the row that appends the folder to the
# system PATH on install and takes it out again on uninstall (name flags = create or set, - remove
# on uninstall, * system; [~]; before the value: append to what is there) goes in by hand, with
# the two actions that act on the table, at their standard places in the sequence. It knows no
# file versions either: an exe without one is an unversioned file to Windows Installer, which
# then compares hashes instead of versions and leaves a file alone that looks changed since it
# was installed. Nor does it write the short name that a file name longer than 8.3 must come
# with ("short|long"), which Windows Installer's own checks (ICE03) require.
#
# The event source's key: wixl writes the key with a "\" at its end, an expandable value as a
# plain string (Windows Installer writes REG_EXPAND_SZ for a value that starts with "#%"), and
# knows no ForceDeleteOnUninstall: the row named "*" makes the key on install and deletes it,
# with what else is in it, on uninstall. And its MajorUpgrade removes the older version before
# the newer one is installed, whatever Schedule says: every file of the older one would then be
# deleted first, tolvard-messages.dll too, which Event Viewer may hold open (a restart to finish
# the upgrade). After InstallFinalize, the newer version is installed first: a file of the same
# version is left in place, and the files the two share are not removed with the older one.
source_key='SYSTEM\CurrentControlSet\Services\EventLog\Application\tolvard'

msibuild "$msi" \
    -q "CREATE TABLE Environment (Environment CHAR(72) NOT NULL,
        Name CHAR(255) NOT NULL LOCALIZABLE, Value CHAR(255) LOCALIZABLE,
        Component_ CHAR(72) NOT NULL PRIMARY KEY Environment)" \
    -q "INSERT INTO Environment (Environment, Name, Value, Component_)
        VALUES ('PATH', '=-*PATH', '[~];[INSTALLDIR]', 'Exe')" \
    -q "INSERT INTO InstallExecuteSequence (Action, Sequence)
        VALUES ('RemoveEnvironmentStrings', 3300)" \
    -q "INSERT INTO InstallExecuteSequence (Action, Sequence)
        VALUES ('WriteEnvironmentStrings', 5200)" \
    -q "UPDATE File SET Version = '$exe_version', Language = '1033' WHERE File = 'tolvard.exe'" \
    -q "UPDATE File SET Version = '$dll_version', Language = '1033'
        WHERE File = 'tolvard_messages.dll'" \
    -q "DELETE FROM MsiFileHash WHERE File_ = 'tolvard.exe'" \
    -q "DELETE FROM MsiFileHash WHERE File_ = 'tolvard_messages.dll'" \
    -q "UPDATE File SET FileName = 'CHANGE~1.TXT|CHANGELOG.txt' WHERE File = 'CHANGELOG.txt'" \
    -q "UPDATE File SET FileName = 'TOLVAR~1.DLL|tolvard-messages.dll'
        WHERE File = 'tolvard_messages.dll'" \
    -q "UPDATE Registry SET \`Key\` = '$source_key' WHERE Component_ = 'EventSource'" \
    -q "UPDATE Registry SET \`Value\` = '#%[INSTALLDIR]tolvard-messages.dll'
        WHERE Name = 'EventMessageFile'" \
    -q "INSERT INTO Registry (Registry, Root, \`Key\`, Name, Component_)
        VALUES ('EventSourceKey', 2, '$source_key', '*', 'EventSource')" \
    -q "UPDATE InstallExecuteSequence SET Sequence = 6601
        WHERE Action = 'RemoveExistingProducts'"

# The summary information: wixl's, with the commit's time instead of the current one and a
# package code (the revision number, a GUID that wixl draws at random) made from the package's
# bytes under a fixed one. msibuild reads those times as local times.
stamp=$(date -u -d "@$epoch" '+%Y/%m/%d %H:%M:%S')
msiinfo export "$msi" _SummaryInformation >"$tmp/wixl.idt"
summary() {
    mkdir -p "$tmp/summary"
    awk -v code="$1" -v stamp="$stamp" 'BEGIN { FS = OFS = "\t" }
        NR > 3 && $1 == 9 { $2 = code "\r" }
        NR > 3 && ($1 == 12 || $1 == 13) { $2 = stamp "\r" }
        { print }' "$tmp/wixl.idt" >"$tmp/summary/_SummaryInformation.idt"
    TZ=UTC msibuild "$msi" -i "$tmp/summary/_SummaryInformation.idt"
}
summary "{00000000-0000-0000-0000-000000000000}"
summary "{$(uuid5 "package $(sha256sum <"$msi" | cut -c1-64)")}"

mkdir -p "$out"
rm -f "$out/$msi_name"
mv "$msi" "$out/$msi_name"
echo "$out/$msi_name"
