#!/bin/sh
# Runs the README's run command as on a machine where Wine never ran: from a fresh clone of
# the checkout's last commit, with a Wine prefix that does not exist yet, in a PID
# namespace of its own where no other Wine server can be seen. hostname.exe is in every
# prefix; with --no-con its own output goes to no console we read, so the lines checked
# are the launcher's.
#   new_machine_run.sh SOURCE_DIR
# Exits with 77 (skipped) where this user may not make the namespace.
source_dir=$1
export LC_ALL=C
if ! unshare --pid --fork --mount-proc true 2>/dev/null; then
    echo "skipped: this user may not run unshare --pid --fork --mount-proc"
    exit 77
fi
scratch=$(mktemp -d) || exit 1
trap 'rm -rf "$scratch"' EXIT
git clone --quiet "$source_dir" "$scratch/clone" || exit 1

# Output goes to files, never to a pipe that Wine's services could hold open. When the
# script, the namespace's first process, ends, every process left in the namespace is
# killed with it, the Wine server too; so is the script if the time runs out. The server's
# folder goes into the scratch folder through TMPDIR where Wine puts it there.
status=0
TMPDIR=$scratch WINEPREFIX=$scratch/prefix timeout -k 10 540 \
    unshare --pid --fork --mount-proc --kill-child \
    "$scratch/clone/scripts/run.sh" --no-shl --no-con hostname.exe \
    </dev/null >"$scratch/out" 2>"$scratch/err" || status=$?

date=$(date -u -d "@$(git -C "$scratch/clone" log -1 --format=%ct)" '+%b %e %Y')
expected=$(printf 'Quorvel / %s\nrun [hostname.exe]...ok\nexit [hostname.exe]' "$date")
shown=$(tr -d '\r' <"$scratch/out")
if [ "$status" -ne 0 ] || [ "$shown" != "$expected" ]; then
    printf 'exit status %s; expected:\n%s\nshown:\n%s\nstandard error:\n' "$status" "$expected" "$shown"
    tail -n 30 "$scratch/err"
    exit 1
fi
printf '%s\n' "$shown"
