#!/usr/bin/env bash
# zip_release.sh STRIP EXE VERSION ARCH SOURCE_DIR OUT_DIR: makes OUT_DIR/tolvard-VERSION-ARCH.zip
# from a built tolvard.exe: the files of tools/stage_release.sh (the exe and tolvard-messages.dll
# stripped, README.txt, LICENSE.txt and CHANGELOG.txt with CR LF line ends) and SHA256SUMS over
# those five in sha256sum's format. Called by the build's release target (see tools/release.sh).
#
# The same inputs give the same zip: every entry has the same mode and the time of the last
# commit (or SOURCE_DATE_EPOCH, if set), no extra attributes, and the entries are sorted.
set -euo pipefail
[ $# -eq 6 ] || { echo "usage: $0 STRIP EXE VERSION ARCH SOURCE_DIR OUT_DIR" >&2; exit 2; }
strip=$1 exe=$2 version=$3 arch=$4 src=$5 out=$6

zip_name=tolvard-$version-$arch.zip
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT

bash "$(dirname "$0")/stage_release.sh" "$strip" "$exe" "$src" "$stage"
(cd "$stage" && sha256sum CHANGELOG.txt LICENSE.txt README.txt tolvard-messages.dll tolvard.exe \
    >SHA256SUMS)

epoch=${SOURCE_DATE_EPOCH:-$(git -C "$src" log -1 --format=%ct 2>/dev/null || true)}
[ -n "$epoch" ] || { echo "$0: no commit time: set SOURCE_DATE_EPOCH" >&2; exit 1; }
# A zip keeps times in 2 s steps: an even time is kept as it is, not rounded by zip.
epoch=$((epoch - epoch % 2))
chmod 644 "$stage"/*
touch -d "@$epoch" "$stage"/*

mkdir -p "$out"
rm -f "$out/$zip_name"
# zip writes local times: UTC makes the entries' times the same on every machine.
mapfile -t entries < <(cd "$stage" && LC_ALL=C ls)
(cd "$stage" && TZ=UTC zip -q -X -D "$stage/$zip_name" "${entries[@]}")
mv "$stage/$zip_name" "$out/$zip_name"
echo "$out/$zip_name"
