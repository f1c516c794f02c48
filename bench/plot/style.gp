# The look every benchmark chart shares: as wide as a README's column, one colour per
# contender throughout, a faint grid to read values against, and nothing else.
# Each chart calls it with its own two arguments, the figures file and the chart to write:
#   gnuplot -c CHART.gp FIGURES.tsv CHART.svg   (from this folder, as bench-charts.sh does)
set terminal svg size 760,420 font "Arial,13" background "white"
set output ARG2
data = ARG1

set datafile separator "\t"
set datafile columnheaders
set border 3 lc rgb "#444444"
set tics nomirror out
set grid ytics lc rgb "#e3e3e3" lw 1 dt solid
set key below center horizontal reverse Left samplen 2 width 3 height 0.5 noautotitle
set style fill solid 1.0 noborder
set title font "Arial,15"

quorvel_colour = "#1f5fa8"
baseline_colour = "#8c8c8c"
start_colour = "#d9822b"
