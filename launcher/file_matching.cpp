#include "file_matching.h"

#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <cwchar>

namespace {

bool same_unit(wchar_t patternUnit, wchar_t nameUnit) {
    return patternUnit == nameUnit ||
           CompareStringOrdinal(&patternUnit, 1, &nameUnit, 1, TRUE) == CSTR_EQUAL;
}

const wchar_t* skip_stars(const wchar_t* pattern) {
    while (*pattern == L'*') {
        ++pattern;
    }
    return pattern;
}

// Whether what is left of the pattern matches once the name has ended.
bool matches_the_end(const wchar_t* pattern) {
    pattern = skip_stars(pattern);
    if (pattern[0] == L'.' && pattern[1] == L'*') {
        pattern = skip_stars(pattern + 1);  // a final ".*": no extension at all
    }
    return *pattern == L'\0';
}

int compare_matches(const void* left, const void* right) {
    const wchar_t* leftName = static_cast<const Match*>(left)->name;
    const wchar_t* rightName = static_cast<const Match*>(right)->name;
    int order = CompareStringOrdinal(leftName, -1, rightName, -1, TRUE);
    if (order == CSTR_EQUAL) {
        order = CompareStringOrdinal(leftName, -1, rightName, -1, FALSE);
    }
    return order - CSTR_EQUAL;
}

// The names of devices, which Windows opens in place of a file of that name in any folder,
// whatever extension follows (Naming Files: "NUL.txt" is NUL), and COM and LPT with a
// superscript digit, which the page lists too. Trailing blanks before the extension are
// dropped as at the end of a name.
constexpr const wchar_t* kDeviceNames[] = {
    L"CON",       L"PRN",       L"AUX",  L"NUL",  L"COM1",      L"COM2",      L"COM3",
    L"COM4",      L"COM5",      L"COM6", L"COM7", L"COM8",      L"COM9",      L"COM\u00b9",
    L"COM\u00b2", L"COM\u00b3", L"LPT1", L"LPT2", L"LPT3",      L"LPT4",      L"LPT5",
    L"LPT6",      L"LPT7",      L"LPT8", L"LPT9", L"LPT\u00b9", L"LPT\u00b2", L"LPT\u00b3",
};

bool names_a_device(const wchar_t* name) {
    size_t base = wcscspn(name, L".");
    while (base > 0 && name[base - 1] == L' ') {
        --base;
    }
    return std::ranges::any_of(kDeviceNames, [&](const wchar_t* device) {
        return wcslen(device) == base && _wcsnicmp(name, device, base) == 0;
    });
}

}  // namespace

bool is_usable_entry(const wchar_t* name) {
    if (wcscmp(name, L".") == 0 || wcscmp(name, L"..") == 0 || names_a_device(name)) {
        return false;
    }
    for (; *name != L'\0'; ++name) {
        if (*name < L' ' || wcschr(L"\\/:*?\"<>|", *name) != nullptr) {
            return false;
        }
    }
    return true;
}

size_t pattern_folder_length(const wchar_t* pattern) {
    size_t length = 0;
    for (size_t i = 0; pattern[i] != L'\0'; ++i) {
        if (pattern[i] == L'\\' || pattern[i] == L'/' || pattern[i] == L':') {
            length = i + 1;
        }
    }
    return length;
}

bool long_name_matches(const wchar_t* pattern, const wchar_t* name) {
    // The last '*' seen and the place in the name it was tried at: on a mismatch it takes
    // one unit more, and nothing before it needs trying again.
    const wchar_t* afterStar = nullptr;
    const wchar_t* starTriedAt = nullptr;
    while (*name != L'\0') {
        if (*pattern == L'*') {
            afterStar = ++pattern;
            starTriedAt = name;
        } else if (*pattern != L'\0' && (*pattern == L'?' || same_unit(*pattern, *name))) {
            ++pattern;
            ++name;
        } else if (afterStar != nullptr) {
            pattern = afterStar;
            name = ++starTriedAt;
        } else {
            return false;
        }
    }
    return matches_the_end(pattern);
}

void sort_matches(Match* matches, size_t count) {
    if (count > 1) {
        qsort(matches, count, sizeof(matches[0]), compare_matches);
    }
}

// Sorted without regard to case first, names that are one name are neighbours. A comparison
// that fails counts as equal: a name wrongly refused runs nothing it should not.
void mark_shared_names(Match* matches, size_t count) {
    for (size_t i = 1; i < count; ++i) {
        const int order = CompareStringOrdinal(matches[i - 1].name, -1, matches[i].name, -1, TRUE);
        if (order != CSTR_LESS_THAN && order != CSTR_GREATER_THAN) {
            matches[i - 1].isShared = true;
            matches[i].isShared = true;
        }
    }
}
