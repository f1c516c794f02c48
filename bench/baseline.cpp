// The floor that the launcher is measured against: starts every argument as a command
// text with the flags the launcher uses for a direct child without a window, then waits
// until all of them have ended. Nothing else: no output, no bookkeeping per child.
//
//   baseline.exe COMMAND ...
//
// Exit status: how many commands could not be started; -1 if it could not wait.
#include <windows.h>

#include <cstdlib>
#include <cwchar>

namespace {

constexpr DWORD kCreationFlags =
    NORMAL_PRIORITY_CLASS | CREATE_NEW_PROCESS_GROUP | CREATE_NO_WINDOW;
constexpr size_t kCommandTextCapacity = 32768;

// One platform wait takes at most MAXIMUM_WAIT_OBJECTS handles, so the children are
// waited for a group at a time; the order does not matter, all of them must end.
bool wait_for_all(const HANDLE* processes, int count) {
    for (int first = 0; first < count; first += MAXIMUM_WAIT_OBJECTS) {
        const int left = count - first;
        const DWORD group = left < MAXIMUM_WAIT_OBJECTS ? left : MAXIMUM_WAIT_OBJECTS;
        if (WaitForMultipleObjects(group, processes + first, TRUE, INFINITE) == WAIT_FAILED) {
            return false;
        }
    }
    return true;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    HANDLE* processes = static_cast<HANDLE*>(malloc(argc * sizeof(HANDLE)));
    // The platform may write into the command text, so each one is copied into this.
    wchar_t* commandText = static_cast<wchar_t*>(malloc(kCommandTextCapacity * sizeof(wchar_t)));
    if (processes == nullptr || commandText == nullptr) {
        return -1;
    }
    int started = 0;
    int failed = 0;
    for (int i = 1; i < argc; ++i) {
        const size_t length = wcslen(argv[i]);
        if (length >= kCommandTextCapacity) {
            ++failed;
            continue;
        }
        wmemcpy(commandText, argv[i], length + 1);
        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION process{};
        if (!CreateProcessW(nullptr, commandText, nullptr, nullptr, FALSE, kCreationFlags, nullptr,
                            nullptr, &startup, &process)) {
            ++failed;
            continue;
        }
        CloseHandle(process.hThread);
        processes[started++] = process.hProcess;
    }
    return wait_for_all(processes, started) ? failed : -1;
}
