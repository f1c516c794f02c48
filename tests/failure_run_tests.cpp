// The whole launcher, built with the fault layer (fault_calls.h), run in this
// process: each scenario once to count the calls that can fail, then once with
// each of them failing in turn. Whatever fails, the run ends; every child it
// started is reported "ok" once and its end once, or it returns -1 after a
// failed wait, or with nothing started when memory runs out at start-up; no
// line is doubled, and a failed write loses or cuts short its own line and no
// other; and the fault layer finds no rule of order or ownership broken.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <set>

#define QUORVEL_FAULT_LAYER
#include "fault_calls.h"
#include "test_support.h"

namespace {

enum class Output { kConsole, kPipe, kFile };

// Commands that name test_child.exe start for real; every other one gets a
// stand-in, and one naming "no-such" a stand-in that is not there, reported
// "error".
struct Scenario {
    const char* name;
    std::vector<std::wstring> arguments;
    std::vector<std::wstring> files;     // made in the current folder first
    std::vector<std::wstring> reported;  // a run without a fault reports these
    size_t endStep;  // stand-ins end in the order 0, step, 2 step, ... (mod their
                     // count)
    Output output;
};

std::vector<Scenario> scenarios() {
    const std::wstring child = L"test_child.exe --exit 2";
    std::vector<Scenario> all = {
        {"BothModesToAFile",
         {L"shell-1", L"--no-con", L"shell-2", L"--no-shl", child, L"no-such.exe"},
         {},
         {L"shell-1", L"shell-2", child, L"no-such.exe"},
         1,
         Output::kFile},
        {"PatternToAPipe",
         {L"m\\*.cmd", L"--no-shl", L"m\\*.exe"},
         {L"m\\alpha.cmd", L"m\\beta.cmd", L"m\\gamma.exe", L"m\\delta.exe", L"m\\notes.txt"},
         {L"m\\alpha.cmd", L"m\\beta.cmd", L"m\\delta.exe", L"m\\gamma.exe"},
         3,
         Output::kPipe},
        // Ends in and out of argument order (0, 65, 64, 63, ...); the last two
        // children's lines go to the console in two writes each: the last run
        // line with a surrogate pair across their boundary, and the exit line
        // before it with its LF alone in the second.
        {"ManyToAConsole", {L"--no-shl"}, {}, {}, 65, Output::kConsole},
    };
    for (int i = 0; i < 66; ++i) {
        // Two digits each, so that no name is part of another.
        std::wstring tail;
        if (i == 64) {
            tail = L" " + std::wstring(7988, L'x');
        } else if (i == 65) {
            tail = L" " + std::wstring(7990, L'x') + L"\U0010FFFF";
        }
        all.back().reported.push_back((i < 10 ? L"c0" : L"c") + std::to_wstring(i) + tail);
    }
    all.back().arguments.insert(all.back().arguments.end(), all.back().reported.begin(),
                                all.back().reported.end());
    return all;
}

// A scratch folder with the files, and the current folder while it lives.
struct CurrentFolder : ScratchFolder {
    explicit CurrentFolder(const std::vector<std::wstring>& files) {
        CreateDirectoryW(file(L"m").c_str(), nullptr);
        for (const std::wstring& name : files) {
            CloseHandle(CreateFileW(file(name).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
        }
        GetCurrentDirectoryW(MAX_PATH, previous);
        SetCurrentDirectoryW(path.c_str());
    }
    ~CurrentFolder() { SetCurrentDirectoryW(previous); }
    wchar_t previous[MAX_PATH];
};

// Runs the launcher's entry with the arguments; end_fault_run then says what it
// did.
int run_launcher_here(FaultRun run, std::vector<std::wstring> arguments) {
    arguments.insert(arguments.begin(), L"quorvel.exe");
    std::vector<wchar_t*> argv;
    for (std::wstring& argument : arguments) {
        run.commandLine += (argv.empty() ? L"" : L" ") + quote_argument(argument);
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    begin_fault_run(run);
    return quorvel_main(static_cast<int>(arguments.size()), argv.data(), nullptr);
}

bool one_of(const char* name, std::initializer_list<const char*> names) {
    return name != nullptr && std::any_of(names.begin(), names.end(),
                                          [&](const char* n) { return strcmp(n, name) == 0; });
}

void check_run(const Scenario& s, int status, const FaultOutcome& run, const std::string& output) {
    for (const std::string& rule : run.broken) ADD_FAILURE() << rule;
    EXPECT_FALSE(run.hung) << "the run never ended";
    const bool noMemory = one_of(run.failed, {"malloc", "calloc", "realloc", "_wcsdup"});
    const bool waitFailed =
        one_of(run.failed, {"WaitForMultipleObjects", "WaitForSingleObject",
                            "GetQueuedCompletionStatusEx", "CreateIoCompletionPort"});
    EXPECT_TRUE(status == 0 || (status == -1 && (noMemory || waitFailed))) << status;
    if (status == -1 && noMemory && output.empty()) {
        EXPECT_TRUE(run.started.empty());
        return;
    }
    const size_t mayLose = one_of(run.failed, {"WriteFile", "WriteConsoleW", "WideCharToMultiByte"})
                               ? 1
                               : (one_of(run.failed, {"GetStdHandle"}) ? SIZE_MAX : 0);
    const bool searchFailed =
        one_of(run.failed, {"FindFirstFileW", "FindNextFileW", "CompareStringOrdinal"});
    EXPECT_TRUE(output.empty() || output.ends_with("\r\n")) << "the output ends inside a line";
    EXPECT_EQ(output.find("\r\r"), std::string::npos) << "a line end written twice";
    std::map<std::string, int> count;
    for (const std::string& line : lines_of(output)) ++count[line];
    EXPECT_LE(count[kBanner], 1);
    size_t lost = count[kBanner] == 1 ? 0 : 1;
    size_t known = count[kBanner];
    std::set<std::wstring> names(s.arguments.begin(), s.arguments.end());
    names.insert(s.reported.begin(), s.reported.end());
    for (const std::wstring& name : names) {
        SCOPED_TRACE(to_utf8(name.substr(0, 20)));
        const bool began =
            std::any_of(run.started.begin(), run.started.end(),
                        [&](const std::wstring& c) { return c.find(name) != c.npos; });
        const int ok = count[started(to_utf8(name))];
        const int error = count[failed(to_utf8(name))];
        const int ends = count[ended(to_utf8(name))];
        EXPECT_LE(ok + error, 1) << "a run line doubled";
        EXPECT_LE(ends, began ? 1 : 0) << "an end reported twice, or for no child";
        EXPECT_TRUE(began ? error == 0 : ok == 0) << "a run line that says otherwise";
        known += ok + error + ends;
        const bool required = std::ranges::find(s.reported, name) != s.reported.end() &&
                              !(searchFailed && name.find(L'\\') != name.npos);
        lost += (required && ok + error == 0) + (required && began && status == 0 && ends == 0);
        if (run.failed == nullptr) {
            EXPECT_EQ(began, required && name.find(L"no-such") == name.npos);
        }
    }
    EXPECT_LE(lost, mayLose) << "lines lost";
    EXPECT_LE(lines_of(output).size() - known, std::min<size_t>(mayLose, 1)) << "lines cut";
}

void PrintTo(const Scenario& scenario, std::ostream* out) {
    *out << scenario.name;
}

class FailureRunTest : public testing::TestWithParam<Scenario> {};

TEST_P(FailureRunTest, EveryCallThatCanFailFailsInTurn) {
    const Scenario& s = GetParam();
    const CurrentFolder folder(s.files);
    FaultRun run;
    run.realChildren = L"test_child.exe";
    for (size_t i = 0; i < s.reported.size(); ++i) {
        run.endOrder.push_back(i * s.endStep % s.reported.size());
    }
    const std::wstring path = folder.file(L"output.txt");
    const ULONGLONG start = GetTickCount64();
    long n = 0;
    for (; !HasFailure(); ++n) {
        run.failAt = n;
        HANDLE pipe = nullptr;
        if (s.output == Output::kFile) {
            run.output = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                     CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        }
        if (s.output == Output::kPipe) CreatePipe(&pipe, &run.output, nullptr, 1 << 16);
        const int status = run_launcher_here(run, s.arguments);
        const FaultOutcome outcome = end_fault_run();
        if (s.output != Output::kConsole) CloseHandle(run.output);
        std::string output = s.output == Output::kFile ? read_file(path) : outcome.console;
        char bytes[4096];
        for (DWORD got = 0;
             pipe != nullptr && ReadFile(pipe, bytes, sizeof(bytes), &got, nullptr);) {
            output.append(bytes, got);
        }
        if (pipe != nullptr) CloseHandle(pipe);
        if (n > 0 && outcome.failed == nullptr) break;  // every call that can fail has failed once
        SCOPED_TRACE(testing::Message() << "call " << n << " failing: "
                                        << (outcome.failed != nullptr ? outcome.failed : "none"));
        check_run(s, status, outcome, output);
    }
    printf("%s: %ld runs in %llu ms\n", s.name, n, GetTickCount64() - start);
}

INSTANTIATE_TEST_SUITE_P(Scenarios, FailureRunTest, testing::ValuesIn(scenarios()),
                         [](const auto& scenario) { return std::string(scenario.param.name); });

// A child whose pool wait could not be registered is looked at again, and
// reported when it ends, while the others keep the watch on: the last-placed
// child, which no look at the places before an end would find, ends together
// with the one before it, and nothing else ends.
TEST(FailureRunTest, AChildWhoseWaitWasNotRegisteredIsStillReported) {
    FaultRun run;
    run.failAt = 70;
    run.failOnly = "RegisterWaitForSingleObject";
    run.endOrder = {69, 68};
    run.deadline = 2000;
    std::vector<std::wstring> arguments = {L"--no-shl"};
    for (int i = 0; i < 70; ++i) arguments.push_back(L"c" + std::to_wstring(i));
    run_launcher_here(run, arguments);
    const FaultOutcome outcome = end_fault_run();
    EXPECT_STREQ(outcome.failed, "RegisterWaitForSingleObject");
    EXPECT_NE(outcome.console.find("exit [c68]\r\n"), std::string::npos);
    EXPECT_NE(outcome.console.find("exit [c69]\r\n"), std::string::npos);
}

// Wine lists a folder as NTFS keeps it; given the listing in another order, the
// matches still start in NTFS's: upper-cased, ordinal.
TEST(FailureRunTest, MatchesStartInNtfsOrderWhateverOrderTheListingGives) {
    const std::vector<std::wstring> sorted = {L"A.cmd",   L"a0.cmd", L"b.cmd",     L"Z.cmd",
                                              L"[x].cmd", L"_u.cmd", L"\u00e9.cmd"};
    const CurrentFolder folder(sorted);
    FaultRun run;
    run.listingReversed = true;
    run.endOrder = {0, 1, 2, 3, 4, 5, 6};
    run_launcher_here(run, {L"--no-con", L"*.cmd"});
    const FaultOutcome outcome = end_fault_run();
    std::string expected;
    for (const std::wstring& name : sorted) expected += started(to_utf8(name));
    EXPECT_EQ(outcome.console.substr(outcome.console.find("run ["), expected.size()), expected);
}

}  // namespace
