#pragma once

#include <windows.h>

#include "bench_figures.h"

// One run of a contender with children that stay until released.
enum HeldContender { kHeldQuorvel, kHeldBaseline };

struct HeldSetup {
    HeldContender contender;
    int children;
    int stretchMs;       // 0: no idle measurement
    int shortStretchMs;  // CPU time read this far into the stretch too; 0: not
    int spacingMs;
    int settleMs;
};

struct HeldOutcome {
    double cpuMs;           // the contender's CPU time over the stretch
    double cpuShortMs;      // over the first shortStretchMs of it
    bool processTimesEcho;  // GetProcessTimes gave the caller's own times for it
    CpuSource cpuSource;
    SIZE_T peakWorkingSet;
    SIZE_T childrenWorkingSet;  // the children's peak working sets added up, read alongside
    int threads;  // the contender's threads while it waits; 0 if they could not be counted
    // Delays from each child's stamp, for the children of this run; room for children.
    double* lineDelayMs;  // to the launcher's exit line (the launcher only)
    int lineCount;
    double* noticeDelayMs;  // to the job's notice of the end
    int noticeCount;
    int missing;  // ends without a stamp, a notice or, for the launcher, a line
    // The launcher's CPU time per end it reported while more children were alive than one
    // platform wait takes; negative where it was not measured.
    double cpuPerEndUs;
};

bool run_held(const BenchPrograms& programs, const HeldSetup& setup, HeldOutcome* outcome);
