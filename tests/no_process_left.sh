#!/bin/sh
# Checks that a test that fails leaves no launcher or child running. failing_on_purpose.exe
# starts the launcher with two children that would run for ten minutes, one of them in a
# kill-on-close job of its own; then it fails, aborts, or hangs and is killed the way ctest
# ends a test that runs out of time: SIGKILL to the process it started and to that
# process's own Linux children, which are not the Windows processes Wine starts (each runs
# in a Linux session of its own). The processes are found by a marker on their command
# lines, unique to this check, since other test runs may use the same Wine prefix at the
# same time; any left behind are reported, then killed.
#   no_process_left.sh WINE FAILING_ON_PURPOSE_EXE
wine=$1
exe=$2
export WINEDEBUG=-all
scratch=$(mktemp -d) || exit 1
trap 'rm -rf "$scratch"' EXIT
user=$(id -u)
status=0

# Runs the command given until it succeeds, for at most 30 s; fails if it never does.
within_30s() {
    tries=0
    until "$@"; do
        tries=$((tries + 1))
        [ "$tries" -ge 300 ] && return 1
        sleep 0.1
    done
}
running() { pgrep -u "$user" -f "$1" >/dev/null; }
# shellcheck disable=SC2317 # called through within_30s
none_running() { ! running "$1"; }

for how in fail abort hang; do
    marker="left-behind-check-$$-$how"
    out="$scratch/$how.out"
    # The test goes on to fail when its input ends, so that its processes are seen first.
    mkfifo "$scratch/$how.in" || exit 1
    QUORVEL_FAIL_HOW=$how QUORVEL_FAIL_MARKER=$marker "$wine" "$exe" <"$scratch/$how.in" \
        >"$out" 2>&1 &
    test_program=$!
    exec 3>"$scratch/$how.in"
    if ! within_30s grep -q '^folder=' "$out" || ! running "quorvel.exe .*$marker" ||
        ! running "^test_child.exe --record $marker.txt" ||
        ! running "^test_child.exe --record $marker-own-job.txt --own-job"; then
        echo "$how: the launcher and its children never all ran; the test said:"
        cat "$out"
        status=1
    fi
    exec 3>&-
    [ "$how" = hang ] && sleep 1 && kill -KILL "$test_program"
    wait "$test_program"
    ended_with=$?
    if within_30s none_running "$marker"; then
        echo "$how: the test ended with status $ended_with and left nothing running"
    else
        echo "$how: the test ended with status $ended_with and left these running:"
        pgrep -u "$user" -af "$marker"
        for pid in $(pgrep -u "$user" -f "$marker"); do kill -KILL "$pid"; done
        status=1
    fi
    # The test's scratch folder, which a test that does not return leaves behind.
    folder=$(winepath -u "$(sed -n 's/^folder=//p' "$out" | tr -d '\r')" 2>/dev/null)
    case "$folder" in */quorvel-test-*) rm -rf "$folder" ;; esac
done
exit $status
