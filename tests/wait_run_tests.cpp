// The real quorvel.exe waiting for real children: exit reports, their order, and the
// launcher's own priority class as its children see it.
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

TEST(WaitRunTest, ExitReportsFollowTheStartReportsAsChildrenEnd) {
    ScratchFolder folder;
    const std::wstring slow = L"test_child.exe --sleep 1500";
    const std::wstring quick = L"test_child.exe --sleep 200";
    const LauncherResult result =
        run_launcher({L"--no-shl", L"--no-con", slow, L"missing.exe", quick, L"--high"}, folder);
    ASSERT_TRUE(result.finished);
    EXPECT_EQ(result.exitCode, 0u);
    EXPECT_EQ(result.output, kBanner + started(to_utf8(slow)) + "run [missing.exe]...error\r\n" +
                                 started(to_utf8(quick)) + ended(to_utf8(quick)) +
                                 ended(to_utf8(slow)));
}

// The launcher is held still while its children end, the last-placed first, so that all
// of them have ended when it looks: they are reported in argument order all the same.
// Beyond one platform wait the launcher still waits on its one thread: it has no more
// threads with 100 children than with 2.
TEST(WaitRunTest, ChildrenThatEndTogetherAreReportedInArgumentOrder) {
    std::map<int, int> threadsWhileWaiting;
    for (int childCount : {2, 100}) {
        SCOPED_TRACE(childCount);
        ScratchFolder folder;
        const std::wstring event = L"quorvel-test-together-" +
                                   std::to_wstring(GetCurrentProcessId()) + L"-" +
                                   std::to_wstring(childCount);
        HANDLE go = CreateEventW(nullptr, TRUE, FALSE, event.c_str());
        std::vector<std::wstring> arguments = {L"--no-shl", L"--no-con"};
        std::vector<std::wstring> records;
        std::string starts;
        std::string ends;
        for (int i = 0; i < childCount; ++i) {
            records.push_back(folder.file(L"r" + std::to_wstring(i) + L".txt"));
            const std::wstring command = L"test_child.exe --record r" + std::to_wstring(i) +
                                         L".txt --wait-event " + event + L" --sleep " +
                                         std::to_wstring((childCount - i) * 5);
            arguments.push_back(command);
            starts += started(to_utf8(command));
            ends += ended(to_utf8(command));
        }
        LauncherRun run = start_launcher(arguments, folder);
        ASSERT_TRUE(wait_for_output_lines(run, childCount + 1, 60000));
        Sleep(300);  // let the launcher reach its wait
        threadsWhileWaiting[childCount] = count_threads(run.process);

        SuspendThread(run.thread);
        SetEvent(go);
        for (const std::wstring& record : records) {
            EXPECT_TRUE(wait_for_record(record, "exit", 30000));
        }
        Sleep(300);  // "exit" is recorded just before the child ends
        ResumeThread(run.thread);

        const LauncherResult result = finish_launcher(run);
        CloseHandle(go);
        EXPECT_EQ(result.output, kBanner + starts + ends);
    }
    EXPECT_GE(threadsWhileWaiting[2], 1);
    EXPECT_LE(threadsWhileWaiting[100], threadsWhileWaiting[2]);
}

// One child watches the launcher step down from the class it was started with, and a
// second, outliving it, sees the class put back to normal, not to the starting class.
TEST(WaitRunTest, PriorityStepsDownWhileNothingEndsAndIsRestoredToNormal) {
    ScratchFolder folder;
    const std::wstring watcher =
        L"test_child.exe --record a.txt --sleep 1500 --parent-class --sleep 4000 "
        L"--parent-class --sleep 4000 --parent-class --sleep 1500";
    const std::wstring survivor =
        L"test_child.exe --record b.txt --sleep 12500 --parent-class --sleep 500";
    LauncherRun run =
        start_launcher({L"--no-shl", L"--no-con", watcher, survivor}, folder, CREATE_SUSPENDED);
    ASSERT_NE(run.process, nullptr);
    SetPriorityClass(run.process, HIGH_PRIORITY_CLASS);
    ResumeThread(run.thread);
    const LauncherResult result = finish_launcher(run);

    // At 1.5 s the starting class, at 5.5 s below normal (after 3 s), at 9.5 s idle
    // (after 8 s); at 12.5 s, after the first end at 11 s, normal.
    EXPECT_EQ(record_values(folder.file(L"a.txt"), "parent-class"),
              (std::vector<std::string>{"0x00000080", "0x00004000", "0x00000040"}));
    EXPECT_EQ(record_values(folder.file(L"b.txt"), "parent-class"),
              std::vector<std::string>{"0x00000020"});
    EXPECT_EQ(result.output, kBanner + started(to_utf8(watcher)) + started(to_utf8(survivor)) +
                                 ended(to_utf8(watcher)) + ended(to_utf8(survivor)));
}

// More children alive at once than one platform wait can take.
TEST(WaitRunTest, ThreeHundredChildrenAreEachReportedOnce) {
    constexpr int kChildren = 300;
    ScratchFolder folder;
    const std::wstring event = L"quorvel-test-many-" + std::to_wstring(GetCurrentProcessId());
    HANDLE go = CreateEventW(nullptr, TRUE, FALSE, event.c_str());
    std::vector<std::wstring> arguments = {L"--no-shl", L"--no-con"};
    std::set<std::string> commands;
    for (int i = 0; i < kChildren; ++i) {
        // Ends spread over a second and a half once all are running; "--tag" tells them apart.
        const std::wstring command = L"test_child.exe --wait-event " + event + L" --sleep " +
                                     std::to_wstring(i * 37 % 1500) + L" --tag " +
                                     std::to_wstring(i);
        arguments.push_back(command);
        commands.insert(to_utf8(command));
    }
    LauncherRun run = start_launcher(arguments, folder);
    ASSERT_NE(run.process, nullptr);
    // Every start is reported before the wait; then all are alive at once.
    EXPECT_TRUE(wait_for_output_lines(run, kChildren + 1, 120000));
    SetEvent(go);
    const LauncherResult result = finish_launcher(run);
    CloseHandle(go);
    ASSERT_TRUE(result.finished);
    EXPECT_EQ(result.exitCode, 0u);

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

// Beyond one platform wait the launcher's children are in a job of its own; killing the
// launcher must not end them.
TEST(WaitRunTest, ChildrenBeyondOneWaitOutliveAKilledLauncher) {
    constexpr int kChildren = 65;
    ScratchFolder folder;
    const std::wstring event = L"quorvel-test-outlive-" + std::to_wstring(GetCurrentProcessId());
    HANDLE go = CreateEventW(nullptr, TRUE, FALSE, event.c_str());
    std::vector<std::wstring> arguments = {L"--no-shl", L"--no-con"};
    for (int i = 0; i < kChildren; ++i) {
        arguments.push_back(L"test_child.exe --record r" + std::to_wstring(i) +
                            L".txt --wait-event " + event);
    }
    LauncherRun run = start_launcher(arguments, folder);
    ASSERT_TRUE(wait_for_output_lines(run, kChildren + 1, 60000));
    Sleep(300);  // let the launcher reach its wait
    TerminateProcess(run.process, 9);
    EXPECT_EQ(finish_launcher(run).exitCode, 9u);

    SetEvent(go);  // only a child still alive can record its exit
    for (int i = 0; i < kChildren; ++i) {
        EXPECT_TRUE(
            wait_for_record(folder.file(L"r" + std::to_wstring(i) + L".txt"), "exit", 30000))
            << "child " << i;
    }
    CloseHandle(go);
}

}  // namespace
