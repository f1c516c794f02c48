# Start and reap: wall time per child against the number of children, median of the rounds
# with the fastest and slowest round as error bars. The three contenders sit a little
# apart at each count, so that their bars do not hide one another.
call "style.gp" ARG1 ARG2

stats data index "start_reap" using "children" nooutput
set logscale x
set xrange [STATS_min / 1.6 : STATS_max * 1.6]
set yrange [0 : *]
set title "Start and reap: wall time per child (median; bars from fastest to slowest round)"
set xlabel "children started at once"
set ylabel "wall time per child (ms)"

plot data index "start_reap" \
        using (column("children") / 1.07):"quorvel_ms":"quorvel_low_ms":"quorvel_high_ms" \
        with yerrorlines lc rgb quorvel_colour lw 2 pt 7 ps 0.7 title "Quorvel", \
     "" index "start_reap" \
        using "children":"baseline_ms":"baseline_low_ms":"baseline_high_ms":xtic(1) \
        with yerrorlines lc rgb baseline_colour lw 2 pt 5 ps 0.7 title "bare baseline", \
     "" index "start_reap" \
        using (column("children") * 1.07):"start_ms":"start_low_ms":"start_high_ms" \
        with yerrorlines lc rgb start_colour lw 2 pt 9 ps 0.8 title "START"
