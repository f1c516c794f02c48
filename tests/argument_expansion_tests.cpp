#include "argument_expansion.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_support.h"

namespace {

struct Expansion {
    std::vector<std::wstring> values;  // after the program's name, in order
    std::vector<ArgumentKind> kinds;
};

// Expands the one argument the command line "q.exe TAIL" gives.
Expansion expanded(const std::wstring& tail, const std::wstring& argument) {
    const std::wstring commandLine = L"q.exe " + tail;
    const wchar_t* const arguments[] = {L"q.exe", argument.c_str()};
    ArgumentList list{};
    if (!expand_unquoted_patterns(commandLine.c_str(), 2, arguments, &list)) {
        return {{L"(out of memory)"}, {}};
    }
    Expansion result{std::vector<std::wstring>(list.values + 1, list.values + list.count),
                     std::vector<ArgumentKind>(list.kinds + 1, list.kinds + list.count)};
    const bool terminated = list.values[list.count] == nullptr;
    const bool nameKept = list.count > 0 && std::wstring(list.values[0]) == L"q.exe";
    release_argument_list(&list);
    if (!terminated || !nameKept) {
        return {{L"(no null entry after the last, or the program's name lost)"}, {}};
    }
    return result;
}

void create_files(const ScratchFolder& folder, const std::vector<std::wstring>& names) {
    for (const std::wstring& name : names) {
        CloseHandle(CreateFileW(folder.file(name).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    }
}

TEST(ArgumentExpansionTest, APatternBecomesTheNamesItMatchesInItsFolderSortedByName) {
    ScratchFolder folder;
    ASSERT_TRUE(CreateDirectoryW(folder.file(L"empty").c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW(folder.file(L"a.dir").c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW(folder.file(L"v1.2").c_str(), nullptr));
    // Written in an order of their own, which some file systems give back as it is.
    create_files(folder, {L"two.dat", L"x y.dat", L"One.dat", L"_u.dat", L"old.exe",
                          L"oldtool.exe_disabled", L"Makefile", L"v1.x"});
    const std::wstring at = folder.path + L"\\";
    struct Case {
        std::wstring tail;  // the command line after the program's name
        std::wstring argument;
        std::vector<std::wstring> values;  // in order
        bool areFileNames;
    };
    const Case cases[] = {
        {at + L"*.dat",
         at + L"*.dat",
         {at + L"One.dat", at + L"two.dat", at + L"x y.dat", at + L"_u.dat"},
         true},
        {at + L"?ne.dat", at + L"?ne.dat", {at + L"One.dat"}, true},
        // Folders are no commands: "v1.?" is the file alone, "*.dir" nothing.
        {at + L"v1.?", at + L"v1.?", {at + L"v1.x"}, true},
        {at + L"*.dir", at + L"*.dir", {at + L"*.dir"}, false},
        {at + L"o*.exe", at + L"o*.exe", {at + L"old.exe"}, true},
        {at + L"make*.*", at + L"make*.*", {at + L"Makefile"}, true},
        {L"\"" + at + L"*.dat\"", at + L"*.dat", {at + L"*.dat"}, false},
        {at + L"*.none", at + L"*.none", {at + L"*.none"}, false},
        // A folder's own entries, "." and "..", are no commands.
        {at + L"empty\\*", at + L"empty\\*", {at + L"empty\\*"}, false},
        {at + L"One.dat", at + L"One.dat", {at + L"One.dat"}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(to_utf8(c.tail));
        const Expansion expansion = expanded(c.tail, c.argument);
        EXPECT_EQ(expansion.values, c.values);
        EXPECT_EQ(expansion.kinds, std::vector<ArgumentKind>(
                                       c.values.size(), c.areFileNames ? ArgumentKind::kFileName
                                                                       : ArgumentKind::kTyped));
    }
}

// "C:*.cmd" names the files in drive C's current folder, and so must every match.
TEST(ArgumentExpansionTest, APatternOnADriveKeepsTheDrive) {
    ScratchFolder folder;
    create_files(folder, {L"b.dat", L"a.dat"});
    wchar_t before[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, before);
    ASSERT_TRUE(SetCurrentDirectoryW(folder.path.c_str()));
    const std::wstring pattern = folder.path.substr(0, 2) + L"*.dat";
    const Expansion expansion = expanded(pattern, pattern);
    SetCurrentDirectoryW(before);
    const std::wstring drive = folder.path.substr(0, 2);
    EXPECT_EQ(expansion.values, (std::vector<std::wstring>{drive + L"a.dat", drive + L"b.dat"}));
}

}  // namespace
