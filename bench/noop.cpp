// The child of the start-and-reap runs: it ends at once. It has no C runtime and this
// function is its entry point, so that its own start and end cost only what the platform
// needs and the starters' differences are not buried under it.
#include <windows.h>

extern "C" DWORD WINAPI noop_start(void* /*processEnvironmentBlock*/) {
    ExitProcess(0);
}
