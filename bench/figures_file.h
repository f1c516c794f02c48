#pragma once

#include <cstdio>

#include "bench_figures.h"
#include "bench_options.h"

// The figures as tab-separated text, for charts and anything else that reads tables: the
// same numbers the Markdown tables show, with the spread of the start-and-reap rounds too.
// Each table comes as a comment line with its name, a header line and its rows; tables
// are apart by two blank lines, so that gnuplot can pick one by name (index "start_reap").
// Times are in ms, memory in bytes; an empty field was not measured. Tables of runs that
// were not asked for are left out.

// Opened before the runs, so that a path that cannot be written fails at once and not
// after the whole run. Null after saying why.
FILE* open_figures_file(const wchar_t* path);

// Writes and closes the file; false after saying why.
bool write_figures_file(FILE* file, const wchar_t* path, int argc, wchar_t** argv,
                        const BenchOptions& options, const BenchFigures& figures);
