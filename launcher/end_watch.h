#pragma once

#include <windows.h>

#include "child_table.h"

// Tells the completion wait where to look for ended children, for more live children than
// one platform wait takes. The wait itself looks at the handles, so news that turns out to
// be nothing is harmless.
//
// The watch puts the live children into a job of its own and reads the job's messages
// from a completion port: no thread of the launcher's own, and per child only what it
// takes to tell from a message whose end it is, and to wait, on the platform's thread
// pool, for a handle that shows the end only after the message. Where a child cannot join
// that job (a platform without nested jobs, for a launcher that is in a job already),
// every live child gets a thread-pool wait instead, which sets one event; that news names
// no child.

// Job form: what the watch knows of the child in one slot. A wait for the child's handle
// is given the member alone, so the member also says where that wait's news goes.
struct JobMember {
    HANDLE port;      // the job's port, while the child is in the job
    DWORD processId;  // while the child is in the job and not yet reported; else 0
    bool endNamed;    // a message named its end, and its handle has been seen to show it
};

struct EndWatch {
    HANDLE job;               // null unless the job form is running
    HANDLE port;              // the job's messages, and the watch's own
    JobMember* members;       // job form: one per slot
    DWORD lookAtAllEvery;     // job form: see wait_for_end_news
    ULONGLONG nextLookAtAll;  // job form: when it is next due, in GetTickCount64 time
    HANDLE anyEnded;          // thread-pool form: manual-reset, set by any watched child's end
    // One per slot, null where nothing is registered. The thread-pool form registers a wait
    // for every live child; the job form only for a child whose end a message announced
    // before the child's handle showed it.
    HANDLE* registrations;
};

enum class EndNews {
    kNamed,      // children whose ends were named: find_named_end gives them
    kLookAtAll,  // some child may have ended; only a look at every child can tell which
    kQuiet,      // nothing within the time given
    kFailed,     // neither form can wait any more
};

bool end_watch_running(const EndWatch& watch);

// Watches every live child in table. Returns false, with nothing running, if neither form
// can be set up. lookAtAllEvery is for the job form, whose messages may be lost.
bool start_end_watch(EndWatch* watch, const ChildTable& table, DWORD lookAtAllEvery);

// Does nothing when no watch is running.
void stop_end_watch(EndWatch* watch, int slotCount);

// Must be called before the handle in slot is closed: the watch forgets the child.
void stop_watching_child(EndWatch* watch, int slot);

// Blocks for at most timeout until there is news. The job form names a child only once
// its handle shows the end, so that the caller's look at that child finds it; a child
// whose handle lags behind its end's message is named when the handle shows the end,
// without holding up other news or the time-out. Should the job's port fail, the watch
// gives way to the thread-pool form and asks for a look at every child. Since
// the platform does not promise to deliver every message, it also asks for a look at
// every child at least every lookAtAllEvery milliseconds, however much other news comes:
// an end whose message was lost is reported late, never missed.
EndNews wait_for_end_news(EndWatch* watch, const ChildTable& table, DWORD timeout);

// The lowest-placed slot whose end the news named and that has not been reported yet.
bool find_named_end(const EndWatch& watch, const ChildTable& table, int* slot);
