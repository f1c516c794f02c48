#include "report_tables.h"

#include <cstdio>

#include "thread_count.h"

namespace {

// The targets the figures are held against; printed, never enforced.
constexpr double kMaxRatioToBaseline = 1.05;
constexpr int kIdleStretchSeconds = 20;
constexpr double kMaxIdleMs = 10;
constexpr double kMaxLineBehindNoticeMs = 1;
constexpr int kMostChildrenForLatency = 300;  // the counts the latency target names
constexpr double kMaxShareOfChildrenMemory = 0.01;
constexpr double kMaxCpuPerEndGrowth = 1.5;  // from the fewest children measured to the most

double share_of_children(const MemoryRow& row) {
    return row.childrenPeak > 0
               ? static_cast<double>(row.quorvelPeak) / static_cast<double>(row.childrenPeak)
               : -1;
}

const char* verdict(bool met) {
    return met ? "met" : "missed";
}

const char* children_word(int children) {
    return children == 1 ? "child" : "children";
}

double kib(SIZE_T bytes) {
    return static_cast<double>(bytes) / 1024;
}

void print_start_reap(const BenchFigures& figures) {
    puts("## Start and reap: wall time per child\n");
    puts("Children that end at once (noop.exe), direct and without a window. Time from the");
    puts("contender's creation until the last process in its job has ended, divided by the");
    puts("number of children; median over the rounds. Ratios: median of the ratios within each");
    puts("round, where the contenders ran one after another, and their lowest and highest.");
    puts("Tail: from the last process joining the run's job until none is left, which is");
    puts("where reaping shows. Processes: how many one run started, helpers included.\n");
    puts(
        "| children | rounds | quorvel | baseline | START | quorvel/baseline | quorvel/START | "
        "tail (quorvel/baseline/START) | processes |");
    puts("|---:|---:|---:|---:|---:|---:|---:|---:|---:|");
    for (int i = 0; i < figures.startReapRows; ++i) {
        const StartReapRow& row = figures.startReap[i];
        printf("| %d | %d | %.2f ms | %.2f ms | %.2f ms ", row.children, row.rounds,
               row.msPerChild[kQuorvelStarter], row.msPerChild[kBaselineStarter],
               row.msPerChild[kInterpreterStarter]);
        printf("| %.3f (%.3f-%.3f) | %.3f (%.3f-%.3f) ", row.toBaseline, row.toBaselineLow,
               row.toBaselineHigh, row.toInterpreter, row.toInterpreterLow, row.toInterpreterHigh);
        printf("| %.0f/%.0f/%.0f ms | %d/%d/%d |\n", row.tailMs[kQuorvelStarter],
               row.tailMs[kBaselineStarter], row.tailMs[kInterpreterStarter],
               row.processes[kQuorvelStarter], row.processes[kBaselineStarter],
               row.processes[kInterpreterStarter]);
    }
    puts("");
}

void print_idle(const BenchFigures& figures) {
    puts("## Idle cost: CPU time over a stretch in which no child ends\n");
    printf("Measured from %s.\n", cpu_source_description(figures.cpuSource));
    puts("Every stretch starts once all children are up and the launcher has settled; the");
    puts("shorter one is the beginning of the longer, read in the same runs. Median over the");
    puts("rounds. The baseline waits in one call; it was measured with the most children only.");
    if (figures.processTimesEchoSeen) {
        puts("GetProcessTimes was not used: asked about the launcher, it answered with the");
        puts("harness's own times, as Wine 8 does for any other process.");
    }
    puts("\n| children alive | stretch | rounds | quorvel | baseline |");
    puts("|---:|---:|---:|---:|---:|");
    for (int i = 0; i < figures.idleRows; ++i) {
        const IdleRow& row = figures.idle[i];
        printf("| %d | %d s | %d | %.3f ms |", row.children, row.stretchSeconds, row.rounds,
               row.quorvelMs);
        if (row.baselineMs >= 0) {
            printf(" %.3f ms |\n", row.baselineMs);
        } else {
            puts(" not measured |");
        }
    }
    puts("");
}

void print_latency(const BenchFigures& figures) {
    puts("## Exit latency: from a child's last moment to the news of its end\n");
    puts("Each child stamps the performance counter just before it ends, at spread-out");
    puts("moments. The harness stamps each exit line as its read of the launcher's output");
    puts("returns, and, in the same runs, the job's notice of the same end: the platform's");
    puts("own delay, which the launcher cannot beat. CPU per end: the launcher's CPU time over");
    puts("the ends it reported while more than 64 children were alive, divided by their");
    puts("number; median over the rounds.\n");
    puts(
        "| children | ends | quorvel line median | quorvel line max | platform median | "
        "platform max | quorvel CPU per end |");
    puts("|---:|---:|---:|---:|---:|---:|---:|");
    for (int i = 0; i < figures.latencyRows; ++i) {
        const LatencyRow& row = figures.latency[i];
        printf("| %d | %d", row.children, row.samples);
        if (row.missing > 0) {
            printf(" (%d missing)", row.missing);
        }
        printf(" | %.2f ms | %.2f ms | %.2f ms | %.2f ms |", row.lineMedianMs, row.lineMaxMs,
               row.noticeMedianMs, row.noticeMaxMs);
        if (row.cpuPerEndUs >= 0) {
            printf(" %.1f us |\n", row.cpuPerEndUs);
        } else {
            puts(" not measured |");
        }
    }
    puts("");
}

void print_memory(const BenchFigures& figures) {
    puts("## Memory: peak working set\n");
    puts("Read while every child is alive and the contender waits; median over the rounds.");
    puts("Children: the launcher's children's own peak working sets, added up, read at the");
    puts("same moment. Threads: the contender's threads at that moment.\n");
    puts(
        "| children | rounds | quorvel | baseline | quorvel - baseline | children | "
        "quorvel / children | threads (quorvel/baseline) |");
    puts("|---:|---:|---:|---:|---:|---:|---:|---:|");
    for (int i = 0; i < figures.memoryRows; ++i) {
        const MemoryRow& row = figures.memory[i];
        printf("| %d | %d | %.0f KiB | %.0f KiB | %.0f KiB | %.0f KiB | %.2f %% | %d/%d |\n",
               row.children, row.rounds, kib(row.quorvelPeak), kib(row.baselinePeak),
               kib(row.quorvelPeak) - kib(row.baselinePeak), kib(row.childrenPeak),
               100 * share_of_children(row), row.quorvelThreads, row.baselineThreads);
    }
    const MemoryRow& fewest = figures.memory[0];
    for (int i = 1; i < figures.memoryRows; ++i) {
        const MemoryRow& most = figures.memory[i];
        const double quorvel = bytes_per_child(fewest, most, true);
        const double baseline = bytes_per_child(fewest, most, false);
        printf("| each child from %d to %d | | %.0f B | %.0f B | %.0f B | | | |\n", fewest.children,
               most.children, quorvel, baseline, quorvel - baseline);
    }
    puts("");
}

void print_start_reap_targets(const BenchFigures& figures) {
    for (int i = 0; i < figures.startReapRows; ++i) {
        const StartReapRow& row = figures.startReap[i];
        printf("| quorvel/baseline <= %.2f at %d children | %.3f | %s |\n", kMaxRatioToBaseline,
               row.children, row.toBaseline, verdict(row.toBaseline <= kMaxRatioToBaseline));
    }
    bool fasterEverywhere = figures.startReapRows > 0;
    printf("| quorvel faster than START at every count | ");
    for (int i = 0; i < figures.startReapRows; ++i) {
        const StartReapRow& each = figures.startReap[i];
        printf("%s%d: %.3f", i > 0 ? ", " : "", each.children, each.toInterpreter);
        fasterEverywhere = fasterEverywhere && each.toInterpreter < 1;
    }
    printf(" | %s |\n", verdict(fasterEverywhere));
}

void print_cpu_per_end_target(const BenchFigures& figures) {
    const LatencyRow* fewest = nullptr;
    const LatencyRow* most = nullptr;
    for (int i = 0; i < figures.latencyRows; ++i) {
        if (figures.latency[i].cpuPerEndUs >= 0) {
            fewest = fewest == nullptr ? &figures.latency[i] : fewest;
            most = &figures.latency[i];
        }
    }
    if (fewest != nullptr && most != fewest) {
        const double growth = most->cpuPerEndUs / fewest->cpuPerEndUs;
        printf("| CPU per end at %d children <= %.1f x that at %d | %.1f / %.1f us = %.2f | %s |\n",
               most->children, kMaxCpuPerEndGrowth, fewest->children, most->cpuPerEndUs,
               fewest->cpuPerEndUs, growth, verdict(growth <= kMaxCpuPerEndGrowth));
    }
}

void print_held_targets(const BenchFigures& figures) {
    for (int i = 0; i < figures.idleRows; ++i) {
        const IdleRow& row = figures.idle[i];
        if (row.stretchSeconds == kIdleStretchSeconds) {
            printf("| idle < %.0f ms CPU per %d s, %d %s alive | %.3f ms | %s |\n", kMaxIdleMs,
                   kIdleStretchSeconds, row.children, children_word(row.children), row.quorvelMs,
                   verdict(row.quorvelMs < kMaxIdleMs));
        }
    }
    for (int i = 0; i < figures.latencyRows; ++i) {
        const LatencyRow& row = figures.latency[i];
        if (row.children > kMostChildrenForLatency) {
            continue;
        }
        const double behind = row.lineMedianMs - row.noticeMedianMs;
        printf("| exit line median within %.0f ms of the platform's, %d %s | %.2f ms | %s |\n",
               kMaxLineBehindNoticeMs, row.children, children_word(row.children), behind,
               verdict(behind <= kMaxLineBehindNoticeMs));
    }
    for (int i = 0; i < figures.memoryRows; ++i) {
        const MemoryRow& row = figures.memory[i];
        printf("| threads <= %d with %d %s alive | %d | %s |\n",
               most_threads_while_waiting(row.children), row.children, children_word(row.children),
               row.quorvelThreads,
               verdict(row.quorvelThreads <= most_threads_while_waiting(row.children)));
    }
    // With a child or a few, the launcher is one Wine process beside as few others, each of
    // them some 7 MB: the share says something only for many children.
    for (int i = 0; i < figures.memoryRows; ++i) {
        const MemoryRow& row = figures.memory[i];
        if (row.children <= MAXIMUM_WAIT_OBJECTS) {
            continue;
        }
        const double share = share_of_children(row);
        printf("| peak working set <= %.0f %% of the children's, %d %s | %.2f %% | %s |\n",
               100 * kMaxShareOfChildrenMemory, row.children, children_word(row.children),
               100 * share, verdict(share >= 0 && share <= kMaxShareOfChildrenMemory));
    }
    print_cpu_per_end_target(figures);
}

}  // namespace

void print_report_tables(const BenchOptions& options, const BenchFigures& figures) {
    if (options.runStartReap) {
        print_start_reap(figures);
    }
    if (options.runHeld) {
        print_idle(figures);
        print_latency(figures);
        print_memory(figures);
    }
    if (figures.repeatedRuns > 0) {
        printf("Runs tried again after a failed attempt (see the log on standard error): %d\n\n",
               figures.repeatedRuns);
    }
    puts("## Targets\n");
    puts("| target | figure | stands |");
    puts("|---|---:|---|");
    if (options.runStartReap) {
        print_start_reap_targets(figures);
    }
    if (options.runHeld) {
        print_held_targets(figures);
    }
    puts("");
    fflush(stdout);
}
