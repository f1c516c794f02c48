# Memory added per child: how much the peak working set grows with each child beyond the
# fewest, for Quorvel and for the bare baseline measured in the same rounds.
call "style.gp" ARG1 ARG2

stats data index "added_memory" using "quorvel_bytes_per_child" name "quorvel_added" nooutput
stats data index "added_memory" using "baseline_bytes_per_child" name "baseline_added" nooutput
spans = quorvel_added_records
lowest = quorvel_added_min < baseline_added_min ? quorvel_added_min : baseline_added_min
highest = quorvel_added_max > baseline_added_max ? quorvel_added_max : baseline_added_max
# A bar's figure sits just beyond its end, above it or, for a negative one, below.
pad = 0.05 * (highest - (lowest < 0 ? lowest : 0))
label_y(bytes) = bytes + (bytes < 0 ? -pad : pad)
span_text(from, to) = sprintf("from %d to %d children", from, to)

set xzeroaxis lt 1 lc rgb "#444444"
set xtics scale 0
set xrange [-0.6 : spans - 0.4]
set offsets 0, 0, graph 0.1, graph 0.1
set boxwidth 0.34
set title "Memory added per child"
set ylabel "peak working set added per child (bytes)"

plot data index "added_memory" using ($0 - 0.18):"quorvel_bytes_per_child" \
        with boxes lc rgb quorvel_colour title "Quorvel", \
     "" index "added_memory" using ($0 + 0.18):"baseline_bytes_per_child" \
        with boxes lc rgb baseline_colour title "bare baseline", \
     "" index "added_memory" using 0:(NaN):xtic(span_text(column("from_children"), \
        column("to_children"))) with points, \
     "" index "added_memory" using ($0 - 0.18):(label_y(column("quorvel_bytes_per_child"))): \
        (sprintf("%.0f B", column("quorvel_bytes_per_child"))) with labels, \
     "" index "added_memory" using ($0 + 0.18):(label_y(column("baseline_bytes_per_child"))): \
        (sprintf("%.0f B", column("baseline_bytes_per_child"))) with labels
