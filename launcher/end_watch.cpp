#include "end_watch.h"

#include <cstdlib>

namespace {

// Messages taken off the port in one read. The port is read until it is empty before the
// news is handed on, so that ends queued together are named together and reported in
// argument order.
constexpr ULONG kMessagesPerRead = 64;

// The watch's own message on the job's port: the handle of a child whose end a job message
// announced early now shows the end. It carries the child's process id as its key, which
// holds a number as it is. The job's message codes are small numbers; this is none of them.
constexpr DWORD kAwaitedEndShows = 0x51560001;

// A child that is ending cannot join the job, and its handle may not show the end yet.
// The job form waits this long for such children before it gives way to thread-pool
// waits; a child that cannot join for any other reason costs this much once. It is also
// how long the watch waits for an announced end itself, where no wait can be registered
// for it.
constexpr DWORD kLongestWaitForAnEnd = 1000;

// Whether child's handle shows its end by deadline (GetTickCount64 time). A deadline
// already past still looks, without waiting.
bool ended_by(HANDLE child, ULONGLONG deadline) {
    const ULONGLONG now = GetTickCount64();
    const DWORD wait = now < deadline ? static_cast<DWORD>(deadline - now) : 0;
    return WaitForSingleObject(child, wait) == WAIT_OBJECT_0;
}

// Runs on a thread-pool thread once the handle of a child whose end message came early
// shows the end. The member's port and id stay as they are until the wait is unregistered,
// which waits for this to finish.
void CALLBACK post_awaited_end(void* context, BOOLEAN /*timedOut*/) {
    const auto* member = static_cast<const JobMember*>(context);
    // Should the post fail, the end is found by the next look at every child: before the
    // caller's next time-out, and at idle, where there is none, within lookAtAllEvery.
    PostQueuedCompletionStatus(member->port, kAwaitedEndShows, member->processId, nullptr);
}

// The children stay in the job. It has no kill-on-close limit, so it does nothing more
// to them.
void stop_job_form(EndWatch* watch, int slotCount) {
    // Every wait is gone before the port, so that none posts to a closed one.
    for (int slot = 0; slot < slotCount; ++slot) {
        stop_watching_child(watch, slot);
    }
    // The job would go on sending its members' messages, and those of any job a member
    // nests under it, to a port nobody reads. Before Windows 8 (and under Wine) a null port
    // is refused and the association stays; nothing reads the port either way.
    JOBOBJECT_ASSOCIATE_COMPLETION_PORT none{nullptr, nullptr};
    SetInformationJobObject(watch->job, JobObjectAssociateCompletionPortInformation, &none,
                            sizeof(none));
    CloseHandle(watch->job);
    CloseHandle(watch->port);
    free(watch->members);
    free(watch->registrations);
    watch->job = nullptr;
    watch->port = nullptr;
    watch->members = nullptr;
    watch->registrations = nullptr;
}

// The job's only limit lets its members' own children stay out of it, as they would be
// without the launcher; so only the launcher's children join it, and only their starts
// and ends reach the port.
bool make_job(EndWatch* watch) {
    watch->port = CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 1);
    if (watch->port == nullptr) {
        return false;
    }
    watch->job = CreateJobObjectW(nullptr, nullptr);
    if (watch->job == nullptr) {
        CloseHandle(watch->port);
        watch->port = nullptr;
        return false;
    }
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_SILENT_BREAKAWAY_OK;
    JOBOBJECT_ASSOCIATE_COMPLETION_PORT association{watch->job, watch->port};
    if (SetInformationJobObject(watch->job, JobObjectExtendedLimitInformation, &limits,
                                sizeof(limits)) == FALSE ||
        SetInformationJobObject(watch->job, JobObjectAssociateCompletionPortInformation,
                                &association, sizeof(association)) == FALSE) {
        stop_job_form(watch, 0);
        return false;
    }
    return true;
}

// The job's messages name a child by its process id, so a child joins only with its id
// noted. The id stays the child's own while the launcher holds its handle.
bool join_job(const EndWatch& watch, HANDLE child, JobMember* member) {
    const DWORD processId = GetProcessId(child);
    if (processId == 0 || AssignProcessToJobObject(watch.job, child) == FALSE) {
        return false;
    }
    member->port = watch.port;
    member->processId = processId;
    return true;
}

// A child left out of the job sends no messages, so the job form can only be used if each
// one left out has ended: the wait's first look comes after every child has joined, and
// finds it. Where no child could join, the platform cannot nest jobs here and waiting
// would only delay the thread-pool waits.
bool left_out_children_ended(const EndWatch& watch, const ChildTable& table, bool anyJoined) {
    const ULONGLONG deadline = anyJoined ? GetTickCount64() + kLongestWaitForAnEnd : 0;
    for (int slot = 0; slot < table.count; ++slot) {
        HANDLE child = table.slots[slot];
        if (child != nullptr && watch.members[slot].processId == 0 && !ended_by(child, deadline)) {
            return false;
        }
    }
    return true;
}

bool start_job_form(EndWatch* watch, const ChildTable& table, DWORD lookAtAllEvery) {
    if (!make_job(watch)) {
        return false;
    }
    watch->members = static_cast<JobMember*>(calloc(table.count, sizeof(JobMember)));
    watch->registrations = static_cast<HANDLE*>(calloc(table.count, sizeof(HANDLE)));
    if (watch->members == nullptr || watch->registrations == nullptr) {
        stop_job_form(watch, 0);
        return false;
    }
    watch->lookAtAllEvery = lookAtAllEvery;
    watch->nextLookAtAll = GetTickCount64() + lookAtAllEvery;
    bool anyJoined = false;
    for (int slot = 0; slot < table.count; ++slot) {
        if (table.slots[slot] != nullptr &&
            join_job(*watch, table.slots[slot], &watch->members[slot])) {
            anyJoined = true;
        }
    }
    if (!left_out_children_ended(*watch, table, anyJoined)) {
        stop_job_form(watch, table.count);
        return false;
    }
    return true;
}

void CALLBACK signal_any_ended(void* anyEnded, BOOLEAN /*timedOut*/) {
    SetEvent(anyEnded);
}

void stop_thread_pool_form(EndWatch* watch, int slotCount) {
    for (int slot = 0; slot < slotCount; ++slot) {
        stop_watching_child(watch, slot);
    }
    free(watch->registrations);
    CloseHandle(watch->anyEnded);
    watch->registrations = nullptr;
    watch->anyEnded = nullptr;
}

bool start_thread_pool_form(EndWatch* watch, const ChildTable& table) {
    watch->anyEnded = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (watch->anyEnded == nullptr) {
        return false;
    }
    watch->registrations = static_cast<HANDLE*>(calloc(table.count, sizeof(HANDLE)));
    if (watch->registrations == nullptr) {
        CloseHandle(watch->anyEnded);
        watch->anyEnded = nullptr;
        return false;
    }
    for (int slot = 0; slot < table.count; ++slot) {
        if (table.slots[slot] != nullptr &&
            RegisterWaitForSingleObject(&watch->registrations[slot], table.slots[slot],
                                        signal_any_ended, watch->anyEnded, INFINITE,
                                        WT_EXECUTEONLYONCE | WT_EXECUTEINWAITTHREAD) == FALSE) {
            watch->registrations[slot] = nullptr;
            stop_thread_pool_form(watch, table.count);
            return false;
        }
    }
    return true;
}

// Finds the slot of the child with processId. None is found for a child already
// reported, whose member was cleared before its handle was closed and its id freed.
bool find_member(const EndWatch& watch, const ChildTable& table, DWORD processId, int* slot) {
    if (processId == 0) {
        return false;
    }
    for (int candidate = 0; candidate < table.count; ++candidate) {
        if (watch.members[candidate].processId == processId && table.slots[candidate] != nullptr) {
            *slot = candidate;
            return true;
        }
    }
    return false;
}

// What the messages taken so far said.
struct Intake {
    bool named;      // some child's end was named
    bool lookAtAll;  // some message names no child
};

// Names the child with processId if its handle shows the end. A handle that does not
// show it yet is not waited for here, where it would hold up the other children's news
// and the caller's time-out: a wait for it is registered instead, whose message names the
// child once its handle shows the end.
void take_end(EndWatch* watch, const ChildTable& table, DWORD processId, Intake* intake) {
    int slot = 0;
    if (!find_member(*watch, table, processId, &slot)) {
        return;
    }
    JobMember* member = &watch->members[slot];
    if (member->endNamed) {
        return;
    }
    HANDLE child = table.slots[slot];
    if (!ended_by(child, 0)) {
        if (watch->registrations[slot] != nullptr) {
            return;  // the wait registered for an earlier message brings the news
        }
        if (RegisterWaitForSingleObject(&watch->registrations[slot], child, post_awaited_end,
                                        member, INFINITE,
                                        WT_EXECUTEONLYONCE | WT_EXECUTEINWAITTHREAD) != FALSE) {
            return;
        }
        // Without a registered wait nothing would bring the news before the next look at
        // every child, which at idle comes only every lookAtAllEvery: wait for the handle
        // here, for a short while, instead. An end slower than that is left to that look.
        watch->registrations[slot] = nullptr;
        if (!ended_by(child, GetTickCount64() + kLongestWaitForAnEnd)) {
            return;
        }
    }
    member->endNamed = true;
    intake->named = true;
}

// Takes one message. An end, or the watch's own news of one, names its child once the
// child's handle shows the end; an end of no child still here, or a child joining, says
// nothing new; anything else names no child.
void take_message(EndWatch* watch, const ChildTable& table, const OVERLAPPED_ENTRY& message,
                  Intake* intake) {
    switch (message.dwNumberOfBytesTransferred) {
        case JOB_OBJECT_MSG_NEW_PROCESS:
            return;
        case JOB_OBJECT_MSG_EXIT_PROCESS:
        case JOB_OBJECT_MSG_ABNORMAL_EXIT_PROCESS:
            // These messages carry the process id where an I/O completion has its OVERLAPPED.
            take_end(watch, table,
                     static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(message.lpOverlapped)), intake);
            return;
        case kAwaitedEndShows:
            take_end(watch, table, static_cast<DWORD>(message.lpCompletionKey), intake);
            return;
        default:
            intake->lookAtAll = true;
            return;
    }
}

// Reads at most kMessagesPerRead messages, waiting up to wait for the first; taken is 0
// when none came. Returns false if the port could not be read.
bool read_port(HANDLE port, OVERLAPPED_ENTRY* messages, ULONG* taken, DWORD wait) {
    if (GetQueuedCompletionStatusEx(port, messages, kMessagesPerRead, taken, wait, FALSE) !=
        FALSE) {
        return true;
    }
    *taken = 0;
    return GetLastError() == WAIT_TIMEOUT;
}

// Takes every message in the port, waiting up to wait for the first.
bool take_messages(EndWatch* watch, const ChildTable& table, DWORD wait, Intake* intake) {
    OVERLAPPED_ENTRY messages[kMessagesPerRead];
    ULONG taken = 0;
    if (!read_port(watch->port, messages, &taken, wait)) {
        return false;
    }
    while (taken > 0) {
        for (ULONG i = 0; i < taken; ++i) {
            take_message(watch, table, messages[i], intake);
        }
        if (!read_port(watch->port, messages, &taken, 0)) {
            return false;
        }
    }
    return true;
}

// A port that cannot be read brings no more news, and the same read would fail again; the
// thread-pool form needs no port. Ends the job form named but the caller has not reported
// yet are found by the look at every child.
EndNews give_way_to_thread_pool(EndWatch* watch, const ChildTable& table) {
    stop_job_form(watch, table.count);
    return start_thread_pool_form(watch, table) ? EndNews::kLookAtAll : EndNews::kFailed;
}

EndNews wait_for_job_news(EndWatch* watch, const ChildTable& table, DWORD timeout) {
    const ULONGLONG start = GetTickCount64();
    for (;;) {
        const ULONGLONG now = GetTickCount64();
        if (now >= watch->nextLookAtAll) {
            watch->nextLookAtAll = now + watch->lookAtAllEvery;
            return EndNews::kLookAtAll;
        }
        auto wait = static_cast<DWORD>(watch->nextLookAtAll - now);
        if (timeout != INFINITE) {
            if (now - start >= timeout) {
                return EndNews::kQuiet;
            }
            const DWORD left = timeout - static_cast<DWORD>(now - start);
            wait = left < wait ? left : wait;
        }
        Intake intake{};
        if (!take_messages(watch, table, wait, &intake)) {
            return give_way_to_thread_pool(watch, table);
        }
        if (intake.lookAtAll) {
            return EndNews::kLookAtAll;
        }
        if (intake.named) {
            return EndNews::kNamed;
        }
        // Nothing yet: the wait ran out, or the messages named no end of a child still
        // here. Go round without starting the time-out anew.
    }
}

EndNews wait_for_thread_pool_news(const EndWatch& watch, DWORD timeout) {
    const DWORD result = WaitForSingleObject(watch.anyEnded, timeout);
    if (result == WAIT_OBJECT_0) {
        // Reset before the caller looks, so that an end after the look sets it again.
        ResetEvent(watch.anyEnded);
        return EndNews::kLookAtAll;
    }
    return result == WAIT_TIMEOUT ? EndNews::kQuiet : EndNews::kFailed;
}

}  // namespace

bool end_watch_running(const EndWatch& watch) {
    return watch.job != nullptr || watch.anyEnded != nullptr;
}

bool start_end_watch(EndWatch* watch, const ChildTable& table, DWORD lookAtAllEvery) {
    return start_job_form(watch, table, lookAtAllEvery) || start_thread_pool_form(watch, table);
}

void stop_end_watch(EndWatch* watch, int slotCount) {
    if (watch->job != nullptr) {
        stop_job_form(watch, slotCount);
    }
    if (watch->anyEnded != nullptr) {
        stop_thread_pool_form(watch, slotCount);
    }
}

void stop_watching_child(EndWatch* watch, int slot) {
    if (watch->registrations != nullptr && watch->registrations[slot] != nullptr) {
        // Blocks until a callback under way has finished, so that what it uses (the event,
        // or the member and the port) outlives it. Its result is not examined: nothing
        // else could end the wait.
        UnregisterWaitEx(watch->registrations[slot], INVALID_HANDLE_VALUE);
        watch->registrations[slot] = nullptr;
    }
    if (watch->members != nullptr) {
        watch->members[slot] = JobMember{};
    }
}

EndNews wait_for_end_news(EndWatch* watch, const ChildTable& table, DWORD timeout) {
    return watch->job != nullptr ? wait_for_job_news(watch, table, timeout)
                                 : wait_for_thread_pool_news(*watch, timeout);
}

bool find_named_end(const EndWatch& watch, const ChildTable& table, int* slot) {
    if (watch.members == nullptr) {
        return false;
    }
    for (int candidate = 0; candidate < table.count; ++candidate) {
        if (watch.members[candidate].endNamed && table.slots[candidate] != nullptr) {
            *slot = candidate;
            return true;
        }
    }
    return false;
}
