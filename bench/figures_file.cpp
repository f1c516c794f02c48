#include "figures_file.h"

#include <windows.h>

#include <cerrno>
#include <cstring>
#include <cwchar>

namespace {

void write_preamble(FILE* file, int argc, wchar_t** argv) {
    SYSTEMTIME now;
    GetSystemTime(&now);
    fprintf(file, "# Quorvel benchmark figures, %04u-%02u-%02u %02u:%02u UTC: bench_runner.exe",
            now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute);
    for (int i = 1; i < argc; ++i) {
        // Where the file is goes without saying, and would put this machine's folders in it.
        if (wcscmp(argv[i], L"--data") == 0) {
            ++i;
            continue;
        }
        fprintf(file, " %ls", argv[i]);
    }
    fputs("\n", file);
}

// Two blank lines end the table before; gnuplot finds the table by the name's line.
void begin_table(FILE* file, const char* name, const char* header) {
    fprintf(file, "\n\n# %s\n%s\n", name, header);
}

void write_start_reap(FILE* file, const BenchFigures& figures) {
    begin_table(file, "start_reap",
                "children\trounds\t"
                "quorvel_ms\tquorvel_low_ms\tquorvel_high_ms\t"
                "baseline_ms\tbaseline_low_ms\tbaseline_high_ms\t"
                "start_ms\tstart_low_ms\tstart_high_ms\t"
                "to_baseline\tto_baseline_low\tto_baseline_high\t"
                "to_start\tto_start_low\tto_start_high\t"
                "quorvel_tail_ms\tbaseline_tail_ms\tstart_tail_ms\t"
                "quorvel_processes\tbaseline_processes\tstart_processes");
    for (int i = 0; i < figures.startReapRows; ++i) {
        const StartReapRow& row = figures.startReap[i];
        fprintf(file, "%d\t%d", row.children, row.rounds);
        for (int starter = 0; starter < kStarterCount; ++starter) {
            fprintf(file, "\t%.4f\t%.4f\t%.4f", row.msPerChild[starter], row.msPerChildLow[starter],
                    row.msPerChildHigh[starter]);
        }
        fprintf(file, "\t%.4f\t%.4f\t%.4f\t%.4f\t%.4f\t%.4f", row.toBaseline, row.toBaselineLow,
                row.toBaselineHigh, row.toInterpreter, row.toInterpreterLow, row.toInterpreterHigh);
        fprintf(file, "\t%.2f\t%.2f\t%.2f\t%d\t%d\t%d\n", row.tailMs[kQuorvelStarter],
                row.tailMs[kBaselineStarter], row.tailMs[kInterpreterStarter],
                row.processes[kQuorvelStarter], row.processes[kBaselineStarter],
                row.processes[kInterpreterStarter]);
    }
}

void write_idle(FILE* file, const BenchFigures& figures) {
    begin_table(file, "idle_cpu", "children\tstretch_s\trounds\tquorvel_ms\tbaseline_ms");
    for (int i = 0; i < figures.idleRows; ++i) {
        const IdleRow& row = figures.idle[i];
        fprintf(file, "%d\t%d\t%d\t%.4f\t", row.children, row.stretchSeconds, row.rounds,
                row.quorvelMs);
        if (row.baselineMs >= 0) {
            fprintf(file, "%.4f", row.baselineMs);
        }
        fputs("\n", file);
    }
}

void write_latency(FILE* file, const BenchFigures& figures) {
    begin_table(file, "exit_latency",
                "children\tends\tmissing\tquorvel_median_ms\tquorvel_max_ms\t"
                "platform_median_ms\tplatform_max_ms\tquorvel_cpu_per_end_us");
    for (int i = 0; i < figures.latencyRows; ++i) {
        const LatencyRow& row = figures.latency[i];
        fprintf(file, "%d\t%d\t%d\t%.4f\t%.4f\t%.4f\t%.4f\t", row.children, row.samples,
                row.missing, row.lineMedianMs, row.lineMaxMs, row.noticeMedianMs, row.noticeMaxMs);
        if (row.cpuPerEndUs >= 0) {
            fprintf(file, "%.2f", row.cpuPerEndUs);
        }
        fputs("\n", file);
    }
}

void write_memory(FILE* file, const BenchFigures& figures) {
    begin_table(file, "peak_memory",
                "children\trounds\tquorvel_bytes\tbaseline_bytes\tquorvel_threads\t"
                "baseline_threads\tchildren_bytes");
    for (int i = 0; i < figures.memoryRows; ++i) {
        const MemoryRow& row = figures.memory[i];
        fprintf(file, "%d\t%d\t%.0f\t%.0f\t%d\t%d\t%.0f\n", row.children, row.rounds,
                static_cast<double>(row.quorvelPeak), static_cast<double>(row.baselinePeak),
                row.quorvelThreads, row.baselineThreads, static_cast<double>(row.childrenPeak));
    }
    begin_table(file, "added_memory",
                "from_children\tto_children\tquorvel_bytes_per_child\tbaseline_bytes_per_child");
    const MemoryRow& fewest = figures.memory[0];
    for (int i = 1; i < figures.memoryRows; ++i) {
        const MemoryRow& most = figures.memory[i];
        fprintf(file, "%d\t%d\t%.0f\t%.0f\n", fewest.children, most.children,
                bytes_per_child(fewest, most, true), bytes_per_child(fewest, most, false));
    }
}

}  // namespace

FILE* open_figures_file(const wchar_t* path) {
    // Binary, so that the lines end as on Linux, where the charts are drawn.
    FILE* file = _wfopen(path, L"wb");
    if (file == nullptr) {
        fprintf(stderr, "bench_runner: %ls cannot be written: %s\n", path, strerror(errno));
    }
    return file;
}

bool write_figures_file(FILE* file, const wchar_t* path, int argc, wchar_t** argv,
                        const BenchOptions& options, const BenchFigures& figures) {
    write_preamble(file, argc, argv);
    if (options.runStartReap) {
        write_start_reap(file, figures);
    }
    if (options.runHeld) {
        write_idle(file, figures);
        write_latency(file, figures);
        write_memory(file, figures);
    }
    const bool written = ferror(file) == 0;
    if (fclose(file) != 0 || !written) {
        fprintf(stderr, "bench_runner: writing %ls failed\n", path);
        return false;
    }
    return true;
}
