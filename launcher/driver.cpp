#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "argument_expansion.h"
#include "child_start.h"
#include "child_table.h"
#include "completion_wait.h"
#include "launch_settings.h"
#include "report_output.h"

#ifdef __MINGW32__
// The start-up leaves wildcard patterns alone, whatever the toolchain's default: the
// launcher expands them itself (argument_expansion.h).
extern "C" {
int _dowildcard = 0;
}
#endif

namespace {

constexpr wchar_t kBanner[] = L"Quorvel / " __DATE__;

// Starts every command in argument order, each with the settings in force at its position.
// A file's name that a pattern made is never a switch, whatever it reads, and a name shared by
// more than one entry starts nothing.
void start_children(const ChildTable& table, const ArgumentList& arguments,
                    const ReportOutput& output) {
    LaunchSettings settings = initial_launch_settings();
    for (int i = 1; i < table.count; ++i) {
        const wchar_t* argument = arguments.values[i];
        const ArgumentKind kind = arguments.kinds[i];
        if (kind == ArgumentKind::kTyped && apply_switch(argument, &settings)) {
            continue;
        }
        if (kind != ArgumentKind::kSharedFileName) {
            const bool isFileName = kind == ArgumentKind::kFileName;
            table.slots[i] = start_child(compose_child_start(argument, isFileName, settings));
        }
        write_start_report(output, argument, table.slots[i] != nullptr);
    }
}

// Only after a failed wait: the children go on running unreported.
void close_children(const ChildTable& table) {
    for (int i = 0; i < table.count; ++i) {
        if (table.slots[i] != nullptr) {
            CloseHandle(table.slots[i]);
            table.slots[i] = nullptr;
        }
    }
}

// The run itself, over the arguments as expanded.
int run(const ArgumentList& arguments) {
    const auto count = static_cast<size_t>(arguments.count);
    // The child table and the wait set share one block: entries 0..N-1 and N..2N-1.
    auto* block = static_cast<HANDLE*>(malloc(2 * count * sizeof(HANDLE)));
    if (block == nullptr) {
        perror(nullptr);
        return -1;
    }
    const ChildTable table{block, arguments.count};
    HANDLE* waitSet = block + count;
    memset(table.slots, 0, count * sizeof(HANDLE));

    const ReportOutput output = open_report_output();
    const wchar_t* const banner[] = {kBanner};
    write_report_line(output, banner);

    start_children(table, arguments, output);
    const bool allEnded = wait_for_children(table, waitSet, arguments.values, output);
    if (!allEnded) {
        close_children(table);
    }

    free(block);
    return allEnded ? 0 : -1;
}

}  // namespace

int wmain(int argc, wchar_t** argv, wchar_t** /*environment*/) {
    if (argc <= 1) {
        return -1;
    }
    ArgumentList arguments{};
    if (!expand_unquoted_patterns(GetCommandLineW(), argc, argv, &arguments)) {
        perror(nullptr);
        return -1;
    }
    const int status = run(arguments);
    release_argument_list(&arguments);
    return status;
}
