#pragma once

#include <windows.h>

// A contender's standard output, read through a pipe on a thread of its own so that the
// contender never waits on a full pipe. Every "exit [...]" line is kept with the moment
// the read that completed it returned; start reports are only counted.
constexpr int kExitCommandCapacity = 128;
constexpr int kLineCapacity = 512;

struct ExitLine {
    LONGLONG stamp;
    char command[kExitCommandCapacity];  // the text between the brackets, cut if longer
};

struct OutputLines {
    HANDLE pipe;  // the read end
    HANDLE thread;
    int startedCount;  // "run [...]...ok"
    int failedCount;   // "run [...]...error"
    int exitCount;     // all exit lines, also those beyond exitCapacity
    ExitLine* exits;
    int exitCapacity;
    char pending[kLineCapacity];  // a line whose end has not arrived yet
    int pendingLength;
    bool abandoned;  // the reader could not be stopped and still uses this record
};

// Makes the pipe; *writeEnd is an inheritable handle for the contender's standard output,
// which the caller closes once the contender has been started.
bool open_output_lines(int exitCapacity, OutputLines* lines, HANDLE* writeEnd);

bool start_reading_lines(OutputLines* lines);

// Waits until every writer has closed the pipe, at most timeoutMs. The counts and exit
// lines are complete only when this returns true.
bool finish_reading_lines(OutputLines* lines, DWORD timeoutMs);

void free_output_lines(OutputLines* lines);
