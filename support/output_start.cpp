#include "output_start.h"

bool start_with_output(const wchar_t* application, wchar_t* commandLine, const wchar_t* folder,
                       HANDLE output, DWORD creationFlags, PROCESS_INFORMATION* process) {
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = output;
    startup.hStdError = output;
    *process = PROCESS_INFORMATION{};
    return CreateProcessW(application, commandLine, nullptr, nullptr, TRUE, creationFlags, nullptr,
                          folder, &startup, process) != FALSE;
}
