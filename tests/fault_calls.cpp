// The fault layer behind fault_calls.h. Each routed call is counted if it can fail, and fails
// with an error its page gives when it is the one the run names; the calls that open, close,
// register or free are logged in order, and end_fault_run reads the rules from that log.
// Stand-ins for children are events, two of which end whenever the launcher blocks in a wait;
// the console's stand-in keeps the text written to it. Freed blocks are filled and kept until
// the run ends, so that a write after the free shows.
#define QUORVEL_FAULT_LAYER
#include "fault_calls.h"

#include <atomic>
#include <cerrno>
#include <map>
#include <mutex>
#include <set>
#include <tuple>

namespace {

enum class Op { kStart, kOpen, kPort, kClose, kRegister, kUnregister, kPost, kRead, kAlloc, kFree };

struct Call {
    Op op;
    const void* a;  // the handle, registration or block the call is about
    const void* b;  // the start's thread, the handle copied, the registration's handle
    const void* c;  // the registration's context
    size_t size;    // the block's
    bool failed;
};

constexpr unsigned char kFreedFill = 0xDB;
// Of a larger block only the start is filled: what the launcher writes into one, a command or a
// line, begins there, and filling all of its 64 KB command buffers would double a run's time.
constexpr size_t kMostFilled = 4096;

struct Layer {
    FaultRun run;
    std::atomic<long> calls{0};
    std::atomic<const char*> failed{nullptr};
    bool hung = false;
    std::mutex mutex;  // for the log: pool threads post
    std::vector<Call> log;
    std::vector<std::wstring> started;
    std::vector<HANDLE> standIns;  // as the launcher holds them
    size_t nextEnd = 0;
    std::wstring console;
    std::vector<std::string> broken;
    std::map<const void*, size_t> blocks;
    std::vector<std::pair<unsigned char*, size_t>> freed;
    std::vector<WIN32_FIND_DATAW> listing;  // what a reversed search has yet to give, last first
} g;

void note(Op op, const void* a, const void* b = nullptr, const void* c = nullptr, size_t size = 0,
          bool failed = false) {
    const std::lock_guard<std::mutex> lock(g.mutex);
    g.log.push_back({op, a, b, c, size, failed});
}

// Counts a call that can fail; true, with error set, when it is the one the run fails.
bool fails(const char* name, DWORD error) {
    if ((g.run.failOnly != nullptr && strcmp(name, g.run.failOnly) != 0) ||
        ++g.calls != g.run.failAt) {
        return false;
    }
    g.failed = name;
    SetLastError(error);
    errno = ENOMEM;  // for the allocations
    return true;
}

// Before a blocking wait the next two stand-ins end; the wait is cut at the run's deadline.
DWORD before_wait(DWORD timeout) {
    for (int ended = 0; timeout != 0 && ended < 2 && g.nextEnd < g.run.endOrder.size();
         ++g.nextEnd) {
        if (g.run.endOrder[g.nextEnd] < g.standIns.size()) {
            ended += SetEvent(g.standIns[g.run.endOrder[g.nextEnd]]);
        }
    }
    return std::min(timeout, g.run.deadline);
}

// A wait that timed out only because it was cut: the run hung, and the wait fails.
bool cut_short(bool timedOut, DWORD asked, DWORD given) {
    if (!timedOut || given == asked) return false;
    g.hung = true;
    SetLastError(ERROR_TIMEOUT);
    return true;
}

// A made-up value stands for a stand-in's thread: the launcher only ever closes it.
HANDLE made_up_thread(size_t standIn) {
    return reinterpret_cast<HANDLE>(ULONG_PTR{0x7ff10000} + 4 * standIn);
}

bool made_up(HANDLE handle) {
    return handle >= made_up_thread(1) && handle <= made_up_thread(g.standIns.size());
}

void* keep(void* block, size_t size) {
    if (block != nullptr) {
        g.blocks[block] = size;
        note(Op::kAlloc, block, nullptr, nullptr, size);
    }
    return block;
}

// The rules of order and ownership, read from the log; what the run left is handed back.
struct Leftovers {
    std::map<const void*, bool> open;   // handles the launcher holds: whether a child's
    std::map<const void*, Call> waits;  // registered, by registration
    std::set<const void*> kept;         // registered as far as the launcher knows, but gone
};

Leftovers read_log(const std::vector<Call>& log, std::vector<std::string>* broken) {
    Leftovers left;
    std::map<const void*, size_t> blocks;
    const void* port = nullptr;
    const auto rule = [&](bool holds, const char* what) {
        if (!holds) broken->emplace_back(what);
    };
    const auto more_than_64_children = [&] {
        return std::count_if(left.open.begin(), left.open.end(), [](auto h) { return h.second; }) >
               MAXIMUM_WAIT_OBJECTS;
    };
    const auto waited_on = [&](const void* handle) {
        return std::any_of(left.waits.begin(), left.waits.end(),
                           [&](auto wait) { return wait.second.b == handle; });
    };
    const auto holds_records = [&](const void* block, size_t size) {
        return std::any_of(left.waits.begin(), left.waits.end(), [&](auto wait) {
            const auto* context = static_cast<const char*>(wait.second.c);
            return context >= block && context < static_cast<const char*>(block) + size;
        });
    };
    for (const Call& call : log) {
        switch (call.op) {
            case Op::kStart:
                left.open[call.a] = true;
                left.open[call.b] = false;
                break;
            case Op::kPort:
                port = call.a;
                [[fallthrough]];
            case Op::kOpen:
                left.open[call.a] = left.open.count(call.b) != 0 && left.open[call.b];
                break;
            case Op::kClose:
                rule(left.open.erase(call.a) == 1, "a handle closed twice, or never opened");
                rule(!waited_on(call.a), "a handle closed while a wait for it is registered");
                rule(call.a != port || left.waits.empty(),
                     "the port closed with a wait registered");
                break;
            case Op::kRegister:
                rule(more_than_64_children(), "a pool wait with 64 children alive or fewer");
                left.waits[call.a] = call;
                break;
            case Op::kUnregister:
                rule(left.waits.count(call.a) == 1,
                     "a wait unregistered twice, or never registered");
                call.failed ? void(left.kept.insert(call.a)) : void(left.waits.erase(call.a));
                break;
            case Op::kRead:
                rule(more_than_64_children(), "the port read with 64 children alive or fewer");
                break;
            case Op::kPost:
                rule(left.open.count(call.a) == 1, "a post to a port already closed");
                break;
            case Op::kAlloc:
                blocks[call.a] = call.size;
                break;
            case Op::kFree:
                rule(blocks.count(call.a) == 1, "a block freed twice, or never allocated");
                rule(!holds_records(call.a, blocks[call.a]),
                     "records freed with a wait registered");
                blocks.erase(call.a);
                break;
        }
    }
    // A wait whose unregistering failed may still call back: its handle, the port and the
    // records are kept on purpose.
    for (const auto& [handle, child] : left.open) {
        rule(!left.kept.empty() && (handle == port || waited_on(handle)), "a handle left open");
    }
    for (const auto& [block, size] : blocks) {
        rule(!left.kept.empty() && holds_records(block, size), "a block never freed");
    }
    rule(left.waits.size() == left.kept.size(), "a wait left registered");
    return left;
}

// A call that fails with failure, and error set, when it is the one the run names, and
// otherwise goes to the platform.
#define QUORVEL_PASS(name, failure, error)                                       \
    decltype(&::name) fake_##name = [](auto... a) {                              \
        return fails(#name, error) ? decltype(name(a...))(failure) : name(a...); \
    }

}  // namespace

void begin_fault_run(const FaultRun& run) {
    g.run = run;
    g.calls = 0;
    g.failed = nullptr;
    g.hung = false;
    g.nextEnd = 0;
    g.started.clear();
    g.console.clear();
    g.broken.clear();
}

FaultOutcome end_fault_run() {
    std::vector<Call> log;
    {
        const std::lock_guard<std::mutex> lock(g.mutex);
        log.swap(g.log);
    }
    FaultOutcome outcome{g.calls, g.failed, g.hung, g.console, g.started, g.broken};
    const Leftovers left = read_log(log, &outcome.broken);
    for (const auto& [registration, call] : left.waits) {
        if (left.kept.count(registration) == 0) {
            UnregisterWaitEx(const_cast<HANDLE>(registration), INVALID_HANDLE_VALUE);
        }
    }
    for (const auto& [handle, child] : left.open) {
        if (!made_up(const_cast<HANDLE>(handle))) CloseHandle(const_cast<HANDLE>(handle));
    }
    for (const auto& [block, size] : g.blocks) {
        free(const_cast<void*>(block));
    }
    for (const auto& [block, size] : g.freed) {
        if (size > 0 && (block[0] != kFreedFill || memcmp(block, block + 1, size - 1) != 0)) {
            outcome.broken.emplace_back("a block written after it was freed");
        }
        free(block);
    }
    g.blocks.clear();
    g.freed.clear();
    g.standIns.clear();
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
        process->hThread = made_up_thread(g.standIns.size());
    }
    g.started.push_back(std::wstring(program != nullptr ? program : L"") + L" " + commandLine);
    note(Op::kStart, process->hProcess, process->hThread);
    return TRUE;
};

// Closed even when the call fails: the launcher never looks at the result.
decltype(&::CloseHandle) fake_CloseHandle = [](HANDLE handle) {
    const bool failing = fails("CloseHandle", ERROR_INVALID_HANDLE);
    note(Op::kClose, handle);
    return static_cast<BOOL>((made_up(handle) || CloseHandle(handle) != FALSE) && !failing);
};

decltype(&::FindClose) fake_FindClose = [](HANDLE search) {
    const bool failing = fails("FindClose", ERROR_INVALID_HANDLE);
    note(Op::kClose, search);
    return static_cast<BOOL>(FindClose(search) != FALSE && !failing);
};

decltype(&::DuplicateHandle) fake_DuplicateHandle = [](HANDLE from, HANDLE handle, auto... rest) {
    if (fails("DuplicateHandle", ERROR_NOT_ENOUGH_MEMORY)) return FALSE;
    if (DuplicateHandle(from, handle, rest...) == FALSE) return FALSE;
    note(Op::kOpen, *std::get<1>(std::tie(rest...)), handle);
    return TRUE;
};

decltype(&::WaitForMultipleObjects) fake_WaitForMultipleObjects =
    [](DWORD count, const HANDLE* handles, BOOL all, DWORD timeout) {
        if (fails("WaitForMultipleObjects", ERROR_INVALID_HANDLE)) return WAIT_FAILED;
        const DWORD given = before_wait(timeout);
        const DWORD code = WaitForMultipleObjects(count, handles, all, given);
        return cut_short(code == WAIT_TIMEOUT, timeout, given) ? WAIT_FAILED : code;
    };

decltype(&::WaitForSingleObject) fake_WaitForSingleObject = [](HANDLE handle, DWORD timeout) {
    if (fails("WaitForSingleObject", ERROR_INVALID_HANDLE)) return WAIT_FAILED;
    const DWORD given = before_wait(timeout);
    const DWORD code = WaitForSingleObject(handle, given);
    return cut_short(code == WAIT_TIMEOUT, timeout, given) ? WAIT_FAILED : code;
};

decltype(&::RegisterWaitForSingleObject) fake_RegisterWaitForSingleObject =
    [](PHANDLE registration, HANDLE handle, WAITORTIMERCALLBACK callback, PVOID context,
       ULONG timeout, ULONG flags) {
        if (fails("RegisterWaitForSingleObject", ERROR_NOT_ENOUGH_MEMORY)) return FALSE;
        if (RegisterWaitForSingleObject(registration, handle, callback, context, timeout, flags) ==
            FALSE) {
            return FALSE;
        }
        note(Op::kRegister, *registration, handle, context);
        return TRUE;
    };

// The wait goes even when the call fails, so that nothing of it outlives the run; the launcher
// must act as if it were still registered.
decltype(&::UnregisterWaitEx) fake_UnregisterWaitEx = [](HANDLE registration, HANDLE completion) {
    const bool failing = fails("UnregisterWaitEx", ERROR_INVALID_HANDLE);
    const bool unregistered = UnregisterWaitEx(registration, completion) != FALSE && !failing;
    note(Op::kUnregister, registration, nullptr, nullptr, 0, !unregistered);
    if (failing) SetLastError(ERROR_INVALID_HANDLE);
    return static_cast<BOOL>(unregistered);
};

decltype(&::CreateIoCompletionPort) fake_CreateIoCompletionPort = [](auto... a) {
    HANDLE port = fails("CreateIoCompletionPort", ERROR_NOT_ENOUGH_MEMORY)
                      ? nullptr
                      : CreateIoCompletionPort(a...);
    if (port != nullptr) note(Op::kPort, port);
    return port;
};

decltype(&::PostQueuedCompletionStatus) fake_PostQueuedCompletionStatus = [](HANDLE port,
                                                                             auto... a) {
    if (fails("PostQueuedCompletionStatus", ERROR_NOT_ENOUGH_MEMORY)) return FALSE;
    note(Op::kPost, port);
    return PostQueuedCompletionStatus(port, a...);
};

decltype(&::GetQueuedCompletionStatusEx) fake_GetQueuedCompletionStatusEx =
    [](HANDLE port, LPOVERLAPPED_ENTRY posts, ULONG count, PULONG taken, DWORD timeout,
       BOOL alertable) {
        if (fails("GetQueuedCompletionStatusEx", ERROR_ABANDONED_WAIT_0)) return FALSE;
        note(Op::kRead, port);
        const DWORD given = before_wait(timeout);
        const BOOL got = GetQueuedCompletionStatusEx(port, posts, count, taken, given, alertable);
        return cut_short(got == FALSE && GetLastError() == WAIT_TIMEOUT, timeout, given) ? FALSE
                                                                                         : got;
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
    const auto* units = static_cast<const wchar_t*>(text);
    if (length > 0 && IS_HIGH_SURROGATE(units[length - 1])) {
        g.broken.emplace_back("a console write ends inside a surrogate pair");
    }
    g.console.append(units, length);
    *written = length;
    return TRUE;
};

// Bytes for the console's stand-in are taken for UTF-8, as a console set to it would.
decltype(&::WriteFile) fake_WriteFile = [](HANDLE file, LPCVOID bytes, DWORD length,
                                           LPDWORD written, LPOVERLAPPED overlapped) {
    if (fails("WriteFile", ERROR_DISK_FULL)) return FALSE;
    if (file != kConsoleStandIn) return WriteFile(file, bytes, length, written, overlapped);
    std::wstring units(length, L'\0');
    units.resize(MultiByteToWideChar(CP_UTF8, 0, static_cast<const char*>(bytes),
                                     static_cast<int>(length), units.data(),
                                     static_cast<int>(length)));
    g.console += units;
    *written = length;
    return TRUE;
};

// Gives the next entry a reversed search has kept; false, as at the end of a listing, after
// the last.
bool give_kept_entry(LPWIN32_FIND_DATAW entry) {
    if (g.listing.empty()) {
        SetLastError(ERROR_NO_MORE_FILES);
        return false;
    }
    *entry = g.listing.back();
    g.listing.pop_back();
    return true;
}

// Wine lists a folder sorted as NTFS keeps it already; reversed, the listing is one that a
// launcher which did not sort its matches would start in the wrong order.
decltype(&::FindFirstFileW) fake_FindFirstFileW = [](LPCWSTR pattern, LPWIN32_FIND_DATAW entry) {
    HANDLE search = fails("FindFirstFileW", ERROR_FILE_NOT_FOUND) ? INVALID_HANDLE_VALUE
                                                                  : FindFirstFileW(pattern, entry);
    if (search != INVALID_HANDLE_VALUE) note(Op::kOpen, search);
    if (search != INVALID_HANDLE_VALUE && g.run.listingReversed) {
        g.listing = {*entry};
        for (WIN32_FIND_DATAW next; FindNextFileW(search, &next) != FALSE;) {
            g.listing.push_back(next);
        }
        give_kept_entry(entry);
    }
    return search;
};

decltype(&::FindNextFileW) fake_FindNextFileW = [](HANDLE search, LPWIN32_FIND_DATAW entry) {
    if (fails("FindNextFileW", ERROR_NO_MORE_FILES)) return FALSE;
    return static_cast<BOOL>(g.run.listingReversed ? give_kept_entry(entry)
                                                   : FindNextFileW(search, entry) != FALSE);
};
QUORVEL_PASS(CompareStringOrdinal, 0, ERROR_INVALID_PARAMETER);
QUORVEL_PASS(WideCharToMultiByte, 0, ERROR_INSUFFICIENT_BUFFER);
QUORVEL_PASS(GetSystemDirectoryW, 0, ERROR_NOT_ENOUGH_MEMORY);
QUORVEL_PASS(GetCurrentDirectoryW, 0, ERROR_NOT_ENOUGH_MEMORY);
decltype(&::GetCommandLineW) fake_GetCommandLineW = [] { return g.run.commandLine.data(); };

decltype(&::malloc) fake_malloc = [](size_t size) {
    return fails("malloc", ERROR_NOT_ENOUGH_MEMORY) ? nullptr : keep(malloc(size), size);
};

decltype(&::calloc) fake_calloc = [](size_t count, size_t size) {
    return fails("calloc", ERROR_NOT_ENOUGH_MEMORY) ? nullptr
                                                    : keep(calloc(count, size), count * size);
};

decltype(&::_wcsdup) fake_wcsdup = [](const wchar_t* text) {
    return fails("_wcsdup", ERROR_NOT_ENOUGH_MEMORY)
               ? nullptr
               : static_cast<wchar_t*>(keep(_wcsdup(text), (wcslen(text) + 1) * 2));
};

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
    note(Op::kFree, block);
    const auto live = g.blocks.find(block);
    if (live == g.blocks.end()) return;  // the log shows it
    const size_t filled = std::min(live->second, kMostFilled);
    memset(block, kFreedFill, filled);
    g.freed.emplace_back(static_cast<unsigned char*>(block), filled);
    g.blocks.erase(live);
};

// The launcher's message on standard error; the tests read its status instead.
decltype(&::perror) fake_perror = [](const char*) {};
