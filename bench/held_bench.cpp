#include "held_bench.h"

#include <cstdio>
#include <cstdlib>

#include "figures.h"
#include "held_run.h"

namespace {

constexpr const char* kContenderNames[] = {"quorvel", "baseline"};

// A run that fails is tried again this often before the held runs give up: under Wine,
// now and then one of hundreds of children never comes up.
constexpr int kRetries = 2;

// Exit delays of every launcher run with one number of children, pooled over the rounds.
struct LatencyPool {
    double* line;
    double* notice;
    int lineCount;
    int noticeCount;
    int missing;
    int capacity;
};

struct CountFigures {
    int children;
    bool idle;  // the fewest and the most children get an idle stretch
    LatencyPool latency;
    double peak[2][kMaxRounds];
    double childrenPeak[kMaxRounds];  // the launcher's runs
    double cpuPerEndUs[kMaxRounds];   // the launcher's runs that measured it
    int cpuPerEndRounds;
    int threads[2];
    double cpuMs[2][kMaxRounds];
    double cpuShortMs[2][kMaxRounds];
};

bool allocate_pool(int capacity, LatencyPool* pool) {
    *pool = LatencyPool{};
    pool->line = static_cast<double*>(malloc(capacity * sizeof(double)));
    pool->notice = static_cast<double*>(malloc(capacity * sizeof(double)));
    pool->capacity = capacity;
    return pool->line != nullptr && pool->notice != nullptr;
}

void free_pool(LatencyPool* pool) {
    free(pool->line);
    free(pool->notice);
    *pool = LatencyPool{};
}

void pool_outcome(const HeldOutcome& outcome, LatencyPool* pool) {
    for (int i = 0; i < outcome.lineCount && pool->lineCount < pool->capacity; ++i) {
        pool->line[pool->lineCount++] = outcome.lineDelayMs[i];
    }
    for (int i = 0; i < outcome.noticeCount && pool->noticeCount < pool->capacity; ++i) {
        pool->notice[pool->noticeCount++] = outcome.noticeDelayMs[i];
    }
    pool->missing += outcome.missing;
}

void note_outcome(const char* what, int round, int rounds, const HeldSetup& setup,
                  const HeldOutcome& outcome) {
    fprintf(stderr, "%s %d/%d, %d %s, %s: peak working set %.0f KiB", what, round + 1, rounds,
            setup.children, setup.children == 1 ? "child" : "children",
            kContenderNames[setup.contender], static_cast<double>(outcome.peakWorkingSet) / 1024);
    if (outcome.cpuShortMs >= 0) {
        fprintf(stderr, ", CPU %.3f ms over %d s", outcome.cpuShortMs, setup.shortStretchMs / 1000);
    }
    if (outcome.cpuMs >= 0) {
        fprintf(stderr, ", CPU %.3f ms over %d s", outcome.cpuMs, setup.stretchMs / 1000);
    }
    if (outcome.lineCount > 0) {
        fprintf(stderr, ", exit line delay max %.2f ms",
                maximum_of(outcome.lineDelayMs, outcome.lineCount));
    }
    if (outcome.cpuPerEndUs >= 0) {
        fprintf(stderr, ", CPU %.1f us per end", outcome.cpuPerEndUs);
    }
    fputc('\n', stderr);
}

// Runs one held run, tried again after a failure, and keeps where its CPU figure came from.
bool held_once(const BenchPrograms& programs, const HeldSetup& setup, HeldOutcome* outcome,
               BenchFigures* figures) {
    for (int attempt = 0;; ++attempt) {
        if (run_held(programs, setup, outcome)) {
            break;
        }
        fprintf(stderr, "bench_runner: held run with %d children (%s) failed\n", setup.children,
                kContenderNames[setup.contender]);
        if (attempt == kRetries) {
            return false;
        }
        ++figures->repeatedRuns;
    }
    if (setup.stretchMs > 0) {
        figures->cpuSource = outcome->cpuSource;
        figures->processTimesEchoSeen |= outcome->processTimesEcho;
    }
    return true;
}

// The launcher's runs measure everything. The baseline's runs are there for the platform's
// share: its memory always, its idle cost only with the most children, where the launcher
// needs more than one wait, and its children end all at once since nothing reads its ends.
HeldSetup round_setup(const BenchOptions& options, const CountFigures& count, bool most,
                      HeldContender contender) {
    const bool quorvel = contender == kHeldQuorvel;
    const bool idle = count.idle && (quorvel || most);
    HeldSetup setup{};
    setup.contender = contender;
    setup.children = count.children;
    setup.stretchMs = idle ? options.stretchSeconds * 1000 : 0;
    setup.shortStretchMs = idle ? options.shortStretchSeconds * 1000 : 0;
    setup.spacingMs = quorvel ? options.spacingMs : 0;
    setup.settleMs = options.settleMs;
    return setup;
}

bool run_rounds(const BenchOptions& options, const BenchPrograms& programs, CountFigures* counts,
                HeldOutcome* outcome, BenchFigures* figures) {
    const int last = options.heldCounts.size - 1;
    for (int round = 0; round < options.heldRounds; ++round) {
        for (int c = 0; c <= last; ++c) {
            for (int turn = 0; turn < 2; ++turn) {
                // The contender that goes first changes every round.
                const auto contender = static_cast<HeldContender>((round + turn) % 2);
                const HeldSetup setup = round_setup(options, counts[c], c == last, contender);
                if (!held_once(programs, setup, outcome, figures)) {
                    return false;
                }
                note_outcome("held round", round, options.heldRounds, setup, *outcome);
                counts[c].peak[contender][round] = static_cast<double>(outcome->peakWorkingSet);
                counts[c].threads[contender] = outcome->threads;
                counts[c].cpuMs[contender][round] = outcome->cpuMs;
                counts[c].cpuShortMs[contender][round] = outcome->cpuShortMs;
                if (contender == kHeldQuorvel) {
                    pool_outcome(*outcome, &counts[c].latency);
                    counts[c].childrenPeak[round] =
                        static_cast<double>(outcome->childrenWorkingSet);
                    if (outcome->cpuPerEndUs >= 0) {
                        counts[c].cpuPerEndUs[counts[c].cpuPerEndRounds++] = outcome->cpuPerEndUs;
                    }
                }
            }
        }
    }
    return true;
}

// More launcher runs with the fewest children, for exit latency alone.
bool run_single_rounds(const BenchOptions& options, const BenchPrograms& programs,
                       CountFigures* fewest, HeldOutcome* outcome, BenchFigures* figures) {
    for (int round = 0; round < options.singleRounds; ++round) {
        HeldSetup setup{kHeldQuorvel, fewest->children, 0, 0, options.spacingMs, options.settleMs};
        if (!held_once(programs, setup, outcome, figures)) {
            return false;
        }
        note_outcome("latency run", round, options.singleRounds, setup, *outcome);
        pool_outcome(*outcome, &fewest->latency);
    }
    return true;
}

// The baseline's figures are negative where its idle cost was not measured.
void add_idle_row(int children, int stretchSeconds, int rounds, double (&cpuMs)[2][kMaxRounds],
                  BenchFigures* figures) {
    if (figures->idleRows < kMaxIdleRows) {
        figures->idle[figures->idleRows++] =
            IdleRow{children, stretchSeconds, rounds, median_of(cpuMs[kHeldQuorvel], rounds),
                    median_of(cpuMs[kHeldBaseline], rounds)};
    }
}

void summarize(const BenchOptions& options, CountFigures* counts, BenchFigures* figures) {
    const int rounds = options.heldRounds;
    for (int c = 0; c < options.heldCounts.size; ++c) {
        CountFigures& count = counts[c];
        MemoryRow& memory = figures->memory[figures->memoryRows++];
        memory.children = count.children;
        memory.rounds = rounds;
        memory.quorvelPeak = static_cast<SIZE_T>(median_of(count.peak[kHeldQuorvel], rounds));
        memory.baselinePeak = static_cast<SIZE_T>(median_of(count.peak[kHeldBaseline], rounds));
        memory.childrenPeak = static_cast<SIZE_T>(median_of(count.childrenPeak, rounds));
        memory.quorvelThreads = count.threads[kHeldQuorvel];
        memory.baselineThreads = count.threads[kHeldBaseline];

        LatencyRow& latency = figures->latency[figures->latencyRows++];
        latency.children = count.children;
        latency.samples = count.latency.lineCount;
        latency.missing = count.latency.missing;
        latency.lineMaxMs = maximum_of(count.latency.line, count.latency.lineCount);
        latency.lineMedianMs = median_of(count.latency.line, count.latency.lineCount);
        latency.noticeMaxMs = maximum_of(count.latency.notice, count.latency.noticeCount);
        latency.noticeMedianMs = median_of(count.latency.notice, count.latency.noticeCount);
        latency.cpuPerEndUs =
            count.cpuPerEndRounds > 0 ? median_of(count.cpuPerEndUs, count.cpuPerEndRounds) : -1;
    }
    for (int c = 0; c < options.heldCounts.size; ++c) {
        if (counts[c].idle) {
            add_idle_row(counts[c].children, options.stretchSeconds, rounds, counts[c].cpuMs,
                         figures);
        }
    }
    const bool partway =
        options.shortStretchSeconds > 0 && options.shortStretchSeconds < options.stretchSeconds;
    for (int c = 0; partway && c < options.heldCounts.size; ++c) {
        if (counts[c].idle) {
            add_idle_row(counts[c].children, options.shortStretchSeconds, rounds,
                         counts[c].cpuShortMs, figures);
        }
    }
}

}  // namespace

bool run_held_bench(const BenchOptions& options, const BenchPrograms& programs,
                    BenchFigures* figures) {
    const int countTotal = options.heldCounts.size;
    const int most = options.heldCounts.values[countTotal - 1];
    auto* counts = static_cast<CountFigures*>(calloc(countTotal, sizeof(CountFigures)));
    HeldOutcome outcome{};
    outcome.lineDelayMs = static_cast<double*>(malloc(most * sizeof(double)));
    outcome.noticeDelayMs = static_cast<double*>(malloc(most * sizeof(double)));
    bool good =
        counts != nullptr && outcome.lineDelayMs != nullptr && outcome.noticeDelayMs != nullptr;
    for (int c = 0; good && c < countTotal; ++c) {
        counts[c].children = options.heldCounts.values[c];
        counts[c].idle = c == 0 || c == countTotal - 1;
        const int runs = options.heldRounds + (c == 0 ? options.singleRounds : 0);
        good = allocate_pool(runs * counts[c].children, &counts[c].latency);
    }
    if (!good) {
        fprintf(stderr, "bench_runner: no memory for the held figures\n");
    }
    good = good && run_rounds(options, programs, counts, &outcome, figures) &&
           run_single_rounds(options, programs, &counts[0], &outcome, figures);
    if (good) {
        summarize(options, counts, figures);
    }
    for (int c = 0; counts != nullptr && c < countTotal; ++c) {
        free_pool(&counts[c].latency);
    }
    free(counts);
    free(outcome.lineDelayMs);
    free(outcome.noticeDelayMs);
    return good;
}
