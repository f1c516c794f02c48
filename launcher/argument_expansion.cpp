#include "argument_expansion.h"

#include <windows.h>

#include <cstdlib>
#include <cwchar>

namespace {

bool is_blank(wchar_t c) {
    return c == L' ' || c == L'\t';
}

const wchar_t* skip_blanks(const wchar_t* at) {
    while (is_blank(*at)) {
        ++at;
    }
    return at;
}

// The program's name ends at the first blank outside double quotes. The quotes are not
// part of it, and backslashes mean nothing there.
const wchar_t* skip_program_name(const wchar_t* at) {
    bool inQuotes = false;
    for (; *at != L'\0' && (inQuotes || !is_blank(*at)); ++at) {
        if (*at == L'"') {
            inQuotes = !inQuotes;
        }
    }
    return at;
}

// One argument read from the command line and compared, unit by unit, with the one the
// start-up gave.
struct ArgumentReading {
    const wchar_t* expected;  // what the start-up's argument still has to give
    bool matches;
    bool quoted;  // a double quote of its own delimited part of it
};

void read_unit(ArgumentReading* reading, wchar_t unit) {
    if (reading->matches && *reading->expected == unit) {
        ++reading->expected;
    } else {
        reading->matches = false;
    }
}

void read_backslashes(ArgumentReading* reading, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        read_unit(reading, L'\\');
    }
}

// The runtime's rules: a blank outside double quotes ends an argument; backslashes are
// literal unless a double quote follows them, when each pair gives one backslash and an
// odd one makes the quote literal; within quotes, two double quotes give one literal
// quote. Returns where the argument ends.
const wchar_t* read_argument(const wchar_t* at, ArgumentReading* reading) {
    bool inQuotes = false;
    while (*at != L'\0' && (inQuotes || !is_blank(*at))) {
        size_t backslashes = 0;
        while (at[backslashes] == L'\\') {
            ++backslashes;
        }
        if (at[backslashes] != L'"') {
            read_backslashes(reading, backslashes);
            at += backslashes;
            if (backslashes == 0) {
                read_unit(reading, *at);
                ++at;
            }
            continue;
        }
        read_backslashes(reading, backslashes / 2);
        at += backslashes;
        if (backslashes % 2 == 1) {
            read_unit(reading, L'"');
            ++at;
        } else if (inQuotes && at[1] == L'"') {
            read_unit(reading, L'"');
            at += 2;
            inQuotes = false;
        } else {
            inQuotes = !inQuotes;
            reading->quoted = true;
            ++at;
        }
    }
    if (*reading->expected != L'\0') {
        reading->matches = false;
    }
    return at;
}

wchar_t* join_text(const wchar_t* folder, size_t folderLength, const wchar_t* name) {
    const size_t nameLength = wcslen(name);
    auto* text = static_cast<wchar_t*>(malloc((folderLength + nameLength + 1) * sizeof(wchar_t)));
    if (text == nullptr) {
        return nullptr;
    }
    wmemcpy(text, folder, folderLength);
    wmemcpy(text + folderLength, name, nameLength + 1);
    return text;
}

// Takes value into list, growing its array as needed (the null entry after the last one
// included). False if value is null or memory runs out; value is released then.
bool append(ArgumentList* list, size_t* capacity, wchar_t* value) {
    if (value == nullptr) {
        return false;
    }
    if (static_cast<size_t>(list->count) + 2 > *capacity) {
        const size_t grown = *capacity * 2;
        auto* values = static_cast<wchar_t**>(realloc(list->values, grown * sizeof(wchar_t*)));
        if (values == nullptr) {
            free(value);
            return false;
        }
        list->values = values;
        *capacity = grown;
    }
    list->values[list->count] = value;
    ++list->count;
    list->values[list->count] = nullptr;
    return true;
}

// How much of the pattern names its folder: everything up to its last separator.
size_t folder_length(const wchar_t* pattern) {
    size_t length = 0;
    for (size_t i = 0; pattern[i] != L'\0'; ++i) {
        if (pattern[i] == L'\\' || pattern[i] == L'/' || pattern[i] == L':') {
            length = i + 1;
        }
    }
    return length;
}

// A command per folder entry that stands for the folder itself or its parent would run
// nothing anyone named.
bool is_dot_entry(const wchar_t* name) {
    return wcscmp(name, L".") == 0 || wcscmp(name, L"..") == 0;
}

bool append_matches(ArgumentList* list, size_t* capacity, const wchar_t* pattern) {
    WIN32_FIND_DATAW entry;
    HANDLE search = FindFirstFileW(pattern, &entry);
    if (search == INVALID_HANDLE_VALUE) {
        // Nothing matches, or the folder cannot be read: the argument stays as given.
        return append(list, capacity, _wcsdup(pattern));
    }
    const int before = list->count;
    const size_t folder = folder_length(pattern);
    bool appended = true;
    do {
        if (!is_dot_entry(entry.cFileName)) {
            appended = append(list, capacity, join_text(pattern, folder, entry.cFileName));
        }
        // FindNextFileW fails at the last entry, and on an error; the names end there.
    } while (appended && FindNextFileW(search, &entry) != FALSE);
    FindClose(search);
    if (appended && list->count == before) {
        appended = append(list, capacity, _wcsdup(pattern));
    }
    return appended;
}

}  // namespace

void find_unquoted_patterns(const wchar_t* commandLine, int count, const wchar_t* const* arguments,
                            bool* isPattern) {
    for (int i = 0; i < count; ++i) {
        isPattern[i] = false;
    }
    const wchar_t* at = skip_program_name(commandLine);
    for (int i = 1; i < count; ++i) {
        at = skip_blanks(at);
        if (*at == L'\0') {
            return;
        }
        ArgumentReading reading{arguments[i], true, false};
        at = read_argument(at, &reading);
        // Past a reading that differs from the start-up's, the two may not even agree on
        // where an argument begins.
        if (!reading.matches) {
            return;
        }
        isPattern[i] = !reading.quoted && wcspbrk(arguments[i], L"*?") != nullptr;
    }
}

bool expand_unquoted_patterns(const wchar_t* commandLine, int count,
                              const wchar_t* const* arguments, ArgumentList* list) {
    const auto slots = static_cast<size_t>(count);
    size_t capacity = slots + 1;
    list->count = 0;
    list->values = static_cast<wchar_t**>(malloc(capacity * sizeof(wchar_t*)));
    auto* isPattern = static_cast<bool*>(malloc(capacity * sizeof(bool)));
    if (list->values == nullptr || isPattern == nullptr) {
        free(list->values);
        list->values = nullptr;
        free(isPattern);
        return false;
    }
    list->values[0] = nullptr;
    find_unquoted_patterns(commandLine, count, arguments, isPattern);
    for (int i = 0; i < count; ++i) {
        const bool appended = isPattern[i] ? append_matches(list, &capacity, arguments[i])
                                           : append(list, &capacity, _wcsdup(arguments[i]));
        if (!appended) {
            free(isPattern);
            release_argument_list(list);
            return false;
        }
    }
    free(isPattern);
    return true;
}

void release_argument_list(ArgumentList* list) {
    if (list->values != nullptr) {
        for (int i = 0; i < list->count; ++i) {
            free(list->values[i]);
        }
        free(list->values);
    }
    list->values = nullptr;
    list->count = 0;
}
