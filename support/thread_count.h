#pragma once

#include <windows.h>

// How many threads the process has now; -1 if the platform could not say.
int count_threads(HANDLE process);

// The most threads a waiting launcher should have with alive children. Beyond one platform
// wait each live child has a wait on the platform's thread pool, whose waiting threads take
// up to 63 handles each; the launcher's own thread comes first, and the pool may keep one
// more.
constexpr int most_threads_while_waiting(int alive) {
    constexpr int kHandlesPerWaitingThread = MAXIMUM_WAIT_OBJECTS - 1;
    return 2 + (alive + kHandlesPerWaitingThread - 1) / kHandlesPerWaitingThread;
}
