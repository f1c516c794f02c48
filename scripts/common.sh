# Shared by the project's scripts: the build folder, a message on stderr for any set-up
# step that fails, and a Wine server for the prefix in use that is up before anything
# reads a Wine program's output. Sourcing it installs the exit trap, before the script
# starts anything.
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build="$root/build"
script_name="scripts/$(basename "$0")"
export WINEDEBUG=-all
# The prefix Wine itself uses.
wine_prefix=${WINEPREFIX:-$HOME/.wine}

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
run_logged() {
    "$@" </dev/null >>"$step_log" 2>&1
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
    for pid in $(pgrep -u "$(id -u)" -x 'wineserver(32|64)?'); do
        if [ "$(basename "$(readlink "/proc/$pid/cwd" 2>/dev/null)")" = "$folder" ]; then
            echo "$pid"
            return 0
        fi
    done
    return 1
}

# Makes sure the prefix exists and its server runs with Wine's services started. Starts a
# server only when the prefix has none. A server of another prefix or another user is not
# this prefix's and plays no part.
start_wineserver() {
    if [ ! -d "$wine_prefix" ]; then
        step "creating the Wine prefix $wine_prefix"
        run_logged wine wineboot || return
        # wineboot returns while processes it started (Wine's services) are still starting.
        # So that nothing of ours runs beside the set-up, wait until that first server,
        # which wine started itself and which ends soon after its last program, has ended
        # with everything it ran. Bounded, in case another copy of the scripts has
        # meanwhile started a lasting server for the new prefix.
        step "waiting for the set-up of the new Wine prefix to end"
        if ! run_logged timeout 300 wineserver -w; then
            echo "$script_name: the new prefix's server still runs after 300 s; going on" >&2
        fi
    fi
    step "starting the Wine server of $wine_prefix"
    # wineserver refuses to start while a server of the prefix runs, so of two copies of
    # the scripts starting at once only one starts it and both use it.
    if run_logged wineserver -p"$wineserver_persistence"; then
        echo "$script_name: started a Wine server for $wine_prefix; it ends by itself" \
            "$((wineserver_persistence / 60)) minutes after the prefix's last Wine program" >&2
    elif ! prefix_server_pid >/dev/null; then
        echo "wineserver could not start, and no server of this prefix runs" >>"$step_log"
        return 1
    fi
    step "starting Wine's services in $wine_prefix"
    run_logged wine wineboot || return
    set_up_step=
}

# Configures $build with the options given, then builds; "--target NAME" limits the build.
configure_and_build() {
    local options=() targets=()
    while [ $# -gt 0 ]; do
        if [ "$1" = --target ]; then targets=(--target "$2"); shift 2; else options+=("$1"); shift; fi
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
