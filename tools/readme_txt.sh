#!/usr/bin/env bash
# readme_txt.sh SOURCE_DIR: prints the release's README.txt (LF line ends): README.md and then
# the administrator's pages of docs/, one after the other, each page after a line of "=". A
# link reads as its text and where to look: `TEXT [below: HEADING]` (or "above") for a heading
# of a page in the text, `TEXT [below]` when TEXT is that heading, `TEXT [PATH in tolvard's
# sources]` for any other file, `TEXT [URL]` for a link with a scheme. Square brackets, since
# links often stand in parentheses. Code spans and code blocks are left as they are.
# Called by tools/stage_release.sh; the pages on building and the bench stay out.
set -euo pipefail
[ $# -eq 1 ] || { echo "usage: $0 SOURCE_DIR" >&2; exit 2; }
cd "$1"
pages=(README.md docs/install.md docs/commands.md docs/log.md docs/stop.md docs/events.md
    docs/troubleshooting.md docs/security.md)
for page in "${pages[@]}"; do
    [ -f "$page" ] || { echo "$0: no $page" >&2; exit 1; }
done

# Plain POSIX awk (mawk). The first pass over the pages learns each heading's anchor (GitHub's
# rule, as tools/check_links.sh reads it) and its place; the second prints.
LC_ALL=C awk '
    function slug(text,    out, i, c) {
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
    function heading_text(line) {
        sub(/^ *#+[ \t]*/, "", line)
        sub(/[ \t]+#+[ \t]*$/, "", line)
        sub(/[ \t]+$/, "", line)
        # A heading that holds a link or code reads as its words.
        while (match(line, /\[[^]]*\]\([^)]*\)/)) {
            t = substr(line, RSTART + 1, RLENGTH)
            sub(/\]\(.*$/, "", t)
            line = substr(line, 1, RSTART - 1) t substr(line, RSTART + RLENGTH)
        }
        gsub(/`/, "", line)
        return line
    }
    # The path of TARGET as seen from the folder DIR, with "." and ".." resolved.
    function resolve(dir, target,    n, parts, i, out, m, stack) {
        if (dir != "")
            target = dir "/" target
        n = split(target, parts, "/")
        m = 0
        for (i = 1; i <= n; i++) {
            if (parts[i] == "" || parts[i] == ".")
                continue
            if (parts[i] == "..") {
                if (m > 0)
                    m--
                continue
            }
            stack[++m] = parts[i]
        }
        out = ""
        for (i = 1; i <= m; i++)
            out = out (i > 1 ? "/" : "") stack[i]
        return out
    }
    function where(text, target,    path, anchor, key, dir, side) {
        if (target ~ /^[A-Za-z][A-Za-z0-9+.-]*:/)
            return text " [" target "]"
        path = target
        anchor = ""
        if (index(target, "#")) {
            path = substr(target, 1, index(target, "#") - 1)
            anchor = substr(target, index(target, "#") + 1)
        }
        gsub(/%20/, " ", path)
        dir = FILENAME
        if (!sub(/\/[^\/]*$/, "", dir))
            dir = ""
        path = path == "" ? FILENAME : resolve(dir, path)
        if (!(path in title)) {
            if (text == path)
                return text " [in tolvard'"'"'s sources]"
            return text " [" path " in tolvard'"'"'s sources]"
        }
        key = anchor == "" ? path SUBSEP "" : path SUBSEP anchor
        if (!(key in head))
            key = path SUBSEP ""
        side = place[key] > order * 100000 + FNR ? "below" : "above"
        if (tolower(text) == tolower(head[key]))
            return text " [" side "]"
        return text " [" side ": " head[key] "]"
    }
    # Rewrites the links of a stretch of text without code spans.
    function links(s,    out, text, target, rest) {
        out = ""
        while (match(s, /!?\[[^]]*\]\([^)]*\)/)) {
            out = out substr(s, 1, RSTART - 1)
            text = substr(s, RSTART, RLENGTH)
            rest = substr(s, RSTART + RLENGTH)
            sub(/^!?\[/, "", text)
            target = text
            sub(/\]\(.*$/, "", text)
            sub(/^[^]]*\]\(/, "", target)
            sub(/\)$/, "", target)
            if (sub(/^</, "", target))
                sub(/>.*$/, "", target)
            else
                sub(/[ \t].*$/, "", target)
            out = out where(text, target)
            s = rest
        }
        return out s
    }
    FNR == 1 {
        order++
        fenced = 0
        code = 0
        delete seen
    }
    pass == 1 && /^ ? ? ?(```|~~~)/ { fenced = !fenced; next }
    pass == 1 && !fenced && /^ ? ? ?#+([ \t]|$)/ && !/^ *#######/ {
        text = $0
        sub(/^ *#+[ \t]*/, "", text)
        sub(/[ \t]+#+[ \t]*$/, "", text)
        sub(/[ \t]+$/, "", text)
        anchor = slug(text)
        if (seen[anchor]++)
            anchor = anchor "-" (seen[anchor] - 1)
        head[FILENAME, anchor] = heading_text($0)
        place[FILENAME, anchor] = order * 100000 + FNR
        if (!(FILENAME in title)) {
            title[FILENAME] = 1
            head[FILENAME, ""] = heading_text($0)
            place[FILENAME, ""] = order * 100000 + FNR
        }
        next
    }
    pass == 1 { next }
    FNR == 1 && order > 1 {
        print ""
        print "================================================================================"
        print ""
    }
    /^ ? ? ?(```|~~~)/ { fenced = !fenced; print; next }
    fenced { print; next }
    /^[ \t]*$/ { code = 0 }
    {
        # Code spans stay as they are: split at the backticks, rewrite only outside them. A
        # span may go on in the next line of its paragraph.
        out = ""
        n = split($0, piece, "`")
        for (i = 1; i <= n; i++) {
            if (i > 1) {
                out = out "`"
                code = !code
            }
            out = out (code ? piece[i] : links(piece[i]))
        }
        print out
    }
' pass=1 "${pages[@]}" pass=2 order=0 "${pages[@]}"
