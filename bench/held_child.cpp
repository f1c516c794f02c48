// A child that stays until the harness releases it:
//
//   held_child.exe BOARD SLOT DELAY_MS
//
// It notes itself on the board named BOARD (see held_board.h), waits for the board's
// release event, waits DELAY_MS more, stamps the performance counter into its SLOT and
// ends at once. Exit status 2: bad arguments; 3: no board or event; 4: never released.
#include <windows.h>

#include <cstdio>
#include <cstdlib>

#include "held_board.h"

namespace {

// Long enough for any stretch the harness measures; short enough that a child whose
// harness died does not stay for good.
constexpr DWORD kLongestHold = 30 * 60 * 1000;

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 4) {
        return 2;
    }
    const int slot = _wtoi(argv[2]);
    const int delayMs = _wtoi(argv[3]);
    if (slot < 0 || slot >= kHeldBoardCapacity || delayMs < 0) {
        return 2;
    }
    HANDLE mapping = OpenFileMappingW(FILE_MAP_WRITE, FALSE, argv[1]);
    if (mapping == nullptr) {
        return 3;
    }
    auto* board =
        static_cast<HeldBoard*>(MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, sizeof(HeldBoard)));
    if (board == nullptr) {
        return 3;
    }
    wchar_t releaseName[kHeldNameCapacity];
    if (_snwprintf(releaseName, kHeldNameCapacity, L"%ls%ls", argv[1], kReleaseSuffix) < 0) {
        return 2;
    }
    HANDLE release = OpenEventW(SYNCHRONIZE, FALSE, releaseName);
    if (release == nullptr) {
        return 3;
    }

    board->childPid[slot] = GetCurrentProcessId();
    InterlockedIncrement(&board->readyCount);
    if (WaitForSingleObject(release, kLongestHold) != WAIT_OBJECT_0) {
        return 4;
    }
    Sleep(delayMs);
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    board->endStamp[slot] = now.QuadPart;
    // At once, without the runtime's exit work: all that follows the stamp counts as the
    // time the news of this end takes to arrive.
    ExitProcess(0);
}
