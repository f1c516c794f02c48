#pragma once

#include <windows.h>

// What the harness shares with the held children of one run, as a named mapping backed by
// the page file. Each child notes its process id and counts itself ready; once released
// and after its own delay, it stamps the performance counter just before it ends. The
// counter is system-wide, so the harness can set that stamp against the moment the news
// of the end reached it.
constexpr int kHeldBoardCapacity = 1024;

struct HeldBoard {
    volatile LONG readyCount;
    DWORD childPid[kHeldBoardCapacity];
    volatile LONGLONG endStamp[kHeldBoardCapacity];  // 0 until the child stamps it
};

// The release event is named after the board, with this suffix.
constexpr wchar_t kReleaseSuffix[] = L"-release";
constexpr size_t kHeldNameCapacity = 96;
