#include "end_watch.h"

#include <cstdlib>

namespace {

constexpr ULONG kPostsPerRead = 64;    // the port is read until it is empty
constexpr DWORD kRetryPostEvery = 10;  // a refused post, while its slot is watched
// A child whose wait could not be registered is looked at, and registered again, this often.
constexpr DWORD kLookAtUnregisteredEvery = 100;

// Runs on a pool thread once the slot's handle shows the end; a lost post would be a lost
// report. The record outlives it: unregistering the wait waits for this to finish.
void CALLBACK post_end(void* context, BOOLEAN /*timedOut*/) {
    auto* watched = static_cast<WatchedSlot*>(context);
    while (PostQueuedCompletionStatus(watched->port, 0, watched->slot, nullptr) == FALSE) {
        if (InterlockedCompareExchange(&watched->stopping, 0, 0) != 0) {
            return;  // the child is being reported or handed to the plain wait
        }
        Sleep(kRetryPostEvery);
    }
}

// Looks at a live child without a registered wait: an end that shows is known at once, else
// a wait is registered or the child left to the next look. Wine accepts a wait for a handle
// that cannot be waited on and then never calls back, so the handle is tried first.
bool look_at_child(EndWatch* watch, HANDLE child, WatchedSlot* watched) {
    const DWORD state = WaitForSingleObject(child, 0);
    if (state == WAIT_OBJECT_0) {
        watched->ended = true;
        return true;
    }
    if (state != WAIT_TIMEOUT) {
        return false;
    }
    if (RegisterWaitForSingleObject(&watched->registration, child, post_end, watched, INFINITE,
                                    WT_EXECUTEONLYONCE | WT_EXECUTEINWAITTHREAD) == FALSE) {
        watched->registration = nullptr;
        ++watch->unregistered;
    }
    return true;
}

bool look_at_unregistered(EndWatch* watch, const ChildTable& table) {
    watch->unregistered = 0;
    for (int slot = 0; slot < table.count; ++slot) {
        WatchedSlot* watched = &watch->slots[slot];
        if (table.slots[slot] != nullptr && watched->registration == nullptr && !watched->ended &&
            !look_at_child(watch, table.slots[slot], watched)) {
            return false;
        }
    }
    return true;
}

// Takes every post the port holds, waiting up to wait for the first; a post for a slot
// already reported is passed over. A read that times out fails with WAIT_TIMEOUT.
bool take_posts(EndWatch* watch, const ChildTable& table, DWORD wait) {
    OVERLAPPED_ENTRY posts[kPostsPerRead];
    for (ULONG taken = kPostsPerRead; taken == kPostsPerRead; wait = 0) {
        if (GetQueuedCompletionStatusEx(watch->port, posts, kPostsPerRead, &taken, wait, FALSE) ==
            FALSE) {
            return GetLastError() == WAIT_TIMEOUT;
        }
        for (ULONG i = 0; i < taken; ++i) {
            const ULONG_PTR slot = posts[i].lpCompletionKey;
            if (slot < static_cast<ULONG_PTR>(table.count) && table.slots[slot] != nullptr) {
                watch->slots[slot].ended = true;
            }
        }
    }
    return true;
}

bool find_lowest_ended(const EndWatch& watch, const ChildTable& table, int* slot) {
    for (int candidate = 0; candidate < table.count; ++candidate) {
        if (watch.slots[candidate].ended && table.slots[candidate] != nullptr) {
            *slot = candidate;
            return true;
        }
    }
    return false;
}

}  // namespace

bool start_end_watch(EndWatch* watch, const ChildTable& table) {
    watch->port = CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 1);
    watch->slots = static_cast<WatchedSlot*>(calloc(table.count, sizeof(WatchedSlot)));
    if (watch->port != nullptr && watch->slots != nullptr) {
        for (int slot = 0; slot < table.count; ++slot) {
            watch->slots[slot].port = watch->port;
            watch->slots[slot].slot = static_cast<ULONG_PTR>(slot);
        }
        if (look_at_unregistered(watch, table)) {
            return true;
        }
    }
    stop_end_watch(watch, table);
    return false;
}

void stop_end_watch(EndWatch* watch, const ChildTable& table) {
    // A pool thread stuck retrying one slot's post must not hold up the others' unregistering.
    for (int slot = 0; watch->slots != nullptr && slot < table.count; ++slot) {
        InterlockedExchange(&watch->slots[slot].stopping, 1);
    }
    for (int slot = 0; watch->slots != nullptr && slot < table.count; ++slot) {
        stop_watching_child(watch, table, slot);
    }
    if (!watch->unregisterFailed) {  // else a callback may still come, and use them
        if (watch->port != nullptr) {
            CloseHandle(watch->port);
        }
        free(watch->slots);
    }
    *watch = EndWatch{};
}

void stop_watching_child(EndWatch* watch, const ChildTable& table, int slot) {
    WatchedSlot* watched = watch->slots != nullptr ? &watch->slots[slot] : nullptr;
    if (watched == nullptr || watched->registration == nullptr) {
        return;  // nothing to undo: an end known is passed over once the slot is empty
    }
    InterlockedExchange(&watched->stopping, 1);
    // Blocks until a callback under way has finished, so that the record and the port outlive
    // it. A wait still registered keeps its handle open: the table gets a copy to close.
    HANDLE copy = nullptr;
    if (UnregisterWaitEx(watched->registration, INVALID_HANDLE_VALUE) == FALSE) {
        watch->unregisterFailed = true;
        if (DuplicateHandle(GetCurrentProcess(), table.slots[slot], GetCurrentProcess(), &copy, 0,
                            FALSE, DUPLICATE_SAME_ACCESS) != FALSE) {
            table.slots[slot] = copy;
        }
    }
    watched->registration = nullptr;
}

EndNews wait_for_end(EndWatch* watch, const ChildTable& table, DWORD timeout, int* slot) {
    const ULONGLONG start = GetTickCount64();
    DWORD wait = 0;  // what is queued already comes first
    for (;;) {
        if (!take_posts(watch, table, wait) ||
            (watch->unregistered > 0 && !look_at_unregistered(watch, table))) {
            return EndNews::kFailed;
        }
        if (find_lowest_ended(*watch, table, slot)) {
            return EndNews::kEnded;
        }
        // Neither a look nor a stray post starts the time-out anew.
        const ULONGLONG waited = GetTickCount64() - start;
        if (timeout != INFINITE && waited >= timeout) {
            return EndNews::kQuiet;
        }
        wait = timeout == INFINITE ? INFINITE : timeout - static_cast<DWORD>(waited);
        if (watch->unregistered > 0 && wait > kLookAtUnregisteredEvery) {
            wait = kLookAtUnregisteredEvery;
        }
    }
}
