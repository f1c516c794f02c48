#pragma once

// The launcher expands wildcard patterns among its arguments itself, so that a quoted
// argument is always one command: "del *.tmp" must not turn into the names of matching
// files. Neither runtime leaves that to be relied on. Linked with wsetargv.obj,
// Microsoft's C runtime has expanded patterns inside double quotes too since Visual C++
// 2005; Wine's msvcrt.dll does the same for MinGW-w64's start-up, and no page says what
// Windows' own msvcrt.dll does.

// For each of count arguments, whether it is an unquoted pattern: the command line, read
// by the runtime's rules for splitting it, gives exactly that argument's text, no double
// quote of its own delimits any part of it, and it holds a '*' or a '?'. An argument that
// the reading here does not give back exactly is never taken for a pattern. Entry 0, the
// program's own name, never is either.
void find_unquoted_patterns(const wchar_t* commandLine, int count, const wchar_t* const* arguments,
                            bool* isPattern);

// An argument vector the launcher allocated: every string and the array itself are on the
// runtime heap, and the array ends in a null entry.
struct ArgumentList {
    int count;
    wchar_t** values;
};

// Copies the count arguments the start-up made of commandLine into list, each unquoted
// pattern replaced by the files and folders it matches (but "." and ".."), with the
// pattern's folder before each name, in the order the file system gives them. A pattern
// that matches nothing stays as it is. False, with nothing left allocated, when memory
// runs out.
bool expand_unquoted_patterns(const wchar_t* commandLine, int count,
                              const wchar_t* const* arguments, ArgumentList* list);

void release_argument_list(ArgumentList* list);
