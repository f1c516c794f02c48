#pragma once

#include <windows.h>

// Starts a program whose standard output and standard error go to output, which must be
// inheritable; every other inheritable handle is passed on too. Returns what
// CreateProcessW returns; on success process holds the new process and its thread.
bool start_with_output(const wchar_t* application, wchar_t* commandLine, const wchar_t* folder,
                       HANDLE output, DWORD creationFlags, PROCESS_INFORMATION* process);
