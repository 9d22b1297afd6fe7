#!/usr/bin/env bash
# Fails on a relative link in Markdown that points nowhere: a file that does not exist, or a
# "#anchor" that no heading of the target Markdown file makes. Anchors follow GitHub's rule:
# the heading's text in lower case, blanks to "-", punctuation other than "-" and "_" dropped,
# and a heading's second and later namesakes given "-1", "-2", ... Links with a scheme
# (http:, https:, mailto:, ...) are not checked, nor anything in code spans or code blocks.
#
#   bash tools/check_links.sh [FILE.md...]     default: README.md and docs/*.md
#
# Prints FILE:LINE: TARGET and what is missing for each broken link.
set -uo pipefail
export LC_ALL=C

if [ $# -eq 0 ]; then
    cd "$(dirname "$0")/.." || exit 1
    set -- README.md docs/*.md
fi

# scan MODE FILE: MODE "links" prints "LINE<TAB>TARGET" for each link, MODE "anchors" prints
# the anchor of each heading.
scan() {
    # Plain POSIX awk (mawk): no {m,n} in the patterns.
    awk -v mode="$1" '
        function slug(text,    out, i, c) {
            # A link in a heading counts by its text alone.
            while (match(text, /\[[^]]*\]\([^)]*\)/)) {
                c = substr(text, RSTART + 1, RLENGTH)
                sub(/\]\(.*$/, "", c)
                text = substr(text, 1, RSTART - 1) c substr(text, RSTART + RLENGTH)
            }
            text = tolower(text)
            out = ""
            for (i = 1; i <= length(text); i++) {
                c = substr(text, i, 1)
                if (c == " ")
                    out = out "-"
                else if (c ~ /[a-z0-9_-]/ || c > "\177")
                    out = out c
            }
            return out
        }
        function link(target) {
            # <TARGET> may hold blanks; otherwise a blank ends it, before a title.
            if (sub(/^</, "", target))
                sub(/>.*$/, "", target)
            else
                sub(/[ \t].*$/, "", target)
            if (target != "" && target !~ /^[A-Za-z][A-Za-z0-9+.-]*:/)
                print FNR "\t" target
        }
        /^ ? ? ?(```|~~~)/ { fenced = !fenced; next }
        fenced { next }
        mode == "anchors" && /^ ? ? ?#+([ \t]|$)/ && !/^ *#######/ {
            text = $0
            sub(/^ *#+[ \t]*/, "", text)
            sub(/[ \t]+#+[ \t]*$/, "", text)
            sub(/[ \t]+$/, "", text)
            anchor = slug(text)
            if (seen[anchor]++)
                anchor = anchor "-" (seen[anchor] - 1)
            print anchor
        }
        mode == "links" {
            line = $0
            gsub(/`[^`]*`/, "", line)
            if (match(line, /^ ? ? ?\[[^]]+\]:[ \t]*/)) {
                link(substr(line, RSTART + RLENGTH))
                next
            }
            while (match(line, /\]\([^)]*\)/)) {
                link(substr(line, RSTART + 2, RLENGTH - 3))
                line = substr(line, RSTART + RLENGTH)
            }
        }
    ' "$2"
}

broken=0
for file in "$@"; do
    [ -f "$file" ] || { echo "$file: no such file"; broken=1; continue; }
    dir=$(dirname "$file")
    while IFS=$'\t' read -r line target; do
        path=${target%%#*}
        anchor=
        [ "$path" = "$target" ] || anchor=${target#*#}
        path=${path//%20/ }
        if [ -z "$path" ]; then
            path=$file
        else
            path=$dir/$path
        fi
        if [ ! -e "$path" ]; then
            echo "$file:$line: $target: no file $path"
            broken=1
        elif [ -n "$anchor" ] && [[ "$path" == *.md ]] &&
            ! scan anchors "$path" | grep -qxF -- "$anchor"; then
            echo "$file:$line: $target: no heading of $path makes #$anchor"
            broken=1
        fi
    done < <(scan links "$file")
done
exit $broken
