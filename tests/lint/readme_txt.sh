#!/usr/bin/env bash
# The release's README.txt (tools/readme_txt.sh) on fixture pages: each kind of link must read
# as its text and where to look, in one text, and what is code must stay as it is.
set -uo pipefail
maker=$(cd "$(dirname "$0")/../.." && pwd)/tools/readme_txt.sh
dir=$(mktemp -d /tmp/tolvard-readme-XXXXXX)
trap 'rm -rf "$dir"' EXIT
mkdir -p "$dir/docs"
for page in install commands log stop events troubleshooting security; do
    printf '%s\n' "# Page $page" "" "Text of $page." "" "## The child's output" "" \
        "## Dup" "" "## Dup" >"$dir/docs/$page.md"
done
printf '%s\n' "# Building" >"$dir/docs/building.md"
echo "Back to [the top](../README.md#the-front) and [the log](log.md)." >>"$dir/docs/stop.md"

# A link in README.md | the line README.txt must hold for it
cases=(
    "[logs](docs/log.md)|logs [below: Page log]"
    "[Page log](docs/log.md)|Page log [below]"
    "[out](docs/log.md#the-childs-output)|out [below: The child's output]"
    "[second](docs/events.md#dup-1)|second [below: Dup]"
    "[no such](docs/log.md#nowhere)|no such [below: Page log]"
    "[here](#the-front)|here [above: The front]"
    "[build](docs/building.md)|build [docs/building.md in tolvard's sources]"
    "[docs/building.md](docs/building.md#building)|docs/building.md [in tolvard's sources]"
    "[site](https://example.com/a.md)|site [https://example.com/a.md]"
    "[blank](<docs/log.md> \"a title\")|blank [below: Page log]"
    "two: [a](docs/log.md), [b](docs/stop.md).|two: a [below: Page log], b [below: Page stop]."
    "\`[code](docs/log.md)\` and [a](docs/log.md)|\`[code](docs/log.md)\` and a [below: Page log]"
)
{
    echo "# tolvard"
    echo "## The front"
    for case in "${cases[@]}"; do echo "${case%%|*}"; done
    printf '%s\n' '```' "[in a block](docs/log.md)" '```' "" "a span \`that goes on" \
        "[to the next line](docs/log.md)\` and [a](docs/log.md)"
} >"$dir/README.md"

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
out=$dir/README.txt
bash "$maker" "$dir" >"$out" 2>"$dir/err" || fail "readme_txt.sh failed: $(cat "$dir/err")"
for case in "${cases[@]}"; do
    want=${case#*|}
    grep -qxF -- "$want" "$out" || fail "${case%%|*}: no line \"$want\""
done
grep -qxF "[in a block](docs/log.md)" "$out" || fail "a code block's link was changed"
grep -qxF "[to the next line](docs/log.md)\` and a [below: Page log]" "$out" ||
    fail "a code span over two lines: $(grep -F 'to the next line' "$out")"
grep -qxF "Back to the top [above: The front] and the log [above: Page log]." "$out" ||
    fail "a page's links, relative to its folder: $(grep '^Back to' "$out")"
titles=$(grep '^# ' "$out" | paste -sd'|')
[ "$titles" = "# tolvard|# Page install|# Page commands|# Page log|# Page stop|# Page events|# Page troubleshooting|# Page security" ] ||
    fail "the pages, in order, without building: $titles"
rm "$dir/docs/security.md"
bash "$maker" "$dir" >/dev/null 2>&1 && fail "a missing page passed"
[ $failures -eq 0 ] && echo "README.txt: all cases as expected"
exit $((failures > 0))
