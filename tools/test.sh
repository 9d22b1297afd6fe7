#!/usr/bin/env bash
# Runs every test of tolvard: the source lint, the native unit tests (plain, AddressSanitizer
# with UBSan, ThreadSanitizer, valgrind's memcheck), a bounded libFuzzer run of each fuzz target,
# and the end-to-end suites of the win32 and win64 products under Wine (the win32 one only where
# this machine runs 32-bit programs), then the demo, the README's other command. Installs what
# is missing first. Ends with the reliability summary. Exits non-zero if anything fails.
set -uo pipefail
cd "$(dirname "$0")/.."

bash tools/deps.sh || exit 1

# Whether Wine runs 32-bit programs on this machine, decided once for the whole run (see
# tools/wine.sh); TOLVARD_WINE32=0 takes the 64-bit-only path on any machine.
wine32_asked=${TOLVARD_WINE32:-}
TOLVARD_WINE32=$(bash tools/wine.sh --wine32) || exit 1
export TOLVARD_WINE32

# Every part of the reliability suite appends "KEY N" lines (cases, cycles, controls, orphans,
# lost, saves, saves_lost) to a file of its own here; the summary at the end adds them up.
export RELIABILITY_COUNTS_DIR=${RELIABILITY_COUNTS_DIR:-$PWD/build/reliability}
mkdir -p "$RELIABILITY_COUNTS_DIR"
rm -f "$RELIABILITY_COUNTS_DIR"/*.counts

passed=0
failed=0
failures=()
step() {
    local name=$1
    shift
    echo "== $name"
    if "$@"; then
        passed=$((passed + 1))
    else
        echo "!! $name failed"
        failed=$((failed + 1))
        failures+=("$name")
        return 1
    fi
}

lint() {
    local files bad=0
    mapfile -t files < <(git ls-files | grep -E '\.(c|cpp|h|cmake|txt|json|sh|md|wxs)$|^\.ci/|^\.(editorconfig|clang-format|gitignore)$')
    # Markdown is spared: the README's sample log line ends in a blank, as the real one does.
    if grep -n -I -E '[[:space:]]$' $(printf '%s\n' "${files[@]}" | grep -v '\.md$'); then
        echo "trailing white space"
        bad=1
    fi
    if grep -l -I $'\r' "${files[@]}"; then echo "CR in sources"; bad=1; fi
    # Build output and logs stay out: nothing big, and no name that a Windows path written as
    # a Linux file name would give.
    local big
    big=$(git ls-files -z | xargs -0 -r stat -c '%s %n' | awk '$1 > 1048576 { print "  " $2 }')
    if [ -n "$big" ]; then printf 'tracked files over 1 MB:\n%s\n' "$big"; bad=1; fi
    if git ls-files | grep -F '\'; then echo "tracked file names with a backslash"; bad=1; fi
    for f in "${files[@]}"; do
        [ -s "$f" ] && [ -n "$(tail -c 1 "$f")" ] && { echo "$f: no final newline"; bad=1; }
    done
    # Relative links in README.md and docs/ that point nowhere; the lint's own cases first.
    local said
    said=$(bash tests/lint/links.sh 2>&1) || { echo "$said"; bad=1; }
    bash tools/check_links.sh || bad=1
    # The release's README.txt: the same pages in one text, its links read as where to look.
    said=$(bash tests/lint/readme_txt.sh 2>&1) || { echo "$said"; bad=1; }
    if command -v clang-format > /dev/null; then
        mapfile -t code < <(git ls-files 'src/*.cpp' 'src/*.h' 'tests/*.c' 'tests/*.cpp' 'bench/*.c' \
            'bench/*.cpp')
        clang-format --dry-run -Werror "${code[@]}" || bad=1
    fi
    return $bad
}

build() {
    cmake --preset "$1" > "/tmp/tolvard-configure-$1.log" 2>&1 \
        || { cat "/tmp/tolvard-configure-$1.log"; return 1; }
    cmake --build --preset "$1" -j 2
}

step lint lint
for preset in native asan tsan; do
    step "$preset: build" build "$preset" &&
        step "$preset: unit tests" ctest --preset "$preset" -L unit --timeout 300
done
step "native: memcheck" ctest --preset native -L memcheck --no-tests=error --timeout 600
step "fuzz: 60 s a target" bash tools/fuzz.sh 60
for preset in win32 win64; do
    step "$preset: build" build "$preset" &&
        step "$preset: end-to-end tests under Wine" ctest --preset "$preset" --timeout 600
done
step "demo: the whole job under Wine" bash tools/demo.sh

# One line for the reliability suite; orphans, lost lines or lost saves fail the run, and so does
# a line that does not read as a known key and a count.
reliability() {
    local counts
    shopt -s nullglob
    counts=("$RELIABILITY_COUNTS_DIR"/*.counts)
    shopt -u nullglob
    awk '
        $1 ~ /^(cases|cycles|controls|orphans|lost|saves|saves_lost)$/ && $2 ~ /^[0-9]+$/ &&
        NF == 2 {
            sum[$1] += $2
            next
        }
        NF > 0 { printf "%s:%d: not a count: %s\n", FILENAME, FNR, $0; bad = 1 }
        END {
            printf "reliability: %d cases tried, %d cycles run, %d controls sent, " \
                   "%d orphans found, %d lines lost, %d saves tried, %d saves lost\n",
                   sum["cases"], sum["cycles"], sum["controls"], sum["orphans"], sum["lost"],
                   sum["saves"], sum["saves_lost"]
            exit bad || sum["orphans"] > 0 || sum["lost"] > 0 || sum["saves_lost"] > 0
        }' /dev/null "${counts[@]}"
}
step "reliability summary" reliability
if [ "$TOLVARD_WINE32" = 0 ]; then
    if [ "$wine32_asked" = 0 ]; then
        echo "win32 under Wine: not run (TOLVARD_WINE32=0); the win64 suite ran in full"
    else
        echo "win32 under Wine: not run (this kernel runs no 32-bit code); the win64 suite ran in full"
    fi
fi

echo
[ $failed -eq 0 ] || printf 'failed: %s\n' "${failures[@]}"
echo "$passed passed, $failed failed"
[ $failed -eq 0 ]
