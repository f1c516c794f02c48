#!/bin/sh
# Runs quorvel.exe on a terminal, where Wine gives it a real console, and checks that
# characters beyond Latin-1 reach the console as themselves.
wine=$1
exe=$2
export LC_ALL=C.UTF-8 WINEDEBUG=-all
cafe=$(printf 'caf\303\251')
nihon=$(printf '\346\227\245\346\234\254.exe')
shown=$(script -qec "$wine '$exe' --no-shl '$cafe' '$nihon'" /dev/null </dev/null |
    sed 's/\x1b\[[0-9;?]*[A-Za-z]//g' | tr -d '\r')
banner=$(printf '%s\n' "$shown" | sed -n '1p')
expected=$(printf '%s\nrun [%s]...error\nrun [%s]...error' "$banner" "$cafe" "$nihon")
if [ "$shown" != "$expected" ]; then
    printf 'expected:\n%s\nshown on the console:\n%s\n' "$expected" "$shown"
    exit 1
fi
printf '%s\n' "$shown"
