// A stand-in for the programs the launcher starts. It records what it was started with
// into a file, since a child with a console of its own writes nowhere a test can read,
// then carries out the steps on its command line in order.
//
//   test_child.exe --record FILE   append "key=value" lines to FILE (UTF-8)
//                  --sleep MS      sleep
//                  --wait-event N  wait (60 s at most) until the named event is set
//                  --print TEXT    write TEXT and a line break to standard output
//                  --start LINE    start the command LINE, without a window; record
//                                  "started=PID", or "started=error"
//                  --own-job       put itself into a job of its own that ends every
//                                  process in it when this one ends; record "own-job=ok",
//                                  or "own-job=error"
//                  --exit CODE     exit now with CODE
//
// Run as a planted "cmd.exe /c ...", it only leaves "planted-cmd-ran" in the current
// directory. Started with no arguments at all, as a file a pattern matched is, it records
// into "ran-NAME.txt" in the current directory, NAME being its own file name without
// ".exe". Every record also names the program file that ran ("module=PATH").
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include "utf8.h"

namespace {

std::wstring g_recordPath;

// Each line is appended and the file closed again, so a test sees it at once.
void record(const std::wstring& key, const std::wstring& value) {
    if (g_recordPath.empty()) {
        return;
    }
    HANDLE file = CreateFileW(g_recordPath.c_str(), FILE_APPEND_DATA,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return;
    }
    const std::string line = to_utf8(key + L"=" + value + L"\n");
    DWORD written = 0;
    WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    CloseHandle(file);
}

// The processes attached to this process's console, comma-separated; empty without one.
std::wstring console_processes() {
    std::vector<DWORD> ids(64);
    DWORD count = 0;
    while ((count = GetConsoleProcessList(ids.data(), static_cast<DWORD>(ids.size()))) >
           ids.size()) {
        ids.resize(count + 16);  // more may attach before the next call
    }
    std::wstring list;
    for (DWORD i = 0; i < count; ++i) {
        list += (i == 0 ? L"" : L",") + std::to_wstring(ids[i]);
    }
    return list;
}

void wait_for_event(const wchar_t* name) {
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, name);
    if (event != nullptr) {
        WaitForSingleObject(event, 60000);
        CloseHandle(event);
    }
}

void start_program(const wchar_t* commandLine) {
    std::wstring text = commandLine;
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(nullptr, text.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                        nullptr, &startup, &process)) {
        record(L"started", L"error");
        return;
    }
    record(L"started", std::to_wstring(process.dwProcessId));
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
}

// The job's handle is never closed: it goes when this process ends, and with it every
// process still in the job.
void join_own_job() {
    HANDLE job = CreateJobObjectW(nullptr, nullptr);
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    const bool joined =
        job != nullptr &&
        SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof(limits)) &&
        AssignProcessToJobObject(job, GetCurrentProcess());
    record(L"own-job", joined ? L"ok" : L"error");
}

void leave_planted_marker() {
    HANDLE marker = CreateFileW(L"planted-cmd-ran", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (marker != INVALID_HANDLE_VALUE) {
        CloseHandle(marker);
    }
}

std::wstring own_path() {
    wchar_t path[MAX_PATH];
    return std::wstring(path, GetModuleFileNameW(nullptr, path, MAX_PATH));
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc > 1 && wcscmp(argv[1], L"/c") == 0) {
        leave_planted_marker();
        return 0;
    }
    for (int i = 1; i + 1 < argc; ++i) {
        if (wcscmp(argv[i], L"--record") == 0) {
            g_recordPath = argv[i + 1];
        }
    }
    const std::wstring program = own_path();
    if (argc == 1) {
        const std::wstring name = program.substr(program.find_last_of(L'\\') + 1);
        g_recordPath = L"ran-" + name.substr(0, name.size() - 4) + L".txt";
    }
    wchar_t directory[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, directory);
    record(L"module", program);
    record(L"pid", std::to_wstring(GetCurrentProcessId()));
    record(L"command-line", GetCommandLineW());
    record(L"cwd", directory);
    record(L"console-processes", console_processes());

    for (int i = 1; i < argc; ++i) {
        const std::wstring step = argv[i];
        const wchar_t* value = i + 1 < argc ? argv[i + 1] : L"";
        if (step == L"--record") {
            ++i;
        } else if (step == L"--sleep") {
            Sleep(static_cast<DWORD>(_wtoi(value)));
            ++i;
        } else if (step == L"--wait-event") {
            wait_for_event(value);
            ++i;
        } else if (step == L"--print") {
            wprintf(L"%ls\n", value);
            fflush(stdout);
            ++i;
        } else if (step == L"--start") {
            start_program(value);
            ++i;
        } else if (step == L"--own-job") {
            join_own_job();
        } else if (step == L"--exit") {
            record(L"exit", value);
            return _wtoi(value);
        }
    }
    record(L"exit", L"0");
    return 0;
}
