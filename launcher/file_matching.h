#pragma once

#include <cstddef>

// Which folder entries a wildcard pattern stands for, and in what order they are started.

// How much of the pattern names its folder: everything up to its last separator, or up to
// its drive's colon where it names a drive and no folder ("C:*.cmd").
size_t pattern_folder_length(const wchar_t* pattern);

// Whether a folder entry may stand for a command at all: neither the folder itself nor its
// parent ("." and ".."), nor a device's name ("nul.cmd" is NUL to Windows), and a name Windows
// allows, without any of \ / : * ? " < > | or a control character. Other systems can write such
// names on a shared drive, and Wine shows them as they are: a Windows path would take a '\' in
// one for a folder, and a quote or a line break in one would end the name in a command line or
// a report line.
bool is_usable_entry(const wchar_t* name);

// Whether name, a folder entry's long name, matches pattern, the pattern's last part: '*'
// stands for any run of units, '?' for exactly one, and every other unit for itself in either
// case. A final ".*" also matches a name without a dot, so "*.*" is every name, as Windows
// users write it. The platform's search also matches an entry's short 8.3 name ("*.exe"
// finds "tool.exe_old" as "TOOL~1.EXE"); this is what keeps only the names a user sees.
bool long_name_matches(const wchar_t* pattern, const wchar_t* name);

// A folder entry whose long name a pattern matched.
struct Match {
    wchar_t* name;  // with the pattern's folder before it, on the heap
    bool isFolder;
    bool isShared;  // another entry of the listing goes by the same name
};

// Sorts the count matches by the order NTFS keeps a folder in, ordinal and ignoring case,
// whatever order the file system gave them in. Names equal but for case follow by case, so
// the order is the same on every run.
void sort_matches(Match* matches, size_t count);

// Marks the sorted matches that go by one name without regard to case. A share served from
// another system, or Wine's view of a Unix folder, can list two entries under one name: names
// it cannot convert come out alike, and a folder can take a file's name. Such a name names no
// one file. Names that differ only in case name one file in most folders, and which one a
// case-sensitive folder opens for them is left to no chance either.
void mark_shared_names(Match* matches, size_t count);
