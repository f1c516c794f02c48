#!/usr/bin/env bash
# Builds everything and runs every test. Installs what it needs on a fresh Debian machine.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

bash "$root/scripts/install-deps.sh"
# A fixed build date, so that the banner and the executable can be compared byte for byte.
configure_and_build -DQUORVEL_SOURCE_DATE_EPOCH=1499000000 -DQUORVEL_WERROR=ON -DQUORVEL_TESTS=ON

start_wineserver
trap stop_wineserver EXIT
ctest --test-dir "$build" --output-on-failure --parallel "$(nproc)" "$@"
