#!/bin/bash
# Words that need quoting, written into the image path by hand in tolvard's own quoting (a
# quoted stretch, \" for a literal quote, "" for an empty word, a trailing backslash after the
# closing quote). tolvard splits them by its rule and quotes each again for the child's C
# runtime, so the child gets exactly the words.
. "$(dirname "$0")/lib.sh"
work_dir child_words

svc=tvd_words
cp "$E2E_HELPERS/probe.exe" "$W/probe.exe"
probe=$(winpath "$W/probe.exe")
record=$W/probe.exe.args

# in the image path | the word | in the child's command line
rows=(
    '"C:\My Files\a.txt"|C:\My Files\a.txt|"C:\My Files\a.txt"'
    'say\"hi\"|say"hi"|"say\"hi\""'
    '""||""'
    '"x y"\|x y\|"x y\\"'
    'a"b c"d|ab cd|"ab cd"'
    'tab"	"in|tab	in|"tab	in"'
    'plain\dir\|plain\dir\|plain\dir\'
)
image="$(winpath "$TOLVARD") $probe "
child="$probe "
n=0
for row in "${rows[@]}"; do
    IFS='|' read -r written word quoted <<<"$row"
    image+="$written "
    child+="$quoted "
    n=$((n + 1))
    printf 'argv[%d]=<%s>\n' "$n" "$word"
done >"$W/words.expected"
printf 'end\n' >>"$W/words.expected"
image+="$svc "

sc_create "$svc" "$image"
check_eq "stored image path" "[$image]" "$(field path)"
svcctl start "$svc"
check_svcctl "start" $?
wait_state "$svc" RUNNING 10 || die "$svc did not reach RUNNING within 10 s: $(svcctl_error)"
wait_record "$record" 10 || die "the child left no record"
wait_log "success CreateProcess" 5

check_log "log" \
    "main() start:$((${#rows[@]} + 3))" \
    "MyServiceStart start:1" \
    "exec_proc() start" \
    "cmdline=" \
    "$child" \
    "success CreateProcess"
check_eq "the child's command line" "cmdline=<$child>" "$(grep '^cmdline=' "$record")"
check_file_eq "the child's words" "$W/words.expected" <(sed -n '/^argv\[1\]/,$p' "$record")

svcctl control "$svc" 1
wait_state "$svc" STOPPED 10
check_svcctl "stop" $?
wait_log "main() end" 5

finish
