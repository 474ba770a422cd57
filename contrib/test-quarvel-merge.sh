#!/bin/sh
# Checks contrib/quarvel-merge on the example logger file, converted by the
# quarvel binary given (default build/quarvel). When that binary lies in a
# CMake build folder, the script is checked as `cmake --install` installs it.
# Needs only sh and awk (and cmake for the install); every check runs with
# each of mawk and gawk that is installed, else with awk.
# usage: contrib/test-quarvel-merge.sh [path/to/quarvel]
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
quarvel=$(realpath "${1:-$top/build/quarvel}")
merge=$top/contrib/quarvel-merge
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

fail() {
    echo "test-quarvel-merge: ${awk:+$awk: }$*" >&2
    exit 1
}

build=$(dirname "$quarvel")
installed=
if [ -f "$build/cmake_install.cmake" ] && command -v cmake >/dev/null; then
    cmake --install "$build" --prefix "$work/prefix" >/dev/null
    merge=$work/prefix/bin/quarvel-merge
    [ -x "$merge" ] || fail "cmake --install does not install quarvel-merge"
    cmp -s "$merge" "$top/contrib/quarvel-merge" || fail "the installed quarvel-merge differs from contrib's"
    installed=", as installed"
else
    echo "test-quarvel-merge: $build is no CMake build folder: the install is not checked"
fi

cp "$top/examples/1.002" "$work/1.002"
cp "$top/examples/1.002" "$work/a,b=c.002"
cd "$work"
"$quarvel" -q -tc 1.002 'a,b=c.002'
mkdir folder
cp 1.002.txt ./-

expect_line() {  # line number, expected text
    actual=$(sed -n "$1p" table.csv)
    [ "$actual" = "$2" ] || fail "line $1 is '$actual', expected '$2'"
}

checkMerge() {
    "$merge" -c time,adcChan,calData 1.002.txt 'a,b=c.002.txt' >table.csv
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

    usage="usage: quarvel-merge [-c COLUMNS] [--] FILE.txt... > table.csv"
    for option in --help -h; do
        status=0
        "$merge" "$option" >help.out 2>help.err || status=$?
        [ "$status" -eq 0 ] || fail "$option: exit status $status, expected 0"
        [ "$(sed -n 1p help.out)" = "$usage" ] || fail "$option: the first line is '$(sed -n 1p help.out)'"
        [ ! -s help.err ] || fail "$option wrote to standard error: $(cat help.err)"
    done

    # Files quarvel did not write are refused, each by name, at the first line
    # that is no record; the others are still merged.
    printf 'not, a log\r\n' >notes.txt
    printf '1.000000\r\n2.000000,3\r\n' >fields.txt
    status=0
    "$merge" 1.002 1.002.txt notes.txt fields.txt >refused.csv 2>refused.err || status=$?
    [ "$status" -eq 1 ] || fail "files quarvel did not write: exit status $status, expected 1"
    {
        echo "quarvel-merge: 1.002 is not a text file written by quarvel (line 1)"
        echo "quarvel-merge: notes.txt is not a text file written by quarvel (line 1)"
        echo "quarvel-merge: fields.txt is not a text file written by quarvel (line 2)"
    } >refused.expected
    cmp -s refused.err refused.expected || fail "files quarvel did not write: standard error is: $(cat refused.err)"
    [ "$(grep -c '^1\.002\.txt,' refused.csv)" -eq 144 ] || fail "1.002.txt is not merged beside files refused"
    [ "$(grep -vc '^1\.002\.txt,' refused.csv)" -eq 1 ] || fail "rows of refused files: $(grep -v '^1\.002\.txt,' refused.csv)"
    grep -qx 'fields.txt,1,1.000000' refused.csv || fail "the record before the bad line of fields.txt is missing"

    # Every record form quarvel writes is taken: no field, non-finite values.
    printf '\r\n\r\n' >empty-records.txt
    printf '%%ADC CHANNEL         : 1\r\n-nan,inf,-inf,nan,-0.000000\r\n' >non-finite.txt
    "$merge" empty-records.txt non-finite.txt >forms.csv || fail "records of no field or non-finite values are refused"
    printf 'empty-records.txt,1,\nempty-records.txt,1,\nnon-finite.txt,1,-nan,inf,-inf,nan,-0.000000\n' >forms.expected
    cmp -s forms.csv forms.expected || fail "records of no field or non-finite values: $(cat forms.csv)"

    # A folder or a device is refused by name, and the files after it are
    # still merged.
    status=0
    "$merge" 1.002.txt folder /dev/null 1.002.txt >kinds.csv 2>kinds.err || status=$?
    [ "$status" -eq 1 ] || fail "a folder and a device: exit status $status, expected 1"
    {
        echo "quarvel-merge: cannot read folder: it is a folder"
        echo "quarvel-merge: cannot read /dev/null: it is a device"
    } >kinds.expected
    cmp -s kinds.err kinds.expected || fail "a folder and a device: standard error is: $(cat kinds.err)"
    [ "$(grep -c '^1\.002\.txt,' kinds.csv)" -eq 288 ] || fail "the files beside a folder are not all merged"

    # A file named - is that file, not standard input.
    status=0
    echo "standard input" | "$merge" - >dash.csv 2>dash.err || status=$?
    [ "$status" -eq 0 ] && [ ! -s dash.err ] || fail "the file named -: exit status $status, $(cat dash.err)"
    [ "$(grep -c '^-,[12],' dash.csv)" -eq 144 ] || fail "the file named - is not merged: $(head -n 2 dash.csv)"

    # -- ends the options; any other option is an error of usage.
    status=0
    "$merge" -- 1.002.txt >options.csv 2>options.err || status=$?
    [ "$status" -eq 0 ] && [ ! -s options.err ] || fail "--: exit status $status, $(cat options.err)"
    [ "$(wc -l <options.csv)" -eq 144 ] || fail "--: $(wc -l <options.csv) rows, expected 144"
    status=0
    "$merge" -x 1.002.txt >options.csv 2>options.err || status=$?
    [ "$status" -eq 2 ] && [ ! -s options.csv ] || fail "-x: exit status $status, expected 2"
    [ "$(sed -n 1p options.err)" = "quarvel-merge: unknown option -x" ] || fail "-x: $(cat options.err)"

    # The columns of -c are written as they stand: \n is no newline.
    "$merge" -c 'time\nadcChan' 1.002.txt >columns.csv
    [ "$(sed -n 1p columns.csv)" = 'file,block,time\nadcChan' ] || fail "-c 'time\\nadcChan': $(sed -n 1,2p columns.csv)"
}

awks=
for candidate in mawk gawk; do
    command -v "$candidate" >/dev/null && awks="$awks $candidate"
done
[ -n "$awks" ] || awks=awk
for awk in $awks; do
    mkdir -p "$work/bin-$awk"
    ln -sf "$(command -v "$awk")" "$work/bin-$awk/awk"
    path=$PATH
    PATH=$work/bin-$awk:$PATH
    checkMerge
    PATH=$path
done

echo "test-quarvel-merge: ok with$awks (288 records from 2 files, 4 blocks; --help; files refused; bad operands$installed)"
