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

// Beyond one platform wait: the watch, and whether the next look must cover every child
// rather than only those the watch has named.
struct Watching {
    EndWatch watch;
    bool lookAtAll;
};

// The job's messages may be lost, so beyond one platform wait every child is looked at at
// least this often, however much news there is: a lost message delays a report, never
// loses it.
constexpr DWORD kLookAtAllEvery = 30000;

// The platform's wait takes at most MAXIMUM_WAIT_OBJECTS handles. Beyond that the watch
// says where to look, so the outcomes are those of a wait-any over all count handles: the
// lowest ended one, a time-out once timeout has passed without an end, or a failure.
//
// A look at every child finds the lowest-placed ended one, a platform call for each 64
// children. A look at the children the watch has named costs no platform call, since the
// watch names a child only once its handle shows the end; for the same reason a look at
// every child finds the named ones too, each in its place.
WaitOutcome wait_beyond_limit(Watching* watching, const ChildTable& table, const HANDLE* waitSet,
                              DWORD count, DWORD timeout) {
    const ULONGLONG start = GetTickCount64();
    for (;;) {
        if (watching->lookAtAll) {
            const WaitOutcome outcome = find_lowest_ended(waitSet, count);
            if (outcome.result != WaitResult::kTimedOut) {
                return outcome;  // the look stays due: more may have ended
            }
            watching->lookAtAll = false;
        }
        int slot = 0;
        if (find_named_end(watching->watch, table, &slot)) {
            return {WaitResult::kEnded, table.slots[slot]};
        }
        // News that brings no end must not start the time-out anew.
        DWORD left = INFINITE;
        if (timeout != INFINITE) {
            const ULONGLONG waited = GetTickCount64() - start;
            if (waited >= timeout) {
                return kTimedOut;
            }
            left = timeout - static_cast<DWORD>(waited);
        }
        switch (wait_for_end_news(&watching->watch, table, left)) {
            case EndNews::kNamed:
                break;
            case EndNews::kLookAtAll:
            case EndNews::kQuiet:  // before a time-out is taken, every child is looked at
                watching->lookAtAll = true;
                break;
            case EndNews::kFailed:
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
    Watching watching{};
    for (;;) {
        const DWORD count = gather(table, waitSet);
        const bool beyondLimit = count > MAXIMUM_WAIT_OBJECTS;
        if (!beyondLimit) {
            stop_end_watch(&watching.watch, table.count);
        }
        if (count == 0) {
            return true;
        }
        if (beyondLimit && !end_watch_running(watching.watch)) {
            if (!start_end_watch(&watching.watch, table, kLookAtAllEvery)) {
                return false;
            }
            // Children that ended before the watch began send it no news.
            watching.lookAtAll = true;
        }

        const DWORD timeout = kBackoffLevels[level].timeout;
        const WaitOutcome outcome =
            beyondLimit ? wait_beyond_limit(&watching, table, waitSet, count, timeout)
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
                report_end(table, outcome.ended, arguments, output, &watching.watch);
                break;
            case WaitResult::kFailed:
                // Never try the same failing wait again.
                stop_end_watch(&watching.watch, table.count);
                return false;
        }
    }
}
