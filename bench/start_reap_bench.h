#pragma once

#include "bench_figures.h"
#include "bench_options.h"

// Start-and-reap throughput: children that end at once, started by the launcher, by the
// bare baseline and by the command interpreter's START, each contender once per round in
// a turning order. Fills figures->startReap; false if a run failed.
bool run_start_reap_bench(const BenchOptions& options, const BenchPrograms& programs,
                          BenchFigures* figures);
