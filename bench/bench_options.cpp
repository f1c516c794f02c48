#include "bench_options.h"

#include <cstdio>
#include <cwchar>

#include "held_board.h"

namespace {

constexpr char kUsage[] =
    "usage: bench_runner.exe [option]...\n"
    "  --quick                 a short run: fewer rounds, children and seconds\n"
    "  --only start-reap|held  run only the start-and-reap runs or only the held runs\n"
    "  --rounds N[,N...]       start-and-reap rounds for each count in turn; the last\n"
    "                          also for the further counts (default 5,15,3)\n"
    "  --counts A,B,...        children per start-and-reap run (default 10,100,300)\n"
    "  --held-rounds N         rounds of held runs (default 2)\n"
    "  --held-counts A,B,...   children alive in held runs (default 1,100,300,600)\n"
    "  --stretch S             idle stretch in seconds (default 20)\n"
    "  --short-stretch S       CPU time also read S seconds into the stretch (default 12;\n"
    "                          0: not)\n"
    "  --single-rounds N       extra runs with the fewest held children, for exit\n"
    "                          latency (default 10)\n"
    "  --spacing MS            time between two children's ends (default 25)\n"
    "  --settle MS             wait after the last child's start (default 500)\n"
    "  --data FILE             also write the figures to FILE, tab-separated, for charts\n";

CountList count_list(const int* values, int size) {
    CountList list{};
    for (int i = 0; i < size; ++i) {
        list.values[list.size++] = values[i];
    }
    return list;
}

bool parse_number(const wchar_t* text, int low, int high, int* number) {
    wchar_t* end = nullptr;
    const long value = wcstol(text, &end, 10);
    if (end == text || *end != L'\0' || value < low || value > high) {
        return false;
    }
    *number = static_cast<int>(value);
    return true;
}

// "10,100,300": each within low..high, and rising where rising is asked for.
bool parse_list(const wchar_t* text, int low, int high, bool rising, CountList* list) {
    CountList parsed{};
    wchar_t item[16];
    size_t length = 0;
    for (const wchar_t* at = text;; ++at) {
        if (*at != L',' && *at != L'\0') {
            if (length + 1 >= sizeof(item) / sizeof(item[0])) {
                return false;
            }
            item[length++] = *at;
            continue;
        }
        item[length] = L'\0';
        length = 0;
        int value = 0;
        if (parsed.size == kMaxCounts || !parse_number(item, low, high, &value) ||
            (rising && parsed.size > 0 && value <= parsed.values[parsed.size - 1])) {
            return false;
        }
        parsed.values[parsed.size++] = value;
        if (*at == L'\0') {
            break;
        }
    }
    *list = parsed;
    return true;
}

// Children per run: rising, and no more than a held board has room for.
bool parse_counts(const wchar_t* text, CountList* list) {
    return parse_list(text, 1, kHeldBoardCapacity, true, list);
}

void apply_quick(BenchOptions* options) {
    static constexpr int kQuickRounds[] = {2};
    static constexpr int kQuickCounts[] = {10, 50};
    static constexpr int kQuickHeldCounts[] = {1, 20, 80};
    options->rounds = count_list(kQuickRounds, 1);
    options->counts = count_list(kQuickCounts, 2);
    options->heldRounds = 1;
    options->heldCounts = count_list(kQuickHeldCounts, 3);
    options->stretchSeconds = 3;
    options->shortStretchSeconds = 2;
    options->singleRounds = 3;
}

}  // namespace

BenchOptions default_bench_options() {
    // The most children cost the most time per round; the fewer get more rounds. The count
    // that a target names gets the most: single rounds scatter by a tenth on a busy
    // machine, and five of them leave the median a few hundredths adrift.
    static constexpr int kRounds[] = {5, 15, 3};
    static constexpr int kCounts[] = {10, 100, 300};
    static constexpr int kHeldCounts[] = {1, 100, 300, 600};
    BenchOptions options{};
    options.runStartReap = true;
    options.runHeld = true;
    options.rounds = count_list(kRounds, 3);
    options.counts = count_list(kCounts, 3);
    options.heldRounds = 2;
    options.heldCounts = count_list(kHeldCounts, 4);
    options.stretchSeconds = 20;
    options.shortStretchSeconds = 12;
    options.singleRounds = 10;
    options.spacingMs = 25;
    options.settleMs = 500;
    return options;
}

OptionsVerdict parse_bench_options(int argc, wchar_t** argv, BenchOptions* options) {
    for (int i = 1; i < argc; ++i) {
        const wchar_t* name = argv[i];
        if (wcscmp(name, L"--help") == 0) {
            fputs(kUsage, stdout);
            return OptionsVerdict::HelpShown;
        }
        if (wcscmp(name, L"--quick") == 0) {
            apply_quick(options);
            continue;
        }
        if (i + 1 >= argc) {
            fprintf(stderr, "bench_runner: %ls needs a value\n%s", name, kUsage);
            return OptionsVerdict::Bad;
        }
        const wchar_t* value = argv[++i];
        bool good = true;
        if (wcscmp(name, L"--only") == 0) {
            options->runStartReap = wcscmp(value, L"start-reap") == 0;
            options->runHeld = wcscmp(value, L"held") == 0;
            good = options->runStartReap || options->runHeld;
        } else if (wcscmp(name, L"--rounds") == 0) {
            good = parse_list(value, 1, kMaxRounds, false, &options->rounds);
        } else if (wcscmp(name, L"--counts") == 0) {
            good = parse_counts(value, &options->counts);
        } else if (wcscmp(name, L"--held-rounds") == 0) {
            good = parse_number(value, 1, kMaxRounds, &options->heldRounds);
        } else if (wcscmp(name, L"--held-counts") == 0) {
            good = parse_counts(value, &options->heldCounts);
        } else if (wcscmp(name, L"--stretch") == 0) {
            good = parse_number(value, 1, 3600, &options->stretchSeconds);
        } else if (wcscmp(name, L"--short-stretch") == 0) {
            good = parse_number(value, 0, 3600, &options->shortStretchSeconds);
        } else if (wcscmp(name, L"--single-rounds") == 0) {
            good = parse_number(value, 0, 1000, &options->singleRounds);
        } else if (wcscmp(name, L"--spacing") == 0) {
            good = parse_number(value, 0, 10000, &options->spacingMs);
        } else if (wcscmp(name, L"--settle") == 0) {
            good = parse_number(value, 0, 60000, &options->settleMs);
        } else if (wcscmp(name, L"--data") == 0) {
            options->figuresPath = value;
        } else {
            fprintf(stderr, "bench_runner: unknown option %ls\n%s", name, kUsage);
            return OptionsVerdict::Bad;
        }
        if (!good) {
            fprintf(stderr, "bench_runner: bad value for %ls: %ls\n", name, value);
            return OptionsVerdict::Bad;
        }
    }
    return OptionsVerdict::Run;
}

int rounds_for_count(const BenchOptions& options, int countIndex) {
    const int last = options.rounds.size - 1;
    return options.rounds.values[countIndex < last ? countIndex : last];
}
