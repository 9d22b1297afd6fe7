#!/bin/bash
# Command lines that are neither a command nor a service run: each prints the five usage lines
# byte for byte, CR LF included, naming the program by its full module path however it was
# typed, and exits with status 1. None of them registers anything.
. "$(dirname "$0")/lib.sh"
work_dir usage

exe=$(winpath "$TOLVARD")
mkdir -p "$W/elsewhere/deeper"
rel=$(realpath --relative-to="$W/elsewhere/deeper" "$TOLVARD")
rel=${rel//\//\\}
{
    printf 'Usage:\r\n'
    printf 'When register new service,\r\n'
    printf '%s reg SVCNAME EXENAME ARGV...\r\n' "$exe"
    printf 'When remove service,\r\n'
    printf '%s rem SVCNAME\r\n' "$exe"
} >"$W/usage.expected"

# name | command line | working directory
cases=(
    "no_words|$exe|$W"
    "relative_path_from_elsewhere|$rel|$W/elsewhere/deeper"
    "bare_name_in_own_directory|tolvard.exe|$(dirname "$TOLVARD")"
    "quoted_program_path|\"$exe\"|$W"
    "only_blanks_and_tabs|$exe  "$'\t'" |$W"
    "capital_REG|$exe REG Web app.exe|$W"
    "reg_with_name_only|$exe reg Web|$W"
    "reg_exename_without_dot|$exe reg Web app|$W"
    "reg_alone|$exe reg|$W"
    "rem_alone|$exe rem|$W"
    "other_word|$exe install Web app.exe|$W"
    "empty_quoted_word|$exe \"\" app.exe|$W"
)

for row in "${cases[@]}"; do
    IFS='|' read -r name line dir <<<"$row"
    run_line "$name" "$line" "$dir"
    check_eq "$name: exit status" 1 "$?"
    check_file_eq "$name: console output" "$W/usage.expected" "$W/$name.out"
    check_eq "$name: error output" "" "$(cat "$W/$name.err")"
done

# A command mistaken for "reg" would have created the service Web.
svcctl query Web
check_eq "no service Web was registered" "svcctl: OpenService error=1060" "$(svcctl_error)"

finish
