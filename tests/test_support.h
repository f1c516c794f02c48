#pragma once

#include <windows.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "utf8.h"

// Checks condition every few milliseconds until it holds, for at most timeoutMs; says
// whether it held.
template <typename Condition>
bool wait_until(DWORD timeoutMs, Condition condition) {
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    while (!condition()) {
        if (GetTickCount64() > deadline) {
            return false;
        }
        Sleep(10);
    }
    return true;
}

// The folder that holds the test programs, quorvel.exe and test_child.exe.
std::wstring build_folder();

std::string read_file(const std::wstring& path);
bool file_exists(const std::wstring& path);

// The launcher's lines as it writes them to a file or a pipe.
extern const std::string kBanner;  // built on the same day as the launcher
std::string started(const std::string& argument);
std::string failed(const std::string& argument);
std::string ended(const std::string& argument);
// The lines of output, each with its CRLF.
std::vector<std::string> lines_of(const std::string& output);

// Quotes one argument so that the runtime's command-line splitting gives it back unchanged.
std::wstring quote_argument(const std::wstring& argument);

// A fresh folder under the temporary folder, holding a copy of test_child.exe so that
// commands can name it without a path. Removed with everything in it, folders included,
// when it goes.
struct ScratchFolder {
    ScratchFolder();
    ~ScratchFolder();
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    std::wstring file(const std::wstring& name) const { return path + L"\\" + name; }

    std::wstring path;
};

// Starts test_child.exe in folder, without a console window, with the given arguments; the
// handle returned carries only the access rights given. Null if the start failed.
HANDLE start_test_child(const ScratchFolder& folder, const std::wstring& arguments,
                        DWORD access = PROCESS_ALL_ACCESS);

// A manual-reset event under a name of its own, for test children to wait on
// (test_child.exe --wait-event NAME). Closed when it goes.
struct NamedEvent {
    NamedEvent();
    ~NamedEvent();
    NamedEvent(const NamedEvent&) = delete;
    NamedEvent& operator=(const NamedEvent&) = delete;

    std::wstring name;
    HANDLE handle;
};

struct LauncherRun {
    HANDLE process = nullptr;  // still open; the caller closes it
    HANDLE thread = nullptr;
    std::wstring outputPath;
};

// Starts quorvel.exe with the arguments, each quoted as needed, in folder, with standard
// output going to a file there. extraFlags go to CreateProcessW (CREATE_SUSPENDED, say).
LauncherRun start_launcher(const std::vector<std::wstring>& arguments, const ScratchFolder& folder,
                           DWORD extraFlags = 0);

// The same with the command line after "quorvel.exe " exactly as given, quotes and all.
LauncherRun start_launcher_with(const std::wstring& commandTail, const ScratchFolder& folder,
                                DWORD extraFlags = 0);

struct LauncherResult {
    DWORD exitCode = 0;
    std::string output;  // standard output, byte for byte
    bool finished = false;
};

// Waits (up to a minute) for a started launcher, closes its handles and collects its result.
LauncherResult finish_launcher(LauncherRun& run);

// Waits (up to timeoutMs) until the launcher's output holds lineCount lines.
bool wait_for_output_lines(const LauncherRun& run, size_t lineCount, DWORD timeoutMs);

LauncherResult run_launcher(const std::vector<std::wstring>& arguments,
                            const ScratchFolder& folder);

// The "key=value" lines a test child recorded, in order.
std::multimap<std::string, std::string> read_record(const std::wstring& path);
std::vector<std::string> record_values(const std::wstring& path, const std::string& key);

// Waits until the record file holds a line with key, for at most timeoutMs.
bool wait_for_record(const std::wstring& path, const std::string& key, DWORD timeoutMs);

// The first value recorded under key, as a process identifier (0 if there is none).
DWORD recorded_pid(const std::wstring& recordPath, const std::string& key = "pid");

// The value under which owner holds a handle that matches, or null. Each of owner's
// handles is shown to matches as a duplicate of it; owner needs PROCESS_DUP_HANDLE.
HANDLE find_handle_in(HANDLE owner, const std::function<bool(HANDLE)>& matches);

// Closes owner's handle value as if owner had closed it itself.
bool close_handle_in(HANDLE owner, HANDLE value);

// Ends a recorded child that a test no longer needs.
void end_recorded_child(const std::wstring& recordPath);

// Waits (for at most timeoutMs) until the recorded child has ended. The launcher's handle
// keeps an ended child's identifier from being given to another process while the
// launcher has not reported it.
bool wait_for_recorded_child_end(const std::wstring& recordPath, DWORD timeoutMs);
