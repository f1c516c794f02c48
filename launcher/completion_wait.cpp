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

// Finds the lowest-placed ended handle without blocking, a platform wait's worth of
// handles at a time. Returns WAIT_OBJECT_0 + its index, WAIT_TIMEOUT if none has ended,
// or WAIT_FAILED.
DWORD find_lowest_ended(const HANDLE* waitSet, DWORD count) {
    for (DWORD first = 0; first < count; first += MAXIMUM_WAIT_OBJECTS) {
        const DWORD left = count - first;
        const DWORD run = left < MAXIMUM_WAIT_OBJECTS ? left : MAXIMUM_WAIT_OBJECTS;
        const DWORD result = WaitForMultipleObjects(run, waitSet + first, FALSE, 0);
        if (result < WAIT_OBJECT_0 + run) {
            return first + result;
        }
        if (result != WAIT_TIMEOUT) {
            return WAIT_FAILED;
        }
    }
    return WAIT_TIMEOUT;
}

// The platform's wait takes at most MAXIMUM_WAIT_OBJECTS handles. Beyond that the watch
// says when some child may have ended, and the lowest ended slot is looked up here, so the
// answers are those of a wait-any over all count handles: the index of the lowest ended
// one, WAIT_TIMEOUT once timeout has passed without an end, or WAIT_FAILED.
DWORD wait_beyond_limit(const EndWatch& watch, const HANDLE* waitSet, DWORD count, DWORD timeout) {
    const ULONGLONG start = GetTickCount64();
    for (;;) {
        const DWORD ended = find_lowest_ended(waitSet, count);
        if (ended != WAIT_TIMEOUT) {
            return ended;
        }
        // A wake that brings no end must not start the time-out anew.
        DWORD left = INFINITE;
        if (timeout != INFINITE) {
            const ULONGLONG waited = GetTickCount64() - start;
            if (waited >= timeout) {
                return WAIT_TIMEOUT;
            }
            left = timeout - static_cast<DWORD>(waited);
        }
        if (wait_for_end_news(watch, left) == WAIT_FAILED) {
            return WAIT_FAILED;
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
        const DWORD result = beyondLimit ? wait_beyond_limit(watch, waitSet, count, timeout)
                                         : WaitForMultipleObjects(count, waitSet, FALSE, timeout);
        if (result == WAIT_TIMEOUT) {
            if (level < kIdleLevel) {
                ++level;
                SetPriorityClass(self, kBackoffLevels[level].priorityClass);
            }
        } else if (result < WAIT_OBJECT_0 + count) {
            if (level != kNormalLevel) {
                level = kNormalLevel;
                SetPriorityClass(self, kBackoffLevels[level].priorityClass);
            }
            report_end(table, waitSet[result - WAIT_OBJECT_0], arguments, output, &watch);
        } else {
            // WAIT_FAILED or anything else: never index the wait set with it, and never
            // try the same failing wait again.
            stop_end_watch(&watch, table.count);
            return false;
        }
    }
}
