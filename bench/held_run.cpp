#include "held_run.h"

#include <psapi.h>

#include <cstdio>
#include <cstdlib>

#include "command_line.h"
#include "figures.h"
#include "held_board.h"
#include "job_run.h"
#include "thread_count.h"

namespace {

// The first child ends this long after the release, so that the stir of every child
// waking at once has passed.
constexpr int kFirstEndMs = 500;

// Room for the ends of more processes than the children alone: Wine gives every process
// started without a window a console host process of its own, in the same job.
constexpr int kEndsPerChild = 4;

struct HeldBoardHandles {
    wchar_t name[kHeldNameCapacity];
    char narrowName[kHeldNameCapacity];
    HANDLE mapping;
    HeldBoard* board;
    HANDLE release;
};

bool open_board(HeldBoardHandles* handles) {
    static LONG serial = 0;
    const LONG run = InterlockedIncrement(&serial);
    *handles = HeldBoardHandles{};
    _snwprintf(handles->name, kHeldNameCapacity, L"QuorvelBench-%lu-%ld", GetCurrentProcessId(),
               run);
    _snprintf(handles->narrowName, kHeldNameCapacity, "%ls", handles->name);
    handles->mapping = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                          sizeof(HeldBoard), handles->name);
    if (handles->mapping == nullptr) {
        fprintf(stderr, "bench_runner: CreateFileMappingW failed (%lu)\n", GetLastError());
        return false;
    }
    handles->board = static_cast<HeldBoard*>(
        MapViewOfFile(handles->mapping, FILE_MAP_WRITE, 0, 0, sizeof(HeldBoard)));
    if (handles->board == nullptr) {
        fprintf(stderr, "bench_runner: MapViewOfFile failed (%lu)\n", GetLastError());
        return false;
    }
    wchar_t releaseName[kHeldNameCapacity];
    _snwprintf(releaseName, kHeldNameCapacity, L"%ls%ls", handles->name, kReleaseSuffix);
    handles->release = CreateEventW(nullptr, TRUE, FALSE, releaseName);
    if (handles->release == nullptr) {
        fprintf(stderr, "bench_runner: CreateEventW failed (%lu)\n", GetLastError());
        return false;
    }
    return true;
}

void close_board(HeldBoardHandles* handles) {
    if (handles->release != nullptr) {
        CloseHandle(handles->release);
    }
    if (handles->board != nullptr) {
        UnmapViewOfFile(handles->board);
    }
    if (handles->mapping != nullptr) {
        CloseHandle(handles->mapping);
    }
    *handles = HeldBoardHandles{};
}

// The children end in a shuffled order of their places, so that the launcher's reports
// do not always come from the same end of its table. The same order in every run.
void end_delays(int children, int spacingMs, int* delays) {
    for (int slot = 0; slot < children; ++slot) {
        delays[slot] = slot;
    }
    unsigned state = 2463534242u;
    for (int slot = children - 1; slot > 0; --slot) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        const int other = static_cast<int>(state % static_cast<unsigned>(slot + 1));
        const int rank = delays[slot];
        delays[slot] = delays[other];
        delays[other] = rank;
    }
    for (int slot = 0; slot < children; ++slot) {
        delays[slot] = kFirstEndMs + delays[slot] * spacingMs;
    }
}

// Returns the contender's program, or nullptr when its command line cannot be made.
const wchar_t* compose_command(const BenchPrograms& programs, const HeldSetup& setup,
                               const HeldBoardHandles& board, CommandLine* line) {
    *line = CommandLine{};
    const bool quorvel = setup.contender == kHeldQuorvel;
    append_argument(line, quorvel ? L"quorvel.exe --no-shl --no-con" : L"baseline.exe");
    int* delays = static_cast<int*>(malloc(setup.children * sizeof(int)));
    if (delays == nullptr) {
        fprintf(stderr, "bench_runner: no memory for %d delays\n", setup.children);
        return nullptr;
    }
    end_delays(setup.children, setup.spacingMs, delays);
    for (int slot = 0; slot < setup.children; ++slot) {
        wchar_t command[2 * kHeldNameCapacity];
        // Quoted: each command is one argument of the contender's.
        _snwprintf(command, 2 * kHeldNameCapacity, L"\"held_child.exe %ls %d %d\"", board.name,
                   slot, delays[slot]);
        append_argument(line, command);
    }
    free(delays);
    if (line->tooLong) {
        fprintf(stderr, "bench_runner: %d held children do not fit on one command line\n",
                setup.children);
        return nullptr;
    }
    return quorvel ? programs.quorvel : programs.baseline;
}

bool wait_until_ready(const JobRun& run, const HeldBoard* board, int children) {
    const ULONGLONG deadline = GetTickCount64() + 60000 + 500ull * children;
    while (board->readyCount < children) {
        // Nothing may end before the release; a child that did will never be ready.
        DWORD ended = 0;
        if (count_ended_processes(run, &ended) && ended > 0) {
            fprintf(stderr,
                    "bench_runner: %lu processes ended before the release, %ld of %d "
                    "children were up\n",
                    ended, board->readyCount, children);
            return false;
        }
        if (GetTickCount64() > deadline) {
            fprintf(stderr, "bench_runner: only %ld of %d children came up\n", board->readyCount,
                    children);
            return false;
        }
        Sleep(20);
    }
    return true;
}

bool measure_idle(const JobRun& run, const HeldSetup& setup, const HeldBoardHandles& board,
                  HeldOutcome* outcome) {
    CpuMeter meter{};
    const char* image = setup.contender == kHeldQuorvel ? "quorvel.exe" : "baseline.exe";
    if (!open_cpu_meter(run.process, image, board.narrowName, &meter)) {
        return false;
    }
    outcome->cpuSource = meter.source;
    outcome->processTimesEcho = process_times_echo_caller(run.process);
    ULONGLONG before = 0;
    ULONGLONG partway = 0;
    ULONGLONG after = 0;
    const bool partwayWanted = setup.shortStretchMs > 0 && setup.shortStretchMs < setup.stretchMs;
    const DWORD firstPart = partwayWanted ? setup.shortStretchMs : setup.stretchMs;
    bool good = read_cpu_ns(meter, &before);
    Sleep(firstPart);
    good = good && (!partwayWanted || read_cpu_ns(meter, &partway));
    Sleep(setup.stretchMs - firstPart);
    good = good && read_cpu_ns(meter, &after);
    if (!good) {
        fprintf(stderr, "bench_runner: the contender's CPU time could not be read\n");
        return false;
    }
    outcome->cpuMs = static_cast<double>(after - before) / 1e6;
    outcome->cpuShortMs = partwayWanted ? static_cast<double>(partway - before) / 1e6 : -1;
    return true;
}

bool read_peak_working_set(HANDLE process, SIZE_T* peak) {
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof(counters);
    if (!GetProcessMemoryInfo(process, &counters, sizeof(counters)) ||
        counters.PeakWorkingSetSize == 0) {
        fprintf(stderr, "bench_runner: GetProcessMemoryInfo failed (%lu)\n", GetLastError());
        return false;
    }
    *peak = counters.PeakWorkingSetSize;
    return true;
}

// Read at the same moment as the contender's, so that the two can be set side by side.
bool read_children_working_set(const HeldBoard* board, int children, SIZE_T* total) {
    *total = 0;
    for (int slot = 0; slot < children; ++slot) {
        HANDLE child = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_VM_READ, FALSE,
                                   board->childPid[slot]);
        if (child == nullptr) {
            fprintf(stderr, "bench_runner: held child %d cannot be opened (%lu)\n", slot,
                    GetLastError());
            return false;
        }
        SIZE_T peak = 0;
        const bool read = read_peak_working_set(child, &peak);
        CloseHandle(child);
        if (!read) {
            return false;
        }
        *total += peak;
    }
    return true;
}

// The launcher's CPU time over the ends it reports while more children are alive than one
// platform wait takes: read at the release, and again on a thread of its own, between two
// ends, once all but that many children are due to have ended.
constexpr int kBeyondOneWait = MAXIMUM_WAIT_OBJECTS + 1;

struct EndCpuProbe {
    CpuMeter meter;
    DWORD readAfterMs;
    const volatile int* exitCount;  // the output reader's count of exit lines
    ULONGLONG beforeNs;
    ULONGLONG afterNs;
    int exits;
    bool good;
};

DWORD WINAPI read_end_cpu(void* context) {
    auto* probe = static_cast<EndCpuProbe*>(context);
    Sleep(probe->readAfterMs);
    probe->good = read_cpu_ns(probe->meter, &probe->afterNs);
    probe->exits = *probe->exitCount;
    return 0;
}

// Starts the probe just before the release; null where there is nothing to measure.
HANDLE start_end_cpu_probe(const JobRun& run, const HeldSetup& setup, const HeldBoardHandles& board,
                           EndCpuProbe* probe) {
    if (setup.contender != kHeldQuorvel || setup.children <= kBeyondOneWait ||
        !open_cpu_meter(run.process, "quorvel.exe", board.narrowName, &probe->meter) ||
        !read_cpu_ns(probe->meter, &probe->beforeNs)) {
        return nullptr;
    }
    probe->readAfterMs =
        kFirstEndMs + (setup.children - kBeyondOneWait) * setup.spacingMs - setup.spacingMs / 2;
    probe->exitCount = &run.output.exitCount;
    return CreateThread(nullptr, 0, read_end_cpu, probe, 0, nullptr);
}

double finish_end_cpu_probe(HANDLE thread, const EndCpuProbe& probe) {
    if (thread == nullptr) {
        return -1;
    }
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    if (!probe.good || probe.exits <= 0) {
        return -1;
    }
    return static_cast<double>(probe.afterNs - probe.beforeNs) / 1e3 / probe.exits;
}

int slot_of_exit_line(const ExitLine& line) {
    int slot = -1;
    if (sscanf(line.command, "held_child.exe %*s %d", &slot) != 1) {
        return -1;
    }
    return slot;
}

// Sets every child's stamp against the notice of its end and, for the launcher, its exit
// line.
void collect_delays(const HeldSetup& setup, const HeldBoard* board, const OutputLines& output,
                    const ProcessEnd* ends, int endCount, HeldOutcome* outcome) {
    const bool quorvel = setup.contender == kHeldQuorvel;
    LONGLONG* lineStamps = static_cast<LONGLONG*>(calloc(setup.children, sizeof(LONGLONG)));
    if (quorvel && lineStamps != nullptr) {
        const int lines =
            output.exitCount < output.exitCapacity ? output.exitCount : output.exitCapacity;
        for (int i = 0; i < lines; ++i) {
            const int slot = slot_of_exit_line(output.exits[i]);
            if (slot >= 0 && slot < setup.children) {
                lineStamps[slot] = output.exits[i].stamp;
            }
        }
    }
    for (int slot = 0; slot < setup.children; ++slot) {
        const LONGLONG endStamp = board->endStamp[slot];
        LONGLONG noticeStamp = 0;
        for (int i = 0; i < endCount; ++i) {
            if (ends[i].pid == board->childPid[slot]) {
                noticeStamp = ends[i].stamp;
            }
        }
        const LONGLONG lineStamp = lineStamps != nullptr ? lineStamps[slot] : 0;
        if (endStamp == 0 || noticeStamp == 0 || (quorvel && lineStamp == 0)) {
            ++outcome->missing;
            continue;
        }
        outcome->noticeDelayMs[outcome->noticeCount++] = counter_to_ms(noticeStamp - endStamp);
        if (quorvel) {
            outcome->lineDelayMs[outcome->lineCount++] = counter_to_ms(lineStamp - endStamp);
        }
    }
    free(lineStamps);
}

bool release_and_collect(JobRun* run, const HeldSetup& setup, const HeldBoardHandles& board,
                         HeldOutcome* outcome) {
    const int endCapacity = kEndsPerChild * setup.children + 16;
    ProcessEnd* ends = static_cast<ProcessEnd*>(malloc(endCapacity * sizeof(ProcessEnd)));
    if (ends == nullptr) {
        fprintf(stderr, "bench_runner: no memory for %d process ends\n", endCapacity);
        return false;
    }
    EndCpuProbe probe{};
    HANDLE probeThread = start_end_cpu_probe(*run, setup, board, &probe);
    if (!SetEvent(board.release)) {
        fprintf(stderr, "bench_runner: SetEvent failed (%lu)\n", GetLastError());
        finish_end_cpu_probe(probeThread, probe);
        free(ends);
        return false;
    }
    int endCount = 0;
    LONGLONG emptyStamp = 0;
    const DWORD timeoutMs = kFirstEndMs + setup.children * setup.spacingMs + 60000;
    bool good = wait_until_job_empty(run, timeoutMs, ends, endCapacity, &endCount, &emptyStamp) &&
                collect_job_output(run);
    outcome->cpuPerEndUs = finish_end_cpu_probe(probeThread, probe);
    if (good && setup.contender == kHeldQuorvel &&
        (run->output.startedCount != setup.children || run->output.exitCount != setup.children)) {
        fprintf(stderr, "bench_runner: the launcher reported %d starts and %d ends of %d\n",
                run->output.startedCount, run->output.exitCount, setup.children);
        good = false;
    }
    if (good) {
        collect_delays(setup, board.board, run->output, ends, endCount, outcome);
    }
    free(ends);
    return good;
}

}  // namespace

bool run_held(const BenchPrograms& programs, const HeldSetup& setup, HeldOutcome* outcome) {
    outcome->cpuMs = -1;
    outcome->cpuShortMs = -1;
    outcome->peakWorkingSet = 0;
    outcome->childrenWorkingSet = 0;
    outcome->cpuPerEndUs = -1;
    outcome->threads = 0;
    outcome->lineCount = 0;
    outcome->noticeCount = 0;
    outcome->missing = 0;
    HeldBoardHandles board{};
    auto* line = static_cast<CommandLine*>(malloc(sizeof(CommandLine)));
    if (line == nullptr || !open_board(&board)) {
        close_board(&board);
        free(line);
        return false;
    }
    const wchar_t* application = compose_command(programs, setup, board, line);
    JobRun run{};
    bool good = application != nullptr &&
                start_job_run(application, line->text, programs.folder, setup.children + 8, &run) &&
                wait_until_ready(run, board.board, setup.children);
    if (good) {
        // Lets the contender finish its start reports and settle into its wait.
        Sleep(setup.settleMs);
        good = (setup.stretchMs == 0 || measure_idle(run, setup, board, outcome)) &&
               read_peak_working_set(run.process, &outcome->peakWorkingSet) &&
               read_children_working_set(board.board, setup.children, &outcome->childrenWorkingSet);
    }
    if (good) {
        // Threads are where a waiting program's memory goes beyond its tables: each one
        // has a stack of its own, and under Wine costs about a mebibyte of resident memory.
        outcome->threads = count_threads(run.process);
        if (outcome->threads < 0) {
            fprintf(stderr, "bench_runner: the contender's threads could not be counted (%lu)\n",
                    GetLastError());
            outcome->threads = 0;
        }
        good = release_and_collect(&run, setup, board, outcome);
    }
    if (!good && run.process != nullptr && setup.contender == kHeldQuorvel) {
        end_job_run(&run);
        fprintf(stderr, "bench_runner: the launcher reported %d starts ok, %d failed, %d ends\n",
                run.output.startedCount, run.output.failedCount, run.output.exitCount);
    }
    close_job_run(&run);
    close_board(&board);
    free(line);
    return good;
}
