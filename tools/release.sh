#!/usr/bin/env bash
# Builds the release zips tolvard-<version>-win32.zip and tolvard-<version>-win64.zip into
# build/release/ and prints their SHA-256 sums. Installs what is missing first.
set -euo pipefail
cd "$(dirname "$0")/.."

bash tools/deps.sh
mkdir -p build/release
for preset in win32 win64; do
    cmake --preset "$preset" >"/tmp/tolvard-configure-$preset.log" 2>&1 \
        || { cat "/tmp/tolvard-configure-$preset.log"; exit 1; }
    cmake --build --preset "$preset" -j 2 --target release
    cp "build/$preset"/tolvard-*-"$preset".zip build/release/
done
(cd build/release && sha256sum tolvard-*.zip)
