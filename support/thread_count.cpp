#include "thread_count.h"

// Needs the types that windows.h, from thread_count.h, declares.
#include <tlhelp32.h>

int count_threads(HANDLE process) {
    const DWORD owner = GetProcessId(process);
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (owner == 0 || snapshot == INVALID_HANDLE_VALUE) {
        return -1;
    }
    int threads = 0;
    THREADENTRY32 entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
        threads += entry.th32OwnerProcessID == owner ? 1 : 0;
    }
    CloseHandle(snapshot);
    return threads;
}
