#pragma once

#include <windows.h>

#include "output_lines.h"

// One contender run inside a job object of its own. Every process the contender starts
// joins the job too, so the job's completion port says when each of them ends and when
// none is left, whichever way the contender starts or waits for its children.
struct ProcessEnd {
    DWORD pid;
    LONGLONG stamp;  // when the job's message about the end was taken
};

struct JobRun {
    HANDLE job;
    HANDLE port;
    HANDLE process;          // the contender
    LONGLONG startStamp;     // just before the contender was created
    int processCount;        // processes that joined the job so far, the contender included
    LONGLONG lastJoinStamp;  // when the last of them joined
    OutputLines output;
};

// Starts application with commandLine (written into by the platform) in folder, its
// standard output and error going to run->output. It is held until it is in the job.
bool start_job_run(const wchar_t* application, wchar_t* commandLine, const wchar_t* folder,
                   int exitLineCapacity, JobRun* run);

// Takes the job's messages until no process is left in it, or until timeoutMs has passed.
// The end of each process goes to ends, up to endCapacity of them; *endCount tells how
// many were recorded. *emptyStamp: when the last process ended.
bool wait_until_job_empty(JobRun* run, DWORD timeoutMs, ProcessEnd* ends, int endCapacity,
                          int* endCount, LONGLONG* emptyStamp);

// How many processes of the job have ended so far; false if the platform cannot tell.
bool count_ended_processes(const JobRun& run, DWORD* ended);

// Waits until the contender's output has been read to its end, which is when every
// process that held it has ended; run->output is complete only when this returns true.
bool collect_job_output(JobRun* run);

// Ends everything in the job at once and reads the contender's output to its end, so that
// a failed run can tell what the contender said.
void end_job_run(JobRun* run);

// Ends whatever is still running in the job, stops the output reader and closes it all.
void close_job_run(JobRun* run);
