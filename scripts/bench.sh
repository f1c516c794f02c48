#!/usr/bin/env bash
# Builds quorvel.exe and the benchmark programs, runs every benchmark under Wine in one
# harness process and prints the figures as Markdown: the machine, the harness's tables
# and the executable's size and imports. Installs what it needs on a fresh Debian machine.
#
#   scripts/bench.sh [harness option]...    e.g. --quick; --help lists them
#
# QUORVEL_BENCH_BUILD names the build folder to use instead of build/.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
build="${QUORVEL_BENCH_BUILD:-$build}"

bash "$root/scripts/install-deps.sh" >&2
configure_and_build -DQUORVEL_BENCH=ON --target quorvel_bench >&2

start_wineserver
trap stop_wineserver EXIT

if [ "${1:-}" = --help ]; then
    wine "$build/bench_runner.exe" --help
    exit 0
fi

echo "# Quorvel benchmark"
echo
echo "- Machine: $(nproc) cores, $(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1)"
echo "- Wine: $(wine --version)"
echo "- Date: $(date -u '+%Y-%m-%d %H:%M UTC')"
echo "- Command: scripts/bench.sh${*:+ $*}"
echo
# The harness writes CRLF line ends, as Windows text output does.
wine "$build/bench_runner.exe" "$@" | tr -d '\r'

# The executable as the platform sees it, before it runs a line of it.
objdump=$(command -v x86_64-w64-mingw32-objdump || command -v objdump)
size=$(stat -c %s "$build/quorvel.exe")
imports=$("$objdump" -p "$build/quorvel.exe" | sed -n 's/^[[:space:]]*DLL Name: //p' | sort | paste -sd ' ' -)
size_limit=$((48 * 1024))
echo "## The executable"
echo
echo "| figure | value | target | stands |"
echo "|---|---|---|---|"
echo "| size of quorvel.exe | $size bytes | <= $size_limit bytes | $([ "$size" -le "$size_limit" ] && echo met || echo missed) |"
echo "| DLL imports | $imports | KERNEL32.dll msvcrt.dll only | $([ "$imports" = "KERNEL32.dll msvcrt.dll" ] && echo met || echo missed) |"
