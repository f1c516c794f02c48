// The fault layer. Forced (-include) into quorvel_launcher_faults, a test build of launcher/,
// it routes the platform and runtime calls the launcher makes to fault_calls.cpp, which counts
// the ones that can fail, fails the one a test names and checks the rules of order and
// ownership as the calls come. A call not named here goes to the platform as it is; quorvel.exe
// never sees this file. Tests include it with QUORVEL_FAULT_LAYER defined, for the other side.
#pragma once

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>

// Each fake is a pointer of its call's own type.
// clang-format off
#define QUORVEL_FAKE(name) extern decltype(&::name) fake_##name;
QUORVEL_FAKE(CreateProcessW) QUORVEL_FAKE(CloseHandle) QUORVEL_FAKE(DuplicateHandle)
QUORVEL_FAKE(WaitForMultipleObjects) QUORVEL_FAKE(WaitForSingleObject)
QUORVEL_FAKE(RegisterWaitForSingleObject) QUORVEL_FAKE(UnregisterWaitEx)
QUORVEL_FAKE(CreateIoCompletionPort) QUORVEL_FAKE(PostQueuedCompletionStatus)
QUORVEL_FAKE(GetQueuedCompletionStatusEx) QUORVEL_FAKE(SetPriorityClass) QUORVEL_FAKE(GetStdHandle)
QUORVEL_FAKE(GetConsoleMode) QUORVEL_FAKE(WriteConsoleW) QUORVEL_FAKE(WriteFile)
QUORVEL_FAKE(WideCharToMultiByte) QUORVEL_FAKE(GetSystemDirectoryW)
QUORVEL_FAKE(GetCurrentDirectoryW) QUORVEL_FAKE(GetCommandLineW) QUORVEL_FAKE(FindFirstFileW)
QUORVEL_FAKE(FindNextFileW) QUORVEL_FAKE(FindClose) QUORVEL_FAKE(CompareStringOrdinal)
QUORVEL_FAKE(malloc) QUORVEL_FAKE(calloc) QUORVEL_FAKE(realloc) QUORVEL_FAKE(free)
QUORVEL_FAKE(perror)
#undef QUORVEL_FAKE
extern decltype(&::_wcsdup) fake_wcsdup;
// clang-format on
int quorvel_main(int argc, wchar_t** argv, wchar_t** environment);

#ifndef QUORVEL_FAULT_LAYER
#define wmain quorvel_main
#define CreateProcessW fake_CreateProcessW
#define CloseHandle fake_CloseHandle
#define DuplicateHandle fake_DuplicateHandle
#define WaitForMultipleObjects fake_WaitForMultipleObjects
#define WaitForSingleObject fake_WaitForSingleObject
#define RegisterWaitForSingleObject fake_RegisterWaitForSingleObject
#define UnregisterWaitEx fake_UnregisterWaitEx
#define CreateIoCompletionPort fake_CreateIoCompletionPort
#define PostQueuedCompletionStatus fake_PostQueuedCompletionStatus
#define GetQueuedCompletionStatusEx fake_GetQueuedCompletionStatusEx
#define SetPriorityClass fake_SetPriorityClass
#define GetStdHandle fake_GetStdHandle
#define GetConsoleMode fake_GetConsoleMode
#define WriteConsoleW fake_WriteConsoleW
#define WriteFile fake_WriteFile
#define WideCharToMultiByte fake_WideCharToMultiByte
#define GetSystemDirectoryW fake_GetSystemDirectoryW
#define GetCurrentDirectoryW fake_GetCurrentDirectoryW
#define GetCommandLineW fake_GetCommandLineW
#define FindFirstFileW fake_FindFirstFileW
#define FindNextFileW fake_FindNextFileW
#define FindClose fake_FindClose
#define CompareStringOrdinal fake_CompareStringOrdinal
#define malloc fake_malloc
#define calloc fake_calloc
#define realloc fake_realloc
#define _wcsdup fake_wcsdup
#define free fake_free
#define perror fake_perror
#else
#include <string>
#include <vector>

// What GetStdHandle gives for a console: writes to it are kept as text.
inline const HANDLE kConsoleStandIn = reinterpret_cast<HANDLE>(ULONG_PTR{0x7ff0c0});

struct FaultRun {
    long failAt = 0;                  // the call that can fail that fails, counted from 1; 0: none
    const char* failOnly = nullptr;   // counts only the calls of this name
    std::wstring realChildren;        // a command line holding this starts a child, others an event
    std::vector<size_t> endOrder;     // stand-ins by start: two end at each blocking wait
    std::wstring commandLine;         // what GetCommandLineW gives
    HANDLE output = kConsoleStandIn;  // what GetStdHandle gives
    DWORD deadline = 10000;           // ms: a wait to block longer fails then; the run hung
    bool listingReversed = false;     // the file search gives a folder's entries last first
};

struct FaultOutcome {
    long calls = 0;                     // calls that can fail, made
    const char* failed = nullptr;       // the call made to fail, if one was
    bool hung = false;                  // a wait was cut at the deadline
    std::string console;                // what went to the console stand-in, in UTF-8
    std::vector<std::wstring> started;  // program and command line of each child started
    std::vector<std::string> broken;    // the rules the run broke
};

void begin_fault_run(const FaultRun& run);
// Checks what the run left behind, then unregisters, closes and frees it.
FaultOutcome end_fault_run();
#endif
