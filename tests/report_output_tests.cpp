#include "report_output.h"

#include <gtest/gtest.h>

#include <string>

#include "test_support.h"

namespace {

using LineWriter = void (*)(const ReportOutput&, const wchar_t* const[], size_t);

std::string write_to_file(const std::wstring& argument, LineWriter writeLine = write_report_line) {
    ScratchFolder folder;
    const std::wstring path = folder.file(L"report.bin");
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    const ReportOutput output{file, false};
    const wchar_t* const line[] = {L"run [", argument.c_str(), L"]...ok"};
    writeLine(output, line, 3);
    CloseHandle(file);
    return read_file(path);
}

TEST(ReportOutputTest, RedirectedLinesAreUtf8WithCrLf) {
    struct Case {
        std::wstring argument;
        std::string bytes;
    };
    const Case cases[] = {
        {L"dir /s", "run [dir /s]...ok\r\n"},
        {L"", "run []...ok\r\n"},
        {L"caf\u00e9", "run [caf\xc3\xa9]...ok\r\n"},
        {L"\u65e5\u672c.exe", "run [\xe6\x97\xa5\xe6\x9c\xac.exe]...ok\r\n"},
        {L"\U0001F600", "run [\xf0\x9f\x98\x80]...ok\r\n"},
        // A lone surrogate cannot be encoded; it becomes the replacement character.
        {std::wstring(1, wchar_t(0xD800)), "run [\xef\xbf\xbd]...ok\r\n"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(write_to_file(c.argument), c.bytes) << c.bytes;
    }
}

TEST(ReportOutputTest, ALongLineIsWrittenWhole) {
    const std::wstring argument(32767, L'\u00e9');
    std::string expected = "run [";
    for (size_t i = 0; i < argument.size(); ++i) {
        expected += "\xc3\xa9";
    }
    expected += "]...ok\r\n";
    EXPECT_EQ(write_to_file(argument), expected);
}

// An ordinary line is put together on the stack, a longer one on the heap; where the heap has
// no room, the line goes in pieces through the stack. Each way gives the same bytes, around the
// stack's size and with a surrogate pair across a piece's end.
TEST(ReportOutputTest, EveryLineIsTheSameOnTheStackOnTheHeapAndInPieces) {
    constexpr size_t kFrame = 5 + 6 + 2;  // "run [", "]...ok", CRLF
    constexpr size_t kStack = kStackLineUnits;
    const std::wstring pair = L"\U0001F600";
    const std::wstring arguments[] = {
        std::wstring(kStack - kFrame, L'\u00e9'),
        std::wstring(kStack - kFrame + 1, L'x'),
        std::wstring(kStack - 1, L'x') + pair + L"y",
        std::wstring(3 * kStack - 2, L'x') + pair,
        std::wstring(kStack - 1, L'x') + L"\U0010FFFF",  // the highest pair: U+DBFF U+DFFF
        std::wstring(40000, L'\u65e5'),
    };
    for (const std::wstring& argument : arguments) {
        SCOPED_TRACE(argument.size());
        const std::string expected = "run [" + to_utf8(argument) + "]...ok\r\n";
        EXPECT_TRUE(write_to_file(argument) == expected);
        EXPECT_TRUE(write_to_file(argument, write_report_line_in_pieces) == expected);
    }
}

TEST(ReportOutputTest, ConsoleChunksStayWithinTheLimitAndKeepSurrogatePairsWhole) {
    constexpr size_t kLimit = kConsoleChunkLimit;
    constexpr wchar_t kLow = 0xDE00;
    const struct {
        const char* text;
        size_t length;
        size_t highAt;  // where a pair begins, or npos
        size_t chunk;
    } cases[] = {
        {"a short line, whole", 12, std::wstring::npos, 12},
        {"a line of exactly the limit, whole", kLimit, std::wstring::npos, kLimit},
        {"one unit more than the limit", kLimit + 1, std::wstring::npos, kLimit},
        {"a pair across the limit, left whole for the next chunk", kLimit + 1, kLimit - 1,
         kLimit - 1},
        {"a pair that ends at the limit", kLimit + 1, kLimit - 2, kLimit},
        {"a lone high surrogate at the end of a line that fits", kLimit, kLimit - 1, kLimit},
    };
    // The lowest and the highest high surrogate among others: U+10000 and U+10FC00 begin with them.
    for (const auto& c : cases) {
        for (const wchar_t high : {wchar_t{0xD800}, wchar_t{0xD83D}, wchar_t{0xDBFF}}) {
            std::wstring text(c.length, L'x');
            if (c.highAt != std::wstring::npos) {
                text[c.highAt] = high;
                if (c.highAt + 1 < text.size()) {
                    text[c.highAt + 1] = kLow;
                }
            }
            EXPECT_EQ(console_chunk_length(text.data(), text.size()), c.chunk)
                << c.text << static_cast<int>(high);
        }
    }
}

}  // namespace
