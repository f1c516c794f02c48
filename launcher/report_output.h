#pragma once

#include <windows.h>

#include <cstddef>

// Standard output as the launcher found it. A console gets the text as UTF-16 through
// the console itself; a file or a pipe gets it as UTF-8.
struct ReportOutput {
    HANDLE handle;
    bool isConsole;
};

ReportOutput open_report_output();

// Writes the pieces and a CRLF as one line, at once and unbuffered, so that a reader
// sees each line as soon as it is complete and no line is lost if the launcher dies.
void write_report_line(const ReportOutput& output, const wchar_t* const pieces[], size_t count);

// The same without the heap: each piece goes in runs of at most kStackLineUnits units, so a
// long line takes more than one write. What write_report_line falls back on when the heap
// has no room for a line longer than that.
void write_report_line_in_pieces(const ReportOutput& output, const wchar_t* const pieces[],
                                 size_t count);

// A line of at most this many UTF-16 units, its CRLF included, is put together on the stack.
constexpr size_t kStackLineUnits = 1024;

template <size_t Count>
void write_report_line(const ReportOutput& output, const wchar_t* const (&pieces)[Count]) {
    write_report_line(output, pieces, Count);
}

// A console write larger than the heap available to it fails whole, with
// ERROR_NOT_ENOUGH_MEMORY, and no size is named that always fits, so a line is handed
// over in chunks of at most this many UTF-16 units. Most lines fit in one.
constexpr size_t kConsoleChunkLimit = 8000;

// How many of the length units at text the next console write takes: all of them up to
// kConsoleChunkLimit, else as many as fit without splitting a surrogate pair.
size_t console_chunk_length(const wchar_t* text, size_t length);
