#pragma once

#include <windows.h>

#include "child_table.h"

// Tells the completion wait that some child may have ended, for more live children than
// one platform wait takes. It only wakes the wait; the wait itself looks at the handles to
// learn which child ended, so a wake with nothing new is harmless.
//
// The watch puts the live children into a job of its own and reads the job's messages
// from a completion port: no thread and no memory per child in the launcher. Where a
// child cannot join that job (a platform without nested jobs, for a launcher that is in a
// job already), every live child gets a thread-pool wait instead, which sets one event.
struct EndWatch {
    HANDLE job;             // null unless the job form is running
    HANDLE port;            // the job's messages
    HANDLE anyEnded;        // thread-pool form: manual-reset, set by any watched child's end
    HANDLE* registrations;  // thread-pool form: one per slot, null where nothing is registered
};

bool end_watch_running(const EndWatch& watch);

// Watches every live child in table. Returns false, with nothing running, if neither form
// can be set up.
bool start_end_watch(EndWatch* watch, const ChildTable& table);

// Does nothing when no watch is running.
void stop_end_watch(EndWatch* watch, int slotCount);

// Must be called before the handle in slot is closed.
void stop_watching_child(EndWatch* watch, int slot);

// Blocks for at most timeout until some child may have ended. Returns WAIT_OBJECT_0 for
// a wake, WAIT_TIMEOUT or WAIT_FAILED. The job form also returns WAIT_TIMEOUT now and
// then without a message, because the platform does not promise to deliver every one:
// the caller's look then finds an end whose message was lost.
DWORD wait_for_end_news(const EndWatch& watch, DWORD timeout);
