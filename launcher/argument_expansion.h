#pragma once

// The launcher expands wildcard patterns among its arguments itself, so that a quoted
// argument is always one command: "del *.tmp" must not turn into the names of matching
// files. Neither runtime leaves that to be relied on. Linked with wsetargv.obj,
// Microsoft's C runtime has expanded patterns inside double quotes too since Visual C++
// 2005; Wine's msvcrt.dll does the same for MinGW-w64's start-up, and no page says what
// Windows' own msvcrt.dll does.

#include <cstdint>

// Where an argument came from.
enum class ArgumentKind : uint8_t {
    // As the user gave it: a switch or a command.
    kTyped,
    // A file's name that a pattern made: never a switch nor a command line, and started as
    // exactly that file.
    kFileName,
    // A file's name that the folder listed for another entry too, case aside: it names no one
    // file, and nothing is started for it.
    kSharedFileName,
};

// An argument vector the launcher allocated: every string and both arrays are on the
// runtime heap, and values ends in a null entry.
struct ArgumentList {
    int count;
    wchar_t** values;
    ArgumentKind* kinds;  // one for each value
};

// Copies the count arguments the start-up made of commandLine into list, each unquoted
// pattern (command_line_reading.h) replaced by the files whose long names it matches
// (folders are no commands), sorted by name, with the pattern's folder before each name; a
// file whose name the folder lists for another entry too is kept as a kSharedFileName. A
// pattern that matches nothing stays as it is, a command like any other. False, with
// nothing left allocated, when memory runs out.
bool expand_unquoted_patterns(const wchar_t* commandLine, int count,
                              const wchar_t* const* arguments, ArgumentList* list);

void release_argument_list(ArgumentList* list);
