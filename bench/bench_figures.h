#pragma once

#include <windows.h>

#include "bench_options.h"
#include "process_cpu.h"

// Every figure the harness prints, gathered by the start-and-reap and the held runs and
// printed at the end.

enum Starter { kQuorvelStarter, kBaselineStarter, kInterpreterStarter, kStarterCount };

struct StartReapRow {
    int children;
    int rounds;
    double msPerChild[kStarterCount];      // medians over the rounds
    double msPerChildLow[kStarterCount];   // the fastest round
    double msPerChildHigh[kStarterCount];  // the slowest round
    int processes[kStarterCount];          // processes in one run, contender and helpers included
    double tailMs[kStarterCount];          // from the last process's start to the end, median
    // Medians of the ratios within each round, where both contenders ran side by side,
    // and their spread.
    double toBaseline, toBaselineLow, toBaselineHigh;
    double toInterpreter, toInterpreterLow, toInterpreterHigh;
};

struct IdleRow {
    int children;
    int stretchSeconds;  // from the moment the launcher has settled
    int rounds;
    double quorvelMs;   // launcher CPU over the stretch, median
    double baselineMs;  // negative: not measured
};

struct LatencyRow {
    int children;
    int samples;                         // ends that were stamped and reported
    int missing;                         // ends without a stamp or a report
    double lineMedianMs, lineMaxMs;      // child's stamp to the launcher's exit line
    double noticeMedianMs, noticeMaxMs;  // child's stamp to the platform's notice (job)
    // The launcher's CPU time per reported end beyond one platform wait, median over the
    // rounds; negative: not measured (65 children or fewer).
    double cpuPerEndUs;
};

struct MemoryRow {
    int children;
    int rounds;
    SIZE_T quorvelPeak;  // peak working set, median over the rounds
    SIZE_T baselinePeak;
    SIZE_T childrenPeak;  // the launcher's children's peak working sets added up, median
    int quorvelThreads;   // threads while waiting, in the last round
    int baselineThreads;
};

constexpr int kMaxIdleRows = 4;

struct BenchFigures {
    StartReapRow startReap[kMaxCounts];
    int startReapRows;
    IdleRow idle[kMaxIdleRows];
    int idleRows;
    LatencyRow latency[kMaxCounts];
    int latencyRows;
    MemoryRow memory[kMaxCounts];
    int memoryRows;
    CpuSource cpuSource;
    bool processTimesEchoSeen;  // GetProcessTimes gave the caller's own times for a launcher
    int repeatedRuns;           // runs tried again after a failed attempt
};

// What each child beyond the fewest adds to the peak working set, in bytes.
double bytes_per_child(const MemoryRow& fewest, const MemoryRow& most, bool quorvel);

// Where the programs under measurement are: all in the harness's own folder, and the
// system's command interpreter.
struct BenchPrograms {
    wchar_t folder[MAX_PATH];
    wchar_t quorvel[MAX_PATH];
    wchar_t baseline[MAX_PATH];
    wchar_t interpreter[MAX_PATH];
};
