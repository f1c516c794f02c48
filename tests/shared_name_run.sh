#!/bin/sh
# Entries that Wine lists under one name, as a share served from another system can list
# them: Unix names whose bytes are not UTF-8 come out alike, names that differ only in case
# are one name to a Windows path, and a folder can go by a file's name. Such a name names no
# one file: each file under it is reported "error" once, and none runs. A file beside them
# runs as usual.
wine=$1
exe=$2
export WINEDEBUG=-all
folder=$(mktemp -d "${TMPDIR:-/tmp}/quorvel-shared-name.XXXXXX") || exit 1
trap 'rm -rf "$folder"' EXIT
# Each batch file records its own tag in a file of its own.
batch() {
    printf '@echo %%0>>ran-%s.txt\r\n' "$2" >"$folder/$1"
}
batch "$(printf 'a\377.cmd')" a-ff
batch "$(printf 'a\376.cmd')" a-fe
batch "$(printf 'B\377.cmd')" upper-b
batch "$(printf 'b\376.cmd')" lower-b
mkdir "$folder/$(printf 'c\377.cmd')"
batch "$(printf 'c\376.cmd')" c
batch d.cmd d

cd "$folder" || exit 1
"$wine" "$exe" --no-con '?*.cmd' >output.txt </dev/null
status=$?
# What Wine shows for a byte that is not UTF-8: U+FFFD.
u=$(printf '\357\277\275')
expected=$(printf 'run [a%s.cmd]...error\nrun [a%s.cmd]...error\nrun [B%s.cmd]...error
run [b%s.cmd]...error\nrun [c%s.cmd]...error\nrun [d.cmd]...ok\nexit [d.cmd]' \
    "$u" "$u" "$u" "$u" "$u")
shown=$(tr -d '\r' <output.txt | sed 1d)
failed=0
if [ "$status" -ne 0 ] || [ "$shown" != "$expected" ]; then
    printf 'exit status %s; expected after the banner:\n%s\nwritten:\n%s\n' "$status" "$expected" "$shown"
    failed=1
fi
for tag in a-ff a-fe upper-b lower-b c; do
    if [ -e "ran-$tag.txt" ]; then
        echo "the file tagged $tag ran"
        failed=1
    fi
done
[ -e ran-d.txt ] || { echo "d.cmd did not run"; failed=1; }
exit "$failed"
