#pragma once

#include <windows.h>

#include "child_table.h"

// Watches more live children than one platform wait takes: each child's handle gets a wait
// on the platform's thread pool, which posts the child's slot to a completion port once the
// handle shows the end. Nothing is done to the children: their jobs and limits are their own.

// What the watch knows of one slot. A slot's thread-pool wait is handed its record.
struct WatchedSlot {
    HANDLE port;          // where the wait posts the slot
    ULONG_PTR slot;       // the slot's place in the table, the key of its post
    LONG stopping;        // set before the wait is unregistered: a failing post gives up
    HANDLE registration;  // the slot's thread-pool wait, null where none is registered
    bool ended;           // the end is known; passed over once the slot is empty
};

struct EndWatch {
    HANDLE port;         // null unless the watch runs
    WatchedSlot* slots;  // one for each slot of the table
    int unregistered;    // live children whose wait could not be registered yet
    bool unregisterFailed;
};

enum class EndNews { kEnded, kQuiet, kFailed };

// Looks at every live child once and registers a wait for each that has not ended. Returns
// false, with nothing running, if that fails or a handle cannot be waited on.
bool start_end_watch(EndWatch* watch, const ChildTable& table);
// Unregisters every wait before the port goes. Does nothing when no watch is running.
void stop_end_watch(EndWatch* watch, const ChildTable& table);
// Must be called before the handle in slot is closed: the watch forgets the child.
void stop_watching_child(EndWatch* watch, const ChildTable& table, int slot);

// Blocks until some watched child's end is known, for at most timeout from the call, and
// gives the lowest-placed child whose end is known, one per call. kFailed: the port cannot
// be read or a handle cannot be waited on.
EndNews wait_for_end(EndWatch* watch, const ChildTable& table, DWORD timeout, int* slot);
