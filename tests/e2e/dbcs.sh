#!/bin/bash
# Splitting under code page 932 (Wine's choice for LC_ALL=ja_JP.UTF-8). The second byte of
# Shift-JIS 表 (95 5C) is the byte of a backslash: read alone it would turn the quote after it
# into a literal quote. tolvard must take 95 5C as one character, so the quote opens a quoted
# stretch. Seen through a service whose image path holds 表" x 表" y: main() start counts the
# words, the logged child command shows how they were split and joined, and the child gets them.
. "$(dirname "$0")/lib.sh"
work_dir dbcs
use_japanese_locale

svc=tvd_dbcs
cp "$E2E_HELPERS/probe.exe" "$W/probe.exe"
probe=$(winpath "$W/probe.exe")
record=$W/probe.exe.args
# Written in UTF-8 here: Wine turns Unix argv into Unicode by the Unix locale, and the service
# reads it back in code page 932.
image="$(winpath "$TOLVARD") $probe 表\" x 表\" y $svc "

sc_create "$svc" "$image"
check_eq "stored image path" "[$(to_cp932 "$image")]" "$(field path)"
svcctl start "$svc"
check_svcctl "start" $?
wait_state "$svc" RUNNING 10 || die "$svc did not reach RUNNING within 10 s: $(svcctl_error)"
wait_record "$record" 10 || die "the child left no record"
check_eq "the service runs under code page 932" "acp=932" "$(head -n 1 "$record")" ||
    die "no code page 932 under LC_ALL=ja_JP.UTF-8 (locale: ${E2E_WINE_ENV[*]})"
wait_log "success CreateProcess" 5

# Split as one character, the words are: probe, "表 x 表", y and the service name. The word
# with blanks is quoted for the child; its last byte 5C is no backslash, so it stays single.
child=$(to_cp932 "$probe \"表 x 表\" y ")
check_log "log" \
    "main() start:5" \
    "MyServiceStart start:1" \
    "exec_proc() start" \
    "cmdline=" \
    "$child" \
    "success CreateProcess"
check_eq "the child's words" \
    "$(printf 'argv[1]=<%s>\nargv[2]=<y>\nend' "$(to_cp932 '表 x 表')")" \
    "$(sed -n '/^argv\[1\]/,$p' "$record")"

svcctl control "$svc" 1
wait_state "$svc" STOPPED 10
check_svcctl "stop" $?
wait_log "main() end" 5

# The writer's side: "reg" typed under code page 932. ソ is 83 5C: before \" it must stay one
# character (the \" is then a literal quote), and at the end of a quoted field its 5C is no
# backslash to move after the closing quote, or the lead byte would swallow that quote.
reg_svc=tvd_dbcs_reg
wine_call "$W/sc" sc delete "$reg_svc"
run_line reg "$(to_cp932 "$(winpath "$TOLVARD") reg $reg_svc $probe \"表 x表\" ソ\\\"q \"a ソ\"")"
check_eq "reg: exit status" 1 $?
check_eq "reg: console output" "" "$(cat "$W/reg.out")"
svcctl config "$reg_svc"
check_eq "the image path reg wrote" \
    "[$(to_cp932 "$(winpath "$TOLVARD") $probe \"表 x表\" \"ソ\\\"q\" \"a ソ\" $reg_svc ")]" "$(field path)"
rm -f "$record"
svcctl start "$reg_svc"
check_svcctl "start of the registered service" $?
wait_state "$reg_svc" RUNNING 10 || fail "$reg_svc did not reach RUNNING: $(svcctl_error)"
wait_record "$record" 10 || fail "the registered service's child left no record"
check_eq "the registered service's child gets the words as typed" \
    "$(printf 'argv[1]=<%s>\nargv[2]=<%s>\nargv[3]=<%s>\nend' "$(to_cp932 '表 x表')" \
        "$(to_cp932 'ソ"q')" "$(to_cp932 'a ソ')")" \
    "$(sed -n '/^argv\[1\]/,$p' "$record")"
svcctl control "$reg_svc" 1
wait_state "$reg_svc" STOPPED 10
wine_call "$W/sc" sc delete "$reg_svc"

finish
