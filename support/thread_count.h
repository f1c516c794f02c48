#pragma once

#include <windows.h>

// How many threads the process has now; -1 if the platform could not say.
int count_threads(HANDLE process);
