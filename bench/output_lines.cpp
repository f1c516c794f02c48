#include "output_lines.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "figures.h"

namespace {

bool starts_with(const char* text, int length, const char* prefix) {
    const int prefixLength = static_cast<int>(strlen(prefix));
    return length >= prefixLength && memcmp(text, prefix, prefixLength) == 0;
}

bool ends_with(const char* text, int length, const char* suffix) {
    const int suffixLength = static_cast<int>(strlen(suffix));
    return length >= suffixLength &&
           memcmp(text + length - suffixLength, suffix, suffixLength) == 0;
}

void take_line(OutputLines* lines, const char* line, int length, LONGLONG stamp) {
    if (length > 0 && line[length - 1] == '\r') {
        --length;
    }
    if (starts_with(line, length, "run [")) {
        if (ends_with(line, length, "]...ok")) {
            ++lines->startedCount;
        } else if (ends_with(line, length, "]...error")) {
            ++lines->failedCount;
        }
        return;
    }
    if (!starts_with(line, length, "exit [") || !ends_with(line, length, "]")) {
        return;
    }
    if (lines->exitCount < lines->exitCapacity) {
        ExitLine& exit = lines->exits[lines->exitCount];
        exit.stamp = stamp;
        const int prefixLength = 6;  // "exit ["
        int commandLength = length - prefixLength - 1;
        if (commandLength >= kExitCommandCapacity) {
            commandLength = kExitCommandCapacity - 1;
        }
        memcpy(exit.command, line + prefixLength, commandLength);
        exit.command[commandLength] = '\0';
    }
    ++lines->exitCount;
}

// Splits what one read returned into lines; a line cut by the read's end waits in
// pending for the rest. Lines longer than the pending room are cut, which only ever
// loses the tail of a command that nothing here looks at.
void take_bytes(OutputLines* lines, const char* bytes, int count, LONGLONG stamp) {
    for (int i = 0; i < count; ++i) {
        if (bytes[i] == '\n') {
            take_line(lines, lines->pending, lines->pendingLength, stamp);
            lines->pendingLength = 0;
        } else if (lines->pendingLength < kLineCapacity) {
            lines->pending[lines->pendingLength++] = bytes[i];
        }
    }
}

DWORD WINAPI read_lines(void* context) {
    auto* lines = static_cast<OutputLines*>(context);
    char chunk[4096];
    DWORD got = 0;
    // Ends when every write end is closed: ReadFile then fails with a broken pipe.
    while (ReadFile(lines->pipe, chunk, sizeof(chunk), &got, nullptr)) {
        const LONGLONG stamp = counter_now();
        take_bytes(lines, chunk, static_cast<int>(got), stamp);
    }
    return 0;
}

}  // namespace

bool open_output_lines(int exitCapacity, OutputLines* lines, HANDLE* writeEnd) {
    *lines = OutputLines{};
    lines->exits = static_cast<ExitLine*>(calloc(exitCapacity, sizeof(ExitLine)));
    if (lines->exits == nullptr) {
        fprintf(stderr, "bench_runner: no memory for %d exit lines\n", exitCapacity);
        return false;
    }
    lines->exitCapacity = exitCapacity;
    SECURITY_ATTRIBUTES inheritable{sizeof(inheritable), nullptr, TRUE};
    if (!CreatePipe(&lines->pipe, writeEnd, &inheritable, 0)) {
        fprintf(stderr, "bench_runner: CreatePipe failed (%lu)\n", GetLastError());
        free_output_lines(lines);
        return false;
    }
    // Only the write end goes to the contender.
    if (!SetHandleInformation(lines->pipe, HANDLE_FLAG_INHERIT, 0)) {
        fprintf(stderr, "bench_runner: SetHandleInformation failed (%lu)\n", GetLastError());
        CloseHandle(*writeEnd);
        free_output_lines(lines);
        return false;
    }
    return true;
}

bool start_reading_lines(OutputLines* lines) {
    lines->thread = CreateThread(nullptr, 0, read_lines, lines, 0, nullptr);
    if (lines->thread == nullptr) {
        fprintf(stderr, "bench_runner: CreateThread failed (%lu)\n", GetLastError());
        return false;
    }
    return true;
}

bool finish_reading_lines(OutputLines* lines, DWORD timeoutMs) {
    if (lines->thread == nullptr) {
        return false;
    }
    if (WaitForSingleObject(lines->thread, timeoutMs) != WAIT_OBJECT_0) {
        fprintf(stderr, "bench_runner: the contender's output was not closed in time\n");
        CancelSynchronousIo(lines->thread);
        if (WaitForSingleObject(lines->thread, 5000) != WAIT_OBJECT_0) {
            // The thread still owns the buffers, so they are left to it for good.
            fprintf(stderr, "bench_runner: the output reader is stuck; left running\n");
            lines->abandoned = true;
        }
        return false;
    }
    CloseHandle(lines->thread);
    lines->thread = nullptr;
    return true;
}

void free_output_lines(OutputLines* lines) {
    if (lines->abandoned) {
        return;
    }
    if (lines->thread != nullptr) {
        CloseHandle(lines->thread);
    }
    if (lines->pipe != nullptr) {
        CloseHandle(lines->pipe);
    }
    free(lines->exits);
    *lines = OutputLines{};
}
