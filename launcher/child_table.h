#pragma once

#include <windows.h>

// One slot per argument position, the program's own name and the switches included.
// A slot holds the process handle of its argument's child from the start until that
// child's end has been reported, and is null otherwise.
struct ChildTable {
    HANDLE* slots;
    int count;
};
