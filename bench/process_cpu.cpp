#include "process_cpu.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>

namespace {

constexpr wchar_t kProcFolder[] = L"Z:\\proc";
constexpr int kCmdlineCapacity = 65536;

ULONGLONG filetime_value(const FILETIME& time) {
    return (static_cast<ULONGLONG>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

bool process_times_100ns(HANDLE process, ULONGLONG* kernel, ULONGLONG* user) {
    FILETIME created, ended, kernelTime, userTime;
    if (!GetProcessTimes(process, &created, &ended, &kernelTime, &userTime)) {
        return false;
    }
    *kernel = filetime_value(kernelTime);
    *user = filetime_value(userTime);
    return true;
}

bool all_digits(const wchar_t* text) {
    if (*text == L'\0') {
        return false;
    }
    for (; *text != L'\0'; ++text) {
        if (*text < L'0' || *text > L'9') {
            return false;
        }
    }
    return true;
}

// Reads a whole /proc file; such files tell no size, so it is read until the end.
int read_proc_file(const wchar_t* path, char* buffer, int capacity) {
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return -1;
    }
    int length = 0;
    DWORD got = 0;
    while (length < capacity &&
           ReadFile(file, buffer + length, static_cast<DWORD>(capacity - length), &got, nullptr) &&
           got > 0) {
        length += static_cast<int>(got);
    }
    CloseHandle(file);
    return length;
}

const char* base_name(const char* path) {
    const char* name = path;
    for (const char* at = path; *at != '\0'; ++at) {
        if (*at == '\\' || *at == '/') {
            name = at + 1;
        }
    }
    return name;
}

// Whether marker is one of the blank-separated words of argument.
bool has_word(const char* argument, const char* marker) {
    const size_t markerLength = strlen(marker);
    for (const char* at = strstr(argument, marker); at != nullptr; at = strstr(at + 1, marker)) {
        const bool startsWord = at == argument || at[-1] == ' ';
        const bool endsWord = at[markerLength] == '\0' || at[markerLength] == ' ';
        if (startsWord && endsWord) {
            return true;
        }
    }
    return false;
}

// A Linux command line: arguments each ended by a NUL. Wine shows the Windows command
// line there, split into arguments.
bool cmdline_matches(char* cmdline, int length, const char* imageName, const char* marker) {
    if (length <= 0) {
        return false;
    }
    cmdline[length - 1] = '\0';
    if (_stricmp(base_name(cmdline), imageName) != 0) {
        return false;
    }
    for (int at = 0; at < length; at += static_cast<int>(strlen(cmdline + at)) + 1) {
        if (has_word(cmdline + at, marker)) {
            return true;
        }
    }
    return false;
}

bool find_unix_pid(const char* imageName, const char* marker, unsigned long* unixPid) {
    char* cmdline = static_cast<char*>(malloc(kCmdlineCapacity));
    if (cmdline == nullptr) {
        return false;
    }
    wchar_t pattern[MAX_PATH];
    _snwprintf(pattern, MAX_PATH, L"%ls\\*", kProcFolder);
    WIN32_FIND_DATAW entry;
    HANDLE search = FindFirstFileW(pattern, &entry);
    bool found = false;
    if (search != INVALID_HANDLE_VALUE) {
        do {
            if (!all_digits(entry.cFileName)) {
                continue;
            }
            wchar_t path[MAX_PATH];
            _snwprintf(path, MAX_PATH, L"%ls\\%ls\\cmdline", kProcFolder, entry.cFileName);
            const int length = read_proc_file(path, cmdline, kCmdlineCapacity);
            if (cmdline_matches(cmdline, length, imageName, marker)) {
                *unixPid = wcstoul(entry.cFileName, nullptr, 10);
                found = true;
            }
        } while (!found && FindNextFileW(search, &entry));
        FindClose(search);
    }
    free(cmdline);
    return found;
}

// The first field of a thread's schedstat is its time on a CPU, in nanoseconds.
bool read_thread_run_ns(unsigned long unixPid, const wchar_t* thread, ULONGLONG* nanoseconds) {
    wchar_t path[MAX_PATH];
    _snwprintf(path, MAX_PATH, L"%ls\\%lu\\task\\%ls\\schedstat", kProcFolder, unixPid, thread);
    char text[128];
    const int length = read_proc_file(path, text, sizeof(text) - 1);
    if (length <= 0) {
        return false;
    }
    text[length] = '\0';
    char* end = nullptr;
    *nanoseconds = strtoull(text, &end, 10);
    return end != text;
}

bool read_linux_run_ns(unsigned long unixPid, ULONGLONG* nanoseconds) {
    wchar_t pattern[MAX_PATH];
    _snwprintf(pattern, MAX_PATH, L"%ls\\%lu\\task\\*", kProcFolder, unixPid);
    WIN32_FIND_DATAW entry;
    HANDLE search = FindFirstFileW(pattern, &entry);
    if (search == INVALID_HANDLE_VALUE) {
        return false;
    }
    ULONGLONG total = 0;
    int threads = 0;
    do {
        ULONGLONG threadNs = 0;
        // A thread that ends while this looks is simply not counted.
        if (all_digits(entry.cFileName) &&
            read_thread_run_ns(unixPid, entry.cFileName, &threadNs)) {
            total += threadNs;
            ++threads;
        }
    } while (FindNextFileW(search, &entry));
    FindClose(search);
    *nanoseconds = total;
    return threads > 0;
}

}  // namespace

bool running_under_wine() {
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

bool open_cpu_meter(HANDLE process, const char* imageName, const char* marker, CpuMeter* meter) {
    *meter = CpuMeter{CpuSource::ProcessTimes, process, 0};
    if (!running_under_wine()) {
        return true;
    }
    meter->source = CpuSource::LinuxThreadRunTime;
    if (!find_unix_pid(imageName, marker, &meter->unixPid)) {
        fprintf(stderr, "bench_runner: %s (%s) not found under %ls\n", imageName, marker,
                kProcFolder);
        return false;
    }
    return true;
}

bool read_cpu_ns(const CpuMeter& meter, ULONGLONG* nanoseconds) {
    if (meter.source == CpuSource::LinuxThreadRunTime) {
        return read_linux_run_ns(meter.unixPid, nanoseconds);
    }
    ULONGLONG kernel = 0;
    ULONGLONG user = 0;
    if (!process_times_100ns(meter.process, &kernel, &user)) {
        return false;
    }
    *nanoseconds = (kernel + user) * 100;
    return true;
}

const char* cpu_source_description(CpuSource source) {
    return source == CpuSource::LinuxThreadRunTime
               ? "Linux run time of the process's threads (/proc/PID/task/*/schedstat)"
               : "GetProcessTimes, user + kernel";
}

bool process_times_echo_caller(HANDLE process) {
    ULONGLONG otherKernel = 0;
    ULONGLONG otherUser = 0;
    ULONGLONG ownKernel = 0;
    ULONGLONG ownUser = 0;
    return process_times_100ns(process, &otherKernel, &otherUser) &&
           process_times_100ns(GetCurrentProcess(), &ownKernel, &ownUser) &&
           otherKernel == ownKernel && otherUser == ownUser;
}
