#include "report_output.h"

#include <gtest/gtest.h>

#include <string>

#include "test_support.h"

namespace {

std::string write_to_file(const std::wstring& argument) {
    ScratchFolder folder;
    const std::wstring path = folder.file(L"report.bin");
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    const ReportOutput output{file, false};
    const wchar_t* const line[] = {L"run [", argument.c_str(), L"]...ok"};
    write_report_line(output, line);
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

}  // namespace
