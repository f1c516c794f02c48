# Shared by the project's scripts: the build folder and a Wine server that is up before
# anything reads a Wine program's output.
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build="$root/build"
export WINEDEBUG=-all

# The first Wine call starts services that keep the caller's output open, so a reader of
# that output would hang; a persistent server started with detached output avoids it.
# Sets started_wineserver when this script started it, so that only that one is stopped.
start_wineserver() {
    started_wineserver=0
    if ! pgrep -x wineserver >/dev/null && ! pgrep -x wineserver64 >/dev/null; then
        wineserver -p </dev/null >/dev/null 2>&1
        started_wineserver=1
    fi
    wine wineboot </dev/null >/dev/null 2>&1
}

stop_wineserver() {
    if [ "${started_wineserver:-0}" -eq 1 ]; then
        wineserver -k </dev/null >/dev/null 2>&1 || true
    fi
}

# Configures $build with the options given, then builds; "--target NAME" limits the build.
configure_and_build() {
    local options=() targets=()
    while [ $# -gt 0 ]; do
        if [ "$1" = --target ]; then targets=(--target "$2"); shift 2; else options+=("$1"); shift; fi
    done
    (cd "$root" && cmake --preset mingw-cross -B "$build" "${options[@]}" >/dev/null)
    cmake --build "$build" --parallel "$(nproc)" "${targets[@]}"
}
