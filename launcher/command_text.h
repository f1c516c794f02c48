#pragma once

#include <cstddef>

#include "launch_settings.h"

// The longest command line CreateProcessW takes, in code units, terminator included.
constexpr size_t kCommandLineLimit = 32767;

// Writes the request's terminated command text into buffer, which has room for
// kCommandLineLimit code units. A command is written as received, after "cmd.exe /c "
// through the interpreter. A file's name that a pattern made is written so that the
// platform runs exactly that file: see command_text.cpp. Returns false, and writes nothing,
// when the text and its terminator would be longer than the platform takes (for a matched
// name through the interpreter, than the interpreter reads), or when the name cannot be
// handed over unchanged.
bool write_command_text(const ChildStartRequest& request, wchar_t* buffer);

// Whether name ends in ".bat" or ".cmd", in any case: a batch file, which the platform
// runs only through the interpreter.
bool is_batch_file(const wchar_t* name);
