#pragma once

#include <cstddef>

#include "launch_settings.h"

// The longest command line CreateProcessW takes, in code units, terminator included.
constexpr size_t kCommandLineLimit = 32767;

// Whether the interpreter keeps folder, the launcher's current folder, as its own. It takes
// no network path for one ("CMD does not support UNC paths as current directories") and
// starts in the Windows folder instead. A "\\?\" path is taken for one it does not keep
// either: no page says it keeps one.
bool interpreter_keeps_folder(const wchar_t* folder);

// Writes the request's terminated command text into buffer, which has room for
// kCommandLineLimit code units. A command is written as received, after "cmd.exe /c "
// through the interpreter. A file's name that a pattern made is written so that the
// platform runs exactly that file: see command_text.cpp. Returns false, and writes nothing,
// when the text and its terminator would be longer than the platform takes (for a matched
// name through the interpreter, than the interpreter reads), or when the name cannot be
// handed over unchanged: through the interpreter, a name found from the current folder is
// refused unless currentFolderKept says the interpreter keeps that folder.
bool write_command_text(const ChildStartRequest& request, bool currentFolderKept, wchar_t* buffer);
