#pragma once

#include <cstddef>

// A command line being put together for CreateProcessW, which takes at most 32767
// characters and may write into it.
constexpr size_t kCommandLineCapacity = 32768;

struct CommandLine {
    wchar_t text[kCommandLineCapacity];
    size_t length;
    bool tooLong;  // something did not fit; the text holds what did
};

// Appends argument, with a blank before it unless the line is still empty.
void append_argument(CommandLine* line, const wchar_t* argument);
