#include "file_matching.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_support.h"

namespace {

TEST(FileMatchingTest, AnEntryMatchesByItsLongNameAlone) {
    struct Case {
        const wchar_t* pattern;
        const wchar_t* name;
        bool matches;
    };
    const Case cases[] = {
        {L"*.exe", L"x.exe", true},
        // What the platform's search finds by a short name alone ("OLDT~1.EXE").
        {L"*.exe", L"oldtool.exe_disabled", false},
        {L"*.cmd", L"deploy.cmdline", false},
        {L"?.txt", L"a.txt", true},
        {L"?.txt", L"ab.txt", false},
        {L"?.txt", L".txt", false},
        {L"*.tx?", L"a.txt", true},
        {L"*.EXE", L"Tool.exe", true},
        {L"\u00c9T\u00c9*", L"\u00e9t\u00e9.txt", true},
        {L"a*b*c", L"aXbYc", true},
        {L"a*b*c", L"aXbYcZ", false},
        {L"*a", L"aa", true},
        {L"*", L"x", true},
        // A final ".*" also stands for no extension at all, as Windows users write it.
        {L"*.*", L"Makefile", true},
        {L"*.*", L"a.b.c", true},
        {L"tool.*", L"tool", true},
        {L"tool.*", L"toolbox", false},
        {L"tool*.*", L"tool", true},
        {L"?*.*", L"A", true},
        {L"*.", L"tool", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(long_name_matches(c.pattern, c.name), c.matches)
            << to_utf8(c.pattern) << " against " << to_utf8(c.name);
    }
}

// Names that only other systems write: a Windows path would read them otherwise, and in a
// command or a report line they could end the name.
TEST(FileMatchingTest, OnlyAnEntryWithANameWindowsAllowsStandsForACommand) {
    const struct {
        const wchar_t* name;
        bool usable;
    } cases[] = {
        {L"x.cmd", true},
        {L"a b&c(d)!%.cmd", true},
        {L"\u00e9\U0001F600.cmd", true},
        {L".", false},
        {L"..", false},
        {L"...", true},
        {L"x\" & y.cmd", false},
        {L"bs\\z.cmd", false},
        {L"w/..", false},
        {L"a:b", false},
        {L"a*b", false},
        {L"a?b", false},
        {L"a<b", false},
        {L"a>b", false},
        {L"a|b", false},
        {L"z\r\nrun [x]", false},
        {L"tab\tx", false},
        {L"\x1f", false},
        // Line separators and a right-to-left override are allowed, and shown as they are.
        {L"a\u0085\u2028\u2029\u202e.cmd", true},
        // Devices, with or without an extension.
        {L"nul.cmd", false},
        {L"NUL", false},
        {L"Con.tar.gz", false},
        {L"aux .exe", false},
        {L"com1.bat", false},
        {L"LPT9.cmd", false},
        {L"com\u00b2.cmd", false},
        {L"nullx.cmd", true},
        {L"com10.cmd", true},
        {L"com0.cmd", true},
        {L"lpt0.cmd", true},
        {L"xcon.cmd", true},
        {L".nul", true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(is_usable_entry(c.name), c.usable) << to_utf8(c.name);
    }
}

TEST(FileMatchingTest, APatternsFolderEndsAtItsLastSeparatorOrItsDrive) {
    const struct {
        const wchar_t* pattern;
        size_t folderLength;
    } cases[] = {{L"*.cmd", 0},        {L"m\\*.cmd", 2}, {L"C:*.cmd", 2},
                 {L"C:\\m\\*.cmd", 5}, {L"sub/*.x", 4},  {L"a\\b/c*", 4}};
    for (const auto& c : cases) {
        EXPECT_EQ(pattern_folder_length(c.pattern), c.folderLength) << to_utf8(c.pattern);
    }
}

// NTFS keeps a folder in the order of its names in upper case: '_' comes after the letters.
TEST(FileMatchingTest, MatchesAreSortedAsNtfsKeepsThem) {
    std::vector<std::wstring> names = {L"b.cmd", L"_x.cmd", L"a.cmd",        L"\u00e9.cmd",
                                       L"Z.cmd", L"A.cmd",  L"[.cmd",        L"10.cmd",
                                       L"9.cmd", L"B.CMD",  L"build all.cmd"};
    std::vector<Match> matches;
    for (std::wstring& name : names) {
        matches.push_back({name.data(), false, false});
    }
    sort_matches(matches.data(), matches.size());
    std::vector<std::wstring> sorted;
    for (const Match& match : matches) {
        sorted.emplace_back(match.name);
    }
    EXPECT_EQ(sorted, (std::vector<std::wstring>{L"10.cmd", L"9.cmd", L"A.cmd", L"a.cmd", L"B.CMD",
                                                 L"b.cmd", L"build all.cmd", L"Z.cmd", L"[.cmd",
                                                 L"_x.cmd", L"\u00e9.cmd"}));
}

// Names that are one without regard to case name no one entry, wherever the listing gave them.
TEST(FileMatchingTest, NamesThatAreOneWithoutRegardToCaseAreMarkedShared) {
    const struct {
        std::vector<std::wstring> listed;
        std::vector<std::wstring> sharedOnes;  // in order, once sorted
    } cases[] = {
        {{L"a\uFFFD.cmd", L"b.cmd", L"a\uFFFD.cmd"}, {L"a\uFFFD.cmd", L"a\uFFFD.cmd"}},
        {{L"a.cmd", L"B.cmd", L"A.cmd"}, {L"A.cmd", L"a.cmd"}},
        {{L"\u00e9.cmd", L"f.cmd", L"\u00c9.cmd"}, {L"\u00c9.cmd", L"\u00e9.cmd"}},
        {{L"ab.cmd", L"a.cmd.txt", L"a.cmd"}, {}},
    };
    for (const auto& c : cases) {
        std::vector<std::wstring> names = c.listed;
        std::vector<Match> matches;
        for (std::wstring& name : names) {
            matches.push_back({name.data(), false, false});
        }
        sort_matches(matches.data(), matches.size());
        mark_shared_names(matches.data(), matches.size());
        std::vector<std::wstring> sharedOnes;
        for (const Match& match : matches) {
            if (match.isShared) {
                sharedOnes.emplace_back(match.name);
            }
        }
        EXPECT_EQ(sharedOnes, c.sharedOnes) << to_utf8(c.listed[0]);
    }
}

}  // namespace
