// The real quorvel.exe waiting for real children: exit reports, their order, and the
// launcher's own priority class, watched from outside.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "test_support.h"
#include "thread_count.h"

namespace {

TEST(WaitRunTest, ExitReportsFollowTheStartReportsAsChildrenEnd) {
    ScratchFolder folder;
    const NamedEvent endSlow;
    const std::wstring slow = L"test_child.exe --wait-event " + endSlow.name;
    const std::wstring quick = L"test_child.exe";
    LauncherRun run =
        start_launcher({L"--no-shl", L"--no-con", slow, L"missing.exe", quick, L"--high"}, folder);
    // The slow child ends only once the quick one has been reported.
    EXPECT_TRUE(wait_for_output_lines(run, 5, 30000));
    SetEvent(endSlow.handle);
    const LauncherResult result = finish_launcher(run);
    ASSERT_TRUE(result.finished);
    EXPECT_EQ(result.exitCode, 0u);
    EXPECT_EQ(result.output, kBanner + started(to_utf8(slow)) + "run [missing.exe]...error\r\n" +
                                 started(to_utf8(quick)) + ended(to_utf8(quick)) +
                                 ended(to_utf8(slow)));
}

// The launcher is held still while its children end, the last-placed first, so that all
// of them have ended when it looks: they are reported in argument order all the same.
// Beyond one platform wait the news of the last ends (the first-placed children's) may
// still be on its way when the launcher goes on.
TEST(WaitRunTest, ChildrenThatEndTogetherAreReportedInArgumentOrder) {
    for (int childCount : {2, 100}) {
        SCOPED_TRACE(childCount);
        ScratchFolder folder;
        const NamedEvent go;
        std::vector<std::wstring> arguments = {L"--no-shl", L"--no-con"};
        std::vector<std::wstring> records;
        std::string starts;
        std::string ends;
        for (int i = 0; i < childCount; ++i) {
            records.push_back(folder.file(L"r" + std::to_wstring(i) + L".txt"));
            const std::wstring command = L"test_child.exe --record r" + std::to_wstring(i) +
                                         L".txt --wait-event " + go.name + L" --sleep " +
                                         std::to_wstring((childCount - i) * 5);
            arguments.push_back(command);
            starts += started(to_utf8(command));
            ends += ended(to_utf8(command));
        }
        LauncherRun run = start_launcher(arguments, folder);
        ASSERT_TRUE(wait_for_output_lines(run, childCount + 1, 60000));

        SuspendThread(run.thread);
        SetEvent(go.handle);
        // Stops at the first child that does not end, rather than waiting for each.
        EXPECT_TRUE(std::all_of(records.begin(), records.end(), [](const std::wstring& record) {
            return wait_for_recorded_child_end(record, 30000);
        }));
        ResumeThread(run.thread);

        const LauncherResult result = finish_launcher(run);
        EXPECT_EQ(result.output, kBanner + starts + ends);
    }
}

// The launcher's class, watched from outside while nothing ends: it steps down from the
// class it was started with, and the first end puts it back to normal, not to the starting
// class. The children end only when the class says they may, and the steps' times are
// checked only for being too early, which a busy machine cannot cause.
TEST(WaitRunTest, PriorityStepsDownWhileNothingEndsAndIsRestoredToNormal) {
    ScratchFolder folder;
    const NamedEvent endFirst;
    const NamedEvent endSecond;
    const std::wstring first = L"test_child.exe --wait-event " + endFirst.name;
    const std::wstring second = L"test_child.exe --wait-event " + endSecond.name;
    LauncherRun run =
        start_launcher({L"--no-shl", L"--no-con", first, second}, folder, CREATE_SUSPENDED);
    ASSERT_NE(run.process, nullptr);
    SetPriorityClass(run.process, HIGH_PRIORITY_CLASS);
    const ULONGLONG resumed = GetTickCount64();
    ResumeThread(run.thread);

    // Every class the launcher takes, in order, until it takes the one awaited; the clock
    // is read before and after each look, so a class was taken before firstSeenBy and,
    // for a class seen before, left after lastSeenFrom.
    struct Sighting {
        DWORD priorityClass;
        ULONGLONG firstSeenBy;
        ULONGLONG lastSeenFrom;
    };
    std::vector<Sighting> sightings;
    const auto watch_until = [&](DWORD awaited) {
        wait_until(30000, [&] {
            const ULONGLONG before = GetTickCount64();
            const DWORD now = GetPriorityClass(run.process);
            if (sightings.empty() || sightings.back().priorityClass != now) {
                sightings.push_back({now, GetTickCount64(), before});
            }
            sightings.back().lastSeenFrom = before;
            return now == awaited;
        });
    };
    watch_until(IDLE_PRIORITY_CLASS);  // 8 s into the wait
    SetEvent(endFirst.handle);
    watch_until(NORMAL_PRIORITY_CLASS);
    SetEvent(endSecond.handle);
    const LauncherResult result = finish_launcher(run);

    std::vector<DWORD> classes;
    for (const Sighting& sighting : sightings) {
        classes.push_back(sighting.priorityClass);
    }
    EXPECT_EQ(classes, (std::vector<DWORD>{HIGH_PRIORITY_CLASS, BELOW_NORMAL_PRIORITY_CLASS,
                                           IDLE_PRIORITY_CLASS, NORMAL_PRIORITY_CLASS}));
    if (sightings.size() >= 3) {
        // 3 s and 5 s, less room for a coarse clock.
        EXPECT_GE(sightings[1].firstSeenBy - resumed, 2800u) << "below normal too early";
        EXPECT_GE(sightings[2].firstSeenBy - sightings[0].lastSeenFrom, 4800u) << "idle too early";
    }
    EXPECT_EQ(result.output, kBanner + started(to_utf8(first)) + started(to_utf8(second)) +
                                 ended(to_utf8(first)) + ended(to_utf8(second)));
}

// A wait the platform refuses ends the run with -1, and the child whose handle broke it
// is never reported. That handle is closed from outside, under the launcher's feet.
TEST(WaitRunTest, AFailedWaitEndsTheRunWithMinusOne) {
    ScratchFolder folder;
    const NamedEvent endBroken;
    const NamedEvent endOther;
    const std::wstring broken = L"test_child.exe --record r.txt --wait-event " + endBroken.name;
    const std::wstring other = L"test_child.exe --record r2.txt --wait-event " + endOther.name;
    LauncherRun run = start_launcher({L"--no-shl", L"--no-con", broken, other}, folder);
    ASSERT_TRUE(wait_for_output_lines(run, 3, 30000));
    ASSERT_TRUE(wait_for_record(folder.file(L"r.txt"), "pid", 10000));
    const DWORD pid = recorded_pid(folder.file(L"r.txt"));
    const HANDLE launchersHandle =
        find_handle_in(run.process, [&](HANDLE handle) { return GetProcessId(handle) == pid; });
    ASSERT_NE(launchersHandle, nullptr);
    ASSERT_TRUE(close_handle_in(run.process, launchersHandle));
    // A wait under way may go on with the closed handle; the next one cannot.
    SetEvent(endOther.handle);
    const LauncherResult result = finish_launcher(run);
    SetEvent(endBroken.handle);
    // A child that has not yet opened its event would make a new one once ours is gone.
    EXPECT_TRUE(wait_for_record(folder.file(L"r.txt"), "exit", 30000));
    EXPECT_TRUE(wait_for_record(folder.file(L"r2.txt"), "exit", 30000));
    EXPECT_EQ(result.exitCode, static_cast<DWORD>(-1));
    EXPECT_EQ(result.output.rfind(kBanner + started(to_utf8(broken)) + started(to_utf8(other)), 0),
              0u)
        << result.output;
    EXPECT_EQ(result.output.find(ended(to_utf8(broken))), std::string::npos) << result.output;
}

// More children alive at once than two platform waits can take. (Every further child is
// one more chance for Wine's rare failure to start a process at all; the unit tests take
// the wait itself to 300.)
TEST(WaitRunTest, ManyChildrenAreEachReportedOnce) {
    constexpr int kChildren = 150;
    ScratchFolder folder;
    const NamedEvent go;
    std::vector<std::wstring> arguments = {L"--no-shl", L"--no-con"};
    std::set<std::string> commands;
    for (int i = 0; i < kChildren; ++i) {
        // Ends spread over a second and a half once all are running; "--tag" tells them
        // apart. The first ends at once: its report shows that the wait beyond one platform
        // wait has begun.
        const std::wstring command = i == 0 ? L"test_child.exe --tag 0"
                                            : L"test_child.exe --wait-event " + go.name +
                                                  L" --sleep " + std::to_wstring(i * 37 % 1500) +
                                                  L" --tag " + std::to_wstring(i);
        arguments.push_back(command);
        commands.insert(to_utf8(command));
    }
    LauncherRun run = start_launcher(arguments, folder);
    ASSERT_NE(run.process, nullptr);
    // Every start is reported before the wait; then all but the first are alive at once.
    EXPECT_TRUE(wait_for_output_lines(run, kChildren + 2, 120000));
    const int threads = count_threads(run.process);
    SetEvent(go.handle);
    const LauncherResult result = finish_launcher(run);
    ASSERT_TRUE(result.finished);
    EXPECT_EQ(result.exitCode, 0u);
    EXPECT_GE(threads, 1);
    EXPECT_LE(threads, most_threads_while_waiting(kChildren - 1));

    std::multiset<std::string> starts;
    std::multiset<std::string> ends;
    const std::vector<std::string> lines = lines_of(result.output);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.front(), kBanner);
    for (auto line = lines.begin() + 1; line != lines.end(); ++line) {
        const std::string text = line->substr(0, line->size() - 2);
        if (text.rfind("run [", 0) == 0 && text.size() > 11 &&
            text.compare(text.size() - 6, 6, "]...ok") == 0) {
            EXPECT_TRUE(ends.empty()) << "a start reported after an end: " << text;
            starts.insert(text.substr(5, text.size() - 11));
        } else if (text.rfind("exit [", 0) == 0 && text.back() == ']') {
            ends.insert(text.substr(6, text.size() - 7));
        } else {
            ADD_FAILURE() << "unexpected line: " << text;
        }
    }
    EXPECT_EQ(starts, std::multiset<std::string>(commands.begin(), commands.end()));
    EXPECT_EQ(ends, std::multiset<std::string>(commands.begin(), commands.end()));
}

bool is_job(HANDLE handle) {
    JOBOBJECT_BASIC_ACCOUNTING_INFORMATION accounting{};
    return QueryInformationJobObject(handle, JobObjectBasicAccountingInformation, &accounting,
                                     sizeof(accounting), nullptr) != FALSE;
}

bool recorded_exit(const std::wstring& record) {
    return read_record(record).count("exit") != 0;
}

// Beyond one platform wait the launcher still holds no job, and killing it must not end
// its children.
TEST(WaitRunTest, ChildrenBeyondOneWaitOutliveAKilledLauncher) {
    constexpr int kChildren = 66;
    ScratchFolder folder;
    const NamedEvent go;
    std::vector<std::wstring> arguments = {L"--no-shl", L"--no-con", L"test_child.exe"};
    std::vector<std::wstring> records;
    for (int i = 0; i < kChildren; ++i) {
        records.push_back(folder.file(L"r" + std::to_wstring(i) + L".txt"));
        arguments.push_back(L"test_child.exe --record r" + std::to_wstring(i) +
                            L".txt --wait-event " + go.name);
    }
    LauncherRun run = start_launcher(arguments, folder);
    // The first child ends at once; its report comes from the wait beyond one platform wait.
    ASSERT_TRUE(wait_for_output_lines(run, kChildren + 3, 60000));
    EXPECT_EQ(find_handle_in(run.process, is_job), nullptr);

    TerminateProcess(run.process, 9);
    EXPECT_EQ(finish_launcher(run).exitCode, 9u);
    SetEvent(go.handle);  // only a child still alive can record its exit
    wait_until(30000, [&] { return std::all_of(records.begin(), records.end(), recorded_exit); });
    for (const std::wstring& record : records) {
        EXPECT_TRUE(recorded_exit(record)) << to_utf8(record);
    }
}

// A child that puts itself into a job which ends every process in it when the child ends:
// its siblings, more than one platform wait takes, must live their own time all the same.
TEST(WaitRunTest, AChildInAKillOnCloseJobOfItsOwnEndsNoSibling) {
    constexpr int kSiblings = 66;
    // Long enough after the first child's end for a job that held the siblings to end them.
    constexpr DWORD kSiblingsOutliveIt = 2000;
    ScratchFolder folder;
    const NamedEvent endFirst;
    const NamedEvent go;
    const std::wstring first =
        L"test_child.exe --own-job --record first.txt --wait-event " + endFirst.name;
    std::vector<std::wstring> arguments = {L"--no-shl", L"--no-con", first};
    std::vector<std::wstring> records;
    for (int i = 0; i < kSiblings; ++i) {
        records.push_back(folder.file(L"r" + std::to_wstring(i) + L".txt"));
        arguments.push_back(L"test_child.exe --record r" + std::to_wstring(i) +
                            L".txt --wait-event " + go.name + L" --sleep " +
                            std::to_wstring(kSiblingsOutliveIt));
    }
    LauncherRun run = start_launcher(arguments, folder);
    ASSERT_TRUE(wait_for_output_lines(run, kSiblings + 2, 60000));
    ASSERT_TRUE(wait_for_record(folder.file(L"first.txt"), "own-job", 10000));
    EXPECT_EQ(record_values(folder.file(L"first.txt"), "own-job"), std::vector<std::string>{"ok"});
    SetEvent(endFirst.handle);
    EXPECT_TRUE(wait_for_recorded_child_end(folder.file(L"first.txt"), 30000));
    SetEvent(go.handle);

    const LauncherResult result = finish_launcher(run);
    EXPECT_EQ(result.exitCode, 0u);
    for (const std::wstring& record : records) {
        EXPECT_TRUE(recorded_exit(record)) << to_utf8(record);
    }
    const std::vector<std::string> lines = lines_of(result.output);
    EXPECT_EQ(lines.size(), 1 + 2 * (kSiblings + 1u));
    EXPECT_EQ(std::count(lines.begin(), lines.end(), ended(to_utf8(first))), 1);
}

}  // namespace
