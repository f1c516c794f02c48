#include "job_run.h"

#include <cstdio>

#include "figures.h"
#include "output_start.h"

namespace {

// A process left behind by a failed run must not outlive the run's job.
bool limit_job(HANDLE job) {
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    return SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits,
                                   sizeof(limits)) != 0;
}

bool create_job(JobRun* run) {
    run->job = CreateJobObjectW(nullptr, nullptr);
    if (run->job == nullptr) {
        fprintf(stderr, "bench_runner: CreateJobObjectW failed (%lu)\n", GetLastError());
        return false;
    }
    if (!limit_job(run->job)) {
        fprintf(stderr, "bench_runner: the job limit could not be set (%lu)\n", GetLastError());
        return false;
    }
    run->port = CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 1);
    if (run->port == nullptr) {
        fprintf(stderr, "bench_runner: CreateIoCompletionPort failed (%lu)\n", GetLastError());
        return false;
    }
    JOBOBJECT_ASSOCIATE_COMPLETION_PORT association{run->job, run->port};
    if (!SetInformationJobObject(run->job, JobObjectAssociateCompletionPortInformation,
                                 &association, sizeof(association))) {
        fprintf(stderr, "bench_runner: the job's port could not be set (%lu)\n", GetLastError());
        return false;
    }
    return true;
}

bool create_contender(const wchar_t* application, wchar_t* commandLine, const wchar_t* folder,
                      HANDLE output, JobRun* run) {
    PROCESS_INFORMATION process{};
    run->startStamp = counter_now();
    if (!start_with_output(application, commandLine, folder, output,
                           CREATE_SUSPENDED | CREATE_NO_WINDOW, &process)) {
        fprintf(stderr, "bench_runner: %ls could not be started (%lu)\n", application,
                GetLastError());
        return false;
    }
    run->process = process.hProcess;
    const bool joined = AssignProcessToJobObject(run->job, process.hProcess) != 0;
    if (!joined) {
        fprintf(stderr, "bench_runner: AssignProcessToJobObject failed (%lu)\n", GetLastError());
        TerminateProcess(process.hProcess, 1);
    } else if (ResumeThread(process.hThread) == static_cast<DWORD>(-1)) {
        fprintf(stderr, "bench_runner: ResumeThread failed (%lu)\n", GetLastError());
        TerminateProcess(process.hProcess, 1);
    }
    CloseHandle(process.hThread);
    return joined;
}

}  // namespace

bool start_job_run(const wchar_t* application, wchar_t* commandLine, const wchar_t* folder,
                   int exitLineCapacity, JobRun* run) {
    *run = JobRun{};
    HANDLE writeEnd = nullptr;
    if (!create_job(run) || !open_output_lines(exitLineCapacity, &run->output, &writeEnd)) {
        close_job_run(run);
        return false;
    }
    const bool started = create_contender(application, commandLine, folder, writeEnd, run);
    // The contender has its own copy now; the reader sees the pipe's end only once this
    // one is closed too.
    CloseHandle(writeEnd);
    if (!started || !start_reading_lines(&run->output)) {
        close_job_run(run);
        return false;
    }
    return true;
}

bool wait_until_job_empty(JobRun* run, DWORD timeoutMs, ProcessEnd* ends, int endCapacity,
                          int* endCount, LONGLONG* emptyStamp) {
    *endCount = 0;
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    for (;;) {
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline) {
            fprintf(stderr, "bench_runner: the run did not end within %lu ms\n", timeoutMs);
            return false;
        }
        DWORD message = 0;
        ULONG_PTR key = 0;
        OVERLAPPED* detail = nullptr;
        if (!GetQueuedCompletionStatus(run->port, &message, &key, &detail,
                                       static_cast<DWORD>(deadline - now))) {
            if (GetLastError() == WAIT_TIMEOUT) {
                continue;
            }
            fprintf(stderr, "bench_runner: GetQueuedCompletionStatus failed (%lu)\n",
                    GetLastError());
            return false;
        }
        const LONGLONG stamp = counter_now();
        // For process messages, the "overlapped" pointer carries the process id.
        const DWORD pid = static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(detail));
        if (message == JOB_OBJECT_MSG_NEW_PROCESS) {
            ++run->processCount;
            run->lastJoinStamp = stamp;
        } else if (message == JOB_OBJECT_MSG_EXIT_PROCESS ||
                   message == JOB_OBJECT_MSG_ABNORMAL_EXIT_PROCESS) {
            if (*endCount < endCapacity) {
                ends[*endCount] = ProcessEnd{pid, stamp};
                ++*endCount;
            }
        } else if (message == JOB_OBJECT_MSG_ACTIVE_PROCESS_ZERO) {
            *emptyStamp = stamp;
            return true;
        }
    }
}

bool count_ended_processes(const JobRun& run, DWORD* ended) {
    JOBOBJECT_BASIC_ACCOUNTING_INFORMATION accounting{};
    if (!QueryInformationJobObject(run.job, JobObjectBasicAccountingInformation, &accounting,
                                   sizeof(accounting), nullptr)) {
        return false;
    }
    *ended = accounting.TotalProcesses - accounting.ActiveProcesses;
    return true;
}

void end_job_run(JobRun* run) {
    if (run->job != nullptr && !TerminateJobObject(run->job, 1)) {
        fprintf(stderr, "bench_runner: TerminateJobObject failed (%lu)\n", GetLastError());
    }
    if (run->output.thread != nullptr && !run->output.abandoned) {
        finish_reading_lines(&run->output, 30000);
    }
}

bool collect_job_output(JobRun* run) {
    return finish_reading_lines(&run->output, 30000);
}

void close_job_run(JobRun* run) {
    // Every holder of the pipe's write end was in the job, so a reader still running
    // ends soon after.
    end_job_run(run);
    free_output_lines(&run->output);
    if (run->process != nullptr) {
        CloseHandle(run->process);
    }
    if (run->port != nullptr) {
        CloseHandle(run->port);
    }
    if (run->job != nullptr) {
        CloseHandle(run->job);
    }
    *run = JobRun{};
}
