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

// Only a matched name through the interpreter is found from the interpreter's own current
// folder. The command buffer holds the launcher's for the look; one that cannot be read is
// taken for one the interpreter does not keep.
bool current_folder_kept(const ChildStartRequest& request, wchar_t* buffer) {
    if (!request.isFileName || request.route != StartRoute::kInterpreter) {
        return true;
    }
    const DWORD length = GetCurrentDirectoryW(kCommandBufferUnits, buffer);
    return length != 0 && length < kCommandBufferUnits && interpreter_keeps_folder(buffer);
}

}  // namespace

HANDLE start_child(const ChildStartRequest& request) {
    auto* commandText = static_cast<wchar_t*>(malloc(kCommandBufferUnits * sizeof(wchar_t)));
    if (commandText == nullptr) {
        return nullptr;
    }
    HANDLE process = nullptr;
    if (write_command_text(request, current_folder_kept(request, commandText), commandText)) {
        process = start_by_route(request, commandText);
    }
    free(commandText);
    return process;
}

void write_start_report(const ReportOutput& output, const wchar_t* argument, bool started) {
    const wchar_t* const line[] = {L"run [", argument, L"]...", started ? L"ok" : L"error"};
    write_report_line(output, line);
}
