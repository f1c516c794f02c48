#include "report_output.h"

#include <cstdlib>
#include <cwchar>

namespace {

constexpr wchar_t kLineEnd[] = L"\r\n";
constexpr size_t kLineEndLength = 2;

bool is_high_surrogate(wchar_t unit) {
    return unit >= 0xD800 && unit <= 0xDBFF;
}

// How many of the length units at text fit in count units without splitting a surrogate pair.
size_t whole_characters(const wchar_t* text, size_t length, size_t count) {
    if (length <= count) {
        return length;
    }
    return is_high_surrogate(text[count - 1]) ? count - 1 : count;
}

bool ends_line(const wchar_t* text, size_t length) {
    return length >= kLineEndLength &&
           wmemcmp(text + length - kLineEndLength, kLineEnd, kLineEndLength) == 0;
}

// Output failures are not examined: there is nowhere better to report them. A line cut short
// by one still gets its line end, so that the next line does not run into what was written.
void write_console(HANDLE console, const wchar_t* text, size_t length) {
    for (size_t done = 0; done < length;) {
        const size_t chunk = console_chunk_length(text + done, length - done);
        DWORD written = 0;
        if (WriteConsoleW(console, text + done, static_cast<DWORD>(chunk), &written, nullptr) ==
                FALSE ||
            written == 0) {
            if (done > 0 && ends_line(text, length)) {
                // Only what is missing of it: the CR may have gone out already.
                const size_t lineEndDone =
                    done > length - kLineEndLength ? done - (length - kLineEndLength) : 0;
                WriteConsoleW(console, kLineEnd + lineEndDone,
                              static_cast<DWORD>(kLineEndLength - lineEndDone), &written, nullptr);
            }
            return;
        }
        done += written;
    }
}

void write_bytes(HANDLE file, const char* bytes, size_t length) {
    while (length > 0) {
        DWORD written = 0;
        if (WriteFile(file, bytes, static_cast<DWORD>(length), &written, nullptr) == FALSE ||
            written == 0) {
            return;
        }
        bytes += written;
        length -= written;
    }
}

// UTF-8 takes at most three bytes for one UTF-16 unit: four for a surrogate pair, and three
// for the replacement character that stands for a lone surrogate.
constexpr size_t kMostUtf8BytesPerUnit = 3;

// Returns false, having written nothing, when the bytes do not fit into bytes.
bool write_utf8_through(HANDLE file, const wchar_t* text, size_t length, char* bytes,
                        size_t capacity) {
    const int byteCount = WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), bytes,
                                              static_cast<int>(capacity), nullptr, nullptr);
    if (byteCount <= 0) {
        return false;
    }
    write_bytes(file, bytes, static_cast<size_t>(byteCount));
    return true;
}

// Where the heap has no room for a long line, it goes in pieces through the stack: all of it,
// in more than one write.
void write_utf8_in_pieces(HANDLE file, const wchar_t* text, size_t length) {
    char bytes[kStackLineUnits * kMostUtf8BytesPerUnit];
    while (length > 0) {
        const size_t piece = whole_characters(text, length, kStackLineUnits);
        write_utf8_through(file, text, piece, bytes, sizeof(bytes));
        text += piece;
        length -= piece;
    }
}

void write_utf8(HANDLE file, const wchar_t* text, size_t length) {
    if (length <= kStackLineUnits) {
        char bytes[kStackLineUnits * kMostUtf8BytesPerUnit];
        write_utf8_through(file, text, length, bytes, sizeof(bytes));
        return;
    }
    const size_t capacity = length * kMostUtf8BytesPerUnit;
    char* bytes = static_cast<char*>(malloc(capacity));
    if (bytes == nullptr) {
        write_utf8_in_pieces(file, text, length);
        return;
    }
    write_utf8_through(file, text, length, bytes, capacity);
    free(bytes);
}

void write_text(const ReportOutput& output, const wchar_t* text, size_t length) {
    if (output.isConsole) {
        write_console(output.handle, text, length);
    } else {
        write_utf8(output.handle, text, length);
    }
}

void write_text_in_pieces(const ReportOutput& output, const wchar_t* text, size_t length) {
    if (output.isConsole) {
        write_console(output.handle, text, length);
    } else {
        write_utf8_in_pieces(output.handle, text, length);
    }
}

}  // namespace

size_t console_chunk_length(const wchar_t* text, size_t length) {
    // The console would show each half of a split surrogate pair as a character of its own.
    return whole_characters(text, length, kConsoleChunkLimit);
}

ReportOutput open_report_output() {
    ReportOutput output{};
    output.handle = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    output.isConsole = GetConsoleMode(output.handle, &mode) != 0;
    return output;
}

void write_report_line_in_pieces(const ReportOutput& output, const wchar_t* const pieces[],
                                 size_t count) {
    for (size_t i = 0; i < count; ++i) {
        write_text_in_pieces(output, pieces[i], wcslen(pieces[i]));
    }
    write_text_in_pieces(output, kLineEnd, kLineEndLength);
}

void write_report_line(const ReportOutput& output, const wchar_t* const pieces[], size_t count) {
    size_t length = kLineEndLength;
    for (size_t i = 0; i < count; ++i) {
        length += wcslen(pieces[i]);
    }
    // An ordinary line needs no heap, so that no shortage of memory loses it.
    wchar_t onStack[kStackLineUnits];
    wchar_t* line = length <= kStackLineUnits
                        ? onStack
                        : static_cast<wchar_t*>(malloc(length * sizeof(wchar_t)));
    if (line == nullptr) {
        write_report_line_in_pieces(output, pieces, count);
        return;
    }
    wchar_t* end = line;
    for (size_t i = 0; i < count; ++i) {
        const size_t pieceLength = wcslen(pieces[i]);
        wmemcpy(end, pieces[i], pieceLength);
        end += pieceLength;
    }
    wmemcpy(end, kLineEnd, kLineEndLength);
    write_text(output, line, length);
    if (line != onStack) {
        free(line);
    }
}
