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

// Finds the lowest-placed ended handle without blocking, a platform wait's worth of
// handles at a time. Times out at once when none has ended.
WaitOutcome find_lowest_ended(const HANDLE* waitSet, DWORD count) {
    for (DWORD first = 0; first < count; first += MAXIMUM_WAIT_OBJECTS) {
        const DWORD left = count - first;
        const DWORD run = left < MAXIMUM_WAIT_OBJECTS ? left : MAXIMUM_WAIT_OBJECTS;
        const WaitOutcome outcome = wait_for_any(waitSet + first, run, 0);
        if (outcome.result != WaitResult::kTimedOut) {
            return outcome;
        }
    }
    return kTimedOut;
}

// The platform's wait takes at most MAXIMUM_WAIT_OBJECTS handles. Beyond that the watch
// says when some child may have ended, and the lowest ended slot is looked up here, so the
// outcomes are those of a wait-any over all count handles: the lowest ended one, a
// time-out once timeout has passed without an end, or a failure.
WaitOutcome wait_beyond_limit(const EndWatch& watch, const HANDLE* waitSet, DWORD count,
                              DWORD timeout) {
    const ULONGLONG start = GetTickCount64();
    for (;;) {
        const WaitOutcome outcome = find_lowest_ended(waitSet, count);
        if (outcome.result != WaitResult::kTimedOut) {
            return outcome;
        }
        // A wake that brings no end must not start the time-out anew.
        DWORD left = INFINITE;
        if (timeout != INFINITE) {
            const ULONGLONG waited = GetTickCount64() - start;
            if (waited >= timeout) {
                return kTimedOut;
            }
            left = timeout - static_cast<DWORD>(waited);
        }
        if (wait_for_end_news(watch, left) == WAIT_FAILED) {
            return kFailed;
        }
    }
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
        stop_watching_child(watch, slot);
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
            stop_end_watch(&watch, table.count);
        }
        if (count == 0) {
            return true;
        }
        if (beyondLimit && !end_watch_running(watch) && !start_end_watch(&watch, table)) {
            return false;
        }

        const DWORD timeout = kBackoffLevels[level].timeout;
        const WaitOutcome outcome = beyondLimit ? wait_beyond_limit(watch, waitSet, count, timeout)
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
                stop_end_watch(&watch, table.count);
                return false;
        }
    }
}
