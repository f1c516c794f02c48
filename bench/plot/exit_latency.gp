# Exit latency: median delay from a child's last moment to Quorvel's exit line, next to
# the platform's own notice of the same ends, with the fewest and the most children.
call "style.gp" ARG1 ARG2

stats data index "exit_latency" using "children" nooutput
fewest = STATS_min
most = STATS_max
# The two groups of bars; counts in between are left to the tables.
slot(children) = children == fewest ? 0 : children == most ? 1 : NaN
children_text(n) = sprintf("%d %s", n, n == 1 ? "child" : "children")
set xtics (children_text(fewest) 0, children_text(most) 1) scale 0
set xrange [-0.6 : 1.6]
set yrange [0 : *]
set offsets 0, 0, graph 0.1, 0  # room above the tallest bar for its figure
set boxwidth 0.34
set title "Exit latency: from a child's end to the news of it (median)"
set ylabel "delay after the child's end (ms)"

plot data index "exit_latency" using (slot(column("children")) - 0.18):"quorvel_median_ms" \
        with boxes lc rgb quorvel_colour title "Quorvel exit line", \
     "" index "exit_latency" using (slot(column("children")) + 0.18):"platform_median_ms" \
        with boxes lc rgb baseline_colour title "platform notice", \
     "" index "exit_latency" using (slot(column("children")) - 0.18):"quorvel_median_ms": \
        (sprintf("%.1f ms", column("quorvel_median_ms"))) with labels offset 0,0.7, \
     "" index "exit_latency" using (slot(column("children")) + 0.18):"platform_median_ms": \
        (sprintf("%.1f ms", column("platform_median_ms"))) with labels offset 0,0.7
