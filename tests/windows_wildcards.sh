#!/bin/sh
# Checks that the Windows build expands * and ? in its file operands itself,
# as Windows console programs do (cmd and PowerShell pass them on as typed):
# the logs a pattern names are converted, other files are left alone, names
# outside ASCII survive, and a pattern that matches nothing is reported as a
# file that cannot be opened.
# usage: tests/windows_wildcards.sh QUARVEL.EXE [LAUNCHER WORD...]
# e.g.   tests/windows_wildcards.sh build-windows/quarvel.exe wine
set -eu
binary=$(realpath "$1")
shift
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# Wine reads file names as UTF-8 only in a UTF-8 locale.
export TZ=UTC0 LC_ALL=C.UTF-8
failures=0

fail() {
    echo "windows_wildcards: $*" >&2
    failures=$((failures + 1))
}

# A log of one block on channel $2 (one digit): 500 ms, 2^30 s, gain 0.5,
# offset 1, samples 100 and -100.
writeLog() {
    printf '\000\000\000\00'"$2"'\000\000\001\364\100\000\000\000\000\000\000\002' >"$1"
    printf '\077\000\000\000\077\200\000\000\000\144\377\234' >>"$1"
}

# What quarvel -qSc writes for such a log.
expectedText() {
    printf '%s,51.000000\r\n%s,-49.000000\r\n' "$1" "$1"
}

mkdir "$work/logs"
writeLog "$work/logs/a.002" 1
writeLog "$work/logs/b.002" 2
writeLog "$work/logs/é€.002" 3
writeLog "$work/logs/c.003" 4
printf 'not a log\r\n' >"$work/logs/notes.txt"

# Output to files, not pipes: a helper process that wine starts may inherit
# a pipe and keep it open.
run() {  # folder, quarvel's arguments...
    folder=$1
    shift
    status=0
    (cd "$folder" && "$@") >"$work/out" 2>"$work/err" || status=$?
}

run "$work/logs" "$@" "$binary" -qSc '*.002'
[ "$status" -eq 0 ] || fail "*.002: exit status $status, expected 0"
[ ! -s "$work/err" ] || fail "*.002: standard error: $(cat "$work/err")"
for converted in a.002:1 b.002:2 é€.002:3; do
    name=${converted%:*}
    [ "$(cat "$work/logs/$name.txt" 2>/dev/null | od -An -c)" = "$(expectedText "${converted#*:}" | od -An -c)" ] \
        || fail "*.002: $name.txt is missing or wrong"
done
for untouched in c.003.txt notes.txt.txt; do
    [ ! -e "$work/logs/$untouched" ] || fail "*.002: $untouched was written"
done
rm -f "$work/logs/"*.txt.txt "$work/logs/"*.002.txt

# A folder in the pattern stays in the names; ? is one character (é€ are two).
run "$work" "$@" "$binary" -qd 'logs\?.002'
[ "$status" -eq 0 ] || fail "logs\\?.002: exit status $status, expected 0"
printf 'processing file: logs\\%s\n' a.002 b.002 >"$work/expected"
if [ "$(sort "$work/out")" != "$(sort "$work/expected")" ]; then
    fail "logs\\?.002: named the files $(cat "$work/out")"
fi

run "$work/logs" "$@" "$binary" -qSc 'none*.002' a.002
[ "$status" -eq 1 ] || fail "none*.002: exit status $status, expected 1"
[ "$(cat "$work/err")" = "failed to open input file none*.002" ] \
    || fail "none*.002: standard error: $(cat "$work/err")"
[ -e "$work/logs/a.002.txt" ] || fail "none*.002: the log after it was not converted"

if [ "$failures" -gt 0 ]; then
    exit 1
fi
echo "windows_wildcards: ok"
