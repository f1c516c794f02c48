#!/usr/bin/env bash
# Builds quorvel.exe and the benchmark programs, runs every benchmark under Wine in one
# harness process and prints the figures as Markdown: the machine, the harness's tables
# and the executable's size and imports. The harness also writes the same figures to a
# tab-separated file, from which scripts/bench-charts.sh draws SVG charts. Installs what
# it needs on a fresh Debian machine.
#
#   scripts/bench.sh [--publish] [harness option]...    e.g. --quick; --help lists them
#
# The figures file, the charts and the printed Markdown go to bench-results/ in the build
# folder (figures.tsv, charts/, run.md). --publish then copies the figures file and the
# charts into bench/ and writes the Markdown into bench/RESULTS.md between its two
# markers, so that the tables, the charts and the data file there come from one run.
#
# QUORVEL_BENCH_BUILD names the build folder to use instead of build/.
set -euo pipefail
source "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")/common.sh"
build="${QUORVEL_BENCH_BUILD:-$build}"
command_line="scripts/bench.sh${*:+ $*}"
publish=0
if [ "${1:-}" = --publish ]; then
    publish=1
    shift
fi
results="$build/bench-results"

install_tools bench
configure_and_build -DQUORVEL_BENCH=ON --target quorvel_bench >&2
start_wineserver

if [ "${1:-}" = --help ]; then
    "${no_randomisation[@]}" wine "$build/bench_runner.exe" --help
    exit 0
fi

print_run() {
    echo "# Quorvel benchmark"
    echo
    echo "- Machine: $(nproc) cores, $(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1)"
    echo "- Wine: $(wine --version)"
    echo "- Date: $(date -u '+%Y-%m-%d %H:%M UTC')"
    echo "- Command: $command_line"
    echo
    local figures_file
    figures_file=$("${no_randomisation[@]}" winepath -w "$results/figures.tsv")
    # The harness writes CRLF line ends, as Windows text output does.
    "${no_randomisation[@]}" wine "$build/bench_runner.exe" "$@" --data "$figures_file" | tr -d '\r'

    # The executable as the platform sees it, before it runs a line of it.
    local objdump size imports size_limit
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
}

# Puts the run's Markdown into RESULTS.md between the markers, one heading level down, under
# the file's own title; the notes around it stay as they are.
publish_markdown() {
    local results_md="$root/bench/RESULTS.md" begin="<!-- run output begins" end="<!-- run output ends"
    if ! grep -q "^$begin" "$results_md" || ! grep -q "^$end" "$results_md"; then
        echo "bench.sh: $results_md lacks the lines that begin \"$begin\" and \"$end\"" >&2
        return 1
    fi
    {
        sed -e 's/^#/##/' -e '1s/^## .*/## The run/' "$results/run.md"
        echo
    } >"$results/run-in-results.md"
    awk -v begin="$begin" -v end="$end" -v run="$results/run-in-results.md" '
        index($0, begin) == 1 { print; while ((getline line < run) > 0) print line; skipping = 1; next }
        index($0, end) == 1 { skipping = 0 }
        !skipping' "$results_md" >"$results/RESULTS.md"
    mv "$results/RESULTS.md" "$results_md"
}

rm -rf "$results"
mkdir -p "$results"
print_run "$@" | tee "$results/run.md"
bash "$root/scripts/bench-charts.sh" "$results/figures.tsv" "$results/charts"
if [ "$publish" -eq 1 ]; then
    cp "$results/figures.tsv" "$root/bench/figures.tsv"
    # Charts of an earlier run must not pass for this one's.
    mkdir -p "$root/bench/charts"
    rm -f "$root"/bench/charts/*.svg
    cp "$results"/charts/*.svg "$root/bench/charts/"
    publish_markdown
    echo "bench.sh: bench/figures.tsv, bench/charts/ and the run's part of bench/RESULTS.md are new" >&2
fi
