#include "child_start.h"

#include <cstdlib>
#include <cwchar>

#include "command_text.h"

namespace {

constexpr wchar_t kInterpreterFileName[] = L"\\cmd.exe";

// 64 KB per start attempt: the longest command line the platform takes, and one unit more.
constexpr size_t kCommandBufferUnits = kCommandLineLimit + 1;

// The interpreter is always taken from the system folder: left to the platform's
// search, a cmd.exe in the launcher's folder or the current directory would run instead.
bool find_interpreter(wchar_t* path, UINT capacity) {
    const UINT folderLength = GetSystemDirectoryW(path, capacity);
    const size_t fileNameLength = wcslen(kInterpreterFileName);
    if (folderLength == 0 || folderLength + fileNameLength >= capacity) {
        return false;
    }
    wmemcpy(path + folderLength, kInterpreterFileName, fileNameLength + 1);
    return true;
}

HANDLE create_child_process(const wchar_t* applicationName, wchar_t* commandText,
                            DWORD creationFlags) {
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    if (CreateProcessW(applicationName, commandText, nullptr, nullptr, FALSE, creationFlags,
                       nullptr, nullptr, &startup, &process) == FALSE) {
        return nullptr;
    }
    CloseHandle(process.hThread);
    return process.hProcess;
}

HANDLE start_through_interpreter(wchar_t* commandText, DWORD creationFlags) {
    wchar_t interpreter[MAX_PATH];
    if (!find_interpreter(interpreter, MAX_PATH)) {
        return nullptr;
    }
    return create_child_process(interpreter, commandText, creationFlags);
}

HANDLE start_by_route(const ChildStartRequest& request, wchar_t* commandText) {
    switch (request.route) {
        case StartRoute::kInterpreter:
            return start_through_interpreter(commandText, request.creationFlags);
        case StartRoute::kCommandText:
            return create_child_process(nullptr, commandText, request.creationFlags);
        case StartRoute::kMatchedFile:
            // Named as the program, the file is neither searched for nor given an extension:
            // the platform runs that file or none.
            return create_child_process(request.argument, commandText, request.creationFlags);
    }
    return nullptr;
}

// Whether a name is found from the current folder: neither rooted nor a full path on a drive
// ("C:x.cmd" is found from drive C's current folder).
bool leans_on_current_folder(const wchar_t* name) {
    if (name[0] == L'\\' || name[0] == L'/') {
        return false;
    }
    return name[0] == L'\0' || name[1] != L':' || (name[2] != L'\\' && name[2] != L'/');
}

// The interpreter takes no network path (\\server\share) for its current folder ("CMD does
// not support UNC paths as current directories") and starts in the Windows folder instead,
// where a matched name found from the current folder would name another file. The command
// buffer holds the current folder for the look.
bool interpreter_finds_matched_file(const ChildStartRequest& request, wchar_t* buffer) {
    if (!request.isFileName || request.route != StartRoute::kInterpreter ||
        !leans_on_current_folder(request.argument)) {
        return true;
    }
    const DWORD length = GetCurrentDirectoryW(kCommandBufferUnits, buffer);
    return length != 0 && length < kCommandBufferUnits &&
           !(buffer[0] == L'\\' && buffer[1] == L'\\');
}

}  // namespace

HANDLE start_child(const ChildStartRequest& request) {
    auto* commandText = static_cast<wchar_t*>(malloc(kCommandBufferUnits * sizeof(wchar_t)));
    if (commandText == nullptr) {
        return nullptr;
    }
    HANDLE process = nullptr;
    if (interpreter_finds_matched_file(request, commandText) &&
        write_command_text(request, commandText)) {
        process = start_by_route(request, commandText);
    }
    free(commandText);
    return process;
}

void write_start_report(const ReportOutput& output, const wchar_t* argument, bool started) {
    const wchar_t* const line[] = {L"run [", argument, L"]...", started ? L"ok" : L"error"};
    write_report_line(output, line);
}
