#pragma once

// What the harness measures and how long it takes over it. The defaults make the full run
// that bench/RESULTS.md reports; --quick makes a short one for trying things out.
constexpr int kMaxCounts = 6;
constexpr int kMaxRounds = 100;

struct CountList {
    int values[kMaxCounts];
    int size;
};

struct BenchOptions {
    bool runStartReap;
    bool runHeld;
    CountList rounds;         // start-and-reap rounds for each count, the last also for any
                              // further ones; every contender runs once per round
    CountList counts;         // children per start-and-reap run
    int heldRounds;           // rounds of held runs, the launcher and the baseline alternating
    CountList heldCounts;     // children alive in held runs; idle cost for the fewest and most
    int stretchSeconds;       // idle stretch in each held round
    int shortStretchSeconds;  // CPU time also read this far into the stretch; 0: not
    int singleRounds;         // extra runs with the fewest held children, for exit latency
    int spacingMs;            // time between two children's ends once released
    int settleMs;             // from the last child's start to the measurements
    // Where the figures also go as tab-separated text; null: nowhere.
    const wchar_t* figuresPath;
};

BenchOptions default_bench_options();

enum class OptionsVerdict { Run, HelpShown, Bad };

// Applies the arguments to options in order; later ones win. Prints the usage for --help
// and what is wrong with a bad argument.
OptionsVerdict parse_bench_options(int argc, wchar_t** argv, BenchOptions* options);

// How many start-and-reap rounds the count at countIndex gets.
int rounds_for_count(const BenchOptions& options, int countIndex);
