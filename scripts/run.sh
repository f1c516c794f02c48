#!/usr/bin/env bash
# Builds quorvel.exe and runs it under Wine with the arguments given.
# Installs what it needs on a fresh Debian machine, and makes the Wine prefix if missing.
set -euo pipefail
source "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")/common.sh"

install_tools build
# The banner shows the date of the last commit, so that a build can be repeated exactly.
epoch=$(git -C "$root" log -1 --format=%ct 2>/dev/null || date +%s)
configure_and_build -DQUORVEL_SOURCE_DATE_EPOCH="$epoch" --target quorvel >&2
start_wineserver

status=0
"${no_randomisation[@]}" wine "$build/quorvel.exe" "$@" || status=$?
exit $status
