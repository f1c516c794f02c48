#pragma once

#include "bench_figures.h"
#include "bench_options.h"

// Runs in which the children stay alive until released: the launcher's CPU time over a
// stretch in which nothing ends, its peak working set, and, once the children are
// released to end one after another, how long each end takes to be reported. The
// launcher and the baseline take turns; the platform's own notice of each end, from the
// job, is taken in the launcher's runs beside the launcher's report. Fills figures->idle,
// ->latency and ->memory; false if a run failed.
bool run_held_bench(const BenchOptions& options, const BenchPrograms& programs,
                    BenchFigures* figures);
