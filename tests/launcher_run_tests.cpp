// Runs the real quorvel.exe and compares its standard output byte for byte, its exit
// status, and what its children recorded.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

TEST(LauncherRunTest, WithoutArgumentsItFailsSilently) {
    ScratchFolder folder;
    const LauncherResult result = run_launcher({}, folder);
    ASSERT_TRUE(result.finished);
    EXPECT_EQ(result.exitCode, static_cast<DWORD>(-1));
    EXPECT_EQ(result.output, "");
}

TEST(LauncherRunTest, BannerCarriesTheBuildDate) {
    ScratchFolder folder;
    const LauncherResult result = run_launcher({L"--con"}, folder);
    // "Mmm dd yyyy" with the day padded by a blank, as the compiler's date has it.
    ASSERT_EQ(result.output.size(), std::string("Quorvel / Jul  2 2017\r\n").size());
    EXPECT_EQ(result.output, kBanner);
}

// Direct-mode commands that name no program fail to start, so these runs show exactly
// what is a switch and what is a command, without opening any window.
TEST(LauncherRunTest, ReportsEveryCommandAndNoSwitch) {
    struct Case {
        std::vector<std::wstring> arguments;
        std::string output;  // after the banner
    };
    const Case cases[] = {
        {{L"--no-shl"}, ""},
        {{L"--no-con", L"--con", L"--no-shl", L"--shl", L"--high", L"--normal", L"--above",
          L"--below"},
         ""},
        {{L"--no-shl", L"--HIGH", L"-high", L"--no-conx", L"--quiet", L""},
         failed("--HIGH") + failed("-high") + failed("--no-conx") + failed("--quiet") + failed("")},
        {{L"--no-shl", L"missing.exe", L"missing.exe", L"--shl"},
         failed("missing.exe") + failed("missing.exe")},
        {{L"--no-shl", L"no such program.exe /x"}, failed("no such program.exe /x")},
        {{L"--no-shl", L"caf\u00e9", L"\u65e5\u672c"},
         failed("caf\xc3\xa9") + failed("\xe6\x97\xa5\xe6\x9c\xac")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.output);
        ScratchFolder folder;
        const LauncherResult result = run_launcher(c.arguments, folder);
        ASSERT_TRUE(result.finished);
        EXPECT_EQ(result.exitCode, 0u);
        EXPECT_EQ(result.output, kBanner + c.output);
    }
}

// An unquoted pattern becomes one command per matching file, in the order of their names,
// with the pattern's folder kept; a quoted one is one command as it stands, whatever it
// matches. Direct commands that name no program fail to start, so the reports show the
// commands themselves.
TEST(LauncherRunTest, UnquotedPatternsExpandAndQuotedOnesStayOneCommand) {
    struct Case {
        std::wstring commandTail;  // after "quorvel.exe --no-shl ", quotes as written
        std::vector<std::string> commands;
    };
    const Case cases[] = {
        {L"*.dat", {"one.dat", "two.dat", "x one.dat"}},
        {L"sub\\*.dat", {"sub\\three.dat"}},
        {L"*.none", {"*.none"}},
        {L"\"*.dat\"", {"*.dat"}},
        {L"\"x *.dat\"", {"x *.dat"}},
        {L"\"del *.dat\" *.txt", {"del *.dat", "four.txt"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(to_utf8(c.commandTail));
        ScratchFolder folder;
        ASSERT_TRUE(CreateDirectoryW(folder.file(L"sub").c_str(), nullptr));
        for (const wchar_t* name :
             {L"x one.dat", L"two.dat", L"one.dat", L"four.txt", L"sub\\three.dat"}) {
            CloseHandle(CreateFileW(folder.file(name).c_str(), GENERIC_WRITE, 0, nullptr,
                                    CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        }
        LauncherRun run = start_launcher_with(L"--no-shl " + c.commandTail, folder);
        const LauncherResult result = finish_launcher(run);
        ASSERT_TRUE(result.finished);
        std::string expected = kBanner;
        for (const std::string& command : c.commands) {
            expected += failed(command);
        }
        EXPECT_EQ(result.output, expected);
    }
}

// Windows may put a full path before a program named without one, so a child's command
// line is compared as its program's file name and everything after it.
struct ChildCommandLine {
    std::string fileName;
    std::string rest;
};

ChildCommandLine split_command_line(const std::string& commandLine) {
    const bool quoted = commandLine.rfind('"', 0) == 0;
    const size_t programEnd = quoted ? commandLine.find('"', 1) : commandLine.find_first_of(" \t");
    const size_t restStart =
        quoted && programEnd != std::string::npos ? programEnd + 1 : programEnd;
    std::string program = commandLine.substr(quoted ? 1 : 0, programEnd - (quoted ? 1 : 0));
    program.erase(0, program.find_last_of("\\/") + 1);  // npos + 1: no folder, nothing erased
    return {program, restStart < commandLine.size() ? commandLine.substr(restStart) : ""};
}

// The command line the child recorded, split; empty if it recorded none or several.
ChildCommandLine recorded_command_line(const ScratchFolder& folder) {
    const std::vector<std::string> lines = record_values(folder.file(L"r.txt"), "command-line");
    return lines.size() == 1 ? split_command_line(lines.front()) : ChildCommandLine{};
}

TEST(LauncherRunTest, DirectChildGetsTheArgumentAsItsWholeCommandLine) {
    ScratchFolder folder;
    const std::wstring command = L"test_child.exe --record r.txt --print \"a  b\" caf\u00e9";
    const LauncherResult result = run_launcher({L"--no-shl", command}, folder);
    ASSERT_TRUE(wait_for_record(folder.file(L"r.txt"), "exit", 10000));
    const ChildCommandLine recorded = recorded_command_line(folder);
    EXPECT_EQ(recorded.fileName, "test_child.exe");
    EXPECT_EQ(recorded.rest, to_utf8(command.substr(command.find(L' '))));
    EXPECT_EQ(record_values(folder.file(L"r.txt"), "cwd"),
              std::vector<std::string>{to_utf8(folder.path)});
}

TEST(LauncherRunTest, AnArgumentNearThePlatformLimitReachesTheChildWhole) {
    ScratchFolder folder;
    const std::wstring command = L"test_child.exe --record r.txt " + std::wstring(32550, L'x');
    const LauncherResult result = run_launcher({L"--no-shl", L"--no-con", command}, folder);
    // Compared as a whole, without printing 32 KB when it differs.
    EXPECT_TRUE(result.output == kBanner + started(to_utf8(command)) + ended(to_utf8(command)));
    ASSERT_TRUE(wait_for_record(folder.file(L"r.txt"), "exit", 10000));
    const ChildCommandLine recorded = recorded_command_line(folder);
    EXPECT_EQ(recorded.fileName, "test_child.exe");
    EXPECT_TRUE(recorded.rest == to_utf8(command.substr(command.find(L' '))));
}

// A direct child that keeps the launcher's console shares it; one without a window, or
// one started through the interpreter, is on a console of its own. Where a shared
// child's output then goes differs (Windows writes it to the console, Wine to the
// launcher's redirected output), so the console itself is what is compared.
TEST(LauncherRunTest, OnlyADirectChildWithConsoleSharesTheLaunchersConsole) {
    struct Case {
        std::vector<std::wstring> switches;
        bool shared;
    };
    const Case cases[] = {
        {{L"--no-shl"}, true}, {{L"--no-shl", L"--no-con"}, false}, {{L"--no-con"}, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.shared);
        ScratchFolder folder;
        std::vector<std::wstring> arguments = c.switches;
        arguments.push_back(L"test_child.exe --record r.txt");
        // A console of its own, without a window, so that there is one to share even
        // where the tests run without.
        LauncherRun run = start_launcher(arguments, folder, CREATE_NO_WINDOW);
        ASSERT_NE(run.process, nullptr);
        const std::string launcher = std::to_string(GetProcessId(run.process));
        ASSERT_TRUE(finish_launcher(run).finished);
        const std::wstring record = folder.file(L"r.txt");
        ASSERT_EQ(record_values(record, "console-processes").size(), 1u);
        const std::string list = "," + record_values(record, "console-processes").front() + ",";
        // The child's own entry shows that the list was read at all.
        EXPECT_NE(list.find("," + record_values(record, "pid").front() + ","), std::string::npos)
            << list;
        EXPECT_EQ(list.find("," + launcher + ",") != std::string::npos, c.shared) << list;
    }
}

TEST(LauncherRunTest, ShellModeRunsTheCommandThroughTheInterpreter) {
    ScratchFolder folder;
    const LauncherResult result =
        run_launcher({L"--no-con", L"test_child.exe --record r.txt", L"no-such-program-q"}, folder);
    std::vector<std::string> lines = lines_of(result.output);
    ASSERT_EQ(lines.size(), 5u) << result.output;
    std::sort(lines.begin() + 3, lines.end());  // the two may end in either order
    EXPECT_EQ(lines,
              (std::vector<std::string>{kBanner, started("test_child.exe --record r.txt"),
                                        started("no-such-program-q"), ended("no-such-program-q"),
                                        ended("test_child.exe --record r.txt")}));
    EXPECT_EQ(record_values(folder.file(L"r.txt"), "exit"), std::vector<std::string>{"0"});
}

TEST(LauncherRunTest, TheSameCommandTwiceStartsTwoChildren) {
    ScratchFolder folder;
    const std::wstring command = L"test_child.exe --record r.txt";
    const LauncherResult result =
        run_launcher({L"--no-shl", L"--no-con", command, command}, folder);
    EXPECT_EQ(result.output, kBanner + started(to_utf8(command)) + started(to_utf8(command)) +
                                 ended(to_utf8(command)) + ended(to_utf8(command)));
    const std::vector<std::string> pids = record_values(folder.file(L"r.txt"), "pid");
    ASSERT_EQ(pids.size(), 2u);
    EXPECT_NE(pids[0], pids[1]);
}

// Left to the platform's search, a cmd.exe in the current directory would run instead of
// the system's interpreter.
TEST(LauncherRunTest, APlantedInterpreterIsNeverRun) {
    ScratchFolder folder;
    ASSERT_TRUE(CopyFileW((build_folder() + L"\\test_child.exe").c_str(),
                          folder.file(L"cmd.exe").c_str(), FALSE));
    const LauncherResult result =
        run_launcher({L"--no-con", L"test_child.exe --record r.txt"}, folder);
    EXPECT_EQ(result.output, kBanner + started("test_child.exe --record r.txt") +
                                 ended("test_child.exe --record r.txt"));
    EXPECT_EQ(record_values(folder.file(L"r.txt"), "exit"), std::vector<std::string>{"0"});
    EXPECT_FALSE(file_exists(folder.file(L"planted-cmd-ran")));
}

// Every line must be in the output the moment it is complete, not held in a buffer that
// dies with the launcher. The launcher inherits a pipe's writing end; its child must not,
// so the pipe breaks once the launcher is gone although the child still runs.
TEST(LauncherRunTest, LinesWrittenBeforeTheLauncherIsKilledAreKept) {
    ScratchFolder folder;
    HANDLE pipeRead = nullptr;
    HANDLE pipeWrite = nullptr;
    SECURITY_ATTRIBUTES inheritable{sizeof(inheritable), nullptr, TRUE};
    ASSERT_TRUE(CreatePipe(&pipeRead, &pipeWrite, &inheritable, 0));
    SetHandleInformation(pipeRead, HANDLE_FLAG_INHERIT, 0);
    const std::wstring sleeper = L"test_child.exe --record r.txt --sleep 20000";
    LauncherRun run = start_launcher({L"--no-shl", L"--no-con", sleeper, L"missing.exe"}, folder);
    CloseHandle(pipeWrite);
    ASSERT_NE(run.process, nullptr);
    const std::string expected = kBanner + started(to_utf8(sleeper)) + failed("missing.exe");
    wait_until(10000, [&] { return read_file(run.outputPath) == expected; });
    EXPECT_EQ(read_file(run.outputPath), expected) << "while the launcher still waits";
    // Only a child that has recorded its pid can be ended below.
    EXPECT_TRUE(wait_for_record(folder.file(L"r.txt"), "pid", 10000));
    TerminateProcess(run.process, 9);
    const LauncherResult result = finish_launcher(run);
    const bool pipeBroken = wait_until(10000, [&] {
        return PeekNamedPipe(pipeRead, nullptr, 0, nullptr, nullptr, nullptr) == FALSE;
    });
    end_recorded_child(folder.file(L"r.txt"));
    CloseHandle(pipeRead);
    EXPECT_EQ(result.exitCode, 9u);
    EXPECT_EQ(result.output, expected);
    EXPECT_TRUE(pipeBroken) << "the child holds a handle it was not to inherit";
}

// Without /s, the interpreter keeps the quotes of a command only when there are exactly
// two, around the name of a program; otherwise it drops the first and the last. One more
// pair around the whole command is the remedy. The command reaches the interpreter
// unchanged, so each form does what the interpreter makes of it.
TEST(LauncherRunTest, TheInterpreterGetsTheCommandsQuotesUnchanged) {
    ScratchFolder folder;
    const std::wstring blankFolder = folder.file(L"with blank");
    ASSERT_TRUE(CreateDirectoryW(blankFolder.c_str(), nullptr));
    ASSERT_TRUE(CopyFileW(folder.file(L"test_child.exe").c_str(),
                          (blankFolder + L"\\test_child.exe").c_str(), FALSE));
    const std::wstring program = L"\"" + blankFolder + L"\\test_child.exe\"";
    const struct {
        std::wstring command;
        std::wstring record;
        bool runs;
    } cases[] = {
        {program + L" --record r1.txt", L"r1.txt", true},
        {program + L" --record \"with blank\\r2.txt\"", L"with blank\\r2.txt", false},
        {L"\"" + program + L" --record \"with blank\\r3.txt\"\"", L"with blank\\r3.txt", true},
    };
    std::vector<std::wstring> arguments = {L"--no-con"};
    std::string starts;
    for (const auto& c : cases) {
        arguments.push_back(c.command);
        starts += started(to_utf8(c.command));
    }
    const LauncherResult result = run_launcher(arguments, folder);
    EXPECT_EQ(result.output.rfind(kBanner + starts, 0), 0u) << result.output;
    for (const auto& c : cases) {
        SCOPED_TRACE(to_utf8(c.command));
        // The interpreter has ended, and so has what it ran.
        EXPECT_EQ(record_values(folder.file(c.record), "exit").size(), c.runs ? 1u : 0u);
    }
}

}  // namespace
