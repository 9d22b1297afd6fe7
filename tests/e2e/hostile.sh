#!/bin/bash
# Hostile and extreme input, each case with its outcome asserted: a 32 KB command line, a
# 2000-character EXENAME and ARGV word, child commands around the log's 1000-character line
# limit, bytes above 127 in every field, service names the service control manager refuses,
# tolvard.exe at the longest path Windows can start and at one it cannot, and a log that
# another process holds open for reading and writing while the service runs.
#
# The cases whose child ends by itself (probe.exe exit:0) run together: each has a directory
# of its own with its own copy of tolvard.exe, hence its own log, and all are registered in
# one runcmd call and started in one svcctl call.
. "$(dirname "$0")/lib.sh"
work_dir hostile
counts_begin hostile
use_western_locale
# Byte by byte in the shell: the texts below are in code page 1252, not UTF-8.
export LC_ALL=C

cases=0
lost=0
orphans=0

# The Unix name of a Windows name in code page 1252 (Wine keeps file names in UTF-8).
unix_name() {
    printf '%s' "$1" | iconv -f CP1252 -t UTF-8
}

# lost_lines EXPECTED ACTUAL: how many expected lines are missing (a broken one is missing too).
lost_lines() {
    LC_ALL=C grep -v -x -F -f <(printf '%s\n' "$2") <(printf '%s\n' "$1") | grep -c .
}

# A word of LENGTH characters cycling through letters, a blank, a quote and backslashes.
mixed_word() {
    local unit='ab c"d\\e\f'
    local word=''
    while [ ${#word} -lt "$1" ]; do word+=$unit; done
    printf '%s' "${word:0:$1}"
}

# That word as tolvard's rule reads it back: quoted, quotes as \", no backslash before the
# closing quote (mixed_word never ends in one when LENGTH is chosen so).
typed_mixed() {
    local w=${1//\"/\\\"}
    printf '"%s"' "$w"
}

# --- the batch: cases whose child ends by itself ---
# add_case NAME DIR SVCNAME EXENAME TYPED [PROGRAM]: a copy of tolvard.exe in DIR, and the
# line that registers SVCNAME with it: PROGRAM (default: that copy's Windows path) reg SVCNAME
# EXENAME TYPED.
batch_names=()
: >"$W/reg.lines"
: >"$W/rem.lines"
add_case() {
    local name=$1 dir=$2 svc=$3 exename=$4 typed=$5
    local program=${6:-$(winpath "$dir/tolvard.exe")}
    batch_names+=("$name")
    mkdir -p "$dir"
    cp "$TOLVARD" "$dir/tolvard.exe"
    printf '%s reg %s %s %s\n' "$program" "$svc" "$exename" "$typed" >>"$W/reg.lines"
    printf '%s rem %s\n' "$program" "$svc" >>"$W/rem.lines"
    eval "case_dir_$name=\$dir case_svc_$name=\$svc"
}

# A 32 KB command line: tolvard reg with some 3000 plain words, 32700 characters in all, under
# the system's limit of 32767 for the image path and the child command it leads to.
mkdir -p "$W/big"
cp "$E2E_HELPERS/probe.exe" "$W/big/probe.exe"
big_probe=$(winpath "$W/big/probe.exe")
big_head="$(winpath "$W/big/tolvard.exe") reg tvd_h_big $big_probe exit:0"
big_words=()
big_typed=''
i=0
while [ $((${#big_head} + ${#big_typed} + 11)) -le 32700 ]; do
    i=$((i + 1))
    word=$(printf 'w%09d' "$i")
    big_words+=("$word")
    big_typed+=" $word"
done
add_case big "$W/big" tvd_h_big "$big_probe" "exit:0$big_typed"
check_eq "the 32 KB command line is 32 KB" 1 \
    "$(((${#big_head} + ${#big_typed}) > 32600 && (${#big_head} + ${#big_typed}) <= 32700))"

# A 2000-character EXENAME: longer than the system's path limit, so it cannot start.
exe2000="Z:\\$(printf 'e%.0s' $(seq 1992)).exe"
add_case exe2000 "$W/exe2000" tvd_h_exe2000 "$exe2000" "exit:0 x"

# A 2000-character ARGV word with blanks, quotes and backslashes.
word2000=$(mixed_word 2000)
mkdir -p "$W/word2000"
cp "$E2E_HELPERS/probe.exe" "$W/word2000/probe.exe"
add_case word2000 "$W/word2000" tvd_h_word2000 "$(winpath "$W/word2000/probe.exe")" \
    "exit:0 $(typed_mixed "$word2000")"

# Child commands around the log's limit: the command and its line end together reach 1000
# characters at a command of 999.
for length in 998 999 1500; do
    dir=$W/cmd$length
    mkdir -p "$dir"
    cp "$E2E_HELPERS/probe.exe" "$dir/probe.exe"
    probe=$(winpath "$dir/probe.exe")
    # The command: probe, "exit:0", the word, each followed by a blank.
    fill=$((length - ${#probe} - 9))
    word=$(printf 'x%.0s' $(seq "$fill"))
    eval "word_cmd$length=\$word"
    add_case "cmd$length" "$dir" "tvd_h_cmd$length" "$probe" "exit:0 $word"
done

# Bytes above 127 in every field: the directory of tolvard.exe (and so the log's path), the
# service name, EXENAME and the words, in code page 1252.
high_dir_name=$'h\xe9\x80\xdf'
high_dir=$W/$(unix_name "$high_dir_name")
high_exe_name=$'pr\xf8b\xe9.exe'
high_svc=$'tvd_h\xe9\x80'
high_words=(
    "$(printf '%b' "$(printf '\\x%x' $(seq 128 191))")"
    "$(printf '%b' "$(printf '\\x%x' $(seq 192 255))")"
    $'caf\xe9 cr\xe8me'
    $'\xa0'
)
mkdir -p "$high_dir"
cp "$E2E_HELPERS/probe.exe" "$high_dir/$(unix_name "$high_exe_name")"
high_probe="$(winpath "$W")\\$high_dir_name\\$high_exe_name"
add_case high "$high_dir" "$high_svc" "$high_probe" \
    "exit:0 ${high_words[0]} ${high_words[1]} \"${high_words[2]}\" ${high_words[3]}" \
    "$(winpath "$W")\\$high_dir_name\\tolvard.exe"

services=()
for name in "${batch_names[@]}"; do
    eval "svc=\$case_svc_$name"
    services+=("$svc")
    wine_call "$W/sc" sc delete "$(unix_name "$svc")"
done
for svc in "${services[@]}"; do E2E_SERVICES+=("$(unix_name "$svc")"); done

run_lines reg "$W/reg.lines"
check_eq "batch: every reg silent, exit status 1" \
    "$(printf 'rc=1\n%.0s' "${batch_names[@]}")" "$(tr -d '\r' <"$W/reg.out")"
svcctl_names=()
for svc in "${services[@]}"; do svcctl_names+=("$(unix_name "$svc")"); done
svcctl runall 60 "${svcctl_names[@]}"
cp "$W/svcctl.txt" "$W/runall.txt"

# judge NAME WIN32_EXIT WORDS_FILE LOGGED_COMMAND: one case of the batch. WORDS_FILE holds the
# child's words from argv[1] (empty name: no child); LOGGED_COMMAND is the line after
# "cmdline=" (empty: none, the line is dropped).
judge() {
    local name=$1 win32_exit=$2 words=$3 logged=$4
    local dir svc index
    eval "dir=\$case_dir_$name svc=\$case_svc_$name"
    for index in "${!batch_names[@]}"; do [ "${batch_names[index]}" = "$name" ] && break; done
    cases=$((cases + 1))
    check_eq "$name: the service stopped by itself with exit codes $win32_exit 0" \
        "svc=$index start_error=0 state=1 win32_exit=$win32_exit service_exit=0" \
        "$(sed -n "/^svc=$index /p" "$W/runall.txt")"
    local outcome="success CreateProcess"
    [ -n "$words" ] || outcome="fail to CreateProcess"
    local expected
    expected=$(
        printf '%s\n' "main() start:$5" "MyServiceStart start:1" "exec_proc() start" "cmdline="
        [ -z "$logged" ] || printf '%s\n' "$logged"
        printf '%s\n' "$outcome" "exec_proc() end" "main() end"
    )
    local actual
    actual=$(log_messages "$dir/tolvard.log")
    check_eq "$name: log" "$expected" "$actual" ||
        lost=$((lost + $(lost_lines "$expected" "$actual")))
    if [ -n "$words" ]; then
        local record
        record=$(ls "$dir"/*.exe.args 2>/dev/null | head -n 1)
        if [ -z "$record" ] || ! check_file_eq "$name: the child's words" "$words" \
            <(sed -n '/^argv\[1\]/,$p' "$record"); then
            lost=$((lost + 1))
        fi
    fi
}

# words_file NAME WORD...: the record lines of the child's argv[1..] and "end".
words_file() {
    local file=$W/$1.words i=1
    shift
    : >"$file"
    for word in "$@"; do
        printf 'argv[%d]=<%s>\n' "$i" "$word" >>"$file"
        i=$((i + 1))
    done
    printf 'end\n' >>"$file"
    printf '%s' "$file"
}

judge big 0 "$(words_file big exit:0 "${big_words[@]}")" "" $((${#big_words[@]} + 4))
# Wine's CreateProcess fails with 2 (file not found) for a path over its limit.
judge exe2000 2 "" "" 5
judge word2000 0 "$(words_file word2000 exit:0 "$word2000")" "" 5
judge cmd998 0 "$(words_file cmd998 exit:0 "$word_cmd998")" \
    "$(winpath "$W/cmd998/probe.exe") exit:0 $word_cmd998 " 5
judge cmd999 0 "$(words_file cmd999 exit:0 "$word_cmd999")" "" 5
judge cmd1500 0 "$(words_file cmd1500 exit:0 "$word_cmd1500")" "" 5
judge high 0 "$(words_file high exit:0 "${high_words[@]}")" \
    "$high_probe exit:0 ${high_words[0]} ${high_words[1]} \"${high_words[2]}\" ${high_words[3]} " 8
svcctl config "$(unix_name "$high_svc")"
check_eq "high: the image path as stored, in code page 1252" \
    "[$(winpath "$W")\\$high_dir_name\\tolvard.exe $high_probe exit:0 ${high_words[0]} ${high_words[1]} \"${high_words[2]}\" ${high_words[3]} $high_svc ]" \
    "$(field path)"
svcctl config tvd_h_exe2000
check_eq "exe2000: the EXENAME is stored whole" \
    "[$(winpath "$W/exe2000/tolvard.exe") $exe2000 exit:0 x tvd_h_exe2000 ]" "$(field path)"

run_lines rem "$W/rem.lines"
check_eq "batch: every rem silent" "$(printf 'rc=1\n%.0s' "${batch_names[@]}")" \
    "$(tr -d '\r' <"$W/rem.out")"

# --- service names the service control manager refuses ---
exe=$(winpath "$TOLVARD")
cp "$E2E_HELPERS/probe.exe" "$W/probe.exe"
probe=$(winpath "$W/probe.exe")
long_name=$(printf 'n%.0s' $(seq 257))
refused=('a\b' 'a/b' "$long_name" '""')
: >"$W/refused.lines"
for name in "${refused[@]}"; do
    printf '%s reg %s %s x\n' "$exe" "$name" "$probe" >>"$W/refused.lines"
done
run_lines refused "$W/refused.lines"
# Each says why in a second line: the names with a separator or nothing are invalid (123);
# the long one Wine refuses with an error of its own choice.
check_eq "refused names: each says fail to CreateService and why, exit status 1" \
    "$(printf 'fail to CreateService\nerror N: TEXT\nrc=1\n%.0s' "${refused[@]}")" \
    "$(tr -d '\r' <"$W/refused.out" | sed -E 's/^error [0-9]+: .+$/error N: TEXT/')"
check_eq "refused names: three of them invalid names" 3 \
    "$(tr -d '\r' <"$W/refused.out" | grep -c '^error 123: ')"
cases=$((cases + ${#refused[@]}))
# OpenService refuses the names with a separator or nothing outright (123); the long one is
# a name it looks up, and finds nothing under.
svcctl query "$long_name"
check_eq "refused long name: no such service" "svcctl: OpenService error=1060" "$(svcctl_error)"

# --- tolvard.exe at long paths ---
# 259 characters: the longest full path of a program that Windows (and Wine) can start.
# Its directory, in Windows form "Z:" and the Unix path, has 247 characters.
dir=$W/l
while [ $((${#dir} + 21)) -lt 245 ]; do dir+=/$(printf 'd%.0s' $(seq 19)); done
dir+=/$(printf 'd%.0s' $(seq $((245 - ${#dir} - 1))))
long_exe=$(winpath "$dir")\\tolvard.exe
mkdir -p "$dir"
cp "$TOLVARD" "$dir/tolvard.exe"
check_eq "the long program path has 259 characters" 259 "${#long_exe}"
cases=$((cases + 1))
svc=tvd_h_long
wine_call "$W/sc" sc delete $svc
E2E_SERVICES+=("$svc")
cp "$E2E_HELPERS/probe.exe" "$W/long.exe"
run_line reg_long "$long_exe reg $svc $(winpath "$W/long.exe") one two"
check_eq "long path: reg silent" "1 " "$? $(cat "$W/reg_long.out")"
svcctl config $svc
check_eq "long path: the image path" "[$long_exe $(winpath "$W/long.exe") one two $svc ]" \
    "$(field path)"
svcctl start $svc
check_svcctl "long path: start" $?
wait_state $svc RUNNING 10 || fail "long path: $svc did not reach RUNNING: $(svcctl_error)"
wait_record "$W/long.exe.args" 10 || fail "long path: the child left no record"
check_eq "long path: the child's words" "$(printf 'argv[1]=<one>\nargv[2]=<two>\nend')" \
    "$(sed -n '/^argv\[1\]/,$p' "$W/long.exe.args")"
svcctl control $svc 1
wait_state $svc STOPPED 10
check_svcctl "long path: stopped" $?
check_true "long path: the child is gone" still "$W/long.exe.ticks" || orphans=$((orphans + 1))
wait_log "main() end" 5 "$dir/tolvard.log"
expected=$(printf '%s\n' "main() start:5" "MyServiceStart start:1" "exec_proc() start" \
    "cmdline=" "$(winpath "$W/long.exe") one two " "success CreateProcess")
actual=$(log_messages "$dir/tolvard.log")
check_eq "long path: the log beside that copy" "$expected" "$(head -n 6 <<<"$actual")" ||
    lost=$((lost + $(lost_lines "$expected" "$actual")))
check_eq "long path: the stop's lines" \
    "$(printf '%s\n' 'Leaving MyService' 'asking the child to end, grace time 5000 ms' \
        'the child ended on its own after N ms' 'exec_proc() end' 'main() end')" \
    "$(tail -n +7 <<<"$actual" | sed -e 's/ after [0-9]* ms$/ after N ms/' \
        -e '/^WM_CLOSE sent to [0-9]* windows$/d')"
run_line rem_long "$long_exe rem $svc"

# Over 300 characters: no Windows program can start it there (runcmd's CreateProcess fails
# with 2, and the 64-bit Wine cannot even start it from the Unix side), so the service is made
# with sc.exe as an administrator might. The service control manager cannot start it and says
# so, and no log is made.
dir=$W/m
while [ ${#dir} -lt 320 ]; do dir+=/$(printf 'd%.0s' $(seq 30)); done
mkdir -p "$dir"
cp "$TOLVARD" "$dir/tolvard.exe"
cases=$((cases + 1))
svc=tvd_h_longer
run_line reg_longer "$(winpath "$dir/tolvard.exe") reg $svc $(winpath "$W/long.exe") one"
check_eq "path over 300: no Windows program can start tolvard.exe there" \
    "253 runcmd: CreateProcess error=2" "$? $(tr -d '\r' <"$W/reg_longer.err")"
sc_create $svc "$(winpath "$dir/tolvard.exe") $(winpath "$W/long.exe") one $svc "
svcctl start $svc
check_eq "path over 300: the service control manager cannot start it" \
    "1 svcctl: StartService error=2" "$? $(svcctl_error)"
check_true "path over 300: no log" test ! -e "$dir/tolvard.log"

# --- a log held open by another program ---
# holder.exe opens the log of a copy of tolvard for reading and writing before the service
# starts and keeps it open throughout; every line must reach it as soon as it is written.
cases=$((cases + 1))
dir=$W/held
mkdir -p "$dir"
cp "$TOLVARD" "$dir/tolvard.exe"
cp "$E2E_HELPERS/probe.exe" "$dir/held.exe"
printf 'an old line\r\n' >"$dir/tolvard.log"
svc=tvd_h_held
sc_create $svc "$(winpath "$dir/tolvard.exe") $(winpath "$dir/held.exe") run $svc "
seen=$W/seen.txt
rm -f "$seen" "$seen.stop"
(E2E_WINE_TIMEOUT=120 wine_call "$W/holder" "$E2E_HELPERS/holder.exe" \
    "$(winpath "$dir/tolvard.log")" "$(winpath "$seen")" 100) &
holder=$!
check_true "held: the holder has the log open" wait_file "$seen" 10
# seen_line MESSAGE: waits until the holder has read that line through its handle.
seen_line() {
    local tries=100
    while [ $tries -gt 0 ]; do
        log_messages "$seen" | grep -Fxq -- "$1" && return 0
        sleep 0.1
        tries=$((tries - 1))
    done
    return 1
}
svcctl start $svc
check_svcctl "held: the service starts" $?
wait_state $svc RUNNING 10
check_svcctl "held: it runs" $?
held_lines=("main() start:4" "MyServiceStart start:1" "exec_proc() start" "cmdline="
    "$(winpath "$dir/held.exe") run " "success CreateProcess")
check_true "held: the holder reads the start's lines while the service runs" \
    seen_line "success CreateProcess"
for code in 200 201 202; do
    # At most one unknown code is logged a second.
    sleep 1.1
    svcctl control $svc $code
    check_svcctl "held: control $code answered" $?
    held_lines+=("Unrecognized opcode $code")
    check_true "held: the holder reads the line of control $code" \
        seen_line "Unrecognized opcode $code"
done
check_true "held: the child works on" ticking "$dir/held.exe.ticks"
svcctl control $svc 1
wait_state $svc STOPPED 10
check_svcctl "held: stopped" $?
check_true "held: the child is gone" still "$dir/held.exe.ticks" || orphans=$((orphans + 1))
check_true "held: the holder reads main() end" seen_line "main() end"
touch "$seen.stop"
wait "$holder"
check_eq "held: the holder kept the log open to the end" 0 "$?"
expected=$(printf '%s\n' "${held_lines[@]}")
actual=$(log_messages "$seen")
check_eq "held: what the holder read, the old line gone" "$expected" "$(head -n ${#held_lines[@]} <<<"$actual")" ||
    lost=$((lost + $(lost_lines "$expected" "$actual")))

count cases "$cases"
count lost "$lost"
count orphans "$orphans"
finish
