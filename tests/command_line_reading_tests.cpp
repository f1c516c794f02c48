#include "command_line_reading.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_support.h"

namespace {

// The start-up's arguments are given as a runtime makes them of each command line; the
// examples with quotes and backslashes follow the rules on "Parsing C command-line
// arguments", under either rule for two double quotes inside quotes.
TEST(CommandLineReadingTest, OnlyAPatternThatNoQuoteOfItsOwnDelimitsIsExpandable) {
    struct Case {
        std::wstring commandLine;
        std::vector<std::wstring> arguments;  // the program's name first
        std::vector<bool> isPattern;          // after the program's name
    };
    const Case cases[] = {
        {L"q.exe *.dat ?x plain", {L"q.exe", L"*.dat", L"?x", L"plain"}, {true, true, false}},
        {L"q.exe \"*.dat\"", {L"q.exe", L"*.dat"}, {false}},
        {L"q.exe \"del *.tmp\" *.tmp", {L"q.exe", L"del *.tmp", L"*.tmp"}, {false, true}},
        {L"q.exe a\"*\".dat", {L"q.exe", L"a*.dat"}, {false}},
        {L"q.exe a\\\"*.dat", {L"q.exe", L"a\"*.dat"}, {true}},
        // Three backslashes: one, and a literal quote.
        {L"q.exe a\\\\\\\"b *.c", {L"q.exe", L"a\\\"b", L"*.c"}, {false, true}},
        {L"q.exe a\\\\\"b *\"c *", {L"q.exe", L"a\\b *c", L"*"}, {false, true}},
        {L"q.exe a\\\\b\\*.dat", {L"q.exe", L"a\\\\b\\*.dat"}, {true}},
        {L"\"C:\\Program Files\\q.exe\"  \t*.dat\t--no-shl  ",
         {L"C:\\Program Files\\q.exe", L"*.dat", L"--no-shl"},
         {true, false}},
        {L"q.exe \"\" *", {L"q.exe", L"", L"*"}, {false, true}},
        {L"q.exe \"*.dat", {L"q.exe", L"*.dat"}, {false}},
        // Two quotes inside quotes, read by the runtime that stays inside the quotes after
        // them, and by the one that leaves them.
        {L"q.exe \"a\"\"b *.c\" *.d", {L"q.exe", L"a\"b *.c", L"*.d"}, {false, true}},
        {L"q.exe \"a\"\"b *.c\" *.d", {L"q.exe", L"a\"b", L"*.c *.d"}, {false, false}},
        {L"q.exe a\"b\"\" *.c d", {L"q.exe", L"ab\"", L"*.c", L"d"}, {false, true, false}},
        {L"q.exe a\"b\"\" *.c d", {L"q.exe", L"ab\" *.c d"}, {false}},
        {L"q.exe \"x \"\"y\"\" z\" *.c", {L"q.exe", L"x \"y\" z", L"*.c"}, {false, true}},
        // Where the reading here and the start-up's differ, nothing after is trusted: not
        // even the first argument when the program's name differs.
        {L"q.exe x *.dat", {L"q.exe", L"y", L"*.dat"}, {false, false}},
        {L"q.exe *.dat", {L"q.exe", L"*.dat", L"*.txt"}, {true, false}},
        {L"q.exe *.dat *.txt", {L"q.exe", L"*.dat"}, {true}},
        {L"p.exe *.dat", {L"q.exe", L"*.dat"}, {false}},
        {L"p\\\" \"*.cmd\" x\\\"", {L"p\"", L"*.cmd", L"x\""}, {false, false}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(to_utf8(c.commandLine));
        std::vector<const wchar_t*> arguments;
        for (const std::wstring& argument : c.arguments) {
            arguments.push_back(argument.c_str());
        }
        bool found[8] = {};
        const auto count = static_cast<int>(arguments.size());
        find_unquoted_patterns(c.commandLine.c_str(), count, arguments.data(), found);
        EXPECT_FALSE(found[0]);
        EXPECT_EQ(std::vector<bool>(found + 1, found + count), c.isPattern);
    }
}

}  // namespace
