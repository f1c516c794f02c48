#!/usr/bin/env bash
# Builds quorvel.exe and runs it under Wine with the arguments given.
# Installs what it needs on a fresh Debian machine.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

bash "$root/scripts/install-deps.sh" >&2
# The banner shows the date of the last commit, so that a build can be repeated exactly.
epoch=$(git -C "$root" log -1 --format=%ct 2>/dev/null || date +%s)
configure_and_build -DQUORVEL_SOURCE_DATE_EPOCH="$epoch" --target quorvel >&2

start_wineserver
trap stop_wineserver EXIT
status=0
wine "$build/quorvel.exe" "$@" || status=$?
exit $status
