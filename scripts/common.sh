# Shared by the project's scripts: the build folder, a message on stderr for any set-up
# step that fails, and a Wine server for the prefix in use that is up before anything
# reads a Wine program's output. Sourcing it installs the exit trap, before the script
# starts anything.
root=$(cd "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")/.." && pwd)
build="$root/build"
script_name="scripts/$(basename "$0")"
export WINEDEBUG=${WINEDEBUG:--all}
# The prefix Wine itself uses, named the same way for Wine and for the checks here (an
# empty WINEPREFIX would mean ~/.wine to these and something else to Wine).
[ -n "${WINEPREFIX-}" ] || unset WINEPREFIX
wine_prefix=$(realpath -m "${WINEPREFIX:-$HOME/.wine}")
export WINEPREFIX=$wine_prefix

# A server this script starts goes by itself once no Wine program of the prefix has run for
# this long. It must outlast the longest stretch of a test run without one (the static
# checks, a build); the scripts never kill a server, so another copy of them using the
# same one is never cut short.
wineserver_persistence=600

# The set-up step under way, named on stderr if the script ends with a failure during it.
# Empty while the script runs what it was asked to run, whose own status is passed on.
set_up_step=
# A folder for the script's own temporary files, removed at its end.
scratch=$(mktemp -d "${TMPDIR:-/tmp}/quorvel-script.XXXXXX") || {
    echo "$script_name: cannot create a temporary folder" >&2
    exit 1
}
# Output of the set-up commands whose output is kept off the terminal; shown on failure.
step_log="$scratch/step.log"

step() {
    set_up_step=$1
    : >"$step_log"
}

on_exit() {
    local status=$?
    if [ "$status" -ne 0 ] && [ -n "$set_up_step" ]; then
        echo "$script_name: $set_up_step failed (exit status $status)" >&2
        sed 's/^/    /' "$step_log" >&2
    fi
    rm -rf "$scratch"
}
trap on_exit EXIT

# Runs a command with its output in the step's log. The first Wine call of a server
# starts Wine's services, which keep the caller's standard output and error open for as
# long as they run: a reader of a pipe given to them would never see its end. So Wine's
# set-up calls get no terminal or pipe, only /dev/null and the log file.
# Nor do they get the set-up lock's descriptor (8): a lasting server would hold the lock
# for as long as it runs.
run_logged() {
    "$@" </dev/null >>"$step_log" 2>&1 8>&-
}

# Prints the process id of this user's Wine server for the prefix, or fails when none
# runs. The server works in a folder named after the prefix folder's device and inode
# numbers, server-DEV-INODE in hexadecimal (wineserver(1), FILES); where that folder lies
# differs between Wine builds, so only its name is compared.
prefix_server_pid() {
    local numbers folder pid
    numbers=$(stat -L -c '%d %i' "$wine_prefix" 2>/dev/null) || return 1
    # shellcheck disable=SC2086 # two numbers, split on purpose
    folder=$(printf 'server-%x-%x' $numbers)
    for pid in $(pgrep -u "$(id -u)" -x 'wineserver(32|64)?' 2>/dev/null); do
        if [ "$(basename "$(readlink "/proc/$pid/cwd" 2>/dev/null)")" = "$folder" ]; then
            echo "$pid"
            return 0
        fi
    done
    return 1
}

# Wine puts parts of every process at fixed addresses (the shared user data among them), and
# now and then the kernel's address-space randomisation has already placed something there:
# the start of a Windows program is then refused, or the program dies at once. So the Wine
# programs the scripts start, and ctest, run through no_randomisation. A Windows program's
# children are started by its own wine process and inherit the switch from it, never from
# the Wine server, which starts no Windows program and so runs as it is. Where the kernel
# refuses the switch (some containers forbid the personality call), that is said once and
# Wine runs as it is.
no_randomisation=()
turn_randomisation_off() {
    if setarch "$(uname -m)" -R true 2>/dev/null; then
        no_randomisation=(setarch "$(uname -m)" -R)
    else
        echo "$script_name: this kernel refuses setarch -R, so Wine runs with address-space" \
            "randomisation on and may now and then refuse to start a process" >&2
    fi
}

# Makes sure the prefix exists and its server runs with Wine's services started. Starts a
# server only when the prefix has none. A server of another prefix or another user is not
# this prefix's and plays no part.
start_wineserver() {
    # One copy of the scripts at a time sets a prefix up: another copy that found the
    # prefix's folder while the first one was still making it would run in a half-made
    # prefix. The lock is named after the prefix's path, in /tmp whatever TMPDIR says.
    local lock status
    turn_randomisation_off
    lock="/tmp/quorvel-wine-$(id -u)-$(printf '%s' "$wine_prefix" | sha256sum | cut -c 1-16).lock"
    step "waiting for another copy of the scripts to set up $wine_prefix"
    exec 8>>"$lock" || return
    # flock's own time-out, not timeout(1), which would keep Ctrl+C from ending the wait.
    if ! flock -w 900 8; then
        echo "another copy still holds $lock after 900 s" >>"$step_log"
        return 1
    fi
    if [ ! -s "$wine_prefix/system.reg" ]; then
        step "creating the Wine prefix $wine_prefix"
        # Without Wine's .NET and HTML engines a new prefix never asks, on a desktop, whether
        # to download them.
        if ! WINEDLLOVERRIDES="mscoree,mshtml=" run_logged "${no_randomisation[@]}" wine wineboot; then
            if [ -e "$wine_prefix" ] && [ ! -s "$wine_prefix/system.reg" ]; then
                echo "remove the half-made prefix $wine_prefix and run this again" >>"$step_log"
            fi
            return 1
        fi
        # wineboot returns while processes it started (Wine's services) are still starting.
        # So that nothing of ours runs beside the set-up, wait until that first server,
        # which wine started itself and which ends soon after its last program, has ended
        # with everything it ran. Bounded, in case a Wine program of the user's keeps it.
        step "waiting for the set-up of the new Wine prefix to end"
        if ! run_logged timeout --foreground 300 wineserver -w; then
            echo "$script_name: the new prefix's server still runs after 300 s; going on" >&2
        fi
    fi
    step "starting the Wine server of $wine_prefix"
    # wineserver exits with 2 while a server of the prefix runs (also one this script cannot
    # see, in another PID namespace), and both copies of the scripts then use that one.
    status=0
    run_logged wineserver -p"$wineserver_persistence" || status=$?
    if [ "$status" -eq 0 ]; then
        echo "$script_name: started a Wine server for $wine_prefix; it ends by itself" \
            "$((wineserver_persistence / 60)) minutes after the prefix's last Wine program" >&2
    elif [ "$status" -ne 2 ] && ! prefix_server_pid >/dev/null; then
        echo "wineserver -p failed with status $status, and no server of this prefix runs" \
            >>"$step_log"
        return 1
    fi
    step "starting Wine's services in $wine_prefix"
    run_logged "${no_randomisation[@]}" wine wineboot || return
    exec 8>&-
    set_up_step=
}

# Configures $build with the options given, then builds; "--target NAME", once or more,
# limits the build.
configure_and_build() {
    local options=() targets=()
    while [ $# -gt 0 ]; do
        if [ "$1" = --target ]; then targets+=(--target "$2"); shift 2; else options+=("$1"); shift; fi
    done
    step "configuring the build in $build"
    (cd "$root" && cmake --preset mingw-cross -B "$build" "${options[@]}" >/dev/null) || return
    step "building in $build"
    cmake --build "$build" --parallel "$(nproc)" "${targets[@]}" || return
    set_up_step=
}

# Checks for the tools a script needs and installs what is missing: build, bench, release
# or test.
install_tools() {
    step "checking for the tools to $1"
    bash "$root/scripts/install-deps.sh" "$1" >&2 || return
    set_up_step=
}
