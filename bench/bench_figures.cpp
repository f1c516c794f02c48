#include "bench_figures.h"

double bytes_per_child(const MemoryRow& fewest, const MemoryRow& most, bool quorvel) {
    const double from = static_cast<double>(quorvel ? fewest.quorvelPeak : fewest.baselinePeak);
    const double to = static_cast<double>(quorvel ? most.quorvelPeak : most.baselinePeak);
    return (to - from) / (most.children - fewest.children);
}
