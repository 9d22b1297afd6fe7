#!/usr/bin/env bash
# The link lint (tools/check_links.sh) on fixture text: a file whose links all resolve must
# pass, and each broken link, alone in an otherwise good file, must fail and be named.
set -uo pipefail
checker=$(cd "$(dirname "$0")/../.." && pwd)/tools/check_links.sh
dir=$(mktemp -d /tmp/tolvard-links-XXXXXX)
trap 'rm -rf "$dir"' EXIT
mkdir -p "$dir/sub"
touch "$dir/my file.md"

printf '%s\n' "# B heading" "Back to [the top](../good.md#title)." >"$dir/sub/b.md"
good=(
    "# Title"
    "## The child's output"
    "## Words with \`code\` and [a link](sub/b.md)"
    "## Dup"
    "## Dup"
    "### Größe ###"
    '```sh'
    "[in a code block](nowhere.md)"
    '```'
    "See [one](#the-childs-output), [two](#words-with-code-and-a-link), [three](#dup-1)"
    "and [four](#größe), [five](sub/b.md#b-heading), [six](<sub/b.md> \"a title\"),"
    "[web](https://example.com/nowhere.md), [mail](mailto:a@example.com), \`[code](nowhere.md)\`,"
    "[seven](my%20file.md), ![an image](sub/b.md)."
    "[ref]: sub/b.md"
)
printf '%s\n' "${good[@]}" >"$dir/good.md"

failures=0
if ! out=$(bash "$checker" "$dir/good.md" "$dir/sub/b.md" 2>&1); then
    echo "FAIL: every link resolves, yet the lint failed:"
    echo "$out"
    failures=$((failures + 1))
fi

# Each: a broken link, and what the lint must say of it.
broken=(
    "[x](missing.md)|: missing.md: no file"
    "[x](sub/)|ok"
    "[x](#nope)|: #nope: no heading"
    "[x](sub/b.md#title)|: sub/b.md#title: no heading"
    "[x](#dup-2)|: #dup-2: no heading"
    "[x](#The-childs-output)|: #The-childs-output: no heading"
    "[ref]: gone/b.md|: gone/b.md: no file"
)
for case in "${broken[@]}"; do
    link=${case%%|*} said=${case#*|}
    { printf '%s\n' "${good[@]}"; echo "$link"; } >"$dir/case.md"
    out=$(bash "$checker" "$dir/case.md" 2>&1)
    rc=$?
    if [ "$said" = ok ]; then
        [ $rc -eq 0 ] || { echo "FAIL: $link resolves, yet: $out"; failures=$((failures + 1)); }
    elif [ $rc -eq 0 ] || [[ "$out" != "$dir/case.md:15$said"* ]]; then
        echo "FAIL: $link: expected \"case.md:15$said...\", got (exit $rc): $out"
        failures=$((failures + 1))
    fi
done
[ $failures -eq 0 ] && echo "link lint: all cases as expected"
exit $((failures > 0))
