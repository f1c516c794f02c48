#include "start_reap_bench.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cwchar>

#include "command_line.h"
#include "figures.h"
#include "job_run.h"

namespace {

constexpr const char* kStarterNames[kStarterCount] = {"quorvel", "baseline", "START"};
constexpr wchar_t kChildCommand[] = L"noop.exe";

void batch_name(int children, wchar_t* name, size_t capacity) {
    _snwprintf(name, capacity, L"bench-start-%d.cmd", children);
}

// One START line per child; START returns at once, so the batch ends long before the
// children may have.
bool write_start_batch(const BenchPrograms& programs, int children) {
    wchar_t name[64];
    batch_name(children, name, 64);
    wchar_t path[MAX_PATH];
    _snwprintf(path, MAX_PATH, L"%ls\\%ls", programs.folder, name);
    HANDLE file =
        CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        fprintf(stderr, "bench_runner: %ls could not be written (%lu)\n", path, GetLastError());
        return false;
    }
    static constexpr char kHeader[] = "@echo off\r\n";
    static constexpr char kLine[] = "start \"\" /b noop.exe\r\n";
    DWORD written = 0;
    bool good = WriteFile(file, kHeader, sizeof(kHeader) - 1, &written, nullptr) != 0;
    for (int i = 0; good && i < children; ++i) {
        good = WriteFile(file, kLine, sizeof(kLine) - 1, &written, nullptr) != 0;
    }
    CloseHandle(file);
    if (!good) {
        fprintf(stderr, "bench_runner: writing %ls failed (%lu)\n", path, GetLastError());
    }
    return good;
}

void remove_start_batch(const BenchPrograms& programs, int children) {
    wchar_t name[64];
    batch_name(children, name, 64);
    wchar_t path[MAX_PATH];
    _snwprintf(path, MAX_PATH, L"%ls\\%ls", programs.folder, name);
    DeleteFileW(path);  // a batch left behind does no harm
}

const wchar_t* compose_command(const BenchPrograms& programs, Starter starter, int children,
                               CommandLine* line) {
    line->length = 0;
    line->tooLong = false;
    line->text[0] = L'\0';
    if (starter == kInterpreterStarter) {
        wchar_t name[64];
        batch_name(children, name, 64);
        append_argument(line, L"cmd.exe /d /c");
        append_argument(line, name);
        return programs.interpreter;
    }
    if (starter == kQuorvelStarter) {
        append_argument(line, L"quorvel.exe --no-shl --no-con");
    } else {
        append_argument(line, L"baseline.exe");
    }
    for (int i = 0; i < children; ++i) {
        append_argument(line, kChildCommand);
    }
    return starter == kQuorvelStarter ? programs.quorvel : programs.baseline;
}

// Whether the run did what it should: every child started, and, for the launcher, every
// start and end reported.
bool run_was_complete(Starter starter, int children, JobRun* run, int endCount) {
    DWORD exitCode = 0;
    if (!GetExitCodeProcess(run->process, &exitCode)) {
        fprintf(stderr, "bench_runner: GetExitCodeProcess failed (%lu)\n", GetLastError());
        return false;
    }
    bool complete = exitCode == 0;
    if (starter == kQuorvelStarter) {
        complete = complete && collect_job_output(run) && run->output.startedCount == children &&
                   run->output.failedCount == 0 && run->output.exitCount == children;
    } else if (starter == kInterpreterStarter) {
        // The interpreter and each child; under Wine, START adds a helper process per child.
        complete = complete && endCount >= children + 1;
    }
    if (!complete) {
        fprintf(stderr,
                "bench_runner: %s with %d children: exit status %lu, %d ended, %d ok, "
                "%d error, %d exit lines\n",
                kStarterNames[starter], children, exitCode, endCount, run->output.startedCount,
                run->output.failedCount, run->output.exitCount);
    }
    return complete;
}

struct StartReapTiming {
    double msPerChild;  // from the contender's creation until its job is empty, per child
    double tailMs;      // from the last process joining the job until it is empty
    int processes;      // how many the run took, the contender and helpers included
};

bool time_start_reap(const BenchPrograms& programs, Starter starter, int children,
                     CommandLine* line, StartReapTiming* timing) {
    const wchar_t* application = compose_command(programs, starter, children, line);
    if (line->tooLong) {
        fprintf(stderr, "bench_runner: %d children do not fit on one command line\n", children);
        return false;
    }
    // Room for helper processes too: Wine adds a console host for every process started
    // without a window, and START adds one of its own per child.
    const int endCapacity = 4 * children + 16;
    ProcessEnd* ends = static_cast<ProcessEnd*>(malloc(endCapacity * sizeof(ProcessEnd)));
    if (ends == nullptr) {
        fprintf(stderr, "bench_runner: no memory for %d process ends\n", endCapacity);
        return false;
    }
    JobRun run{};
    int endCount = 0;
    LONGLONG emptyStamp = 0;
    const DWORD timeoutMs = 60000 + 2000 * static_cast<DWORD>(children);
    bool good = start_job_run(application, line->text, programs.folder, children + 8, &run) &&
                wait_until_job_empty(&run, timeoutMs, ends, endCapacity, &endCount, &emptyStamp) &&
                run_was_complete(starter, children, &run, endCount);
    if (good) {
        timing->msPerChild = counter_to_ms(emptyStamp - run.startStamp) / children;
        timing->tailMs = counter_to_ms(emptyStamp - run.lastJoinStamp);
        timing->processes = run.processCount;
    }
    close_job_run(&run);
    free(ends);
    return good;
}

// A run that fails is tried again this often before the start-and-reap runs give up.
bool time_with_retries(const BenchPrograms& programs, Starter starter, int children,
                       CommandLine* line, StartReapTiming* timing, int* repeated) {
    constexpr int kRetries = 2;
    for (int attempt = 0;; ++attempt) {
        if (time_start_reap(programs, starter, children, line, timing)) {
            return true;
        }
        if (attempt == kRetries) {
            return false;
        }
        fprintf(stderr, "bench_runner: %s with %d children failed; trying again\n",
                kStarterNames[starter], children);
        ++*repeated;
    }
}

struct CountSamples {
    int processes[kStarterCount];  // in the last round; the same in every round
    double msPerChild[kStarterCount][kMaxRounds];
    double tailMs[kStarterCount][kMaxRounds];
    double toBaseline[kMaxRounds];
    double toInterpreter[kMaxRounds];
};

void summarize(int children, int rounds, CountSamples* samples, StartReapRow* row) {
    row->children = children;
    row->rounds = rounds;
    for (int starter = 0; starter < kStarterCount; ++starter) {
        row->msPerChildLow[starter] = minimum_of(samples->msPerChild[starter], rounds);
        row->msPerChildHigh[starter] = maximum_of(samples->msPerChild[starter], rounds);
        row->msPerChild[starter] = median_of(samples->msPerChild[starter], rounds);
        row->processes[starter] = samples->processes[starter];
        row->tailMs[starter] = median_of(samples->tailMs[starter], rounds);
    }
    row->toBaselineLow = minimum_of(samples->toBaseline, rounds);
    row->toBaselineHigh = maximum_of(samples->toBaseline, rounds);
    row->toBaseline = median_of(samples->toBaseline, rounds);
    row->toInterpreterLow = minimum_of(samples->toInterpreter, rounds);
    row->toInterpreterHigh = maximum_of(samples->toInterpreter, rounds);
    row->toInterpreter = median_of(samples->toInterpreter, rounds);
}

}  // namespace

bool run_start_reap_bench(const BenchOptions& options, const BenchPrograms& programs,
                          BenchFigures* figures) {
    const int countTotal = options.counts.size;
    auto* samples = static_cast<CountSamples*>(calloc(countTotal, sizeof(CountSamples)));
    auto* line = static_cast<CommandLine*>(malloc(sizeof(CommandLine)));
    bool good = samples != nullptr && line != nullptr;
    if (!good) {
        fprintf(stderr, "bench_runner: no memory for the start-and-reap figures\n");
    }
    for (int c = 0; good && c < countTotal; ++c) {
        good = write_start_batch(programs, options.counts.values[c]);
    }
    int mostRounds = 0;
    for (int c = 0; c < countTotal; ++c) {
        mostRounds = std::max(mostRounds, rounds_for_count(options, c));
    }
    for (int round = 0; good && round < mostRounds; ++round) {
        for (int c = 0; good && c < countTotal; ++c) {
            const int rounds = rounds_for_count(options, c);
            if (round >= rounds) {
                continue;
            }
            const int children = options.counts.values[c];
            StartReapTiming timings[kStarterCount] = {};
            for (int turn = 0; good && turn < kStarterCount; ++turn) {
                // Each round starts with another contender, so that none always runs on a
                // machine just warmed or just disturbed by another.
                const Starter starter = static_cast<Starter>((round + turn) % kStarterCount);
                StartReapTiming& timing = timings[starter];
                good = time_with_retries(programs, starter, children, line, &timing,
                                         &figures->repeatedRuns);
                if (good) {
                    samples[c].msPerChild[starter][round] = timing.msPerChild;
                    samples[c].tailMs[starter][round] = timing.tailMs;
                    samples[c].processes[starter] = timing.processes;
                    fprintf(stderr,
                            "start-reap round %d/%d, %d children, %s: %.2f ms/child, tail %.1f "
                            "ms, %d processes\n",
                            round + 1, rounds, children, kStarterNames[starter], timing.msPerChild,
                            timing.tailMs, timing.processes);
                }
            }
            if (good) {
                samples[c].toBaseline[round] =
                    timings[kQuorvelStarter].msPerChild / timings[kBaselineStarter].msPerChild;
                samples[c].toInterpreter[round] =
                    timings[kQuorvelStarter].msPerChild / timings[kInterpreterStarter].msPerChild;
            }
        }
    }
    for (int c = 0; good && c < countTotal; ++c) {
        summarize(options.counts.values[c], rounds_for_count(options, c), &samples[c],
                  &figures->startReap[c]);
    }
    if (good) {
        figures->startReapRows = countTotal;
    }
    for (int c = 0; c < countTotal; ++c) {
        remove_start_batch(programs, options.counts.values[c]);
    }
    free(line);
    free(samples);
    return good;
}
