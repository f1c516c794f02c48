// Files that a pattern matched, started by the real quorvel.exe beside decoys: the files a
// name misread as a command line would run instead. Each matched file must run once, as
// itself, and no decoy at all. Batch files record into ran-TAG.txt, decoys into
// decoy-TAG.txt, and a test child started with no arguments into ran-NAME.txt.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_support.h"

namespace {

struct Batch {
    std::wstring name;
    std::wstring tag;
};

void write_text_file(const std::wstring& path, const std::string& content) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD written = 0;
    WriteFile(file, content.data(), static_cast<DWORD>(content.size()), &written, nullptr);
    CloseHandle(file);
}

// Appends the name it was started by (%0) to a file of its tag's in the current folder.
void write_batch(const ScratchFolder& folder, const Batch& batch, const std::wstring& kind) {
    write_text_file(folder.file(batch.name),
                    "@echo %0>>" + to_utf8(kind + L"-" + batch.tag) + ".txt\r\n");
}

// The lines a batch file recorded, without their line ends.
std::vector<std::string> recorded_lines(const ScratchFolder& folder, const std::wstring& name) {
    std::vector<std::string> lines;
    for (std::string line : lines_of(read_file(folder.file(name)))) {
        line.resize(line.size() - 2);
        lines.push_back(line.substr(0, line.find_last_not_of(' ') + 1));
    }
    return lines;
}

// Whatever order the children end in, every start is reported first, in argument order.
void expect_reports(const LauncherResult& result, const std::vector<std::string>& starts) {
    ASSERT_TRUE(result.finished);
    EXPECT_EQ(result.exitCode, 0u);
    const std::vector<std::string> lines = lines_of(result.output);
    ASSERT_GE(lines.size(), starts.size() + 1) << result.output;
    EXPECT_EQ(std::vector<std::string>(lines.begin() + 1, lines.begin() + 1 + starts.size()),
              starts);
    size_t ok = 0;
    for (const std::string& start : starts) {
        ok += start.find("...ok") != std::string::npos ? 1 : 0;
    }
    EXPECT_EQ(lines.size(), 1 + starts.size() + ok) << result.output;
}

TEST(PatternRunTest, MatchedBatchFilesRunThroughTheInterpreterAsThemselves) {
    ScratchFolder folder;
    ASSERT_TRUE(CreateDirectoryW(folder.file(L"m").c_str(), nullptr));
    const Batch matched[] = {
        {L"(p).cmd", L"paren"},
        {L"@at.cmd", L"atsign"},
        {L"a&b.cmd", L"ampersand"},
        {L"at.cmd", L"at"},
        {L"b.cmd", L"b"},
        {L"build all.cmd", L"blank"},
        {L"caf\u00e9.cmd", L"cafe"},
        {L"c^d.cmd", L"caret"},
        {L"dir.cmd", L"dir"},
        {L"e'f.cmd", L"apostrophe"},
        {L"echo.cmd", L"echo"},
        {L"g!h.cmd", L"bang"},
        {L"k,l.cmd", L"comma"},
        {L"k;l.cmd", L"semicolon"},
        {L"k=l.cmd", L"equals"},
        {L"val.cmd", L"val"},
        {L"m\\plain.cmd", L"plain"},
    };
    // What "build all.cmd", "a&b.cmd", "(p).cmd" and "k,l.cmd" would run, read as commands,
    // and what the interpreter would make of "noext", which has no extension.
    const std::wstring decoys[] = {L"build", L"a", L"p", L"k", L"noext"};
    for (const std::wstring& decoy : decoys) {
        write_batch(folder, {decoy + L".bat", decoy}, L"decoy");
    }
    for (const Batch& batch : matched) {
        write_batch(folder, batch, L"ran");
    }
    // Read as a command, "%QV%.cmd" would run val.cmd a second time.
    write_batch(folder, {L"%QV%.cmd", L"percent"}, L"ran");
    write_batch(folder, {L"noext", L"noext"}, L"ran");
    ASSERT_TRUE(SetEnvironmentVariableW(L"QV", L"val"));
    const LauncherResult result =
        run_launcher({L"--no-con", L"*.cmd", L"m\\*.cmd", L"noex?"}, folder);
    SetEnvironmentVariableW(L"QV", nullptr);

    std::vector<std::string> starts = {failed("%QV%.cmd")};
    for (const Batch& batch : matched) {
        starts.push_back(started(to_utf8(batch.name)));
    }
    starts.push_back(failed("noext"));
    expect_reports(result, starts);
    for (const Batch& batch : matched) {
        SCOPED_TRACE(to_utf8(batch.name));
        EXPECT_EQ(recorded_lines(folder, L"ran-" + batch.tag + L".txt").size(), 1u);
    }
    EXPECT_EQ(recorded_lines(folder, L"ran-plain.txt"), std::vector<std::string>{"m\\plain.cmd"});
    EXPECT_FALSE(file_exists(folder.file(L"ran-percent.txt")));
    EXPECT_FALSE(file_exists(folder.file(L"ran-noext.txt")));
    for (const std::wstring& decoy : decoys) {
        EXPECT_FALSE(file_exists(folder.file(L"decoy-" + decoy + L".txt"))) << to_utf8(decoy);
    }
}

// A pattern's folder is no entry's name and can hold a quote: inside the quotes that keep a
// matched name whole, "x\"&evil&\..\a.cmd" would run x, then evil. It can begin with a ':',
// which makes the command a label that runs nothing.
TEST(PatternRunTest, AQuoteOrAColonInThePatternsFolderRunsNothing) {
    ScratchFolder folder;
    write_batch(folder, {L"a.cmd", L"a"}, L"ran");
    for (const wchar_t* decoy : {L"x", L"evil"}) {
        write_batch(folder, {std::wstring(decoy) + L".bat", decoy}, L"decoy");
    }
    // The runtime gives x"&evil&\..\a*.cmd, unquoted: the escaped quote delimits nothing.
    LauncherRun run =
        start_launcher_with(L"--no-con x\\\"&evil&\\..\\a*.cmd :\\..\\a*.cmd", folder);
    const LauncherResult result = finish_launcher(run);

    expect_reports(result, {failed("x\"&evil&\\..\\a.cmd"), failed(":\\..\\a.cmd")});
    for (const wchar_t* tag : {L"ran-a.txt", L"decoy-x.txt", L"decoy-evil.txt"}) {
        EXPECT_FALSE(file_exists(folder.file(tag))) << to_utf8(tag);
    }
}

// A folder is no command. Named "v1.2", the interpreter would try the extensions in PATHEXT
// on it first and run a namesake beside it; under --no-shl a folder named "tools.bat" would
// go to the interpreter as a batch file. With only folders matched, each pattern stays a
// command as written, which runs nothing here.
TEST(PatternRunTest, AMatchedFolderRunsNothing) {
    ScratchFolder folder;
    const wchar_t* const folders[] = {L"v1.2", L"tools.bat"};
    const wchar_t* const extensions[] = {L".com", L".exe", L".bat", L".cmd", L".vbs", L".vbe",
                                         L".js",  L".jse", L".wsf", L".wsh", L".msc"};
    for (const wchar_t* name : folders) {
        ASSERT_TRUE(CreateDirectoryW(folder.file(name).c_str(), nullptr));
        for (const wchar_t* extension : extensions) {
            const std::wstring namesake = std::wstring(name) + extension;
            if (wcscmp(extension, L".com") == 0 || wcscmp(extension, L".exe") == 0) {
                ASSERT_TRUE(CopyFileW(folder.file(L"test_child.exe").c_str(),
                                      folder.file(namesake).c_str(), FALSE));
            } else {
                write_batch(folder, {namesake, L"namesake"}, L"decoy");
            }
        }
    }
    const LauncherResult result =
        run_launcher({L"--no-con", L"v1.?", L"--no-shl", L"tools.ba?"}, folder);

    expect_reports(result, {started("v1.?"), failed("tools.ba?")});
    for (const wchar_t* record : {L"decoy-*", L"ran-*"}) {
        WIN32_FIND_DATAW entry;
        HANDLE search = FindFirstFileW(folder.file(record).c_str(), &entry);
        EXPECT_EQ(search, INVALID_HANDLE_VALUE) << to_utf8(entry.cFileName) << " ran";
        if (search != INVALID_HANDLE_VALUE) {
            FindClose(search);
        }
    }
}

// A copy of the test child beside quorvel.exe, gone with the test.
struct ProgramBesideLauncher {
    explicit ProgramBesideLauncher(const std::wstring& name) : path(build_folder() + L"\\" + name) {
        CopyFileW((build_folder() + L"\\test_child.exe").c_str(), path.c_str(), FALSE);
    }
    ~ProgramBesideLauncher() { DeleteFileW(path.c_str()); }
    ProgramBesideLauncher(const ProgramBesideLauncher&) = delete;
    ProgramBesideLauncher& operator=(const ProgramBesideLauncher&) = delete;

    std::wstring path;
};

TEST(PatternRunTest, ADirectlyStartedMatchedFileRunsAsThatFileAndNoOther) {
    ScratchFolder folder;
    for (const wchar_t* sub : {L"e", L"d"}) {
        ASSERT_TRUE(CreateDirectoryW(folder.file(sub).c_str(), nullptr));
    }
    const std::wstring child = folder.file(L"test_child.exe");
    // "e\my tool.exe", unquoted, would be taken for "e\my.exe" with an argument.
    for (const wchar_t* copy : {L"e\\my tool.exe", L"e\\my.exe"}) {
        ASSERT_TRUE(CopyFileW(child.c_str(), folder.file(copy).c_str(), FALSE));
    }
    write_batch(folder, {L"d\\r&s.cmd", L"rs"}, L"ran");
    write_batch(folder, {L"d\\r.bat", L"r"}, L"decoy");
    write_text_file(folder.file(L"--no-con"), "");
    // Searched for, a program named without a folder is found beside quorvel.exe first.
    const std::wstring namesake = L"namesake-" + std::to_wstring(GetCurrentProcessId());
    ASSERT_TRUE(CopyFileW(child.c_str(), folder.file(namesake + L".exe").c_str(), FALSE));
    const ProgramBesideLauncher decoy(namesake + L".exe");

    const LauncherResult result = run_launcher(
        {L"--no-shl", L"--no-con", L"e\\*tool.exe", L"d\\*.cmd", L"--no-c*", namesake + L".ex?"},
        folder);

    expect_reports(result, {started("e\\my tool.exe"), started("d\\r&s.cmd"), failed("--no-con"),
                            started(to_utf8(namesake) + ".exe")});
    const std::wstring tool = folder.file(L"ran-my tool.txt");
    EXPECT_EQ(record_values(tool, "command-line"), std::vector<std::string>{"\"e\\my tool.exe\""});
    EXPECT_EQ(record_values(tool, "module"),
              std::vector<std::string>{to_utf8(folder.file(L"e\\my tool.exe"))});
    EXPECT_FALSE(file_exists(folder.file(L"ran-my.txt")));
    EXPECT_EQ(recorded_lines(folder, L"ran-rs.txt").size(), 1u);
    EXPECT_FALSE(file_exists(folder.file(L"decoy-r.txt")));
    EXPECT_EQ(record_values(folder.file(L"ran-" + namesake + L".txt"), "module"),
              std::vector<std::string>{to_utf8(folder.file(namesake + L".exe"))});
}

}  // namespace
