// The real quorvel.exe waiting for real children: exit reports, their order, and the
// launcher's own priority class as its children see it.
#include <gtest/gtest.h>

#include <algorithm>
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

// The launcher is held still while both children end, so that both have ended when it
// looks: the one given first is reported first, though it ended last.
TEST(WaitRunTest, ChildrenThatEndTogetherAreReportedInArgumentOrder) {
    ScratchFolder folder;
    const std::wstring event = L"quorvel-test-together-" + std::to_wstring(GetCurrentProcessId());
    HANDLE go = CreateEventW(nullptr, TRUE, FALSE, event.c_str());
    const std::wstring later =
        L"test_child.exe --record a.txt --wait-event " + event + L" --sleep 300";
    const std::wstring sooner = L"test_child.exe --record b.txt --wait-event " + event;
    LauncherRun run = start_launcher({L"--no-shl", L"--no-con", later, sooner}, folder);
    ASSERT_TRUE(wait_for_record(folder.file(L"a.txt"), "pid", 10000));
    ASSERT_TRUE(wait_for_record(folder.file(L"b.txt"), "pid", 10000));
    Sleep(300);  // let the launcher reach its wait

    SuspendThread(run.thread);
    SetEvent(go);
    EXPECT_TRUE(wait_for_record(folder.file(L"a.txt"), "exit", 10000));
    EXPECT_TRUE(wait_for_record(folder.file(L"b.txt"), "exit", 10000));
    Sleep(300);  // "exit" is recorded just before the child ends
    ResumeThread(run.thread);

    const LauncherResult result = finish_launcher(run);
    CloseHandle(go);
    EXPECT_EQ(result.output, kBanner + started(to_utf8(later)) + started(to_utf8(sooner)) +
                                 ended(to_utf8(later)) + ended(to_utf8(sooner)));
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
    const ULONGLONG deadline = GetTickCount64() + 120000;
    std::string output;
    while (std::count(output.begin(), output.end(), '\n') < kChildren + 1 &&
           GetTickCount64() < deadline) {
        Sleep(100);
        output = read_file(run.outputPath);
    }
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

}  // namespace
