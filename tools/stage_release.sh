#!/usr/bin/env bash
# stage_release.sh STRIP EXE SOURCE_DIR DIR: puts into DIR the files that a release ships, as
# both the zip and the MSI package hold them: tolvard.exe and tolvard-messages.dll (which the
# build puts beside it) stripped, README.txt made by tools/readme_txt.sh from README.md and the
# administrator's pages of docs/, and LICENSE.txt and CHANGELOG.txt from the repository's
# LICENSE and CHANGELOG.md, all three with CR LF line ends. Called by tools/zip_release.sh and
# tools/msi_release.sh.
set -euo pipefail
[ $# -eq 4 ] || { echo "usage: $0 STRIP EXE SOURCE_DIR DIR" >&2; exit 2; }
strip=$1 exe=$2 src=$3 dir=$4

dll=$(dirname "$exe")/tolvard-messages.dll
[ -f "$dll" ] || { echo "$0: no tolvard-messages.dll beside $exe" >&2; exit 1; }
mkdir -p "$dir"
# strip writes a PE time stamp, the current time unless SOURCE_DATE_EPOCH says otherwise; the
# linker wrote none (0), and so must strip.
SOURCE_DATE_EPOCH=0 "$strip" --strip-all -o "$dir/tolvard.exe" "$exe"
SOURCE_DATE_EPOCH=0 "$strip" --strip-all -o "$dir/tolvard-messages.dll" "$dll"
# Notepad before Windows 10 shows a text with bare LF ends as one long line.
bash "$(dirname "$0")/readme_txt.sh" "$src" | sed 's/$/\r/' >"$dir/README.txt"
sed 's/$/\r/' "$src/LICENSE" >"$dir/LICENSE.txt"
sed 's/$/\r/' "$src/CHANGELOG.md" >"$dir/CHANGELOG.txt"
