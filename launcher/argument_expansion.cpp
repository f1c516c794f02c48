#include "argument_expansion.h"

#include <windows.h>

#include <cstdlib>
#include <cwchar>

#include "command_line_reading.h"
#include "file_matching.h"

namespace {

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

// Room in list for one more value and the null entry after it.
bool make_room(ArgumentList* list, size_t* capacity) {
    if (static_cast<size_t>(list->count) + 2 <= *capacity) {
        return true;
    }
    const size_t grown = *capacity * 2;
    auto* values = static_cast<wchar_t**>(realloc(list->values, grown * sizeof(wchar_t*)));
    if (values == nullptr) {
        return false;
    }
    list->values = values;
    auto* kinds = static_cast<ArgumentKind*>(realloc(list->kinds, grown * sizeof(ArgumentKind)));
    if (kinds == nullptr) {
        return false;  // both arrays stay valid; the capacity is still the smaller one's
    }
    list->kinds = kinds;
    *capacity = grown;
    return true;
}

// Takes value into list. False if value is null or memory runs out; value is released then.
bool append(ArgumentList* list, size_t* capacity, wchar_t* value, ArgumentKind kind) {
    if (value == nullptr || !make_room(list, capacity)) {
        free(value);
        return false;
    }
    list->values[list->count] = value;
    list->kinds[list->count] = kind;
    ++list->count;
    list->values[list->count] = nullptr;
    return true;
}

// The entries one pattern matched, in the order the listing gave them until sorted.
struct MatchList {
    Match* items;
    size_t count;
    size_t capacity;
};

// Takes name into matches. False if name is null or memory runs out; name is released then.
bool add_match(MatchList* matches, wchar_t* name, bool isFolder) {
    if (name == nullptr) {
        return false;
    }
    if (matches->count == matches->capacity) {
        const size_t grown = matches->capacity == 0 ? 16 : matches->capacity * 2;
        auto* items = static_cast<Match*>(realloc(matches->items, grown * sizeof(Match)));
        if (items == nullptr) {
            free(name);
            return false;
        }
        matches->items = items;
        matches->capacity = grown;
    }
    matches->items[matches->count] = Match{name, isFolder, false};
    ++matches->count;
    return true;
}

// Folders are listed too: one can go by the name of a file beside it.
bool list_matches(const wchar_t* pattern, MatchList* matches) {
    const size_t folder = pattern_folder_length(pattern);
    WIN32_FIND_DATAW entry;
    HANDLE search = FindFirstFileW(pattern, &entry);
    if (search == INVALID_HANDLE_VALUE) {
        return true;  // nothing matches, or the folder cannot be read
    }
    bool listed = true;
    do {
        if (is_usable_entry(entry.cFileName) &&
            long_name_matches(pattern + folder, entry.cFileName)) {
            const bool isFolder = (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
            listed = add_match(matches, join_text(pattern, folder, entry.cFileName), isFolder);
        }
        // FindNextFileW fails at the last entry, and on an error; the names end there.
    } while (listed && FindNextFileW(search, &entry) != FALSE);
    FindClose(search);
    return listed;
}

bool append_matches(ArgumentList* list, size_t* capacity, const wchar_t* pattern) {
    MatchList matches{};
    bool appended = list_matches(pattern, &matches);
    sort_matches(matches.items, matches.count);
    mark_shared_names(matches.items, matches.count);
    const int first = list->count;
    for (size_t i = 0; i < matches.count; ++i) {
        const Match& match = matches.items[i];
        // A folder is no command: the interpreter would try the extensions in PATHEXT on its
        // name first, and run "v1.2.bat" for the folder "v1.2".
        if (!appended || match.isFolder) {
            free(match.name);
            continue;
        }
        appended = append(list, capacity, match.name,
                          match.isShared ? ArgumentKind::kSharedFileName : ArgumentKind::kFileName);
    }
    free(matches.items);
    if (!appended) {
        return false;
    }
    if (list->count == first) {
        // Nothing matches, folders alone do, or the folder cannot be read: the argument stays
        // as given.
        return append(list, capacity, _wcsdup(pattern), ArgumentKind::kTyped);
    }
    return true;
}

}  // namespace

bool expand_unquoted_patterns(const wchar_t* commandLine, int count,
                              const wchar_t* const* arguments, ArgumentList* list) {
    const auto slots = static_cast<size_t>(count);
    size_t capacity = slots + 1;
    list->count = 0;
    list->values = static_cast<wchar_t**>(malloc(capacity * sizeof(wchar_t*)));
    list->kinds = static_cast<ArgumentKind*>(malloc(capacity * sizeof(ArgumentKind)));
    auto* isPattern = static_cast<bool*>(malloc(capacity * sizeof(bool)));
    if (list->values == nullptr || list->kinds == nullptr || isPattern == nullptr) {
        free(isPattern);
        release_argument_list(list);
        return false;
    }
    list->values[0] = nullptr;
    find_unquoted_patterns(commandLine, count, arguments, isPattern);
    for (int i = 0; i < count; ++i) {
        const bool appended =
            isPattern[i] ? append_matches(list, &capacity, arguments[i])
                         : append(list, &capacity, _wcsdup(arguments[i]), ArgumentKind::kTyped);
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
    free(list->kinds);
    list->values = nullptr;
    list->kinds = nullptr;
    list->count = 0;
}
