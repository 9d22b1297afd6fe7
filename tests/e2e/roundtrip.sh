#!/bin/bash
# The round trip against the real runtime: generated word lists, typed after "tolvard reg", go
# through tolvard's reading of its command line, the image path it writes, the service control
# manager, tolvard's reading of that image path and the child command it writes, and must come
# out of the C runtime of the child (Wine's msvcrt, an implementation of the rule of its own)
# exactly as they were. The lists are made from a seed (printed; E2E_SEED=N repeats a run) and
# run in batches of services started together, each with its own copy of probe.exe whose first
# word exit:0 makes it end at once, so each service stops by itself.
#
# E2E_ROUNDTRIP_LISTS (default 300, 100 with E2E_SMOKE set) sets how many lists.
. "$(dirname "$0")/lib.sh"
work_dir roundtrip
counts_begin roundtrip
use_western_locale

seed=${E2E_SEED:-$(date +%s)}
lists=${E2E_ROUNDTRIP_LISTS:-$([ -n "${E2E_SMOKE:-}" ] && echo 100 || echo 300)}
batch=25
echo "seed $seed, $lists word lists"
mkdir -p "$W/lists" "$W/bin"
perl "$(dirname "$0")/wordlists.pl" "$seed" "$lists" "$W/lists" || die "cannot make the word lists"

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
            cat "$W/lists/$list.typed"
            printf '\n'
        } >>"$W/reg.lines"
        printf '%s rem tvd_rt%s\n' "$exe" "$slot" >>"$W/rem.lines"
    done

    run_lines reg "$W/reg.lines"
    check_eq "lists $first-$last: every reg silent, exit status 1" \
        "$(printf 'rc=1\n%.0s' "${slots[@]}")" "$(tr -d '\r' <"$W/reg.out")"
    svcctl runall 60 "${names[@]:0:${#slots[@]}}"
    for i in "${!slots[@]}"; do
        list=$((first + i))
        slot=${slots[i]}
        cases=$((cases + 1))
        record=$W/bin/rt$slot.exe.args
        check_eq "list $list: the service ran and stopped with its child's exit code 0" \
            "svc=$i start_error=0 state=1 win32_exit=0 service_exit=0" \
            "$(sed -n "/^svc=$i /p" "$W/svcctl.txt")"
        if ! [ -f "$record" ] || [ "$(tail -n 1 "$record")" != end ]; then
            fail "list $list: the child left no whole record"
            lost=$((lost + 1))
            continue
        fi
        check_eq "list $list: the child runs under code page 1252" acp=1252 "$(head -n 1 "$record")"
        if ! check_file_eq "list $list: the child's words (typed: $(cat -A "$W/lists/$list.typed"))" \
            <(printf 'argv[1]=<exit:0>\n'; cat "$W/lists/$list.expected") \
            <(sed -n '/^argv\[1\]/,$p' "$record"); then
            lost=$((lost + 1))
            grep -a '^cmdline=' "$record" | cat -A | sed 's/^/  the child got: /'
        fi
    done
    run_lines rem "$W/rem.lines"
    check_eq "lists $first-$last: every rem silent" \
        "$(printf 'rc=1\n%.0s' "${slots[@]}")" "$(tr -d '\r' <"$W/rem.out")"
done

# Words that did not arrive whole count as lost: each one is a line the child should have had.
count cases "$cases"
count lost "$lost"
check_eq "word lists tried" "$lists" "$cases"
finish
