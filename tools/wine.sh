#!/usr/bin/env bash
# The one way tolvard's scripts start Wine: the end-to-end tests, the demo, the bench and the
# cross builds' CMake emulator all come through here.
#
#   tools/wine.sh PROGRAM ARGS...      a Windows program (a path, or a builtin such as sc or reg)
#   tools/wine.sh wineboot ARGS...     Wine's prefix tool
#   tools/wine.sh wineserver ARGS...   the prefix's server (-k, -w)
#   tools/wine.sh --keep               starts the prefix's server to run until `wineserver -k`,
#                                      unless one runs already
#   tools/wine.sh --wine32             prints 1 if this machine runs 32-bit programs, else 0
#   tools/wine.sh --preset             prints the build to run here, win32 or else win64, and
#                                      says on standard error why when it is win64
#   tools/wine.sh --app-version EXE V  makes the prefix tell the program EXE (a file name, such
#                                      as node.exe) that Windows is version V (win10, win7, ...),
#                                      in the prefix's registry, for that program alone
#
# Debian's `wine` wrapper takes the 32-bit loader whenever wine32 is installed, and that loader
# starts 64-bit programs too. Some x86-64 kernels run no 32-bit code at all: there every exec of
# an i386 program fails with ENOEXEC, the wrapper fails even for 64-bit programs, and only the
# 64-bit loader, called directly with WINELOADER pointing at itself, works. TOLVARD_WINE32=0
# takes that path on any machine, =1 the wrapper's; unset, the 32-bit loader is tried once.
# Any failure other than ENOEXEC (wine32 missing, say) is an error, never a quiet "no".
set -uo pipefail

loader32=/usr/lib/wine/wine
loader64=/usr/lib/wine/wine64

# Whether the 32-bit loader can be started here: 1 or 0; an error for anything else.
probe_wine32() {
    if [ ! -x "$loader32" ]; then
        echo "tools/wine.sh: $loader32 is missing: install wine32:i386 (bash tools/deps.sh)" >&2
        return 1
    fi
    # The kernel's ENOEXEC reaches us as bash's own message for a binary it could not execute.
    local said
    said=$(LC_ALL=C "$loader32" --version 2>&1)
    case $? in
    0) echo 1 ;;
    126)
        if [[ "$said" == *"Exec format error"* ]]; then
            echo 0
        else
            echo "tools/wine.sh: $loader32: $said" >&2
            return 1
        fi
        ;;
    *)
        echo "tools/wine.sh: $loader32 --version failed: $said" >&2
        return 1
        ;;
    esac
}

wine32=${TOLVARD_WINE32:-}
why="TOLVARD_WINE32=0"
if [ "$wine32" != 0 ] && [ "$wine32" != 1 ]; then
    wine32=$(probe_wine32) || exit 1
    why="this kernel runs no 32-bit code"
fi

case ${1:-} in
--wine32)
    echo "$wine32"
    exit 0
    ;;
--preset)
    if [ "$wine32" = 1 ]; then
        echo win32
    else
        echo win64
        echo "== Using the win64 build: $why" >&2
    fi
    exit 0
    ;;
--app-version)
    if [ $# -ne 3 ]; then
        echo "usage: tools/wine.sh --app-version EXE VERSION" >&2
        exit 2
    fi
    # Wine's own setting of the version a program sees, kept per program name; a program that
    # refuses an old Windows (Node.js since 16 wants 8.1) then runs.
    exec bash "$0" reg add "HKCU\\Software\\Wine\\AppDefaults\\$2" /v Version /t REG_SZ /d "$3" /f
    ;;
"")
    echo "usage: tools/wine.sh PROGRAM ARGS... | wineboot ARGS... | wineserver ARGS... | --keep | --wine32 | --preset | --app-version EXE VERSION" >&2
    exit 2
    ;;
--keep)
    # Debian's wineserver wrapper starts the server with -p0: it ends the moment the last
    # program other than Wine's own daemons ends, and takes services.exe with it. A program
    # started in that moment reaches a services.exe that is shutting down: the service it
    # starts gets a shutdown control at once, the next call meets a new services.exe that
    # never started it (1077), and one in between finds none at all (1722). Windows' service
    # control manager lives as long as the machine, so tests and tools that drive it keep the
    # server up themselves and end it with `wineserver -k`. A later -p wins over the
    # wrapper's; exit status 2 is the server's own "another one holds the lock".
    wineserver -p </dev/null >/dev/null 2>&1
    case $? in
    0 | 2) exit 0 ;;
    *)
        echo "tools/wine.sh: wineserver -p failed" >&2
        exit 1
        ;;
    esac
    ;;
wineserver)
    shift
    # Debian's wineserver wrapper already prefers the 64-bit server, which serves both.
    exec wineserver "$@"
    ;;
esac

if [ "$wine32" = 1 ]; then
    case $1 in
    wineboot)
        shift
        exec wineboot "$@"
        ;;
    *) exec wine "$@" ;;
    esac
fi
export WINELOADER=$loader64
export WINEDEBUG=${WINEDEBUG:-fixme-all}
exec "$loader64" "$@"
