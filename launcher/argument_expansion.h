#pragma once

// The launcher expands wildcard patterns among its arguments itself, so that a quoted
// argument is always one command: "del *.tmp" must not turn into the names of matching
// files. Neither runtime leaves that to be relied on. Linked with wsetargv.obj,
// Microsoft's C runtime has expanded patterns inside double quotes too since Visual C++
// 2005; Wine's msvcrt.dll does the same for MinGW-w64's start-up, and no page says what
// Windows' own msvcrt.dll does.

// An argument vector the launcher allocated: every string and both arrays are on the
// runtime heap, and values ends in a null entry.
struct ArgumentList {
    int count;
    wchar_t** values;
    // For each value, whether a pattern made it: then it is a file's name, never a switch and
    // never a command line, and it is started as exactly that file.
    bool* isFileName;
};

// Copies the count arguments the start-up made of commandLine into list, each unquoted
// pattern (command_line_reading.h) replaced by the files and folders whose long names it
// matches (but "." and ".."), sorted by name, with the pattern's folder before each name. A
// pattern that matches nothing stays as it is, a command like any other. False, with
// nothing left allocated, when memory runs out.
bool expand_unquoted_patterns(const wchar_t* commandLine, int count,
                              const wchar_t* const* arguments, ArgumentList* list);

void release_argument_list(ArgumentList* list);
