#!/usr/bin/env bash
# Builds everything and runs every test. Installs what it needs on a fresh Debian machine,
# and makes the Wine prefix if missing.
set -euo pipefail
source "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")/common.sh"

install_tools test
# A fixed build date, so that the banner and the executable can be compared byte for byte.
configure_and_build -DQUORVEL_SOURCE_DATE_EPOCH=1499000000 -DQUORVEL_WERROR=ON -DQUORVEL_TESTS=ON
start_wineserver

"${no_randomisation[@]}" ctest --test-dir "$build" --output-on-failure --parallel "$(nproc)" "$@"
