#include "end_watch.h"

#include <cstdlib>

namespace {

// Job messages are notices that the platform may fail to deliver, so the job form never
// lets the wait go longer than this without a look of its own: an end whose message was
// lost is reported late, never missed.
constexpr DWORD kLongestWaitWithoutLooking = 30000;

// Messages taken off the port at once. Their content does not matter: any message only
// means "look again", so one read can empty a queue that filled while the launcher wrote.
constexpr ULONG kMessagesPerRead = 64;

bool has_ended(HANDLE child) {
    return WaitForSingleObject(child, 0) == WAIT_OBJECT_0;
}

// The children stay in the job. It has no kill-on-close limit, so it does nothing more
// to them.
void stop_job_form(EndWatch* watch) {
    CloseHandle(watch->job);
    CloseHandle(watch->port);
    watch->job = nullptr;
    watch->port = nullptr;
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
        stop_job_form(watch);
        return false;
    }
    return true;
}

bool start_job_form(EndWatch* watch, const ChildTable& table) {
    if (!make_job(watch)) {
        return false;
    }
    for (int slot = 0; slot < table.count; ++slot) {
        HANDLE child = table.slots[slot];
        // A child that ended before it could join needs no message: the wait's first look
        // comes after every child has joined, and finds it.
        if (child != nullptr && AssignProcessToJobObject(watch->job, child) == FALSE &&
            !has_ended(child)) {
            stop_job_form(watch);
            return false;
        }
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

}  // namespace

bool end_watch_running(const EndWatch& watch) {
    return watch.job != nullptr || watch.anyEnded != nullptr;
}

bool start_end_watch(EndWatch* watch, const ChildTable& table) {
    return start_job_form(watch, table) || start_thread_pool_form(watch, table);
}

void stop_end_watch(EndWatch* watch, int slotCount) {
    if (watch->job != nullptr) {
        stop_job_form(watch);
    }
    if (watch->anyEnded != nullptr) {
        stop_thread_pool_form(watch, slotCount);
    }
}

void stop_watching_child(EndWatch* watch, int slot) {
    if (watch->registrations == nullptr || watch->registrations[slot] == nullptr) {
        return;
    }
    // Blocks until a callback under way has finished, so the event outlives it.
    UnregisterWaitEx(watch->registrations[slot], INVALID_HANDLE_VALUE);
    watch->registrations[slot] = nullptr;
}

DWORD wait_for_end_news(const EndWatch& watch, DWORD timeout) {
    if (watch.job == nullptr) {
        const DWORD result = WaitForSingleObject(watch.anyEnded, timeout);
        if (result == WAIT_OBJECT_0) {
            // Reset before the caller looks, so that an end after the look sets it again.
            ResetEvent(watch.anyEnded);
        }
        return result;
    }
    OVERLAPPED_ENTRY messages[kMessagesPerRead];
    ULONG taken = 0;
    const DWORD limit = timeout < kLongestWaitWithoutLooking ? timeout : kLongestWaitWithoutLooking;
    if (GetQueuedCompletionStatusEx(watch.port, messages, kMessagesPerRead, &taken, limit, FALSE) !=
        FALSE) {
        return WAIT_OBJECT_0;
    }
    return GetLastError() == WAIT_TIMEOUT ? WAIT_TIMEOUT : WAIT_FAILED;
}
