#include "report_output.h"

#include <cstdlib>
#include <cwchar>

namespace {

constexpr wchar_t kLineEnd[] = L"\r\n";
constexpr size_t kLineEndLength = 2;

bool is_high_surrogate(wchar_t unit) {
    return unit >= 0xD800 && unit <= 0xDBFF;
}

// Output failures are not examined: there is nowhere better to report them.
void write_console(HANDLE console, const wchar_t* text, size_t length) {
    while (length > 0) {
        const size_t chunk = console_chunk_length(text, length);
        DWORD written = 0;
        if (WriteConsoleW(console, text, static_cast<DWORD>(chunk), &written, nullptr) == FALSE ||
            written == 0) {
            return;
        }
        text += written;
        length -= written;
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

void write_utf8(HANDLE file, const wchar_t* text, size_t length) {
    const int byteCount = WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), nullptr,
                                              0, nullptr, nullptr);
    if (byteCount <= 0) {
        return;
    }
    char* bytes = static_cast<char*>(malloc(byteCount));
    if (bytes == nullptr) {
        return;
    }
    if (WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), bytes, byteCount, nullptr,
                            nullptr) == byteCount) {
        write_bytes(file, bytes, byteCount);
    }
    free(bytes);
}

}  // namespace

size_t console_chunk_length(const wchar_t* text, size_t length) {
    if (length <= kConsoleChunkLimit) {
        return length;
    }
    // The chunk must not end between the two halves of a surrogate pair: the console
    // would show each half as a character of its own.
    return is_high_surrogate(text[kConsoleChunkLimit - 1]) ? kConsoleChunkLimit - 1
                                                           : kConsoleChunkLimit;
}

ReportOutput open_report_output() {
    ReportOutput output{};
    output.handle = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    output.isConsole = GetConsoleMode(output.handle, &mode) != 0;
    return output;
}

void write_report_line(const ReportOutput& output, const wchar_t* const pieces[], size_t count) {
    size_t length = kLineEndLength;
    for (size_t i = 0; i < count; ++i) {
        length += wcslen(pieces[i]);
    }
    auto* line = static_cast<wchar_t*>(malloc(length * sizeof(wchar_t)));
    if (line == nullptr) {
        return;
    }
    wchar_t* end = line;
    for (size_t i = 0; i < count; ++i) {
        const size_t pieceLength = wcslen(pieces[i]);
        wmemcpy(end, pieces[i], pieceLength);
        end += pieceLength;
    }
    wmemcpy(end, kLineEnd, kLineEndLength);

    if (output.isConsole) {
        write_console(output.handle, line, length);
    } else {
        write_utf8(output.handle, line, length);
    }
    free(line);
}
