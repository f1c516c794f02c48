#include "completion_wait.h"

#include <cstdlib>

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

// The platform's wait takes at most MAXIMUM_WAIT_OBJECTS handles. Beyond that, every live
// child gets a thread-pool wait that sets one event when the child ends; the loop waits
// on that event and then looks for the lowest ended slot itself. The watch exists only
// while more children are alive than one wait can take.
struct OverflowWatch {
    HANDLE anyEnded;        // manual-reset; set by any watched child's end
    HANDLE* registrations;  // one per slot, null where nothing is registered
};

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

void CALLBACK signal_any_ended(void* anyEnded, BOOLEAN /*timedOut*/) {
    SetEvent(anyEnded);
}

// Does nothing when no watch is running.
void stop_overflow_watch(OverflowWatch* watch, int slotCount) {
    if (watch->anyEnded == nullptr) {
        return;
    }
    for (int slot = 0; slot < slotCount; ++slot) {
        if (watch->registrations[slot] != nullptr) {
            // Blocks until a callback under way has finished, so the event outlives it.
            UnregisterWaitEx(watch->registrations[slot], INVALID_HANDLE_VALUE);
        }
    }
    free(watch->registrations);
    CloseHandle(watch->anyEnded);
    *watch = OverflowWatch{};
}

bool start_overflow_watch(OverflowWatch* watch, const ChildTable& table) {
    watch->anyEnded = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (watch->anyEnded == nullptr) {
        return false;
    }
    watch->registrations = static_cast<HANDLE*>(calloc(table.count, sizeof(HANDLE)));
    if (watch->registrations == nullptr) {
        CloseHandle(watch->anyEnded);
        *watch = OverflowWatch{};
        return false;
    }
    for (int slot = 0; slot < table.count; ++slot) {
        if (table.slots[slot] != nullptr &&
            RegisterWaitForSingleObject(&watch->registrations[slot], table.slots[slot],
                                        signal_any_ended, watch->anyEnded, INFINITE,
                                        WT_EXECUTEONLYONCE | WT_EXECUTEINWAITTHREAD) == FALSE) {
            watch->registrations[slot] = nullptr;
            stop_overflow_watch(watch, table.count);
            return false;
        }
    }
    return true;
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

// The same answers as a wait-any over all count handles: the index of the lowest ended
// one, WAIT_TIMEOUT, or WAIT_FAILED.
DWORD wait_beyond_limit(const OverflowWatch& watch, const HANDLE* waitSet, DWORD count,
                        DWORD timeout) {
    for (;;) {
        const DWORD ended = find_lowest_ended(waitSet, count);
        if (ended != WAIT_TIMEOUT) {
            return ended;
        }
        const DWORD result = WaitForSingleObject(watch.anyEnded, timeout);
        if (result != WAIT_OBJECT_0) {
            return result;
        }
        // Reset before looking, so that an end after the look sets the event again. A
        // wake for an end that an earlier look already found simply waits once more.
        ResetEvent(watch.anyEnded);
    }
}

// Reports the end of the child whose handle is ended, closes the handle and empties its
// slot. Every slot is looked at; only one can hold the handle.
void report_end(const ChildTable& table, HANDLE ended, wchar_t* const* arguments,
                const ReportOutput& output, OverflowWatch* watch) {
    for (int slot = 0; slot < table.count; ++slot) {
        if (table.slots[slot] != ended) {
            continue;
        }
        const wchar_t* const line[] = {L"exit [", arguments[slot], L"]"};
        write_report_line(output, line);
        if (watch->registrations != nullptr && watch->registrations[slot] != nullptr) {
            UnregisterWaitEx(watch->registrations[slot], INVALID_HANDLE_VALUE);
            watch->registrations[slot] = nullptr;
        }
        CloseHandle(table.slots[slot]);
        table.slots[slot] = nullptr;
    }
}

}  // namespace

bool wait_for_children(const ChildTable& table, HANDLE* waitSet, wchar_t* const* arguments,
                       const ReportOutput& output) {
    HANDLE self = GetCurrentProcess();
    size_t level = kNormalLevel;
    OverflowWatch watch{};
    for (;;) {
        const DWORD count = gather(table, waitSet);
        const bool beyondLimit = count > MAXIMUM_WAIT_OBJECTS;
        if (!beyondLimit) {
            stop_overflow_watch(&watch, table.count);
        }
        if (count == 0) {
            return true;
        }
        if (beyondLimit && watch.anyEnded == nullptr && !start_overflow_watch(&watch, table)) {
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
            stop_overflow_watch(&watch, table.count);
            return false;
        }
    }
}
