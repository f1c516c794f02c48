#!/usr/bin/env bash
# Starts children by the thousand under the scripts' Wine and counts the starts Wine
# refuses: three quorvel.exe at once, each starting 300 children ten times over. The
# children (bench/noop.exe) end at once. Prints the starts, the `...error` lines, Wine's
# own error lines about its address space and the time taken; exits with 1 when any start
# was refused, Wine reported an error about its address space, or a launcher run failed. Installs what it needs on a fresh Debian machine.
#
#   scripts/stress.sh [--randomised] [--rounds N] [--children N]
#
# --randomised  keeps the kernel's address-space randomisation on for Wine, to compare
# --rounds      runs of each launcher, one after the other (default 10)
# --children    children per run (default 300)
set -euo pipefail
source "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")/common.sh"

usage="usage: scripts/stress.sh [--randomised] [--rounds N] [--children N]"
copies=3
rounds=10
children=300
randomised=0
while [ $# -gt 0 ]; do
    case "$1" in
    --randomised) randomised=1 ;;
    --rounds | --children)
        if [ $# -lt 2 ] || ! [[ "$2" =~ ^[1-9][0-9]{0,3}$ ]]; then
            echo "$usage" >&2
            exit 2
        fi
        if [ "$1" = --rounds ]; then rounds=$2; else children=$2; fi
        shift
        ;;
    *)
        echo "$usage" >&2
        exit 2
        ;;
    esac
    shift
done
# The command line of one run, at 9 characters a child, must stay within Windows' 32,767.
if [ "$children" -gt 3000 ]; then
    echo "scripts/stress.sh: at most 3000 children per run" >&2
    exit 2
fi

install_tools bench
configure_and_build -DQUORVEL_BENCH=ON --target quorvel --target noop >&2
start_wineserver
layout="randomisation off for Wine"
if [ "$randomised" -eq 1 ]; then
    no_randomisation=()
    layout="randomisation on (--randomised)"
elif [ ${#no_randomisation[@]} -eq 0 ]; then
    layout="randomisation on (the kernel refuses setarch -R)"
fi

# Windows finds a direct command first in the launcher's own folder, where noop.exe is.
commands=()
for ((i = 0; i < children; i++)); do commands+=(noop.exe); done
# Wine's own errors about the address space, from the launchers and the children alike,
# who share the launcher's standard error.
export WINEDEBUG=-all,err+virtual

# One launcher's runs, one after the other; a run that hangs is cut short after 120 s.
launcher_runs() {
    local copy=$1 round status
    for ((round = 1; round <= rounds; round++)); do
        status=0
        timeout -k 10 120 "${no_randomisation[@]}" wine "$build/quorvel.exe" --no-shl --no-con \
            "${commands[@]}" </dev/null >"$scratch/out.$copy.$round" \
            2>"$scratch/err.$copy.$round" || status=$?
        if [ "$status" -ne 0 ]; then
            echo "$script_name: launcher $copy, run $round: exit status $status" >&2
            : >"$scratch/failed.$copy.$round"
        fi
    done
}

echo "$copies launchers at once, each $rounds runs of $children children; $layout"
started=$SECONDS
for ((copy = 1; copy <= copies; copy++)); do launcher_runs "$copy" & done
wait
seconds=$((SECONDS - started))

starts=$(cat "$scratch"/out.* | grep -c '^run \[' || true)
refused=$(cat "$scratch"/out.* | grep -c '^run \[.*\]\.\.\.error' || true)
wine_errors=$(cat "$scratch"/err.* | grep -c 'err:virtual' || true)
failed_runs=$(find "$scratch" -name 'failed.*' | wc -l)
echo "starts reported: $starts of $((copies * rounds * children))"
echo "refused (...error): $refused"
echo "Wine's err:virtual lines: $wine_errors"
echo "launcher runs that failed: $failed_runs of $((copies * rounds))"
echo "time: $seconds s"
if [ "$wine_errors" -gt 0 ]; then
    cat "$scratch"/err.* | grep 'err:virtual' | sort | uniq -c | sed 's/^/    /'
fi
# A child that Wine started and that died at once is reported as started and ended: only
# Wine's own line tells of it.
[ "$refused" -eq 0 ] && [ "$wine_errors" -eq 0 ] && [ "$failed_runs" -eq 0 ] &&
    [ "$starts" -eq $((copies * rounds * children)) ]
