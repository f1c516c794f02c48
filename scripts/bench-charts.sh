#!/usr/bin/env bash
# Draws the benchmark charts as SVG from a figures file that bench_runner.exe wrote
# (scripts/bench.sh does both), so that a chart can be drawn again, or restyled, without
# measuring anew. Needs gnuplot (Debian's gnuplot-nox); no display.
#
#   scripts/bench-charts.sh FIGURES.tsv [CHART_FOLDER]    (default: charts/ beside the file)
#
# A chart whose figures the file lacks is left out, and said so.
set -euo pipefail
plots=$(cd "$(dirname "${BASH_SOURCE[0]}")/../bench/plot" && pwd)

if [ $# -lt 1 ] || [ $# -gt 2 ]; then
    echo "usage: scripts/bench-charts.sh FIGURES.tsv [CHART_FOLDER]" >&2
    exit 2
fi
if ! command -v gnuplot >/dev/null; then
    echo "bench-charts.sh: gnuplot is missing; install Debian's gnuplot-nox (scripts/install-deps.sh does)" >&2
    exit 1
fi
figures=$(realpath "$1")
if [ ! -r "$figures" ]; then
    echo "bench-charts.sh: cannot read $1" >&2
    exit 1
fi
charts=$(realpath -m "${2:-$(dirname "$figures")/charts}")
mkdir -p "$charts"

# Whether the table named $1 has a row: a run with --only leaves tables out, and a run with
# one held count has no memory added per child.
has_rows() {
    awk -v name="# $1" '
        $0 == name { inside = 1; getline; next }  # the line after the name is the header
        inside && NF == 0 { exit }
        inside { rows++ }
        END { exit rows == 0 }' "$figures"
}

# Each chart's gnuplot file is named after the table it draws.
for chart in start_reap exit_latency added_memory; do
    if ! has_rows "$chart"; then
        echo "bench-charts.sh: no $chart figures in $1; chart left out" >&2
        continue
    fi
    # From the plot folder, where the charts find their shared style.
    (cd "$plots" && gnuplot -c "$chart.gp" "$figures" "$charts/$chart.svg")
    echo "$charts/$chart.svg" >&2
done
