#!/bin/sh
# Draws the benchmark charts from a fixed figures file and checks that each chart came
# out, names its series in its legend and shows the counts it compares. Where gnuplot is
# missing, the chart script fails and says so.
#   bench_charts.sh SOURCE_DIR OUTPUT_DIR
source_dir=$1
charts=$2
rm -rf "$charts"
bash "$source_dir/scripts/bench-charts.sh" "$source_dir/tests/bench_figures.tsv" "$charts" || exit 1

status=0
# The chart, then the texts it must show whole: series titles and axis categories.
expect() {
    chart=$charts/$1.svg
    shift
    if [ ! -s "$chart" ]; then
        echo "$chart was not drawn"
        status=1
        return
    fi
    for text in "$@"; do
        if ! grep -q ">$text</tspan>" "$chart"; then
            echo "$chart does not show \"$text\""
            status=1
        fi
    done
}
expect start_reap "Quorvel" "bare baseline" "START" "10" "100" "300"
expect exit_latency "Quorvel exit line" "platform notice" "1 child" "300 children" "5.4 ms"
expect added_memory "Quorvel" "bare baseline" "from 1 to 300 children" "-1055 B"
exit $status
