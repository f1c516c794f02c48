#include "argument_expansion.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

std::vector<const wchar_t*> pointers_to(const std::vector<std::wstring>& arguments) {
    std::vector<const wchar_t*> pointers;
    for (const std::wstring& argument : arguments) {
        pointers.push_back(argument.c_str());
    }
    return pointers;
}

// The start-up's arguments are given as the runtime makes them of each command line; the
// examples with quotes and backslashes follow the rules on "Parsing C command-line
// arguments".
TEST(ArgumentExpansionTest, OnlyAPatternThatNoQuoteOfItsOwnDelimitsIsExpandable) {
    struct Case {
        std::wstring commandLine;
        std::vector<std::wstring> arguments;  // after the program's name
        std::vector<bool> isPattern;
    };
    const Case cases[] = {
        {L"q.exe *.dat ?x plain", {L"*.dat", L"?x", L"plain"}, {true, true, false}},
        {L"q.exe \"*.dat\"", {L"*.dat"}, {false}},
        {L"q.exe \"del *.tmp\" *.tmp", {L"del *.tmp", L"*.tmp"}, {false, true}},
        {L"q.exe a\"*\".dat", {L"a*.dat"}, {false}},
        {L"q.exe a\\\"*.dat", {L"a\"*.dat"}, {true}},
        {L"q.exe a\\\\\"b *\"c *", {L"a\\b *c", L"*"}, {false, true}},
        {L"q.exe a\\\\b\\*.dat", {L"a\\\\b\\*.dat"}, {true}},
        {L"\"C:\\Program Files\\q.exe\"  \t*.dat\t--no-shl  ",
         {L"*.dat", L"--no-shl"},
         {true, false}},
        {L"q.exe a\"b\"\" *.c d", {L"ab\"", L"*.c", L"d"}, {false, true, false}},
        {L"q.exe \"\" *", {L"", L"*"}, {false, true}},
        {L"q.exe \"*.dat", {L"*.dat"}, {false}},
        // Where the reading here and the start-up's differ, nothing after is trusted.
        {L"q.exe x *.dat", {L"y", L"*.dat"}, {false, false}},
        {L"q.exe *.dat", {L"*.dat", L"*.txt"}, {true, false}},
        {L"q.exe *.dat *.txt", {L"*.dat"}, {true}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(to_utf8(c.commandLine));
        std::vector<std::wstring> arguments = {L"q.exe"};
        arguments.insert(arguments.end(), c.arguments.begin(), c.arguments.end());
        const std::vector<const wchar_t*> pointers = pointers_to(arguments);
        bool found[8] = {};
        const auto count = static_cast<int>(pointers.size());
        find_unquoted_patterns(c.commandLine.c_str(), count, pointers.data(), found);
        EXPECT_FALSE(found[0]);
        EXPECT_EQ(std::vector<bool>(found + 1, found + count), c.isPattern);
    }
}

std::vector<std::wstring> expanded(const std::wstring& tail, const std::wstring& argument) {
    const std::wstring commandLine = L"q.exe " + tail;
    const wchar_t* const arguments[] = {L"q.exe", argument.c_str()};
    ArgumentList list{};
    if (!expand_unquoted_patterns(commandLine.c_str(), 2, arguments, &list)) {
        return {L"(out of memory)"};
    }
    std::vector<std::wstring> values(list.values, list.values + list.count);
    const bool terminated = list.values[list.count] == nullptr;
    release_argument_list(&list);
    if (!terminated) {
        return {L"(no null entry after the last)"};
    }
    std::sort(values.begin() + 1, values.end());  // the file system's order is its own
    return values;
}

TEST(ArgumentExpansionTest, APatternBecomesTheNamesItMatchesInItsFolder) {
    ScratchFolder folder;
    ASSERT_TRUE(CreateDirectoryW(folder.file(L"empty").c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW(folder.file(L"a.dir").c_str(), nullptr));
    for (const wchar_t* name : {L"one.dat", L"two.dat", L"x y.dat"}) {
        CloseHandle(CreateFileW(folder.file(name).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    }
    const std::wstring at = folder.path + L"\\";
    struct Case {
        std::wstring tail;  // the command line after the program's name
        std::wstring argument;
        std::vector<std::wstring> values;  // after the program's name, sorted
    };
    const Case cases[] = {
        {at + L"*.dat", at + L"*.dat", {at + L"one.dat", at + L"two.dat", at + L"x y.dat"}},
        {at + L"?ne.dat", at + L"?ne.dat", {at + L"one.dat"}},
        {at + L"*.dir", at + L"*.dir", {at + L"a.dir"}},
        {L"\"" + at + L"*.dat\"", at + L"*.dat", {at + L"*.dat"}},
        {at + L"*.none", at + L"*.none", {at + L"*.none"}},
        // A folder's own entries, "." and "..", are no commands.
        {at + L"empty\\*", at + L"empty\\*", {at + L"empty\\*"}},
        {at + L"one.dat", at + L"one.dat", {at + L"one.dat"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(to_utf8(c.tail));
        std::vector<std::wstring> values = {L"q.exe"};
        values.insert(values.end(), c.values.begin(), c.values.end());
        EXPECT_EQ(expanded(c.tail, c.argument), values);
    }
}

}  // namespace
