// The fault layer behind fault_calls.h. Each routed call is counted if it can fail, and fails
// with an error its page gives when it is the one the run names. The calls that open, close,
// register or free are checked in the order they come, under one lock since pool threads post.
// Stand-ins for children are events, two of which end whenever the launcher blocks in a wait.
// Freed blocks are filled and kept until the run ends, so that a write after the free shows.
#define QUORVEL_FAULT_LAYER
#include "fault_calls.h"
#include "utf8.h"

#include <cerrno>
#include <map>
#include <mutex>
#include <set>
#include <tuple>

namespace {

constexpr unsigned char kFreedFill = 0xDB;
// Of a larger block only the start is filled: what the launcher writes into one, a command or a
// line, begins there, and filling all of its 64 KB command buffers would double a run's time.
constexpr size_t kMostFilled = 4096;

struct Layer {
    FaultRun run;
    FaultOutcome out;
    std::map<const void*, bool> open;  // handles the launcher holds: whether a child's
    std::map<const void*, std::pair<const void*, const void*>> waits;  // handle, context
    std::set<const void*> kept;  // registered as far as the launcher knows, but gone
    const void* port = nullptr;
    std::map<void*, size_t> blocks;
    std::vector<std::pair<unsigned char*, size_t>> freed;
    std::vector<HANDLE> standIns;  // as the launcher holds them
    size_t nextEnd = 0;
    std::vector<WIN32_FIND_DATAW> listing;  // what a reversed search has yet to give, last first
} g;
std::recursive_mutex mutex;

template <typename Step>
void locked(Step step) {
    const std::lock_guard<std::recursive_mutex> lock(mutex);
    step();
}

void rule(bool holds, const char* what) {
    if (!holds) locked([&] { g.out.broken.emplace_back(what); });
}

// Counts a call that can fail; true, with error set, when it is the one the run fails.
bool fails(const char* name, DWORD error) {
    const std::lock_guard<std::recursive_mutex> lock(mutex);
    if ((g.run.failOnly != nullptr && strcmp(name, g.run.failOnly) != 0) ||
        ++g.out.calls != g.run.failAt) {
        return false;
    }
    g.out.failed = name;
    SetLastError(error);
    errno = ENOMEM;  // for the allocations
    return true;
}

bool more_than_64_children() {
    return std::count_if(g.open.begin(), g.open.end(), [](auto h) { return h.second; }) >
           MAXIMUM_WAIT_OBJECTS;
}

bool waited_on(const void* handle) {
    return std::any_of(g.waits.begin(), g.waits.end(),
                       [&](auto wait) { return wait.second.first == handle; });
}

bool holds_records(const void* block, size_t size) {
    return std::any_of(g.waits.begin(), g.waits.end(), [&](auto wait) {
        const auto* context = static_cast<const char*>(wait.second.second);
        return context >= block && context < static_cast<const char*>(block) + size;
    });
}

// Made-up values stand for the stand-ins' threads, from this one on: the launcher only ever
// closes them.
constexpr ULONG_PTR kFirstThread = 0x7ff10000;

bool made_up(const void* handle) {
    const auto value = reinterpret_cast<ULONG_PTR>(handle);
    return value >= kFirstThread && value < kFirstThread + 4 * g.standIns.size();
}

void closed(const void* handle) {
    rule(g.open.erase(handle) == 1, "a handle closed twice, or never opened");
    rule(!waited_on(handle), "a handle closed while a wait for it is registered");
    rule(handle != g.port || g.waits.empty(), "the port closed with a wait registered");
}

void* keep(void* block, size_t size) {
    if (block != nullptr) locked([&] { g.blocks[block] = size; });
    return block;
}

template <size_t i, typename... A>
auto arg(A... a) {
    return std::get<i>(std::tuple(a...));
}

// Before a blocking wait the next two stand-ins end. A wait longer than the run's deadline is
// cut there, and fails if it times out: the run hung.
template <typename Wait>
auto blocking(const char* name, DWORD error, DWORD timeout, Wait wait) {
    using Result = decltype(wait(timeout));
    const Result failure = std::is_same_v<Result, BOOL> ? FALSE : WAIT_FAILED;
    if (fails(name, error)) return failure;
    for (int ended = 0; timeout != 0 && ended < 2 && g.nextEnd < g.run.endOrder.size();
         ++g.nextEnd) {
        const size_t next = g.run.endOrder[g.nextEnd];
        if (next < g.standIns.size()) ended += SetEvent(g.standIns[next]);
    }
    const DWORD given = std::min(timeout, g.run.deadline);
    const Result result = wait(given);
    const bool timedOut = std::is_same_v<Result, BOOL>
                              ? result == FALSE && GetLastError() == WAIT_TIMEOUT
                              : static_cast<DWORD>(result) == WAIT_TIMEOUT;
    if (given == timeout || !timedOut) return result;
    g.out.hung = true;
    SetLastError(ERROR_TIMEOUT);
    return failure;
}

// A call that fails with failure, and error set, when it is the one the run names. One that
// releases something is made even then, so that nothing of it outlives the run; the launcher
// must act as if it were still held. before and after run under the lock, after with the
// result r.
#define QUORVEL_ROUTE(name, failure, error, releases, before, after)      \
    decltype(&::name) fake_##name = [](auto... a) {                       \
        const bool failing = fails(#name, error);                         \
        if (failing && !(releases)) return decltype(name(a...))(failure); \
        locked([&] { before; });                                          \
        const auto r = name(a...);                                        \
        locked([&] { after; });                                           \
        if (failing) SetLastError(error);                                 \
        return failing ? decltype(r)(failure) : r;                        \
    }

// Wine lists a folder sorted as NTFS keeps it already; reversed, the listing is one that a
// launcher which did not sort its matches would start in the wrong order.
bool next_entry(HANDLE search, LPWIN32_FIND_DATAW entry) {
    if (!g.run.listingReversed) return FindNextFileW(search, entry) != FALSE;
    if (g.listing.empty()) {
        SetLastError(ERROR_NO_MORE_FILES);
        return false;
    }
    *entry = g.listing.back();
    g.listing.pop_back();
    return true;
}

void first_entry(HANDLE search, LPWIN32_FIND_DATAW entry) {
    if (search == INVALID_HANDLE_VALUE) return;
    g.open[search] = false;
    if (!g.run.listingReversed) return;
    g.listing = {*entry};
    for (WIN32_FIND_DATAW next; FindNextFileW(search, &next) != FALSE;) g.listing.push_back(next);
    next_entry(search, entry);
}

}  // namespace

void begin_fault_run(const FaultRun& run) {
    g.run = run;
}

FaultOutcome end_fault_run() {
    // A wait whose unregistering failed may still call back: its handle, the port and the
    // records are kept on purpose.
    for (const auto& [handle, child] : g.open) {
        rule(!g.kept.empty() && (handle == g.port || waited_on(handle)), "a handle left open");
    }
    for (const auto& [block, size] : g.blocks) {
        rule(!g.kept.empty() && holds_records(block, size), "a block never freed");
    }
    rule(g.waits.size() == g.kept.size(), "a wait left registered");
    for (const auto& [registration, wait] : g.waits) {
        if (g.kept.count(registration) == 0) {
            UnregisterWaitEx(const_cast<HANDLE>(registration), INVALID_HANDLE_VALUE);
        }
    }
    for (const auto& [handle, child] : g.open) {
        if (!made_up(handle)) CloseHandle(const_cast<HANDLE>(handle));
    }
    for (const auto& [block, size] : g.blocks) free(block);
    for (const auto& [block, size] : g.freed) {
        rule(size == 0 || (block[0] == kFreedFill && memcmp(block, block + 1, size - 1) == 0),
             "a block written after it was freed");
        free(block);
    }
    const FaultOutcome outcome = g.out;
    g = Layer{};
    return outcome;
}

decltype(&::CreateProcessW) fake_CreateProcessW = [](auto program, LPWSTR commandLine,
                                                     auto... rest) {
    LPPROCESS_INFORMATION process = std::get<sizeof...(rest) - 1>(std::tie(rest...));
    if (fails("CreateProcessW", ERROR_NOT_ENOUGH_MEMORY)) return FALSE;
    if (!g.run.realChildren.empty() && wcsstr(commandLine, g.run.realChildren.c_str()) != nullptr) {
        if (CreateProcessW(program, commandLine, rest...) == FALSE) return FALSE;
    } else if (wcsstr(commandLine, L"no-such") != nullptr) {
        SetLastError(ERROR_FILE_NOT_FOUND);  // a program that is not there
        return FALSE;
    } else {
        process->hProcess = g.standIns.emplace_back(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        process->hThread = reinterpret_cast<HANDLE>(kFirstThread + 4 * g.standIns.size() - 4);
    }
    g.out.started.push_back(std::wstring(program != nullptr ? program : L"") + L" " + commandLine);
    locked([&] { g.open.insert({{process->hProcess, true}, {process->hThread, false}}); });
    return TRUE;
};

// Closed even when the call fails: the launcher never looks at the result.
decltype(&::CloseHandle) fake_CloseHandle = [](HANDLE handle) {
    const bool failing = fails("CloseHandle", ERROR_INVALID_HANDLE);
    locked([&] { closed(handle); });
    return static_cast<BOOL>((made_up(handle) || CloseHandle(handle) != FALSE) && !failing);
};

QUORVEL_ROUTE(FindClose, FALSE, ERROR_INVALID_HANDLE, true, closed(a...), );
QUORVEL_ROUTE(DuplicateHandle, FALSE, ERROR_NOT_ENOUGH_MEMORY, false, ,
              if (r) g.open[*arg<3>(a...)] = g.open.count(arg<1>(a...)) && g.open[arg<1>(a...)]);
QUORVEL_ROUTE(RegisterWaitForSingleObject, FALSE, ERROR_NOT_ENOUGH_MEMORY, false,
              rule(more_than_64_children(), "a pool wait with 64 children alive or fewer"),
              if (r) g.waits[*arg<0>(a...)] = std::pair(arg<1>(a...), arg<3>(a...)));
QUORVEL_ROUTE(UnregisterWaitEx, FALSE, ERROR_INVALID_HANDLE, true,
              rule(g.waits.count(arg<0>(a...)) == 1,
                   "a wait unregistered twice, or never registered"),
              failing || !r ? void(g.kept.insert(arg<0>(a...)))
                            : void(g.waits.erase(arg<0>(a...))));
QUORVEL_ROUTE(CreateIoCompletionPort, nullptr, ERROR_NOT_ENOUGH_MEMORY, false, ,
              if (r) g.open[g.port = r] = false);
QUORVEL_ROUTE(PostQueuedCompletionStatus, FALSE, ERROR_NOT_ENOUGH_MEMORY, false,
              rule(g.open.count(arg<0>(a...)) == 1, "a post to a port already closed"), );
QUORVEL_ROUTE(CompareStringOrdinal, 0, ERROR_INVALID_PARAMETER, false, , );
QUORVEL_ROUTE(WideCharToMultiByte, 0, ERROR_INSUFFICIENT_BUFFER, false, , );
QUORVEL_ROUTE(GetSystemDirectoryW, 0, ERROR_NOT_ENOUGH_MEMORY, false, , );
QUORVEL_ROUTE(GetCurrentDirectoryW, 0, ERROR_NOT_ENOUGH_MEMORY, false, , );
QUORVEL_ROUTE(FindFirstFileW, INVALID_HANDLE_VALUE, ERROR_FILE_NOT_FOUND, false, ,
              first_entry(r, arg<1>(a...)));
QUORVEL_ROUTE(malloc, nullptr, ERROR_NOT_ENOUGH_MEMORY, false, , keep(r, arg<0>(a...)));
QUORVEL_ROUTE(calloc, nullptr, ERROR_NOT_ENOUGH_MEMORY, false, ,
              keep(r, arg<0>(a...) * arg<1>(a...)));
decltype(&::_wcsdup) fake_wcsdup = [](const wchar_t* text) {
    return fails("_wcsdup", ERROR_NOT_ENOUGH_MEMORY)
               ? nullptr
               : static_cast<wchar_t*>(keep(_wcsdup(text), (wcslen(text) + 1) * 2));
};

decltype(&::FindNextFileW) fake_FindNextFileW = [](HANDLE search, LPWIN32_FIND_DATAW entry) {
    return static_cast<BOOL>(!fails("FindNextFileW", ERROR_NO_MORE_FILES) &&
                             next_entry(search, entry));
};

decltype(&::WaitForMultipleObjects) fake_WaitForMultipleObjects =
    [](DWORD count, const HANDLE* handles, BOOL all, DWORD timeout) {
        return blocking("WaitForMultipleObjects", ERROR_INVALID_HANDLE, timeout, [&](DWORD given) {
            return WaitForMultipleObjects(count, handles, all, given);
        });
    };

decltype(&::WaitForSingleObject) fake_WaitForSingleObject = [](HANDLE handle, DWORD timeout) {
    return blocking("WaitForSingleObject", ERROR_INVALID_HANDLE, timeout,
                    [&](DWORD given) { return WaitForSingleObject(handle, given); });
};

decltype(&::GetQueuedCompletionStatusEx) fake_GetQueuedCompletionStatusEx =
    [](HANDLE port, LPOVERLAPPED_ENTRY posts, ULONG count, PULONG taken, DWORD timeout,
       BOOL alertable) {
        return blocking(
            "GetQueuedCompletionStatusEx", ERROR_ABANDONED_WAIT_0, timeout, [&](DWORD given) {
                rule(more_than_64_children(), "the port read with 64 children alive or fewer");
                return GetQueuedCompletionStatusEx(port, posts, count, taken, given, alertable);
            });
    };

// The test process keeps its own class.
decltype(&::SetPriorityClass) fake_SetPriorityClass = [](HANDLE, DWORD) {
    return static_cast<BOOL>(!fails("SetPriorityClass", ERROR_ACCESS_DENIED));
};

decltype(&::GetStdHandle) fake_GetStdHandle = [](DWORD which) {
    return fails("GetStdHandle", ERROR_INVALID_HANDLE) ? INVALID_HANDLE_VALUE
           : which == STD_OUTPUT_HANDLE                ? g.run.output
                                                       : GetStdHandle(which);
};

decltype(&::GetConsoleMode) fake_GetConsoleMode = [](HANDLE console, LPDWORD mode) {
    if (fails("GetConsoleMode", ERROR_INVALID_HANDLE)) return FALSE;
    if (console != kConsoleStandIn) return GetConsoleMode(console, mode);
    *mode = ENABLE_PROCESSED_OUTPUT;
    return TRUE;
};

decltype(&::WriteConsoleW) fake_WriteConsoleW = [](HANDLE console, const VOID* text, DWORD length,
                                                   LPDWORD written, LPVOID reserved) {
    if (fails("WriteConsoleW", ERROR_NOT_ENOUGH_MEMORY)) return FALSE;
    if (console != kConsoleStandIn) return WriteConsoleW(console, text, length, written, reserved);
    const std::wstring units(static_cast<const wchar_t*>(text), length);
    rule(units.empty() || !IS_HIGH_SURROGATE(units.back()),
         "a console write ends inside a surrogate pair");
    g.out.console += to_utf8(units);
    *written = length;
    return TRUE;
};

// Bytes for the console's stand-in are taken for UTF-8, as a console set to it would.
decltype(&::WriteFile) fake_WriteFile = [](HANDLE file, LPCVOID bytes, DWORD length,
                                           LPDWORD written, LPOVERLAPPED overlapped) {
    if (fails("WriteFile", ERROR_DISK_FULL)) return FALSE;
    if (file != kConsoleStandIn) return WriteFile(file, bytes, length, written, overlapped);
    g.out.console.append(static_cast<const char*>(bytes), length);
    *written = length;
    return TRUE;
};

decltype(&::GetCommandLineW) fake_GetCommandLineW = [] { return g.run.commandLine.data(); };

// Always to a new place, so that a pointer still held to the old one shows.
decltype(&::realloc) fake_realloc = [](void* block, size_t size) {
    void* moved = fails("realloc", ERROR_NOT_ENOUGH_MEMORY) ? nullptr : keep(malloc(size), size);
    if (moved != nullptr && block != nullptr) {
        memcpy(moved, block, std::min(size, g.blocks[block]));
        fake_free(block);
    }
    return moved;
};

decltype(&::free) fake_free = [](void* block) {
    if (block == nullptr) return;
    const auto live = g.blocks.find(block);
    rule(live != g.blocks.end(), "a block freed twice, or never allocated");
    if (live == g.blocks.end()) return;
    rule(!holds_records(block, live->second), "records freed with a wait registered");
    const size_t filled = std::min(live->second, kMostFilled);
    memset(block, kFreedFill, filled);
    g.freed.emplace_back(static_cast<unsigned char*>(block), filled);
    g.blocks.erase(live);
};

// The launcher's message on standard error; the tests read its status instead.
decltype(&::perror) fake_perror = [](const char*) {};
