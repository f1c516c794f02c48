#pragma once

#include <windows.h>

// CPU time, user and kernel together, that another process has used so far.
//
// On Windows, GetProcessTimes tells it. Wine 8 answers GetProcessTimes for another
// process with the caller's own times, so under Wine the figure is the run time that
// Linux counts for each of the process's threads, read from /proc through Wine's Z:
// drive. Threads that end during a measurement take their time with them; the launcher's
// threads live as long as it waits.
enum class CpuSource { ProcessTimes, LinuxThreadRunTime };

struct CpuMeter {
    CpuSource source;
    HANDLE process;
    unsigned long unixPid;  // LinuxThreadRunTime only
};

bool running_under_wine();

// imageName and marker find the process among Linux's under Wine: its first argument
// names imageName, and marker is a word of one of its arguments.
bool open_cpu_meter(HANDLE process, const char* imageName, const char* marker, CpuMeter* meter);

bool read_cpu_ns(const CpuMeter& meter, ULONGLONG* nanoseconds);

const char* cpu_source_description(CpuSource source);

// Whether GetProcessTimes answers for process with exactly the caller's own times: the
// Wine behaviour that rules it out here.
bool process_times_echo_caller(HANDLE process);
