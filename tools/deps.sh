#!/usr/bin/env bash
# Installs what building and testing tolvard needs on Debian 12, skipping what is there.
# Needs root (apt-get) only when something is missing.
set -euo pipefail

packages=(cmake ninja-build g++ libgtest-dev libbenchmark-dev
          g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix
          wine wine32:i386 wine64 locales zip unzip libxml2-utils wixl msitools
          clang-14 libclang-rt-14-dev valgrind curl iproute2)

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q '^install ok installed$' || missing+=("$p")
done

# npm installs the real programs of the end-to-end tests. A machine whose Node.js package
# already brings npm keeps it: Debian's own npm package would conflict with it.
command -v npm >/dev/null || missing+=(npm)

if [ ${#missing[@]} -gt 0 ]; then
    echo "== installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    # wine32 is an i386 package.
    dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}" > /tmp/tolvard-apt.log 2>&1 \
        || { tail -n 30 /tmp/tolvard-apt.log; exit 1; }
fi
