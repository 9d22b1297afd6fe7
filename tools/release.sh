#!/usr/bin/env bash
# Builds the release files into build/release/: the zips tolvard-<version>-win32.zip and
# -win64.zip, the MSI packages tolvard-<version>-x86.msi and -x64.msi, and SHA256SUMS over the
# four, which it prints. Installs what is missing first.
set -euo pipefail
cd "$(dirname "$0")/.."

bash tools/deps.sh
# Only this run's files: SHA256SUMS lists what the folder holds.
rm -rf build/release
mkdir -p build/release
for preset in win32 win64; do
    cmake --preset "$preset" >"/tmp/tolvard-configure-$preset.log" 2>&1 \
        || { cat "/tmp/tolvard-configure-$preset.log"; exit 1; }
    cmake --build --preset "$preset" -j 2 --target release
    case $preset in
    win32) arch=x86 ;;
    win64) arch=x64 ;;
    esac
    version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "build/$preset/CMakeCache.txt")
    cp "build/$preset/tolvard-$version-$preset.zip" "build/$preset/tolvard-$version-$arch.msi" \
        build/release/
done
(cd build/release && sha256sum tolvard-*.zip tolvard-*.msi >SHA256SUMS && cat SHA256SUMS)
