#pragma once

#include "bench_figures.h"
#include "bench_options.h"

// Prints the figures as Markdown tables on standard output, then where each target
// stands. Tables of runs that were not asked for are left out.
void print_report_tables(const BenchOptions& options, const BenchFigures& figures);
