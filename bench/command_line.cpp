#include "command_line.h"

#include <cwchar>

void append_argument(CommandLine* line, const wchar_t* argument) {
    const size_t separator = line->length > 0 ? 1 : 0;
    const size_t length = wcslen(argument);
    if (line->length + separator + length >= kCommandLineCapacity) {
        line->tooLong = true;
        return;
    }
    if (separator > 0) {
        line->text[line->length++] = L' ';
    }
    wmemcpy(line->text + line->length, argument, length + 1);
    line->length += length;
}
