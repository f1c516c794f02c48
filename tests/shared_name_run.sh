#!/bin/sh
# Two Unix files whose names hold bytes that are not UTF-8 are listed by Wine under one name,
# as a share served from another system can list them. Such a name names no one file: each
# entry is reported "error" once, and neither runs. A file beside them runs as usual.
wine=$1
exe=$2
export WINEDEBUG=-all
folder=$(mktemp -d "${TMPDIR:-/tmp}/quorvel-shared-name.XXXXXX") || exit 1
trap 'rm -rf "$folder"' EXIT
# Each batch file records its own name in a file of its own.
for tag in ff fe; do
    printf '@echo %%0>>ran-%s.txt\r\n' "$tag" >"$folder/a$(printf "\\$(printf '%03o' 0x$tag)").cmd"
done
printf '@echo %%0>>ran-b.txt\r\n' >"$folder/b.cmd"

cd "$folder" || exit 1
"$wine" "$exe" --no-con 'a*.cmd' b.cmd >output.txt </dev/null
status=$?
shared=$(printf 'a\357\277\275.cmd')
expected=$(printf 'run [%s]...error\nrun [%s]...error\nrun [b.cmd]...ok\nexit [b.cmd]' \
    "$shared" "$shared")
shown=$(tr -d '\r' <output.txt | sed 1d)
failed=0
if [ "$status" -ne 0 ] || [ "$shown" != "$expected" ]; then
    printf 'exit status %s; expected after the banner:\n%s\nwritten:\n%s\n' "$status" "$expected" "$shown"
    failed=1
fi
for tag in ff fe; do
    if [ -e "ran-$tag.txt" ]; then
        echo "the entry a\\x$tag.cmd ran"
        failed=1
    fi
done
[ -e ran-b.txt ] || { echo "b.cmd did not run"; failed=1; }
exit "$failed"
