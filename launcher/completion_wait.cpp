#include "completion_wait.h"

#include "end_watch.h"

namespace {

struct BackoffLevel {
    DWORD priorityClass;
    DWORD timeout;
};

// Each time-out without an end steps one level down; an end returns to the first.
constexpr BackoffLevel kBackoffLevels[] = {
    {NORMAL_PRIORITY_CLASS, 3000},
    {BELOW_NORMAL_PRIORITY_CLASS, 5000},
    {IDLE_PRIORITY_CLASS, INFINITE},
};
constexpr size_t kNormalLevel = 0;
constexpr size_t kIdleLevel = 2;

// Copies the live handles into waitSet in slot order, without gaps; returns how many.
DWORD gather(const ChildTable& table, HANDLE* waitSet) {
    DWORD count = 0;
    for (int slot = 0; slot < table.count; ++slot) {
        if (table.slots[slot] != nullptr) {
            waitSet[count++] = table.slots[slot];
        }
    }
    return count;
}

enum class WaitResult { kEnded, kTimedOut, kFailed };

// What a wait over the live children found. The ended child is named by its handle, never
// by its place in the wait set: beyond one platform wait a place can be any number, and
// place 258 is WAIT_TIMEOUT, so places and wait codes never share a value.
struct WaitOutcome {
    WaitResult result;
    HANDLE ended;  // the ended child's handle when result is kEnded, else null
};

constexpr WaitOutcome kTimedOut{WaitResult::kTimedOut, nullptr};
constexpr WaitOutcome kFailed{WaitResult::kFailed, nullptr};

// A platform wait-any over at most MAXIMUM_WAIT_OBJECTS handles, its code turned into an
// outcome at once. Anything but an index below count or a time-out is a failure: the
// wait set is never indexed with it.
WaitOutcome wait_for_any(const HANDLE* handles, DWORD count, DWORD timeout) {
    const DWORD code = WaitForMultipleObjects(count, handles, FALSE, timeout);
    if (code < WAIT_OBJECT_0 + count) {
        return {WaitResult::kEnded, handles[code - WAIT_OBJECT_0]};
    }
    return code == WAIT_TIMEOUT ? kTimedOut : kFailed;
}

// Beyond one platform wait the watch says which child has ended; the outcomes are those of a
// wait-any over all the live handles: the lowest ended one, a time-out once timeout has
// passed without an end, or a failure. The watch learns of an end a moment after it, and of
// ends on different pool threads in no set order: so the handles placed before the one it
// gives are looked at too, a platform wait's worth at a time.
WaitOutcome wait_beyond_limit(EndWatch* watch, const ChildTable& table, const HANDLE* waitSet,
                              DWORD timeout) {
    int slot = 0;
    switch (wait_for_end(watch, table, timeout, &slot)) {
        case EndNews::kEnded:
            break;
        case EndNews::kQuiet:
            return kTimedOut;
        case EndNews::kFailed:
            return kFailed;
    }
    DWORD place = 0;
    while (waitSet[place] != table.slots[slot]) {
        ++place;
    }
    for (DWORD first = 0; first < place; first += MAXIMUM_WAIT_OBJECTS) {
        const DWORD run =
            place - first < MAXIMUM_WAIT_OBJECTS ? place - first : MAXIMUM_WAIT_OBJECTS;
        const WaitOutcome earlier = wait_for_any(waitSet + first, run, 0);
        if (earlier.result != WaitResult::kTimedOut) {
            return earlier;
        }
    }
    return {WaitResult::kEnded, waitSet[place]};
}

// Reports the end of the child whose handle is ended, closes the handle and empties its
// slot. Every slot is looked at; only one can hold the handle.
void report_end(const ChildTable& table, HANDLE ended, wchar_t* const* arguments,
                const ReportOutput& output, EndWatch* watch) {
    for (int slot = 0; slot < table.count; ++slot) {
        if (table.slots[slot] != ended) {
            continue;
        }
        const wchar_t* const line[] = {L"exit [", arguments[slot], L"]"};
        write_report_line(output, line);
        stop_watching_child(watch, table, slot);
        CloseHandle(table.slots[slot]);
        table.slots[slot] = nullptr;
    }
}

}  // namespace

bool wait_for_children(const ChildTable& table, HANDLE* waitSet, wchar_t* const* arguments,
                       const ReportOutput& output) {
    HANDLE self = GetCurrentProcess();
    size_t level = kNormalLevel;
    EndWatch watch{};
    for (;;) {
        const DWORD count = gather(table, waitSet);
        const bool beyondLimit = count > MAXIMUM_WAIT_OBJECTS;
        if (!beyondLimit) {
            stop_end_watch(&watch, table);
        }
        if (count == 0) {
            return true;
        }
        if (beyondLimit && watch.port == nullptr && !start_end_watch(&watch, table)) {
            return false;
        }

        const DWORD timeout = kBackoffLevels[level].timeout;
        const WaitOutcome outcome = beyondLimit ? wait_beyond_limit(&watch, table, waitSet, timeout)
                                                : wait_for_any(waitSet, count, timeout);
        switch (outcome.result) {
            case WaitResult::kTimedOut:
                if (level < kIdleLevel) {
                    ++level;
                    SetPriorityClass(self, kBackoffLevels[level].priorityClass);
                }
                break;
            case WaitResult::kEnded:
                if (level != kNormalLevel) {
                    level = kNormalLevel;
                    SetPriorityClass(self, kBackoffLevels[level].priorityClass);
                }
                report_end(table, outcome.ended, arguments, output, &watch);
                break;
            case WaitResult::kFailed:
                // Never try the same failing wait again.
                stop_end_watch(&watch, table);
                return false;
        }
    }
}
