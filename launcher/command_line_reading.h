#pragma once

// Reads the launcher's own command line the way the runtime's start-up splits it, to tell
// which of the arguments it gave are unquoted wildcard patterns: a quoted argument is always
// one command, whatever it holds.

// For each of count arguments, whether it is an unquoted pattern: the command line, read by
// the runtime's rules for splitting it, gives exactly that argument's text and every one
// before it (the program's name included), no double quote of its own delimits any part of
// it, and it holds a '*' or a '?'. Runtimes differ on two double quotes inside quotes; an
// argument is a pattern only where every reading that has given the start-up's arguments
// back so far agrees, and nothing is one once no reading does. Entry 0, the program's own
// name, never is.
void find_unquoted_patterns(const wchar_t* commandLine, int count, const wchar_t* const* arguments,
                            bool* isPattern);
