// The benchmark harness: runs every comparison inside Wine (or Windows) in one process, so
// that no figure carries the cost of starting Wine, and prints the figures as Markdown
// (with --data, also as tab-separated text for the charts).
// It prints figures only; it judges nothing and fails only when a run could not be done.
//
//   bench_runner.exe [option]...     (--help lists them)
//
// quorvel.exe, baseline.exe, noop.exe and held_child.exe must be in its folder.
#include <windows.h>

#include <cstdio>
#include <cwchar>

#include "bench_figures.h"
#include "bench_options.h"
#include "figures_file.h"
#include "held_bench.h"
#include "report_tables.h"
#include "start_reap_bench.h"

namespace {

bool program_path(const wchar_t* folder, const wchar_t* name, wchar_t* path) {
    _snwprintf(path, MAX_PATH, L"%ls\\%ls", folder, name);
    path[MAX_PATH - 1] = L'\0';
    if (GetFileAttributesW(path) == INVALID_FILE_ATTRIBUTES) {
        fprintf(stderr, "bench_runner: %ls is missing; build the bench programs first\n", path);
        return false;
    }
    return true;
}

bool find_bench_programs(BenchPrograms* programs) {
    const DWORD length = GetModuleFileNameW(nullptr, programs->folder, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        fprintf(stderr, "bench_runner: GetModuleFileNameW failed (%lu)\n", GetLastError());
        return false;
    }
    wchar_t* lastSeparator = wcsrchr(programs->folder, L'\\');
    if (lastSeparator == nullptr) {
        return false;
    }
    *lastSeparator = L'\0';
    wchar_t unused[MAX_PATH];
    if (!program_path(programs->folder, L"quorvel.exe", programs->quorvel) ||
        !program_path(programs->folder, L"baseline.exe", programs->baseline) ||
        !program_path(programs->folder, L"noop.exe", unused) ||
        !program_path(programs->folder, L"held_child.exe", unused)) {
        return false;
    }
    // The interpreter from the system folder, as the launcher itself takes it.
    const UINT systemLength = GetSystemDirectoryW(programs->interpreter, MAX_PATH);
    if (systemLength == 0 || systemLength >= MAX_PATH) {
        fprintf(stderr, "bench_runner: GetSystemDirectoryW failed (%lu)\n", GetLastError());
        return false;
    }
    return program_path(programs->interpreter, L"cmd.exe", programs->interpreter);
}

void print_settings(const BenchOptions& options) {
    printf("Settings: start and reap with");
    for (int i = 0; i < options.counts.size; ++i) {
        printf("%s %d children (%d rounds)", i > 0 ? "," : "", options.counts.values[i],
               rounds_for_count(options, i));
    }
    printf("; held runs: %d rounds with", options.heldRounds);
    for (int i = 0; i < options.heldCounts.size; ++i) {
        printf(" %d", options.heldCounts.values[i]);
    }
    printf(
        " children, idle stretch %d s (CPU also read after %d s), %d more latency runs, ends "
        "%d ms apart.\n\n",
        options.stretchSeconds, options.shortStretchSeconds, options.singleRounds,
        options.spacingMs);
    fflush(stdout);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    BenchOptions options = default_bench_options();
    const OptionsVerdict verdict = parse_bench_options(argc, argv, &options);
    if (verdict != OptionsVerdict::Run) {
        return verdict == OptionsVerdict::HelpShown ? 0 : 2;
    }
    BenchPrograms programs{};
    if (!find_bench_programs(&programs)) {
        return 1;
    }
    FILE* figuresFile = nullptr;
    if (options.figuresPath != nullptr) {
        figuresFile = open_figures_file(options.figuresPath);
        if (figuresFile == nullptr) {
            return 1;
        }
    }
    print_settings(options);
    static BenchFigures figures{};
    if (options.runStartReap && !run_start_reap_bench(options, programs, &figures)) {
        return 1;
    }
    if (options.runHeld && !run_held_bench(options, programs, &figures)) {
        return 1;
    }
    print_report_tables(options, figures);
    if (figuresFile != nullptr &&
        !write_figures_file(figuresFile, options.figuresPath, argc, argv, options, figures)) {
        return 1;
    }
    return 0;
}
