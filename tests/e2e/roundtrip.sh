#!/bin/bash
# The round trip against the real runtime: generated word lists, typed after "tolvard reg", go
# through tolvard's reading of its command line, the image path it writes, the service control
# manager, tolvard's reading of that image path and the child command it writes, and must come
# out of the C runtime of the child (Wine's msvcrt, an implementation of the rule of its own)
# exactly as they were. The lists are made from a seed (printed; E2E_SEED=N repeats a run) and
# run in batches of services started together, each with its own copy of probe.exe whose first
# word exit:0 makes it end at once, so each service stops by itself.
#
# Then the same under code page 932, with Shift-JIS characters in the words (a second byte 5C
# looks like a backslash and must not act as one), through services that run under that code
# page. E2E_ROUNDTRIP_LISTS (default 300, 100 with E2E_SMOKE set) and E2E_ROUNDTRIP_DBCS_LISTS
# (default 100, 30 with E2E_SMOKE) set how many lists.
. "$(dirname "$0")/lib.sh"
work_dir roundtrip
counts_begin roundtrip

smoke() {
    if [ -n "${E2E_SMOKE:-}" ]; then echo "$1"; else echo "$2"; fi
}
seed=${E2E_SEED:-$(date +%s)}
batch=25
echo "seed $seed"
mkdir -p "$W/bin"

exe=$(winpath "$TOLVARD")
names=()
for slot in $(seq -w 1 $batch); do
    cp "$E2E_HELPERS/probe.exe" "$W/bin/rt$slot.exe"
    names+=("tvd_rt$slot")
    wine_call "$W/sc" sc delete "tvd_rt$slot"
done
E2E_SERVICES+=("${names[@]}")

cases=0
lost=0

# round_trip CODE_PAGE LISTS: makes LISTS word lists for that code page and runs them through.
round_trip() {
    local cp=$1 lists=$2
    local dir=$W/lists$cp
    echo "code page $cp: $lists word lists"
    mkdir -p "$dir"
    perl "$(dirname "$0")/wordlists.pl" "$seed" "$lists" "$dir" "$cp" ||
        die "cannot make the word lists"
    local first last list slot slots i record
    for first in $(seq 1 $batch "$lists"); do
        last=$((first + batch - 1))
        [ "$last" -le "$lists" ] || last=$lists
        : >"$W/reg.lines"
        : >"$W/rem.lines"
        slots=()
        for list in $(seq "$first" "$last"); do
            slot=$(printf '%02d' $((list - first + 1)))
            slots+=("$slot")
            rm -f "$W/bin/rt$slot.exe.args"
            {
                printf '%s reg tvd_rt%s %s exit:0 ' "$exe" "$slot" "$(winpath "$W/bin/rt$slot.exe")"
                cat "$dir/$list.typed"
                printf '\n'
            } >>"$W/reg.lines"
            printf '%s rem tvd_rt%s\n' "$exe" "$slot" >>"$W/rem.lines"
        done

        run_lines reg "$W/reg.lines"
        check_eq "$cp: lists $first-$last: every reg silent, exit status 1" \
            "$(printf 'rc=1\n%.0s' "${slots[@]}")" "$(tr -d '\r' <"$W/reg.out")" ||
            sed 's/^/  stderr: /' "$W/reg.err"
        svcctl runall 60 "${names[@]:0:${#slots[@]}}"
        for i in "${!slots[@]}"; do
            list=$((first + i))
            slot=${slots[i]}
            cases=$((cases + 1))
            record=$W/bin/rt$slot.exe.args
            check_eq "$cp: list $list: the service ran and stopped with its child's exit code 0" \
                "svc=$i start_error=0 state=1 win32_exit=0 service_exit=0" \
                "$(sed -n "/^svc=$i /p" "$W/svcctl.txt")"
            if ! [ -f "$record" ] || [ "$(tail -n 1 "$record")" != end ]; then
                fail "$cp: list $list: the child left no whole record"
                lost=$((lost + 1))
                continue
            fi
            check_eq "$cp: list $list: the child's code page" "acp=$cp" "$(head -n 1 "$record")"
            if ! check_file_eq "$cp: list $list: the child's words (typed: $(cat -A "$dir/$list.typed"))" \
                <(printf 'argv[1]=<exit:0>\n'; cat "$dir/$list.expected") \
                <(sed -n '/^argv\[1\]/,$p' "$record"); then
                lost=$((lost + 1))
                grep -a '^cmdline=' "$record" | cat -A | sed 's/^/  the child got: /'
            fi
        done
        run_lines rem "$W/rem.lines"
        check_eq "$cp: lists $first-$last: every rem silent" \
            "$(printf 'rc=1\n%.0s' "${slots[@]}")" "$(tr -d '\r' <"$W/rem.out")" ||
            sed 's/^/  stderr: /' "$W/rem.err"
    done
}

lists=${E2E_ROUNDTRIP_LISTS:-$(smoke 100 300)}
dbcs_lists=${E2E_ROUNDTRIP_DBCS_LISTS:-$(smoke 30 100)}
use_western_locale
round_trip 1252 "$lists"
use_japanese_locale
round_trip 932 "$dbcs_lists"

# A list whose words did not all arrive whole counts as one lost line: the child's record.
count cases "$cases"
count lost "$lost"
check_eq "word lists tried" $((lists + dbcs_lists)) "$cases"
finish
