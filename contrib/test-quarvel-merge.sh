#!/bin/sh
# Checks contrib/quarvel-merge on the example logger file, converted by the
# quarvel binary given (default build/quarvel). Needs only sh and awk.
# usage: contrib/test-quarvel-merge.sh [path/to/quarvel]
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
quarvel=$(realpath "${1:-$top/build/quarvel}")
merge=$top/contrib/quarvel-merge
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

fail() {
    echo "test-quarvel-merge: $*" >&2
    exit 1
}

cp "$top/examples/1.002" "$work/1.002"
cp "$top/examples/1.002" "$work/a,b=c.002"
cd "$work"
"$quarvel" -q -tc 1.002 'a,b=c.002'
"$merge" -c time,adcChan,calData 1.002.txt 'a,b=c.002.txt' >table.csv

expect_line() {  # line number, expected text
    actual=$(sed -n "$1p" table.csv)
    [ "$actual" = "$2" ] || fail "line $1 is '$actual', expected '$2'"
}
expect_line 1 'file,block,time,adcChan,calData'
expect_line 2 '1.002.txt,1,1796083200.000,3,-1.500000'
expect_line 81 '1.002.txt,1,1796083239.500,3,-6.192500'
expect_line 82 '1.002.txt,2,1796086800.000,4,3.615999'
expect_line 145 '1.002.txt,2,1796086863.000,4,35.872002'
expect_line 146 '"a,b=c.002.txt",1,1796083200.000,3,-1.500000'
expect_line 289 '"a,b=c.002.txt",2,1796086863.000,4,35.872002'
lines=$(wc -l <table.csv)
[ "$lines" -eq 289 ] || fail "$lines lines, expected 289"
if grep -q "$(printf '\r')" table.csv; then
    fail "a carriage return is left in the table"
fi
if "$merge" missing.txt >/dev/null 2>&1; then
    fail "a file that cannot be read does not fail"
fi
echo "test-quarvel-merge: ok (288 records from 2 files, 4 blocks)"
